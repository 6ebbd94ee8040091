// zat_pwd on a real pseudo-terminal: what the user sees while typing, the
// terminal settings before, during and after, and what is left in the
// terminal's input for the next program.

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
        // -e turns echo on at the end even when it was off to begin with;
        // without -e the tool leaves the settings alone.
        TtyCase{"e_turns_echo_on_at_end", {"-e", "ab"}, false, false, true, true,
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

// End of input typed at the prompt (the terminal's EOF character): no
// password, a failure, and the terminal as it was.
TEST(TtyEndOfInput, ReportedAndEchoRestored)
{
    PtyRun r = run_in_pty({"-e", "ab"}, std::string(1, '\x04'));
    ASSERT_TRUE(r.prompt_seen);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "zat_pwd: no password: the input ended before one was typed\n");
    EXPECT_EQ(r.screen, PROMPT + CRLF);
    EXPECT_TRUE(r.after.c_lflag & ECHO);
    expect_same_settings(r.before, r.after);
}

} // namespace
} // namespace pwd_test
