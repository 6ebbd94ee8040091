// zat_pwd on a real pseudo-terminal: what the user sees while typing, the
// terminal settings before, during and after, and what is left in the
// terminal's input for the next program.

#include <signal.h>
#include <sys/wait.h>
#include <termios.h>

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "tests/zat_pwd/process.h"

namespace pwd_test {
namespace {

const std::string TOO_LONG =
    "zat_pwd: the password is longer than 24 characters; nothing was hashed\n";

// The terminal turns each newline the tool writes or echoes into "\r\n".
const std::string CRLF = "\r\n";

void expect_same_settings(const struct termios &a, const struct termios &b)
{
    EXPECT_EQ(a.c_iflag, b.c_iflag);
    EXPECT_EQ(a.c_oflag, b.c_oflag);
    EXPECT_EQ(a.c_cflag, b.c_cflag);
    EXPECT_EQ(a.c_lflag & ~(tcflag_t)ECHO, b.c_lflag & ~(tcflag_t)ECHO);
}

struct TtyCase {
    std::string name;
    std::vector<std::string> args;
    bool echo_at_start;
    bool echoed;        // the typed password shows on the terminal
    bool own_newline;   // the tool writes the newline after it (-e)
    bool echo_after;    // ECHO once the tool has ended
    Scheme scheme;
};

void PrintTo(const TtyCase &c, std::ostream *os) { *os << c.name; }

class Tty : public ::testing::TestWithParam<TtyCase> {};

TEST_P(Tty, PasswordTyped)
{
    const TtyCase &c = GetParam();
    PtyRun r = run_in_pty(c.args, "secret\n", c.echo_at_start);
    ASSERT_TRUE(r.prompt_seen) << r.screen << r.err;
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.echo_at_prompt, c.echoed);

    // Echo on: the typed line ends the prompt's line.  Echo off: the tool
    // writes the newline itself, and the password never shows.
    std::string typed = c.echoed ? "secret" + CRLF : "";
    std::string own_newline = c.own_newline ? CRLF : "";
    EXPECT_EQ(r.screen, PROMPT + typed + own_newline +
                            reference_hash(c.scheme, "ab", "secret") + CRLF);

    EXPECT_EQ((r.after.c_lflag & ECHO) != 0, c.echo_after);
    expect_same_settings(r.before, r.after);
    EXPECT_EQ(r.left_in_input, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Pwd, Tty,
    ::testing::Values(
        TtyCase{"echo_on", {"ab"}, true, true, false, true, Scheme::sha512},
        TtyCase{"e_sha512", {"-e", "ab"}, true, false, true, true, Scheme::sha512},
        TtyCase{"e_d_is_des", {"-e", "-d", "ab"}, true, false, true, true, Scheme::des},
        TtyCase{"d_e_m_is_md5", {"-d", "-e", "-m", "ab"}, true, false, true, true,
                Scheme::md5},
        TtyCase{"grouped_me", {"-me", "ab"}, true, false, true, true, Scheme::md5},
        // -e gives the terminal back as it found it, echo off included;
        // without -e the tool leaves the settings alone.
        TtyCase{"e_leaves_echo_off_as_found", {"-e", "ab"}, false, false, true, false,
                Scheme::sha512},
        TtyCase{"no_e_leaves_echo_off", {"ab"}, false, false, false, false,
                Scheme::sha512}),
    [](const auto &info) { return info.param.name; });

// An over-long password is refused and its whole line read, so that no part
// of it waits in the terminal's input for the shell, echo on or off.
struct LongCase {
    std::string name;
    std::vector<std::string> args;
    std::string typed;
    std::string left;   // what the next reader of the terminal gets
};

void PrintTo(const LongCase &c, std::ostream *os) { *os << c.name; }

class TtyTooLong : public ::testing::TestWithParam<LongCase> {};

TEST_P(TtyTooLong, NothingLeft)
{
    const LongCase &c = GetParam();
    PtyRun r = run_in_pty(c.args, c.typed);
    ASSERT_TRUE(r.prompt_seen) << r.screen << r.err;
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, TOO_LONG);
    EXPECT_EQ(r.left_in_input, (int)c.left.size());
    EXPECT_EQ(r.left, c.left);
    EXPECT_TRUE(r.after.c_lflag & ECHO);
    EXPECT_EQ(r.screen.find('$'), std::string::npos) << "no hash: " << r.screen;
}

const std::string LONG30 = "abcdefghijklmnopqrstuvwxyzABCD";

INSTANTIATE_TEST_SUITE_P(
    Pwd, TtyTooLong,
    ::testing::Values(LongCase{"e_30", {"-e", "ab"}, LONG30 + "\n", ""},
                      LongCase{"echo_on_30", {"ab"}, LONG30 + "\n", ""},
                      LongCase{"e_26", {"-e", "-m", "ab"}, LONG30.substr(0, 26) + "\n", ""},
                      LongCase{"e_25", {"-e", "ab"}, LONG30.substr(0, 25) + "\n", ""},
                      LongCase{"e_100", {"-e", "-d", "ab"},
                               LONG30 + LONG30 + LONG30 + LONG30.substr(0, 10) + "\n", ""},
                      // The line after the password is the next program's.
                      LongCase{"next_line_kept", {"-e", "ab"}, LONG30 + "\nnext\n", "next\n"}),
    [](const auto &info) { return info.param.name; });

TEST(TtyTooLongScreen, PasswordNeverShownWithEchoOff)
{
    PtyRun r = run_in_pty({"-e", "ab"}, LONG30 + "\n");
    ASSERT_TRUE(r.prompt_seen);
    EXPECT_EQ(r.screen, PROMPT + CRLF);
}

// Failures after the prompt: the prompt's line is ended on the terminal
// before the message (by the tool's newline after the read with -e, by a
// newline of its own before the message otherwise, once either way), and
// the terminal is left as it was found.
struct FailCase {
    std::string name;
    std::vector<std::string> args;
    std::string typed;
    bool echo_at_start;
    std::string screen;
    std::string err;
};

void PrintTo(const FailCase &c, std::ostream *os) { *os << c.name; }

class TtyFailure : public ::testing::TestWithParam<FailCase> {};

TEST_P(TtyFailure, LineEndedAndTerminalAsFound)
{
    const FailCase &c = GetParam();
    PtyRun r = run_in_pty(c.args, c.typed, c.echo_at_start);
    ASSERT_TRUE(r.prompt_seen) << r.screen << r.err;
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(r.screen, c.screen);
    EXPECT_EQ(r.after.c_lflag, r.before.c_lflag);
    expect_same_settings(r.before, r.after);
}

const std::string END_OF_INPUT(1, '\x04');   // the terminal's EOF character
const std::string NO_INPUT =
    "zat_pwd: no password: the input ended before one was typed\n";
const std::string NO_DES_HASH = "zat_pwd: DES crypt gave no hash for the salt \"a\"\n";

INSTANTIATE_TEST_SUITE_P(
    Pwd, TtyFailure,
    ::testing::Values(
        FailCase{"end_of_input_e", {"-e", "ab"}, END_OF_INPUT, true, PROMPT + CRLF, NO_INPUT},
        FailCase{"end_of_input_e_echo_off", {"-e", "ab"}, END_OF_INPUT, false, PROMPT + CRLF,
                 NO_INPUT},
        FailCase{"end_of_input", {"ab"}, END_OF_INPUT, true, PROMPT + CRLF, NO_INPUT},
        FailCase{"no_hash_e", {"-e", "-d", "a"}, "secret\n", true, PROMPT + CRLF, NO_DES_HASH},
        FailCase{"no_hash_e_echo_off", {"-e", "-d", "a"}, "secret\n", false, PROMPT + CRLF,
                 NO_DES_HASH},
        // The echoed line has ended the prompt's line on the screen; the
        // tool still ends it on its standard output.
        FailCase{"no_hash", {"-d", "a"}, "secret\n", true, PROMPT + "secret" + CRLF + CRLF,
                 NO_DES_HASH}),
    [](const auto &info) { return info.param.name; });

// Signals at the prompt with -e.  The terminal's settings afterwards are
// exactly those from before, echo on or off, and the tool has died by the
// signal, so that its parent sees the usual status.  The interrupt and quit
// keys are typed; the others are sent; SIGPIPE comes from a standard output
// whose reader has gone, at the prompt's write.
enum class Send { key, kill, stdout_reader_gone };

struct SignalCase {
    std::string name;
    Send send;
    int sig;
    int key;   // Send::key: the terminal's control character (VINTR, VQUIT)
    bool echo_at_start;
};

void PrintTo(const SignalCase &c, std::ostream *os) { *os << c.name; }

std::vector<SignalCase> signal_cases()
{
    const SignalCase ways[] = {
        {"interrupt_key", Send::key, SIGINT, VINTR, true},
        {"quit_key", Send::key, SIGQUIT, VQUIT, true},
        {"sigterm", Send::kill, SIGTERM, 0, true},
        {"sighup", Send::kill, SIGHUP, 0, true},
        {"stdout_reader_gone", Send::stdout_reader_gone, SIGPIPE, 0, true},
    };
    std::vector<SignalCase> cases;
    for (bool echo : {true, false})
        for (SignalCase c : ways) {
            c.name += echo ? "_echo_on" : "_echo_off";
            c.echo_at_start = echo;
            cases.push_back(c);
        }
    return cases;
}

class TtySignal : public ::testing::TestWithParam<SignalCase> {};

TEST_P(TtySignal, TerminalGivenBack)
{
    const SignalCase &c = GetParam();
    PtyJob job;
    PtySetup setup;
    setup.echo = c.echo_at_start;
    setup.stdout_broken = c.send == Send::stdout_reader_gone;
    ASSERT_TRUE(pty_start(job, {"-e", "ab"}, setup));

    // The prompt is written once echo is off: the signal comes while the
    // tool waits for the password.
    bool prompt_seen = c.send == Send::stdout_reader_gone || pty_wait_for(job, PROMPT);
    if (prompt_seen && c.send == Send::key)
        pty_type(job, std::string(1, (char)job.before.c_cc[c.key]));
    if (prompt_seen && c.send == Send::kill)
        kill(job.tool, c.sig);
    PtyRun r = pty_finish(job);

    ASSERT_TRUE(prompt_seen) << r.screen << r.err;
    EXPECT_EQ(r.status, 128 + c.sig) << r.err;
    EXPECT_EQ(r.after.c_lflag, r.before.c_lflag);
    expect_same_settings(r.before, r.after);
    EXPECT_EQ(r.err, "");
}

INSTANTIATE_TEST_SUITE_P(Pwd, TtySignal, ::testing::ValuesIn(signal_cases()),
                         [](const auto &info) { return info.param.name; });

// The suspend key at the prompt: while the tool is stopped the terminal is
// as it was found; continued, the tool turns echo off again and goes on
// reading the password.
class TtyStop : public ::testing::TestWithParam<bool> {};

TEST_P(TtyStop, TerminalGivenBackWhileStopped)
{
    PtyJob job;
    PtySetup setup;
    setup.echo = GetParam();
    ASSERT_TRUE(pty_start(job, {"-e", "ab"}, setup));

    bool prompt_seen = pty_wait_for(job, PROMPT);
    int stopped = 0, continued = 0;
    struct termios while_stopped {};
    bool echo_off_again = false;
    if (prompt_seen) {
        pty_type(job, std::string(1, (char)job.before.c_cc[VSUSP]));
        stopped = pty_next_status(job);
        tcgetattr(job.slave, &while_stopped);
        kill(job.tool, SIGCONT);
        continued = pty_next_status(job);
        // The tool turns echo off in its own time once it runs again.
        echo_off_again = pty_wait_for_echo(job, false);
        pty_type(job, "secret\n");
    }
    PtyRun r = pty_finish(job);

    ASSERT_TRUE(prompt_seen) << r.screen << r.err;
    EXPECT_TRUE(WIFSTOPPED(stopped) && WSTOPSIG(stopped) == SIGTSTP) << stopped;
    EXPECT_EQ(while_stopped.c_lflag, r.before.c_lflag);
    EXPECT_TRUE(WIFCONTINUED(continued)) << continued;
    EXPECT_TRUE(echo_off_again);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.screen, PROMPT + CRLF + reference_hash(Scheme::sha512, "ab", "secret") + CRLF);
    EXPECT_EQ(r.after.c_lflag, r.before.c_lflag);
}

INSTANTIATE_TEST_SUITE_P(Pwd, TtyStop, ::testing::Values(true, false),
                         [](const auto &info) {
                             return std::string(info.param ? "echo_on" : "echo_off");
                         });

// Signals that the tool was started with ignored, as nohup and shells
// without job control start commands, stay ignored: the tool goes on.
TEST(TtySignalIgnored, StaysIgnored)
{
    PtyJob job;
    PtySetup setup;
    setup.ignored = {SIGHUP, SIGINT};
    ASSERT_TRUE(pty_start(job, {"-e", "ab"}, setup));
    bool prompt_seen = pty_wait_for(job, PROMPT);
    if (prompt_seen) {
        kill(job.tool, SIGHUP);
        kill(job.tool, SIGINT);
        pty_type(job, "secret\n");
    }
    PtyRun r = pty_finish(job);
    ASSERT_TRUE(prompt_seen) << r.screen << r.err;
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.screen, PROMPT + CRLF + reference_hash(Scheme::sha512, "ab", "secret") + CRLF);
    EXPECT_EQ(r.after.c_lflag, r.before.c_lflag);
}

} // namespace
} // namespace pwd_test
