#include "tests/zat_pwd/process.h"

#include <crypt.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
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

// Reads a child's standard output and standard error together, so that
// neither pipe can fill up, until both are closed; closes them.
void collect(int out_fd, int err_fd, Result &result, long deadline)
{
    struct pollfd fds[2] = {{out_fd, POLLIN, 0}, {err_fd, POLLIN, 0}};
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
}

bool write_all(int fd, const std::string &text)
{
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += (size_t)n;
    }
    return true;
}

// Waits until the reader of a pipe has taken all that was written into it.
// False when the reader has gone (POLLERR on the write end) or the deadline
// has passed.
bool wait_until_read(int fd, long deadline)
{
    for (;;) {
        int queued = 0;
        if (ioctl(fd, FIONREAD, &queued) != 0)
            return false;
        if (queued == 0)
            return true;
        struct pollfd p = {fd, 0, 0};
        if (poll(&p, 1, 1) > 0 && (p.revents & POLLERR))
            return false;
        if (now_ms() > deadline) {
            ADD_FAILURE() << "the input was not read in time";
            return false;
        }
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

    long deadline = now_ms() + DEADLINE_MS;
    collect(out_pipe[0], err_pipe[0], result, deadline);

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

Result run_pwd_pieces(const std::vector<std::string> &args,
                      const std::vector<std::string> &pieces)
{
    Result result;
    int in_pipe[2], out_pipe[2], err_pipe[2];
    if (pipe(in_pipe) != 0 || pipe(out_pipe) != 0 || pipe(err_pipe) != 0) {
        ADD_FAILURE() << "pipe: " << strerror(errno);
        return result;
    }

    exec_vectors vectors(pwd_argv(args), {});

    pid_t pid = fork();
    if (pid == 0) {
        dup2(in_pipe[0], 0);
        dup2(out_pipe[1], 1);
        dup2(err_pipe[1], 2);
        for (int fd : {in_pipe[0], in_pipe[1], out_pipe[0], out_pipe[1], err_pipe[0],
                       err_pipe[1]})
            close(fd);
        execve(ZAT_PWD_PATH, vectors.arg_ptrs.data(), vectors.env_ptrs.data());
        _exit(127);
    }
    close(in_pipe[0]);
    close(out_pipe[1]);
    close(err_pipe[1]);
    if (pid < 0) {
        ADD_FAILURE() << "fork: " << strerror(errno);
        close(in_pipe[1]);
        close(out_pipe[0]);
        close(err_pipe[0]);
        return result;
    }

    // A tool that stops reading early closes its end: the next write then
    // fails with EPIPE, and the SIGPIPE that comes with it is kept from the
    // test and taken away afterwards.
    sigset_t pipe_signal, old_mask;
    sigemptyset(&pipe_signal);
    sigaddset(&pipe_signal, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe_signal, &old_mask);
    long deadline = now_ms() + DEADLINE_MS;
    for (const std::string &piece : pieces)
        if (!write_all(in_pipe[1], piece) || !wait_until_read(in_pipe[1], deadline))
            break;
    close(in_pipe[1]);
    const struct timespec no_wait = {0, 0};
    while (sigtimedwait(&pipe_signal, nullptr, &no_wait) == SIGPIPE) {
    }
    pthread_sigmask(SIG_SETMASK, &old_mask, nullptr);

    collect(out_pipe[0], err_pipe[0], result, deadline);
    result.status = wait_child(pid, deadline);
    return result;
}

std::vector<std::string> stdout_writes(const std::vector<std::string> &args,
                                       const std::string &input, int *status,
                                       bool stderr_too)
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
        if (stderr_too)
            dup2(sv[1], 2);
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

namespace {

// The stand-in login shell of a PtyJob, in the forked child: leads a new
// session with the terminal as its controlling terminal, starts the tool as
// a foreground job and reports the tool's pid, then each of its wait
// statuses, on events_fd.  Ends when the tool has ended.
[[noreturn]] void stand_in_shell(int slave, int out_fd, int err_fd, int events_fd,
                                 const PtySetup &setup, exec_vectors &vectors)
{
    setsid();
    ioctl(slave, TIOCSCTTY, 0);

    pid_t tool = fork();
    if (tool == 0) {
        // A process group of its own, made the terminal's foreground group
        // as a shell does; SIGTTOU would stop a background group trying it.
        setpgid(0, 0);
        signal(SIGTTOU, SIG_IGN);
        tcsetpgrp(slave, getpid());
        for (int sig : {SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGPIPE, SIGTSTP, SIGTTIN, SIGTTOU})
            signal(sig, SIG_DFL);
        for (int sig : setup.ignored)
            signal(sig, SIG_IGN);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        // SIGQUIT would leave a core file behind.
        const struct rlimit no_core = {0, 0};
        setrlimit(RLIMIT_CORE, &no_core);

        dup2(slave, 0);
        dup2(out_fd >= 0 ? out_fd : slave, 1);
        dup2(err_fd, 2);
        for (int fd : {slave, out_fd, err_fd, events_fd})
            if (fd > 2)
                close(fd);
        execve(ZAT_PWD_PATH, vectors.arg_ptrs.data(), vectors.env_ptrs.data());
        _exit(127);
    }
    if (tool < 0)
        _exit(1);
    setpgid(tool, tool);
    int pid = tool;
    if (write(events_fd, &pid, sizeof pid) != (ssize_t)sizeof pid)
        _exit(1);
    for (;;) {
        int wstatus;
        if (waitpid(tool, &wstatus, WUNTRACED | WCONTINUED) < 0) {
            if (errno == EINTR)
                continue;
            _exit(1);
        }
        if (write(events_fd, &wstatus, sizeof wstatus) != (ssize_t)sizeof wstatus)
            _exit(1);
        if (WIFEXITED(wstatus) || WIFSIGNALED(wstatus))
            _exit(0);
    }
}

// Reads what the terminal has shown, waiting at most timeout_ms for it.
bool drain_master(PtyJob &job, int timeout_ms)
{
    struct pollfd p = {job.master, POLLIN, 0};
    if (poll(&p, 1, timeout_ms) <= 0)
        return false;
    char buf[1024];
    ssize_t n = read(job.master, buf, sizeof buf);
    if (n <= 0)
        return false;
    job.screen.append(buf, (size_t)n);
    return true;
}

// True when the stand-in shell has something to report.
bool event_waiting(PtyJob &job)
{
    struct pollfd p = {job.events_fd, POLLIN, 0};
    return poll(&p, 1, 0) > 0;
}

// One number from the stand-in shell, with the terminal's output collected
// while waiting for it.
bool read_event(PtyJob &job, int *value)
{
    while (now_ms() < job.deadline) {
        struct pollfd p[2] = {{job.events_fd, POLLIN, 0}, {job.master, POLLIN, 0}};
        if (poll(p, 2, 50) < 0 && errno != EINTR)
            return false;
        if (p[1].revents & POLLIN)
            drain_master(job, 0);
        if (p[0].revents != 0)
            return read(job.events_fd, value, sizeof *value) == (ssize_t)sizeof *value;
    }
    return false;
}

// The number of bytes a process has taken with read(2) and its kin so
// far (rchar in /proc/<pid>/io), or -1.
long bytes_read_by(pid_t pid)
{
    std::string path = "/proc/" + std::to_string(pid) + "/io";
    FILE *f = fopen(path.c_str(), "r");
    if (f == nullptr)
        return -1;
    long count = -1;
    char line[128];
    while (fgets(line, sizeof line, f) != nullptr)
        if (sscanf(line, "rchar: %ld", &count) == 1)
            break;
    fclose(f);
    return count;
}

void close_job(PtyJob &job)
{
    for (int *fd : {&job.master, &job.slave, &job.err_fd, &job.events_fd}) {
        if (*fd >= 0)
            close(*fd);
        *fd = -1;
    }
}

} // namespace

bool pty_start(PtyJob &job, const std::vector<std::string> &args, const PtySetup &setup)
{
    job.deadline = now_ms() + DEADLINE_MS;
    if (openpty(&job.master, &job.slave, nullptr, nullptr, nullptr) != 0) {
        ADD_FAILURE() << "openpty: " << strerror(errno);
        return false;
    }
    struct termios tio;
    tcgetattr(job.slave, &tio);
    tio.c_lflag = setup.echo ? tio.c_lflag | ECHO : tio.c_lflag & ~(tcflag_t)ECHO;
    tio.c_lflag = setup.canonical ? tio.c_lflag | ICANON : tio.c_lflag & ~(tcflag_t)ICANON;
    tcsetattr(job.slave, TCSANOW, &tio);
    tcgetattr(job.slave, &job.before);

    int err_pipe[2], events[2], out_pipe[2] = {-1, -1};
    if (pipe(err_pipe) != 0 || pipe(events) != 0 ||
        (setup.stdout_broken && pipe(out_pipe) != 0)) {
        ADD_FAILURE() << "pipe: " << strerror(errno);
        close_job(job);
        return false;
    }
    // Nobody will read the tool's standard output.
    if (setup.stdout_broken)
        close(out_pipe[0]);

    exec_vectors vectors(pwd_argv(args), {});

    job.shell = fork();
    if (job.shell == 0) {
        close(job.master);
        close(err_pipe[0]);
        close(events[0]);
        stand_in_shell(job.slave, out_pipe[1], err_pipe[1], events[1], setup, vectors);
    }
    close(err_pipe[1]);
    close(events[1]);
    if (out_pipe[1] >= 0)
        close(out_pipe[1]);
    job.err_fd = err_pipe[0];
    job.events_fd = events[0];
    int pid = -1;
    if (job.shell < 0 || !read_event(job, &pid)) {
        ADD_FAILURE() << "starting zat_pwd as a job failed";
        if (job.shell > 0)
            wait_child(job.shell, job.deadline);
        close_job(job);
        return false;
    }
    job.tool = pid;
    return true;
}

bool pty_wait_for(PtyJob &job, const std::string &text)
{
    while (job.screen.find(text) == std::string::npos) {
        if (now_ms() > job.deadline || event_waiting(job))
            return false;
        drain_master(job, 20);
    }
    return true;
}

void pty_type(PtyJob &job, const std::string &text, bool consumed)
{
    // What is typed reaches the terminal's input queue some time after the
    // write to the master, so the queue's length cannot tell whether the
    // tool has read it yet; the count of bytes the tool has read can.
    long before = consumed ? bytes_read_by(job.tool) : 0;
    if (write(job.master, text.data(), text.size()) != (ssize_t)text.size())
        ADD_FAILURE() << "typing: " << strerror(errno);
    if (!consumed)
        return;
    if (before < 0) {
        ADD_FAILURE() << "no read count for the tool";
        return;
    }
    long target = before + (long)text.size();
    while (now_ms() < job.deadline && !event_waiting(job)) {
        long done = bytes_read_by(job.tool);
        if (done < 0 || done >= target)
            return;
        drain_master(job, 1);
    }
}

bool pty_wait_for_echo(PtyJob &job, bool on)
{
    struct termios now;
    while (tcgetattr(job.slave, &now) == 0) {
        if (((now.c_lflag & ECHO) != 0) == on)
            return true;
        if (now_ms() > job.deadline)
            break;
        drain_master(job, 1);
    }
    return false;
}

int pty_next_status(PtyJob &job)
{
    int wstatus = 0;
    if (job.ended || !read_event(job, &wstatus))
        return -1;
    if (WIFEXITED(wstatus) || WIFSIGNALED(wstatus)) {
        job.ended = true;
        job.status = decode_status(wstatus);
    }
    return wstatus;
}

PtyRun pty_finish(PtyJob &job)
{
    PtyRun result;
    result.before = job.before;
    while (!job.ended && pty_next_status(job) != -1) {
    }
    if (!job.ended) {
        ADD_FAILURE() << "zat_pwd did not end in time";
        kill(job.tool, SIGKILL);
    }
    wait_child(job.shell, now_ms() + DEADLINE_MS);
    result.status = job.status;

    char buf[1024];
    ssize_t n;
    struct pollfd p = {job.err_fd, POLLIN, 0};
    while (poll(&p, 1, 1000) > 0 && (n = read(job.err_fd, buf, sizeof buf)) > 0)
        result.err.append(buf, (size_t)n);

    // What the tool left behind in the terminal: its settings, and any
    // input that the next program on the terminal would read.
    tcgetattr(job.slave, &result.after);
    int queued = 0;
    if (ioctl(job.slave, TIOCINQ, &queued) == 0)
        result.left_in_input = queued;
    if (queued > 0) {
        fcntl(job.slave, F_SETFL, fcntl(job.slave, F_GETFL) | O_NONBLOCK);
        while ((n = read(job.slave, buf, sizeof buf)) > 0)
            result.left.append(buf, (size_t)n);
    }

    // With the last descriptor of the terminal's slave side closed, the
    // master reads what is left and then ends.
    close(job.slave);
    job.slave = -1;
    long deadline = now_ms() + DEADLINE_MS;
    while (now_ms() < deadline && drain_master(job, 1000)) {
    }
    result.screen = job.screen;
    close_job(job);
    return result;
}

PtyRun run_in_pty(const std::vector<std::string> &args,
                  const std::string &typed, bool echo_at_start)
{
    PtyJob job;
    PtySetup setup;
    setup.echo = echo_at_start;
    if (!pty_start(job, args, setup))
        return PtyRun{};

    // Type only once the prompt is there: the tool has set the terminal up
    // by then, and text typed earlier would be echoed at once.
    bool prompt_seen = pty_wait_for(job, PROMPT);
    bool echo_at_prompt = false;
    if (prompt_seen) {
        struct termios at_prompt;
        tcgetattr(job.slave, &at_prompt);
        echo_at_prompt = (at_prompt.c_lflag & ECHO) != 0;
        pty_type(job, typed);
    }
    PtyRun result = pty_finish(job);
    result.prompt_seen = prompt_seen;
    result.echo_at_prompt = echo_at_prompt;
    return result;
}

} // namespace pwd_test
