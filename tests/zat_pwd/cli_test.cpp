// zat_pwd as a command: command lines, input through pipes and files,
// standard output, standard error and exit status.  Every printed hash is
// compared with the one an independent implementation gives.

#include <errno.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "tests/zat_pwd/process.h"
#include "tools/zat_pwd/salt.h"

namespace pwd_test {
namespace {

const std::string TOO_LONG =
    "zat_pwd: the password is longer than 24 characters; nothing was hashed\n";
const std::string NO_INPUT =
    "zat_pwd: no password: the input ended before one was typed\n";
const std::string DES_WARNING =
    "zat_pwd: warning: DES crypt uses only the first 8 characters of the password\n";

std::string no_terminal()
{
    return std::string("could not get terminal characteristics: ") +
           strerror(ENOTTY) + "\n";
}

std::string bad_option(char letter)
{
    return std::string("zat_pwd: invalid option -- '") + letter + "'\n" + USAGE;
}

std::string no_hash(const std::string &scheme, const std::string &salt)
{
    return "zat_pwd: " + scheme + " gave no hash for the salt \"" + salt + "\"\n";
}

const std::string PW24 = "abcdefghijklmnopqrstuvwx";   // 24 characters

// The salts that the tool can have generated while it ran between t0 and
// t1: the generator is seeded with the time at which the password was read.
std::vector<std::string> generated_salts(time_t t0, time_t t1)
{
    std::vector<std::string> salts;
    for (time_t t = t0; t <= t1; t++) {
        srandom((unsigned int)(uint32_t)t);
        std::string s;
        for (int i = 0; i < 4; i++)
            s += salt_char(random());
        salts.push_back(s);
    }
    return salts;
}

enum class Outcome {
    hash,        // prompt, hash, newline; exit 0
    usage,       // usage text only; exit 0
    bad_option,  // getopt's diagnostic and the usage text; exit 1
    no_terminal, // -e without a terminal: perror's text; exit 1
    refused,     // prompt, its line ended, a message and no hash; exit 1
};

struct CliCase {
    std::string name;
    std::vector<std::string> args;
    std::string input;
    Outcome outcome = Outcome::hash;
    Scheme scheme = Scheme::sha512;
    std::string salt;        // as crypt gets it; empty: generated
    std::string password;    // as it must be hashed
    std::string err;         // standard error of a hash or a refusal
    char letter = 0;         // the unknown option
};

void PrintTo(const CliCase &c, std::ostream *os) { *os << c.name; }

CliCase hash(std::string name, std::vector<std::string> args, std::string input,
             Scheme scheme, std::string salt, std::string password,
             std::string err = "")
{
    return {name, args, input, Outcome::hash, scheme, salt, password, err};
}

CliCase no_hash_case(std::string name, std::vector<std::string> args,
                     std::string input, Outcome outcome)
{
    CliCase c;
    c.name = name;
    c.args = args;
    c.input = input;
    c.outcome = outcome;
    return c;
}

CliCase usage(std::string name, std::vector<std::string> args)
{
    return no_hash_case(name, args, "secret\n", Outcome::usage);
}

CliCase unknown(std::string name, std::vector<std::string> args, char letter)
{
    CliCase c = no_hash_case(name, args, "secret\n", Outcome::bad_option);
    c.letter = letter;
    return c;
}

CliCase terminal_needed(std::string name, std::vector<std::string> args)
{
    return no_hash_case(name, args, "secret\n", Outcome::no_terminal);
}

CliCase refused(std::string name, std::vector<std::string> args,
                std::string input, std::string err)
{
    CliCase c = no_hash_case(name, args, input, Outcome::refused);
    c.err = err;
    return c;
}

const Scheme SHA = Scheme::sha512;
const Scheme MD5 = Scheme::md5;
const Scheme DES = Scheme::des;

std::vector<CliCase> cli_cases()
{
    const std::string pw = "secret\n";
    return {
        // Schemes and the order of options: the last of -d and -m wins.
        hash("sha512_by_default", {"ab"}, pw, SHA, "ab", "secret"),
        hash("md5", {"-m", "ab"}, pw, MD5, "ab", "secret"),
        hash("des", {"-d", "ab"}, pw, DES, "ab", "secret"),
        hash("d_then_m_is_md5", {"-d", "-m", "ab"}, pw, MD5, "ab", "secret"),
        hash("m_then_d_is_des", {"-m", "-d", "ab"}, pw, DES, "ab", "secret"),
        hash("grouped_dm_is_md5", {"-dm", "ab"}, pw, MD5, "ab", "secret"),
        hash("grouped_md_is_des", {"-md", "ab"}, pw, DES, "ab", "secret"),
        hash("double_dash_ends_options", {"-m", "--", "ab"}, pw, MD5, "ab", "secret"),
        hash("after_double_dash_an_option_is_the_salt", {"--", "-m"}, pw, SHA, "-m", "secret"),
        hash("lone_hyphen_is_the_salt", {"-", "-m"}, pw, SHA, "-", "secret"),

        // Arguments after the salt are ignored, options among them.
        hash("m_after_salt_ignored", {"ab", "-m"}, pw, SHA, "ab", "secret"),
        hash("d_after_salt_ignored", {"-m", "ab", "-d"}, pw, MD5, "ab", "secret"),
        hash("e_after_salt_ignored", {"ab", "-e"}, pw, SHA, "ab", "secret"),
        hash("h_after_salt_ignored", {"ab", "-h"}, pw, SHA, "ab", "secret"),
        hash("unknown_after_salt_ignored", {"ab", "-x"}, pw, SHA, "ab", "secret"),
        hash("extra_arguments_ignored", {"-m", "ab", "cd", "ef"}, pw, MD5, "ab", "secret"),

        // Salt lengths: SHA-512 and MD5 crypt take 2 characters, DES crypt 4.
        hash("sha512_salt_1", {"a"}, pw, SHA, "a", "secret"),
        hash("sha512_salt_4_cut_to_2", {"abcd"}, pw, SHA, "ab", "secret"),
        hash("sha512_salt_6_cut_to_2", {"abcdef"}, pw, SHA, "ab", "secret"),
        hash("md5_salt_4_cut_to_2", {"-m", "abcd"}, pw, MD5, "ab", "secret"),
        hash("md5_salt_6_cut_to_2", {"-m", "abcdef"}, pw, MD5, "ab", "secret"),
        hash("des_salt_4", {"-d", "abcd"}, pw, DES, "abcd", "secret"),
        hash("des_salt_6_cut_to_4", {"-d", "abcdef"}, pw, DES, "abcd", "secret"),
        // The crypt library refuses the whole setting "abcd\x01x"; cut to
        // its first 4 characters it is a good DES salt.
        hash("des_cut_drops_fifth_and_sixth", {"-d", "abcd\x01x"}, pw, DES, "abcd", "secret"),

        // Generated salts: 4 characters for DES, the first 2 of them else.
        hash("sha512_generated_salt", {}, pw, SHA, "", "secret"),
        hash("md5_generated_salt", {"-m"}, pw, MD5, "", "secret"),
        hash("des_generated_salt", {"-d"}, pw, DES, "", "secret"),
        hash("generated_salt_after_double_dash", {"-d", "--"}, pw, DES, "", "secret"),

        // The password line.
        hash("without_newline_all_bytes_kept", {"ab"}, "abc", SHA, "ab", "abc"),
        hash("crlf_stripped", {"-m", "ab"}, "abc\r\n", MD5, "ab", "abc"),
        hash("inner_cr_kept", {"ab"}, "a\rb\n", SHA, "ab", "a\rb"),
        hash("lone_trailing_cr_kept", {"-d", "ab"}, "abc\r", DES, "ab", "abc\r"),
        hash("blanks_kept", {"ab"}, " pass word \n", SHA, "ab", " pass word "),
        hash("second_line_not_part_of_it", {"ab"}, "abc\ndef\n", SHA, "ab", "abc"),
        hash("empty_line_is_the_empty_password", {"-d", "ab"}, "\n", DES, "ab", ""),
        hash("24_characters", {"ab"}, PW24 + "\n", SHA, "ab", PW24),
        hash("24_characters_crlf", {"-m", "ab"}, PW24 + "\r\n", MD5, "ab", PW24),
        hash("24_characters_no_newline", {"ab"}, PW24, SHA, "ab", PW24),
        refused("25_characters", {"ab"}, PW24 + "y\n", TOO_LONG),
        refused("25_characters_no_newline", {"-m", "ab"}, PW24 + "y", TOO_LONG),
        refused("25_characters_before_crlf", {"-m", "ab"}, PW24 + "y\r\n", TOO_LONG),
        refused("40_characters", {"-d", "ab"}, PW24 + PW24.substr(0, 16) + "\n", TOO_LONG),
        refused("no_input_at_all", {"ab"}, "", NO_INPUT),

        // DES crypt and long passwords: a warning, the hash all the same.
        hash("des_8_characters_no_warning", {"-d", "ab"}, "12345678\n", DES, "ab", "12345678"),
        hash("des_9_characters_warned", {"-d", "ab"}, "123456789\n", DES, "ab", "123456789",
             DES_WARNING),
        hash("md5_9_characters_no_warning", {"-m", "ab"}, "123456789\n", MD5, "ab", "123456789"),

        // Salts the crypt library gives no hash for.
        refused("des_salt_1", {"-d", "a"}, pw, no_hash("DES crypt", "a")),
        refused("des_salt_empty", {"-d", ""}, pw, no_hash("DES crypt", "")),
        refused("des_salt_dollar", {"-d", "a$"}, pw, no_hash("DES crypt", "a$")),
        refused("des_salt_control_within_4", {"-d", "ab\x01z"}, pw,
                no_hash("DES crypt", "ab\\x01z")),
        refused("sha512_salt_colon", {"a:"}, pw, no_hash("SHA-512 crypt", "a:")),
        refused("md5_salt_blank", {"-m", "a bc"}, pw, no_hash("MD5 crypt", "a ")),

        // -h and unknown options end the program where they are reached.
        usage("help", {"-h"}),
        usage("help_after_options", {"-d", "-e", "-m", "-h"}),
        usage("help_before_unknown", {"-h", "-x"}),
        usage("help_grouped_before_unknown", {"-hx"}),
        unknown("unknown", {"-x"}, 'x'),
        unknown("unknown_before_help", {"-x", "-h"}, 'x'),
        unknown("unknown_grouped_before_help", {"-mxh"}, 'x'),
        unknown("unknown_after_options", {"-m", "-q", "ab"}, 'q'),

        // -e wherever it stands among the options needs a terminal.
        terminal_needed("e_alone", {"-e"}),
        terminal_needed("e_with_salt", {"-e", "ab"}),
        terminal_needed("e_between", {"-d", "-e", "-m"}),
        terminal_needed("e_grouped", {"-me", "ab"}),
        terminal_needed("e_last_option", {"-m", "-e", "--", "ab"}),
    };
}

class Cli : public ::testing::TestWithParam<CliCase> {};

TEST_P(Cli, Behaves)
{
    const CliCase &c = GetParam();
    time_t t0 = time(nullptr);
    Result r = run_pwd(c.args, c.input);
    time_t t1 = time(nullptr);

    switch (c.outcome) {
    case Outcome::hash: {
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err, c.err);
        if (!c.salt.empty()) {
            EXPECT_EQ(r.out, PROMPT + reference_hash(c.scheme, c.salt, c.password) + "\n");
            break;
        }
        // A generated salt: the first two salt characters show in every
        // scheme's hash; they must be salt characters, and the hash must be
        // the one made with a salt seeded from the time.
        ASSERT_GT(r.out.size(), PROMPT.size() + 5) << r.out;
        std::string hash = r.out.substr(PROMPT.size());
        size_t at = c.scheme == Scheme::des ? 0 : 3;
        for (size_t i = at; i < at + 2; i++)
            EXPECT_NE(SALT_SET.find(hash[i]), std::string::npos) << hash;
        bool matched = false;
        for (const std::string &s : generated_salts(t0, t1)) {
            std::string used = c.scheme == Scheme::des ? s : s.substr(0, 2);
            if (r.out == PROMPT + reference_hash(c.scheme, used, c.password) + "\n")
                matched = true;
        }
        EXPECT_TRUE(matched) << r.out;
        break;
    }
    case Outcome::usage:
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, USAGE);
        break;
    case Outcome::bad_option:
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, bad_option(c.letter));
        break;
    case Outcome::no_terminal:
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, no_terminal());
        break;
    case Outcome::refused:
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, PROMPT + "\n");
        EXPECT_EQ(r.err, c.err);
        break;
    }
}

INSTANTIATE_TEST_SUITE_P(Pwd, Cli, ::testing::ValuesIn(cli_cases()),
                         [](const auto &info) { return info.param.name; });

// With standard input from a file the offset that the tool leaves shows how
// much it read: nothing before an option stops it, exactly the over-long
// line when it refuses one.
struct FileCase {
    std::string name;
    std::vector<std::string> args;
    std::string input;
    int status;
    std::string out;
    std::string err;
    off_t offset;
};

void PrintTo(const FileCase &c, std::ostream *os) { *os << c.name; }

std::vector<FileCase> file_cases()
{
    const std::string next = "next\n";
    const std::string long30 = PW24 + "yzABCD";   // 30 characters
    const std::string ended = PROMPT + "\n";
    return {
        {"unknown_option_reads_nothing", {"-x"}, "secret\n", 1, "", bad_option('x'), 0},
        {"help_reads_nothing", {"-h"}, "secret\n", 0, "", USAGE, 0},
        {"e_reads_nothing", {"-e", "ab"}, "secret\n", 1, "", no_terminal(), 0},
        {"30_characters_line_consumed", {"ab"}, long30 + "\n" + next, 1, ended, TOO_LONG, 31},
        {"26_characters_then_newline", {"ab"}, long30.substr(0, 26) + "\n" + next, 1, ended,
         TOO_LONG, 27},
        {"25_characters_one_read", {"ab"}, PW24 + "y\n" + next, 1, ended, TOO_LONG, 26},
        {"long_line_without_newline", {"ab"}, long30 + long30, 1, ended, TOO_LONG, 60},
        {"empty_file", {"ab"}, "", 1, ended, NO_INPUT, 0},
    };
}

class FileStdin : public ::testing::TestWithParam<FileCase> {};

TEST_P(FileStdin, Behaves)
{
    const FileCase &c = GetParam();
    Result r = run_pwd(c.args, c.input, Stdin::file);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(r.stdin_offset, c.offset);
}

INSTANTIATE_TEST_SUITE_P(Pwd, FileStdin, ::testing::ValuesIn(file_cases()),
                         [](const auto &info) { return info.param.name; });

// Standard output is written with write(2), unbuffered: the prompt in one
// write, the hash in one, the newline in one.
TEST(PwdOutput, OneWriteEach)
{
    int status;
    std::vector<std::string> w = stdout_writes({"-m", "ab"}, "secret\n", &status);
    EXPECT_EQ(status, 0);
    std::vector<std::string> expected = {PROMPT, reference_hash(Scheme::md5, "ab", "secret"),
                                         "\n"};
    EXPECT_EQ(w, expected);
}

// A failure after the prompt: the prompt's line is ended with a write of
// its own, before the message on standard error begins.
struct FailOrder {
    std::string name;
    std::vector<std::string> args;
    std::string input;
    std::string err;
};

void PrintTo(const FailOrder &c, std::ostream *os) { *os << c.name; }

class PromptLineEnded : public ::testing::TestWithParam<FailOrder> {};

TEST_P(PromptLineEnded, BeforeTheMessage)
{
    const FailOrder &c = GetParam();
    int status;
    std::vector<std::string> w = stdout_writes(c.args, c.input, &status, true);
    EXPECT_EQ(status, 1);
    ASSERT_GE(w.size(), 3u);
    EXPECT_EQ(w[0], PROMPT);
    EXPECT_EQ(w[1], "\n");
    std::string message;
    for (size_t i = 2; i < w.size(); i++)
        message += w[i];
    EXPECT_EQ(message, c.err);
}

INSTANTIATE_TEST_SUITE_P(
    Pwd, PromptLineEnded,
    ::testing::Values(FailOrder{"too_long", {"ab"}, PW24 + PW24 + "\n", TOO_LONG},
                      FailOrder{"no_input", {"ab"}, "", NO_INPUT},
                      FailOrder{"no_hash", {"-d", "a"}, "secret\n", no_hash("DES crypt", "a")}),
    [](const auto &info) { return info.param.name; });

TEST(PwdRead, FailedReadIsReported)
{
    Result r = run_pwd({"ab"}, "", Stdin::write_only);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, PROMPT + "\n");
    EXPECT_EQ(r.err, std::string("zat_pwd: could not read the password: ") +
                         strerror(EBADF) + "\n");
}

// The line after the password's is left for the next reader of the file.
TEST(PwdRead, FileWithPasswordLineIsHashed)
{
    Result r = run_pwd({"-m", "xy"}, "secret\nnext\n", Stdin::file);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, PROMPT + reference_hash(Scheme::md5, "xy", "secret") + "\n");
    EXPECT_EQ(r.stdin_offset, 7);
}

// A crypt that gives a null pointer (preloaded in place of the library's):
// the tool reports it, prints no hash and fails.
struct NullCase {
    std::string name;
    std::vector<std::string> args;
    std::string err;
};

void PrintTo(const NullCase &c, std::ostream *os) { *os << c.name; }

class NullCrypt : public ::testing::TestWithParam<NullCase> {};

TEST_P(NullCrypt, Reported)
{
    const NullCase &c = GetParam();
    // The sanitizer runtime must otherwise come first among the libraries.
    Result r = run_pwd(c.args, "secret\n", Stdin::pipe,
                    {{"LD_PRELOAD", NULL_CRYPT_PATH},
                     {"ASAN_OPTIONS", "verify_asan_link_order=0"}});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, PROMPT + "\n");
    EXPECT_EQ(r.err, c.err);
}

INSTANTIATE_TEST_SUITE_P(
    Pwd, NullCrypt,
    ::testing::Values(NullCase{"sha512", {"ab"}, no_hash("SHA-512 crypt", "ab")},
                      NullCase{"md5", {"-m", "abcd"}, no_hash("MD5 crypt", "ab")},
                      NullCase{"des", {"-d", "abcdef"}, no_hash("DES crypt", "abcd")}),
    [](const auto &info) { return info.param.name; });

} // namespace
} // namespace pwd_test
