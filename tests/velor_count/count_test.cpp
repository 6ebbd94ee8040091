// countuser() over who-log files, and both counts without a who-log.
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "daemon/velor/velor.h"
#include "tests/velor_count/support.h"

namespace {

using velor_test::entry;

std::string slurp(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

const std::string long_user(70, 'u');   // stored as its first 63
const std::string long_nas = "nas-" + std::string(36, 'n'); // 40, stored as 31

struct count_case {
    const char *name;
    std::vector<entry> entries;
    std::string user, nas, port; // the caller
    int expected;
    std::string tail = "";       // bytes after the last whole entry
};

void PrintTo(const count_case &c, std::ostream *os) { *os << c.name; }

class CountUser : public velor_test::WhologFixture, public ::testing::WithParamInterface<count_case> {};

TEST_P(CountUser, CountsTheUsersOtherSessions)
{
    const count_case &c = GetParam();
    write_entries(c.entries, c.tail);
    std::string before = slurp(path());
    user_ident id = {c.user.c_str(), c.nas.c_str(), c.port.c_str(), "extra"};

    EXPECT_EQ(c.expected, countuser(&id));
    EXPECT_EQ(before, slurp(path())) << "counting must not change the who-log";
    EXPECT_TRUE(zat_test::reports().empty());
}

const count_case count_cases[] = {
    {"OwnEntryOnly", {{"joe", "nas1", "5", ""}}, "joe", "nas1", "tty5", 0},
    {"OtherPortsAndOtherNas",
     {{"joe", "nas1", "5", ""}, {"joe", "nas1", "6", ""}, {"joe", "nas2", "5", ""}},
     "joe", "nas1", "tty5", 2},
    {"OtherNasSamePort", {{"joe", "nas2", "5", ""}}, "joe", "nas1", "tty5", 1},
    {"OtherUsersIgnored",
     {{"ann", "nas1", "6", ""}, {"joey", "nas2", "1", ""}, {"jo", "nas2", "2", ""}},
     "joe", "nas1", "tty5", 0},
    {"CallerPortReduced", {{"joe", "nas1", "5", ""}, {"joe", "nas1", "7", ""}}, "joe", "nas1", "Async5", 1},
    {"StoredPortReduced", {{"joe", "nas1", "tty5", ""}, {"joe", "nas1", "Async5", ""}}, "joe", "nas1", "5", 0},
    {"TwoOwnEntriesCountNothing", {{"joe", "nas1", "5", ""}, {"joe", "nas1", "5", ""}}, "joe", "nas1", "tty5", 0},
    {"PortWithoutNumberComparedWhole",
     {{"joe", "nas1", "Serial0/1", ""}, {"joe", "nas1", "Serial0/2", ""}},
     "joe", "nas1", "Serial0/1", 1},
    {"FreeSlotsAreNobodys", {{"", "", "", ""}, {"", "", "", ""}, {"joe", "nas1", "6", ""}}, "", "nas1", "tty5", 0},
    {"LongUserFindsItsEntries",
     {{long_user, "nas1", "5", ""}, {long_user, "nas1", "6", ""}, {long_user, "nas2", "5", ""}},
     long_user, "nas1", "tty5", 2},
    {"LongNasRecognisesOwnEntry",
     {{"joe", long_nas, "5", ""}, {"joe", long_nas, "6", ""}},
     "joe", long_nas, "tty5", 1},
    {"TrailingPieceIsNoEntry",
     {{"joe", "nas2", "6", ""}},
     "joe", "nas1", "tty5", 1,
     velor_test::entry_bytes({"joe", "nas2", "7", ""}).substr(0, 150)},
};

INSTANTIATE_TEST_SUITE_P(Table, CountUser, ::testing::ValuesIn(count_cases),
                         [](const auto &info) { return std::string(info.param.name); });

class CountFiles : public velor_test::WhologFixture {};

TEST_F(CountFiles, DamagedFieldsWithoutNulAreReadWithinTheirWidth)
{
    // Every field filled to its last byte: no text ends inside the entry.
    std::string raw = std::string(64, 'j') + std::string(32, 'n') + std::string(32, '7') + std::string(64, 'x');
    raw += velor_test::entry_bytes({"joe", "nas2", "7", ""});
    FILE *f = fopen(path().c_str(), "w");
    ASSERT_NE(nullptr, f);
    ASSERT_EQ(raw.size(), fwrite(raw.data(), 1, raw.size(), f));
    fclose(f);

    std::string j63(63, 'j');
    user_ident id = {j63.c_str(), "nas1", "tty7", ""};
    EXPECT_EQ(0, countuser(&id)) << "a 64-byte user field is no user name of 63 bytes";
    EXPECT_EQ(0, countusers_by_finger(&id));
    user_ident joe = {"joe", "nas1", "tty7", ""};
    EXPECT_EQ(1, countuser(&joe));
}

TEST_F(CountFiles, MissingWhologCountsNothingSilently)
{
    user_ident id = {"joe", "nas1", "tty5", ""};
    debug = DEBUG_LIMIT_FLAG | DEBUG_PORTNAME_FLAG;
    EXPECT_EQ(0, countuser(&id));
    EXPECT_EQ(0, countusers_by_finger(&id));
    EXPECT_TRUE(zat_test::reports().empty());
    EXPECT_TRUE(fake_net::lookups().empty());
    EXPECT_NE(0, access(path().c_str(), F_OK)) << "counting never creates the who-log";
}

TEST_F(CountFiles, EmptyWhologQueriesNoNas)
{
    write_entries({});
    user_ident id = {"joe", "nas1", "tty5", ""};
    debug = DEBUG_LIMIT_FLAG;
    EXPECT_EQ(0, countuser(&id));
    EXPECT_EQ(0, countusers_by_finger(&id));
    EXPECT_TRUE(zat_test::reports().empty());
    EXPECT_TRUE(fake_net::lookups().empty());
}

TEST_F(CountFiles, FingerAsksOnlyNasesOfTheUser)
{
    // Entries of other users and free slots make no query.
    write_entries({{"ann", "nas.invalid", "1", ""}, {"", "", "", ""}, {"joey", "nas.invalid", "2", ""}});
    user_ident id = {"joe", "nas1", "tty5", ""};
    EXPECT_EQ(0, countusers_by_finger(&id));
    EXPECT_TRUE(fake_net::lookups().empty());
    user_ident nobody = {"", "nas1", "tty5", ""};
    EXPECT_EQ(0, countusers_by_finger(&nobody));
    EXPECT_TRUE(fake_net::lookups().empty());
}

} // namespace
