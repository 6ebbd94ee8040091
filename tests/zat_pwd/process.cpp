#include "tests/zat_pwd/process.h"

#include <crypt.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <gtest/gtest.h>

extern char **environ;

namespace pwd_test {

namespace {

// Generous bound on any single wait for a child; reaching it fails the test.
const int DEADLINE_MS = 20000;

long now_ms()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000L + ts.tv_nsec / 1000000L;
}

std::vector<char *> pointers(std::vector<std::string> &strings)
{
    std::vector<char *> p;
    for (auto &s : strings)
        p.push_back(s.data());
    p.push_back(nullptr);
    return p;
}

int decode_status(int wstatus)
{
    if (WIFEXITED(wstatus))
        return WEXITSTATUS(wstatus);
    if (WIFSIGNALED(wstatus))
        return 128 + WTERMSIG(wstatus);
    return -1;
}

// A temporary file holding text, open for reading and writing, unlinked.
int temp_file(const std::string &text)
{
    char name[] = "/tmp/zat_pwd_test.XXXXXX";
    int fd = mkstemp(name);
    if (fd < 0)
        return -1;
    unlink(name);
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n <= 0) {
            close(fd);
            return -1;
        }
        done += (size_t)n;
    }
    lseek(fd, 0, SEEK_SET);
    return fd;
}

// Waits for pid, at most until the deadline; a child still running then is
// killed and the test fails.
int wait_child(pid_t pid, long deadline)
{
    int wstatus = 0;
    for (;;) {
        pid_t r = waitpid(pid, &wstatus, WNOHANG);
        if (r == pid)
            return decode_status(wstatus);
        if (r < 0 && errno != EINTR)
            return -1;
        if (now_ms() > deadline) {
            ADD_FAILURE() << "child " << pid << " did not end in time";
            kill(pid, SIGKILL);
            waitpid(pid, &wstatus, 0);
            return -1;
        }
        poll(nullptr, 0, 5);
    }
}

} // namespace

std::vector<std::string> child_env(const Env &env)
{
    std::vector<std::string> out;
    for (char **e = environ; *e; e++) {
        std::string entry = *e;
        std::string name = entry.substr(0, entry.find('='));
        if (name == "POSIXLY_CORRECT")
            continue;
        for (const auto &[n, v] : env) {
            if (n != name)
                continue;
            if (n == "ASAN_OPTIONS")
                entry += ":" + v;
            else
                entry = n + "=" + v;
        }
        out.push_back(entry);
    }
    for (const auto &[n, v] : env) {
        bool present = false;
        for (const auto &entry : out)
            if (entry.compare(0, n.size() + 1, n + "=") == 0)
                present = true;
        if (!present)
            out.push_back(n + "=" + v);
    }
    return out;
}

// The argument and environment vectors of a child, kept alive until execve.
struct exec_vectors {
    std::vector<std::string> args, envs;
    std::vector<char *> arg_ptrs, env_ptrs;

    exec_vectors(std::vector<std::string> argv, const Env &env)
        : args(std::move(argv)), envs(child_env(env)), arg_ptrs(pointers(args)), env_ptrs(pointers(envs))
    {
    }
    exec_vectors(const exec_vectors &) = delete;
    exec_vectors &operator=(const exec_vectors &) = delete;
};

// zat_pwd's argv: its name, then the arguments.
std::vector<std::string> pwd_argv(const std::vector<std::string> &args)
{
    std::vector<std::string> argv = {"zat_pwd"};
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
}

Result run(const std::string &file, const std::vector<std::string> &argv,
        const std::string &input, Stdin mode, const Env &env)
{
    Result result;
    int in_fd = -1;
    int in_pipe[2] = {-1, -1};

    switch (mode) {
    case Stdin::pipe:
        // The input is small: it goes into the pipe before the child
        // starts, and the write end is closed so the child sees its end.
        if (pipe(in_pipe) != 0 || input.size() > 4096) {
            ADD_FAILURE() << "stdin pipe";
            return result;
        }
        if (!input.empty() &&
            write(in_pipe[1], input.data(), input.size()) != (ssize_t)input.size()) {
            ADD_FAILURE() << "stdin pipe write";
            return result;
        }
        close(in_pipe[1]);
        in_fd = in_pipe[0];
        break;
    case Stdin::file:
        in_fd = temp_file(input);
        break;
    case Stdin::write_only: {
        char name[] = "/tmp/zat_pwd_test.XXXXXX";
        int fd = mkstemp(name);
        if (fd >= 0) {
            close(fd);
            in_fd = open(name, O_WRONLY);
            unlink(name);
        }
        break;
    }
    }
    if (in_fd < 0) {
        ADD_FAILURE() << "standard input for the child: " << strerror(errno);
        return result;
    }

    int out_pipe[2], err_pipe[2];
    if (pipe(out_pipe) != 0 || pipe(err_pipe) != 0) {
        ADD_FAILURE() << "pipe: " << strerror(errno);
        close(in_fd);
        return result;
    }

    exec_vectors vectors(argv, env);

    pid_t pid = fork();
    if (pid == 0) {
        dup2(in_fd, 0);
        dup2(out_pipe[1], 1);
        dup2(err_pipe[1], 2);
        for (int fd : {in_fd, out_pipe[0], out_pipe[1], err_pipe[0], err_pipe[1]})
            if (fd > 2)
                close(fd);
        execvpe(file.c_str(), vectors.arg_ptrs.data(), vectors.env_ptrs.data());
        _exit(127);
    }
    close(out_pipe[1]);
    close(err_pipe[1]);
    if (pid < 0) {
        ADD_FAILURE() << "fork: " << strerror(errno);
        close(in_fd);
        close(out_pipe[0]);
        close(err_pipe[0]);
        return result;
    }

    // Both outputs are read together so that neither pipe can fill up.
    long deadline = now_ms() + DEADLINE_MS;
    struct pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
    std::string *sinks[2] = {&result.out, &result.err};
    int open_count = 2;
    while (open_count > 0 && now_ms() < deadline) {
        if (poll(fds, 2, 100) < 0 && errno != EINTR)
            break;
        for (int i = 0; i < 2; i++) {
            if (fds[i].fd < 0 || fds[i].revents == 0)
                continue;
            char buf[4096];
            ssize_t n = read(fds[i].fd, buf, sizeof buf);
            if (n > 0) {
                sinks[i]->append(buf, (size_t)n);
            } else if (n == 0 || errno != EINTR) {
                close(fds[i].fd);
                fds[i].fd = -1;
                open_count--;
            }
        }
    }
    for (auto &f : fds)
        if (f.fd >= 0)
            close(f.fd);

    result.status = wait_child(pid, deadline);
    if (mode == Stdin::file)
        result.stdin_offset = lseek(in_fd, 0, SEEK_CUR);
    close(in_fd);
    return result;
}

Result run_pwd(const std::vector<std::string> &args, const std::string &input,
            Stdin mode, const Env &env)
{
    return run(ZAT_PWD_PATH, pwd_argv(args), input, mode, env);
}

std::vector<std::string> stdout_writes(const std::vector<std::string> &args,
                                       const std::string &input, int *status)
{
    std::vector<std::string> records;
    *status = -1;
    int in_pipe[2], sv[2];
    if (pipe(in_pipe) != 0 || socketpair(AF_UNIX, SOCK_SEQPACKET, 0, sv) != 0) {
        ADD_FAILURE() << "pipe or socketpair: " << strerror(errno);
        return records;
    }
    if (write(in_pipe[1], input.data(), input.size()) != (ssize_t)input.size())
        ADD_FAILURE() << "stdin pipe write";
    close(in_pipe[1]);

    exec_vectors vectors(pwd_argv(args), {});

    pid_t pid = fork();
    if (pid == 0) {
        dup2(in_pipe[0], 0);
        dup2(sv[1], 1);
        close(in_pipe[0]);
        close(sv[0]);
        close(sv[1]);
        execve(ZAT_PWD_PATH, vectors.arg_ptrs.data(), vectors.env_ptrs.data());
        _exit(127);
    }
    close(in_pipe[0]);
    close(sv[1]);
    long deadline = now_ms() + DEADLINE_MS;
    struct pollfd p = {sv[0], POLLIN, 0};
    while (pid > 0 && now_ms() < deadline) {
        if (poll(&p, 1, 100) <= 0)
            continue;
        char buf[4096];
        ssize_t n = read(sv[0], buf, sizeof buf);
        if (n <= 0)
            break;
        records.emplace_back(buf, (size_t)n);
    }
    close(sv[0]);
    if (pid > 0)
        *status = wait_child(pid, deadline);
    return records;
}

std::string reference_hash(Scheme scheme, const std::string &salt,
                           const std::string &password)
{
    if (scheme == Scheme::des) {
        struct crypt_data data;
        memset(&data, 0, sizeof data);
        const char *h = crypt_r(password.c_str(), salt.c_str(), &data);
        return h ? h : "(no result)";
    }
    Result r = run("openssl",
                {"openssl", "passwd", scheme == Scheme::sha512 ? "-6" : "-1",
                 "-salt", salt, "--", password},
                "");
    EXPECT_EQ(r.status, 0) << r.err;
    if (!r.out.empty() && r.out.back() == '\n')
        r.out.pop_back();
    return r.out;
}

PtyRun run_in_pty(const std::vector<std::string> &args,
                  const std::string &typed, bool echo_at_start)
{
    PtyRun result;
    int master = -1, slave = -1;
    if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) {
        ADD_FAILURE() << "openpty: " << strerror(errno);
        return result;
    }
    struct termios tio;
    tcgetattr(slave, &tio);
    if (echo_at_start)
        tio.c_lflag |= ECHO;
    else
        tio.c_lflag &= ~(tcflag_t)ECHO;
    tcsetattr(slave, TCSANOW, &tio);
    tcgetattr(slave, &result.before);

    int err_pipe[2];
    if (pipe(err_pipe) != 0) {
        ADD_FAILURE() << "pipe: " << strerror(errno);
        close(master);
        close(slave);
        return result;
    }

    exec_vectors vectors(pwd_argv(args), {});

    pid_t pid = fork();
    if (pid == 0) {
        // A session of its own with the terminal as controlling terminal,
        // as a login shell would run the tool.
        setsid();
        ioctl(slave, TIOCSCTTY, 0);
        dup2(slave, 0);
        dup2(slave, 1);
        dup2(err_pipe[1], 2);
        close(master);
        close(slave);
        close(err_pipe[0]);
        close(err_pipe[1]);
        execve(ZAT_PWD_PATH, vectors.arg_ptrs.data(), vectors.env_ptrs.data());
        _exit(127);
    }
    close(err_pipe[1]);
    if (pid < 0) {
        ADD_FAILURE() << "fork: " << strerror(errno);
        close(master);
        close(slave);
        close(err_pipe[0]);
        return result;
    }

    long deadline = now_ms() + DEADLINE_MS;
    auto drain_master = [&](int timeout_ms) {
        struct pollfd p = {master, POLLIN, 0};
        if (poll(&p, 1, timeout_ms) <= 0)
            return false;
        char buf[1024];
        ssize_t n = read(master, buf, sizeof buf);
        if (n <= 0)
            return false;
        result.screen.append(buf, (size_t)n);
        return true;
    };

    // Type only once the prompt is there: the tool has set the terminal up
    // by then, and text typed earlier would be echoed at once.
    int wstatus = 0;
    bool exited = false;
    while (now_ms() < deadline) {
        if (result.screen.find(PROMPT) != std::string::npos) {
            result.prompt_seen = true;
            break;
        }
        drain_master(50);
        if (waitpid(pid, &wstatus, WNOHANG) == pid) {
            exited = true;
            break;
        }
    }
    if (result.prompt_seen) {
        struct termios at_prompt;
        tcgetattr(slave, &at_prompt);
        result.echo_at_prompt = (at_prompt.c_lflag & ECHO) != 0;
        if (write(master, typed.data(), typed.size()) != (ssize_t)typed.size())
            ADD_FAILURE() << "typing: " << strerror(errno);
    }

    while (!exited && now_ms() < deadline) {
        drain_master(20);
        if (waitpid(pid, &wstatus, WNOHANG) == pid)
            exited = true;
    }
    if (exited) {
        result.status = decode_status(wstatus);
    } else {
        ADD_FAILURE() << "zat_pwd did not end in time";
        kill(pid, SIGKILL);
        waitpid(pid, &wstatus, 0);
    }

    char buf[1024];
    ssize_t n;
    while ((n = read(err_pipe[0], buf, sizeof buf)) > 0)
        result.err.append(buf, (size_t)n);
    close(err_pipe[0]);

    // What the tool left behind in the terminal: its settings, and any
    // input that the next program on the terminal would read.
    tcgetattr(slave, &result.after);
    int queued = 0;
    if (ioctl(slave, TIOCINQ, &queued) == 0)
        result.left_in_input = queued;
    if (queued > 0) {
        fcntl(slave, F_SETFL, fcntl(slave, F_GETFL) | O_NONBLOCK);
        while ((n = read(slave, buf, sizeof buf)) > 0)
            result.left.append(buf, (size_t)n);
    }

    // With the last descriptor of the terminal's slave side closed, the
    // master reads what is left and then ends.
    close(slave);
    while (now_ms() < deadline && drain_master(1000)) {
    }
    close(master);
    return result;
}

} // namespace pwd_test
