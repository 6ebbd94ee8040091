// The password line however it arrives: whole, in pieces from a slow
// writer, byte by byte, from a file, or typed on a terminal.  The tool
// hashes the whole line once, whatever the cuts, and applies its length
// limit to the whole line too.

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
const std::string CRLF = "\r\n";
const std::string PW24 = "abcdefghijklmnopqrstuvwx";   // 24 characters

enum class Feed {
    pipe,       // a pipe; each piece goes in once the tool has read the last
    file,       // a regular file holding all the pieces
    pty_lines,  // typed piece by piece on a terminal that passes on lines
    pty_raw,    // typed on a terminal without ICANON, each piece read first
};

struct LineCase {
    std::string name;
    Feed feed;
    std::vector<std::string> args;   // the salt is always "ab"
    std::vector<std::string> pieces;
    bool refused;                    // too long: nothing is hashed
    std::string password;            // else the password that is hashed
    Scheme scheme = Scheme::sha512;
};

void PrintTo(const LineCase &c, std::ostream *os) { *os << c.name; }

std::vector<std::string> bytes(const std::string &text)
{
    std::vector<std::string> out;
    for (char ch : text)
        out.emplace_back(1, ch);
    return out;
}

std::vector<LineCase> line_cases()
{
    const std::vector<std::string> ab = {"ab"};
    const std::vector<std::string> e_ab = {"-e", "ab"};
    const std::vector<std::string> m_ab = {"-m", "ab"};
    const std::vector<std::string> pw = {"secret\n"};
    return {
        {"pipe_whole", Feed::pipe, ab, pw, false, "secret"},
        {"pipe_two_pieces", Feed::pipe, ab, {"sec", "ret\n"}, false, "secret"},
        {"pipe_byte_by_byte", Feed::pipe, m_ab, bytes("secret\n"), false, "secret",
         Scheme::md5},
        {"pipe_newline_alone", Feed::pipe, ab, {"secret", "\n"}, false, "secret"},
        {"pipe_cut_inside_crlf", Feed::pipe, m_ab, {"secret\r", "\n"}, false, "secret",
         Scheme::md5},
        {"pipe_ends_without_newline", Feed::pipe, ab, {"sec", "ret"}, false, "secret"},
        {"pipe_24_in_pieces", Feed::pipe, ab, {PW24.substr(0, 10), PW24.substr(10) + "\r\n"},
         false, PW24},
        {"pipe_25_in_pieces", Feed::pipe, ab, {PW24.substr(0, 20), PW24.substr(20) + "y\n"},
         true, ""},
        {"pipe_30_byte_by_byte", Feed::pipe, ab, bytes(PW24 + "yzABCD\n"), true, ""},
        {"file", Feed::file, ab, {"secret\n", "next\n"}, false, "secret"},
        {"pty_two_pieces", Feed::pty_lines, e_ab, {"sec", "ret\n"}, false, "secret"},
        {"pty_raw_byte_by_byte", Feed::pty_raw, e_ab, bytes("secret\n"), false, "secret"},
        {"pty_raw_30_byte_by_byte", Feed::pty_raw, e_ab, bytes(PW24 + "yzABCD\n"), true, ""},
    };
}

class WholeLine : public ::testing::TestWithParam<LineCase> {};

TEST_P(WholeLine, HashedOnce)
{
    const LineCase &c = GetParam();
    std::string hash = c.refused ? "" : reference_hash(c.scheme, "ab", c.password);

    if (c.feed == Feed::pipe || c.feed == Feed::file) {
        std::string all;
        for (const std::string &piece : c.pieces)
            all += piece;
        Result r = c.feed == Feed::pipe ? run_pwd_pieces(c.args, c.pieces)
                                        : run_pwd(c.args, all, Stdin::file);
        EXPECT_EQ(r.status, c.refused ? 1 : 0) << r.err;
        EXPECT_EQ(r.err, c.refused ? TOO_LONG : "");
        EXPECT_EQ(r.out, PROMPT + (c.refused ? "" : hash) + "\n");
        return;
    }

    PtyJob job;
    PtySetup setup;
    setup.canonical = c.feed == Feed::pty_lines;
    ASSERT_TRUE(pty_start(job, c.args, setup));
    bool prompt_seen = pty_wait_for(job, PROMPT);
    if (prompt_seen)
        for (const std::string &piece : c.pieces)
            pty_type(job, piece, c.feed == Feed::pty_raw);
    PtyRun r = pty_finish(job);
    ASSERT_TRUE(prompt_seen) << r.screen << r.err;
    EXPECT_EQ(r.status, c.refused ? 1 : 0) << r.err;
    EXPECT_EQ(r.err, c.refused ? TOO_LONG : "");
    EXPECT_EQ(r.screen, PROMPT + CRLF + (c.refused ? "" : hash + CRLF));
    EXPECT_EQ(r.after.c_lflag, r.before.c_lflag);
    EXPECT_EQ(r.left_in_input, 0);
}

INSTANTIATE_TEST_SUITE_P(Pwd, WholeLine, ::testing::ValuesIn(line_cases()),
                         [](const auto &info) { return info.param.name; });

} // namespace
} // namespace pwd_test
