// Drives examples/skeleton_daemon.c, built with cc by the link and install
// checks, as a NAS would: the daemon runs as its own process with the
// connection on its standard input.  ZAT_SKELETON names the binary.
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "tests/support/nas.h"
#include "tests/support/sockets.h"

namespace {

using zat_test::bytes;

std::string read_file(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

class Skeleton : public ::testing::Test {
protected:
    int nas = -1;
    pid_t daemon = -1;
    std::string dir, wholog, log;
    uint32_t session_id = 0x1000;
    int seq = 0;

    void SetUp() override
    {
        const char *binary = getenv("ZAT_SKELETON");
        ASSERT_TRUE(binary && *binary) << "ZAT_SKELETON must name the skeleton daemon";
        char tmpl[] = "/tmp/zat-skeleton-XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(tmpl));
        dir = tmpl;
        wholog = dir + "/who.log";
        log = dir + "/daemon.log";
        int sv[2];
        ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, sv));
        daemon = fork();
        ASSERT_GE(daemon, 0);
        if (daemon == 0) {
            dup2(sv[1], 0);
            int err = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            dup2(err, 2);
            close(sv[0]);
            close(sv[1]);
            execl(binary, binary, wholog.c_str(), "nas-a", static_cast<char *>(nullptr));
            _exit(127);
        }
        close(sv[1]);
        nas = sv[0];
    }

    void TearDown() override
    {
        if (nas >= 0)
            close(nas);
        if (daemon > 0) {
            int status = 0;
            waitpid(daemon, &status, 0);
        }
        unlink(wholog.c_str());
        unlink(log.c_str());
        rmdir(dir.c_str());
    }

    // Sends a request of a new session (seq 1) or the next one of this session.
    void send(unsigned char type, const bytes &body, bool new_session)
    {
        if (new_session) {
            session_id++;
            seq = 1;
        } else {
            seq += 2;
        }
        bytes wire = zat_test::frame(0xc0, type, static_cast<unsigned char>(seq), 0x01, session_id, body, nullptr);
        ASSERT_TRUE(zat_test::send_all(nas, wire));
    }

    zat_test::reply receive()
    {
        zat_test::reply r;
        EXPECT_TRUE(zat_test::read_reply(nas, nullptr, r));
        return r;
    }

    // A whole login; returns the final authentication status.
    int login(const std::string &user, const std::string &port, const std::string &password)
    {
        send(1, zat_test::authen_start_body(user, port, "10.0.0.1"), true);
        zat_test::reply getpass = receive();
        if (getpass.plain.size() < 18 || getpass.body()[0] != 0x05)
            return -1;
        send(1, zat_test::authen_continue_body(password), false);
        zat_test::reply done = receive();
        return done.plain.size() > 12 ? done.body()[0] : -1;
    }

    void account(unsigned char flags, const std::string &user, const std::string &port)
    {
        send(3, zat_test::acct_request_body(flags, user, port, "10.0.0.1", {"service=shell"}), true);
        zat_test::reply r = receive();
        ASSERT_EQ(17u, r.plain.size());
        EXPECT_EQ(0x01, r.body()[4]) << "accounting SUCCESS";
    }

    size_t entries_of(const std::string &user)
    {
        std::string file = read_file(wholog);
        size_t n = 0;
        for (size_t at = 0; at + 192 <= file.size(); at += 192)
            if (file.compare(at, user.size() + 1, user.c_str(), user.size() + 1) == 0)
                n++;
        return n;
    }
};

TEST_F(Skeleton, ServesLoginsAccountingAndTheSessionLimit)
{
    EXPECT_EQ(0x01, login("joe", "tty5", "demo")) << "PASS";
    EXPECT_EQ(0x02, login("joe", "tty5", "wrong")) << "FAIL";

    account(0x02, "joe", "tty5");
    EXPECT_EQ(1u, entries_of("joe"));
    struct stat st;
    ASSERT_EQ(0, stat(wholog.c_str(), &st));
    EXPECT_EQ(0600u, st.st_mode & 0777u) << "created at start-up by velor_loginit";

    // Two sessions elsewhere: the third login is refused.
    account(0x02, "joe", "tty6");
    account(0x02, "joe", "Async7");
    EXPECT_EQ(0x02, login("joe", "tty5", "demo")) << "too many sessions";
    account(0x04, "joe", "tty6");
    EXPECT_EQ(0x01, login("joe", "tty5", "demo")) << "one other session is allowed";

    account(0x04, "joe", "tty5");
    account(0x04, "joe", "Async7");
    EXPECT_EQ(0u, entries_of("joe"));
}

TEST_F(Skeleton, ItsOwnAuthenticationErrorReplacesTheModules)
{
    send(1, zat_test::authen_start_body("joe", "tty5", "10.0.0.1"), true);
    receive();
    send(1, bytes{0x00, 0x09, 0x00}, false);  // a CONTINUE that does not add up
    zat_test::reply error = receive();
    bytes body = error.body();
    ASSERT_GE(body.size(), 6u);
    EXPECT_EQ(0x07, body[0]) << "ERROR";
    EXPECT_EQ("authentication error", std::string(body.begin() + 6, body.end()));
    close(nas);
    nas = -1;
    int status = 0;
    ASSERT_EQ(daemon, waitpid(daemon, &status, 0));
    daemon = -1;
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_NE(std::string::npos,
              read_file(log).find("nas-a: authentication error: Illegally sized authentication cont packet"));
}

} // namespace
