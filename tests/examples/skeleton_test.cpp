// Drives examples/skeleton_daemon.c, built with cc by the link and install
// checks, as a NAS would: the daemon runs as its own process, inetd style,
// with a loopback TCP connection on its standard input and its key in the
// environment (ZAT_KEY).  Every conversation is also decoded by tshark with
// the key, packet by packet and field by field.  ZAT_SKELETON names the binary.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/nas.h"
#include "tests/support/pcap.h"
#include "tests/support/sockets.h"

namespace {

using zat_test::bytes;
using zat_test::expected_fields;

const char *const key = "skeleton-test-key";

// Reply statuses (RFC 8907).
const int authen_pass = 0x01, authen_fail = 0x02, getuser = 0x04, getpass = 0x05, authen_error = 0x07;
const int author_pass_add = 0x01, author_fail = 0x10, author_error = 0x11;
const int acct_success = 0x01, acct_error = 0x02;

std::string hex_byte(int v)
{
    char text[8];
    snprintf(text, sizeof text, "0x%02x", v);
    return text;
}

std::string joined(const std::vector<std::string> &list)
{
    std::string out;
    for (size_t i = 0; i < list.size(); i++)
        out += (i ? "," : "") + list[i];
    return out;
}

std::string read_file(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

// One request of the NAS, and what tshark should show of its body.
struct request {
    unsigned char type;
    bytes body;
    unsigned char version;
    expected_fields fields;
};

// An ASCII login START.
request start(const std::string &user)
{
    return {1, zat_test::authen_start_body(user, "tty5", "10.0.0.1"), 0xc0,
            {{"tacplus.authen_action", "1"},
             {"tacplus.authentication_type", "1"},
             {"tacplus.user", user},
             {"tacplus.port", "tty5"},
             {"tacplus.remote_address", "10.0.0.1"}}};
}

// A PAP login: the password in the START's data, minor version 1.
request pap(const std::string &user, const std::string &password, unsigned char version = 0xc1)
{
    request r{1, zat_test::authen_start_body(user, "tty5", "10.0.0.1", password), version,
              {{"tacplus.authentication_type", "2"},
               {"tacplus.user", user},
               {"tacplus.password_length", std::to_string(password.size())}}};
    r.body[2] = 0x02;  // authen_type PAP
    if (password.find('\0') == std::string::npos)  // tshark shows it as a C string
        r.fields["tacplus.auth_password"] = password;
    return r;
}

request cont(const std::string &user_msg, unsigned char flags = 0, const std::string &data = "")
{
    expected_fields f = {{"tacplus.body_authen_req_cont.flags", hex_byte(flags)},
                         {"tacplus.body_authen_req_cont.user", user_msg}};
    return {1, zat_test::authen_continue_body(user_msg, data, flags), 0xc0, f};
}

request author(const std::string &user, const std::vector<std::string> &args)
{
    return {2, zat_test::author_request_body(user, "tty5", "10.0.0.1", args), 0xc0,
            {{"tacplus.user", user},
             {"tacplus.body_author_req.arg_count", std::to_string(args.size())},
             {"tacplus.arg_value", joined(args)}}};
}

request acct(unsigned char flags, const std::string &user, const std::string &port)
{
    std::vector<std::string> args = {"service=shell", "task_id=7"};
    return {3, zat_test::acct_request_body(flags, user, port, "10.0.0.1", args), 0xc0,
            {{"tacplus.acct.flags", hex_byte(flags)},
             {"tacplus.user", user},
             {"tacplus.port", port},
             {"tacplus.arg_value", joined(args)}}};
}

// A request built by hand, malformed ones among them: only its header is
// compared with tshark.
request raw(unsigned char type, const bytes &body)
{
    return {type, body, 0xc0, {}};
}

bytes edited(bytes body, size_t at, int delta)
{
    body.at(at) = static_cast<unsigned char>(body.at(at) + delta);
    return body;
}

// What the daemon answers: a reply of the request's type, or nothing.
struct answer {
    int status;  // -1: no reply
    std::string server_msg;
    std::vector<std::string> args;  // authorization RESPONSE
    int flags;                      // authentication REPLY flags: NOECHO 0x01
};
const answer no_reply = {-1, "", {}, 0};

struct step {
    bool new_session;
    request req;
    answer ans;
};

const answer ask_password = {getpass, "Password: ", {}, 0x01};
const answer welcome = {authen_pass, "welcome", {}, 0};
const answer wrong_password = {authen_fail, "wrong password", {}, 0};
const answer shell_granted = {author_pass_add, "", {"priv-lvl=1", "timeout=30"}, 0};
const answer shell_only = {author_fail, "only the shell service is authorized", {}, 0};
const answer logged = {acct_success, "", {}, 0};

class Skeleton : public ::testing::Test {
protected:
    zat_test::nas_link nas;
    pid_t daemon = -1;
    std::string binary, dir, wholog, log;
    uint32_t next_session_id = 0x5a000000;
    int seq = 0;
    std::vector<expected_fields> expected;  // what tshark should show, packet by packet

    void SetUp() override
    {
        const char *b = getenv("ZAT_SKELETON");
        ASSERT_TRUE(b && *b) << "ZAT_SKELETON must name the skeleton daemon";
        binary = b;
        char tmpl[] = "/tmp/zat-skeleton-XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(tmpl));
        dir = tmpl;
        wholog = dir + "/who.log";
        log = dir + "/daemon.log";
    }

    void TearDown() override
    {
        if (daemon > 0) {
            nas.link.close_all();
            int status;
            wait_for_exit(status);
        }
        unlink(wholog.c_str());
        unlink(log.c_str());
        rmdir(dir.c_str());
    }

    // Starts the daemon on a new loopback TCP connection, with ZAT_KEY set to
    // zat_key (unset for null); the NAS obfuscates with nas_key.
    void start_daemon(const char *zat_key, const char *nas_key)
    {
        ASSERT_TRUE(nas.connect(nas_key));
        nas.cap = zat_test::capture();
        expected.clear();
        unlink(wholog.c_str());  // each daemon starts with a new who-log
        daemon = fork();
        ASSERT_GE(daemon, 0);
        if (daemon == 0) {
            dup2(nas.link.ours, 0);
            int err = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            dup2(err, 2);
            close(err);
            close(nas.link.ours);
            close(nas.link.peer);  // else the daemon would never see the NAS close
            if (zat_key)
                setenv("ZAT_KEY", zat_key, 1);
            else
                unsetenv("ZAT_KEY");
            execl(binary.c_str(), binary.c_str(), wholog.c_str(), "nas-a", static_cast<char *>(nullptr));
            _exit(127);
        }
        close(nas.link.ours);
        nas.link.ours = -1;
    }

    // Waits at most 10 s for the daemon to end; kills it after that.
    bool wait_for_exit(int &status)
    {
        for (int i = 0; i < 1000; i++) {
            if (waitpid(daemon, &status, WNOHANG) == daemon) {
                daemon = -1;
                return true;
            }
            struct timespec ten_ms = {0, 10000000};
            nanosleep(&ten_ms, nullptr);
        }
        kill(daemon, SIGKILL);
        waitpid(daemon, &status, 0);
        daemon = -1;
        return false;
    }

    // The NAS hangs up; the daemon must end by itself, cleanly.
    void hang_up_and_expect_clean_exit()
    {
        nas.link.close_peer();
        int status = 0;
        ASSERT_TRUE(wait_for_exit(status)) << "the daemon did not end when the NAS hung up";
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status << "\n" << read_file(log);
    }

    // The flags of the NAS's requests: single connection, since sessions
    // follow one another on the connection; plain when there is no key.
    unsigned char request_flags() const { return nas.key ? 0x04 : 0x05; }

    // Sends one request and reads and checks its answer.
    void exchange(const step &s)
    {
        if (s.new_session) {
            nas.session_id = ++next_session_id;
            seq = 1;
        } else {
            seq += 2;
        }
        const request &q = s.req;
        ASSERT_FALSE(nas.send(q.type, static_cast<unsigned char>(seq), request_flags(), q.body, q.version).empty());
        expected_fields sent = zat_test::tacplus_header(q.type, seq, request_flags(), nas.session_id, q.body.size());
        sent.insert(q.fields.begin(), q.fields.end());
        expected.push_back(sent);
        if (s.ans.status < 0)
            return;  // the next reply shows that nothing was sent here

        zat_test::reply r = nas.receive();
        ASSERT_FALSE(r.wire.empty()) << "no reply";
        const bytes body = r.body();
        uint32_t sid = uint32_t(r.plain[4]) << 24 | uint32_t(r.plain[5]) << 16 | uint32_t(r.plain[6]) << 8 | r.plain[7];
        EXPECT_EQ(q.type == 1 ? q.version : 0xc0, r.plain[0]);
        EXPECT_EQ(q.type, r.type());
        EXPECT_EQ(seq + 1, r.seq());
        EXPECT_EQ(nas.session_id, sid);
        EXPECT_EQ(nas.key ? 0x04 : 0x05, r.flags()) << "obfuscated with a key, plain without";

        expected_fields got = zat_test::tacplus_header(q.type, seq + 1, r.flags(), sid, body.size());
        if (q.type == 1) {
            ASSERT_GE(body.size(), 6u);
            size_t msg_len = size_t(body[2]) << 8 | body[3], data_len = size_t(body[4]) << 8 | body[5];
            ASSERT_EQ(6 + msg_len + data_len, body.size()) << "lengths add up";
            EXPECT_EQ(s.ans.status, body[0]);
            EXPECT_EQ(s.ans.flags, body[1]);
            EXPECT_EQ(s.ans.server_msg, std::string(body.begin() + 6, body.begin() + 6 + long(msg_len)));
            got.insert({{"tacplus.body_authen_rep.status", hex_byte(s.ans.status)},
                        {"tacplus.body_authen_rep.flags", hex_byte(s.ans.flags)},
                        {"tacplus.body_authen_rep.server_msg", s.ans.server_msg}});
        } else if (q.type == 2) {
            zat_test::decoded_reply d = zat_test::decode_author_response(body);
            EXPECT_TRUE(d.framed);
            EXPECT_EQ(s.ans.status, d.status);
            EXPECT_EQ(s.ans.server_msg, d.server_msg);
            EXPECT_EQ(s.ans.args, d.args);
            got.insert({{"tacplus.body_author_rep.auth_status", hex_byte(s.ans.status)},
                        {"tacplus.body_author_rep.arg_count", std::to_string(s.ans.args.size())},
                        {"tacplus.body_author_rep_server.msg_len", std::to_string(s.ans.server_msg.size())},
                        {"tacplus.arg_value", joined(s.ans.args)}});
        } else {
            zat_test::decoded_reply d = zat_test::decode_acct_reply(body);
            EXPECT_TRUE(d.framed);
            EXPECT_EQ(s.ans.status, d.status);
            EXPECT_EQ(s.ans.server_msg, d.server_msg);
            got.insert({{"tacplus.body_acct.status", hex_byte(s.ans.status)},
                        {"tacplus.body_acct.server_msg", s.ans.server_msg}});
        }
        expected.push_back(got);
    }

    void exchange_all(const std::vector<step> &steps)
    {
        for (size_t i = 0; i < steps.size(); i++) {
            SCOPED_TRACE("step " + std::to_string(i + 1));
            exchange(steps[i]);
            if (HasFatalFailure())
                return;
        }
    }

    void expect_tshark_agrees()
    {
        EXPECT_EQ("", zat_test::disagreements(nas.cap, nas.key ? nas.key : "", expected));
    }

    // The who-log entries as (user, nas, port, extra).
    std::vector<std::vector<std::string>> entries()
    {
        std::string file = read_file(wholog);
        std::vector<std::vector<std::string>> out;
        for (size_t at = 0; at + 192 <= file.size(); at += 192) {
            if (file[at] == '\0')
                continue;  // a free slot
            std::vector<std::string> e;
            for (size_t field : {size_t(0), size_t(64), size_t(96), size_t(128)})
                e.push_back(file.c_str() + at + field);
            out.push_back(e);
        }
        return out;
    }
};

// ---- whole conversations with a key, each against a daemon of its own ------

struct conversation {
    const char *name;
    std::vector<step> steps;
};

const std::vector<conversation> &conversations()
{
    static const std::vector<conversation> table = {
        {"AsciiLogin", {{true, start("joe"), ask_password}, {false, cont("demo"), welcome}}},
        {"AsciiLoginWrongPassword", {{true, start("joe"), ask_password}, {false, cont("demo "), wrong_password}}},
        {"AsciiLoginAsksForTheUser",
         {{true, start(""), {getuser, "Username: ", {}, 0}},
          {false, cont("joe"), ask_password},
          {false, cont("demo"), welcome}}},
        {"AsciiLoginWithoutAUserName",
         {{true, start(""), {getuser, "Username: ", {}, 0}}, {false, cont(""), {authen_fail, "no user name", {}, 0}}}},
        // The NAS ends the login: nothing is answered, and the next session
        // is served as usual.
        {"AsciiLoginAborted",
         {{true, start("joe"), ask_password},
          {false, cont("", 0x01, "user hung up"), no_reply},
          {true, author("joe", {"service=shell"}), shell_granted}}},
        {"PapLogin",
         {{true, pap("joe", "demo"), welcome},
          {true, pap("joe", "demo!"), wrong_password},
          {true, pap("joe", std::string("demo\0x", 6)), wrong_password},
          {true, pap("joe", ""), wrong_password},
          // PAP is a minor version 1 login.
          {true, pap("joe", "demo", 0xc0), {authen_fail, "authentication type not served here", {}, 0}}}},
        {"OtherAuthenticationTypesFail",
         {{true, raw(1, edited(zat_test::authen_start_body("joe", "tty5", "10.0.0.1", "x"), 2, +2)),  // CHAP
           {authen_fail, "authentication type not served here", {}, 0}},
          {true, raw(1, edited(zat_test::authen_start_body("joe", "tty5", "10.0.0.1"), 0, +1)),  // CHPASS
           {authen_fail, "authentication type not served here", {}, 0}}}},
        {"Authorization",
         {{true, author("joe", {"service=shell", "cmd="}), shell_granted},
          {true, author("joe", {"service=ppp", "protocol=ip"}), shell_only},
          {true, author("joe", {}), shell_only},
          {true, author("", {"service=shell"}), shell_only}}},
        // Each refusal of a decoder, answered with the error reply of the
        // request's type and the decoder's text; the daemon serves on.
        {"MalformedRequests",
         {{true, raw(1, edited(zat_test::authen_start_body("joe", "tty5", "10.0.0.1"), 4, +1)),
           {authen_error, "field lengths exceed the body length", {}, 0}},
          {true, raw(1, zat_test::authen_start_body(std::string("jo\0e", 4), "tty5", "10.0.0.1")),
           {authen_error, "NUL byte in the user name", {}, 0}},
          {true, start("joe"), ask_password},
          {false, raw(1, zat_test::authen_continue_body(std::string("de\0mo", 5))),
           {authen_error, "NUL byte in the user message", {}, 0}},
          {true, raw(2, edited(zat_test::author_request_body("joe", "tty5", "10.0.0.1", {"service=shell"}), 8, -1)),
           {author_error, "field lengths fall short of the body length", {}, 0}},
          {true, raw(2, zat_test::author_request_body("joe", "tty5", "", {std::string("service=sh\0ell", 14)})),
           {author_error, "NUL byte in an argument", {}, 0}},
          {true, raw(3, zat_test::acct_request_body(0x06, "joe", "tty5", "10.0.0.1", {})),
           {acct_error, "invalid accounting flags", {}, 0}},
          {true, raw(3, bytes{0x02, 0x06, 0x01, 0x01, 0x01}), {acct_error, "body shorter than its fixed fields", {}, 0}},
          {true, acct(0x08, "joe", "tty5"), logged}}},
    };
    return table;
}

void PrintTo(const conversation &c, std::ostream *os)
{
    *os << c.name;
}

class Conversation : public Skeleton, public ::testing::WithParamInterface<conversation> {};

TEST_P(Conversation, AnsweredAsExpectedAndDecodedAlikeByTshark)
{
    start_daemon(key, key);
    exchange_all(GetParam().steps);
    expect_tshark_agrees();
    hang_up_and_expect_clean_exit();
}

INSTANTIATE_TEST_SUITE_P(Keyed, Conversation, ::testing::ValuesIn(conversations()),
                         [](const ::testing::TestParamInfo<conversation> &info) { return info.param.name; });

// ---- the who-log and the session limit ---------------------------------------

TEST_F(Skeleton, AccountingStartAndStopKeepTheWhoLog)
{
    start_daemon(key, key);
    exchange({true, acct(0x02, "joe", "tty5"), logged});
    struct stat st;
    ASSERT_EQ(0, stat(wholog.c_str(), &st));
    EXPECT_EQ(0600u, st.st_mode & 0777u) << "created at start-up by velor_loginit";
    using entry = std::vector<std::string>;
    EXPECT_EQ(std::vector<entry>({{"joe", "nas-a", "5", "10.0.0.1"}}), entries());
    exchange({true, acct(0x08, "joe", "tty5"), logged});  // a watchdog changes nothing
    EXPECT_EQ(1u, entries().size());
    exchange({true, acct(0x04, "joe", "tty5"), logged});
    EXPECT_TRUE(entries().empty());

    expect_tshark_agrees();
    hang_up_and_expect_clean_exit();
}

TEST_F(Skeleton, RefusesALoginOverTheSessionLimit)
{
    start_daemon(key, key);
    const answer too_many = {authen_fail, "too many sessions", {}, 0};
    exchange_all({
        {true, acct(0x02, "joe", "tty6"), logged},
        {true, acct(0x02, "joe", "Async7"), logged},
        // Two sessions elsewhere: refused, with either kind of login.
        {true, start("joe"), ask_password},
        {false, cont("demo"), too_many},
        {true, pap("joe", "demo"), too_many},
        // The session on the login's own port does not count.
        {true, acct(0x02, "joe", "tty5"), logged},
        {true, acct(0x04, "joe", "tty6"), logged},
        {true, pap("joe", "demo"), welcome},
        // The limit does not hide a wrong password.
        {true, acct(0x02, "joe", "tty6"), logged},
        {true, pap("joe", "nope"), wrong_password},
    });
    expect_tshark_agrees();
    hang_up_and_expect_clean_exit();
}

// ---- keys -------------------------------------------------------------------

// ZAT_KEY unset or empty: no key, and plain requests are served.
TEST_F(Skeleton, WithoutAKeyServesPlainRequests)
{
    for (const char *env : {static_cast<const char *>(nullptr), ""}) {
        SCOPED_TRACE(env ? "ZAT_KEY empty" : "ZAT_KEY unset");
        start_daemon(env, nullptr);
        exchange_all({{true, start("joe"), ask_password},
                      {false, cont("demo"), welcome},
                      {true, author("joe", {"service=shell"}), shell_granted},
                      {true, acct(0x02, "joe", "tty5"), logged}});
        expect_tshark_agrees();
        hang_up_and_expect_clean_exit();
        EXPECT_EQ(1u, entries().size());
    }
}

// A request whose obfuscation disagrees with the daemon's key.  A flag that
// contradicts the key is refused before anything is decoded: the daemon ends
// the connection without a reply.  A request obfuscated with another key
// reads as noise, which the decoder refuses: the NAS gets the ERROR reply of
// the request's type (which it cannot read with its wrong key).
TEST_F(Skeleton, RefusesRequestsWhoseObfuscationDisagreesWithTheKey)
{
    struct row {
        const char *name;
        const char *daemon_key;
        const char *nas_key;
        unsigned char flags;
        const char *log_line;  // what the daemon logs
        bool ends_connection;
    };
    const row rows[] = {
        {"plain request, key configured", key, nullptr, 0x05,
         "zat_md5_xor: unencrypted request refused, a key is configured", true},
        {"obfuscated request, no key", nullptr, key, 0x04,
         "zat_md5_xor: obfuscated request refused, no key is configured", true},
        {"obfuscated with another key", key, "another-key", 0x04, "nas-a: accounting request refused: ", false},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.name);
        start_daemon(r.daemon_key, r.nas_key);
        nas.session_id = 0x0badc0de;
        ASSERT_FALSE(nas.send(3, 1, r.flags, acct(0x02, "joe", "tty5").body).empty());
        if (r.ends_connection) {
            struct pollfd p = {nas.link.peer, POLLIN, 0};
            ASSERT_EQ(1, poll(&p, 1, 5000)) << "the daemon neither answered nor closed";
            char c;
            EXPECT_EQ(0, recv(nas.link.peer, &c, 1, 0)) << "closed without a reply";
        } else {
            zat_test::reply reply;
            ASSERT_TRUE(zat_test::read_reply(nas.link.peer, key, reply));  // read with the daemon's key
            EXPECT_EQ(3, reply.type());
            zat_test::decoded_reply d = zat_test::decode_acct_reply(reply.body());
            EXPECT_TRUE(d.framed);
            EXPECT_EQ(acct_error, d.status);
        }
        hang_up_and_expect_clean_exit();
        std::string logged_lines = read_file(log);
        EXPECT_NE(std::string::npos, logged_lines.find(r.log_line)) << logged_lines;
        EXPECT_TRUE(entries().empty());
    }
}

// ---- the daemon's own send_authen_error --------------------------------------

// The daemon replaces the module's weak send_authen_error: the NAS gets the
// bare text, the daemon's log names the NAS.
TEST_F(Skeleton, ItsOwnAuthenticationErrorReplacesTheModules)
{
    start_daemon(key, key);
    exchange_all({{true, start("joe"), ask_password},
                  {false, raw(1, bytes{0x00, 0x09, 0x00}),  // a CONTINUE that does not add up
                   {authen_error, "Illegally sized authentication cont packet", {}, 0}}});
    hang_up_and_expect_clean_exit();
    EXPECT_NE(std::string::npos,
              read_file(log).find("nas-a: authentication error: Illegally sized authentication cont packet"));
}

} // namespace
