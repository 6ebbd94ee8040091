// loguser() on real who-log files: what START and STOP records leave in the
// file and which lines they log.
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "daemon/host/host.h"
#include "daemon/velor/velor.h"
#include "tests/support/reports.h"
#include "tests/velor_wholog/wholog_files.h"

namespace {

using namespace wholog_test;
using zat_test::report_line;

constexpr int START = ACCT_KIND_START;
constexpr int STOP = ACCT_KIND_STOP;
constexpr int LIMIT = DEBUG_LIMIT_FLAG;
constexpr int PORTNAME = DEBUG_PORTNAME_FLAG;

std::string cat(std::initializer_list<std::string> parts)
{
    std::string all;
    for (const auto &p : parts)
        all += p;
    return all;
}

const std::string u70(70, 'u');
const std::string u63(63, 'u');
const std::string nas40 = "nas-" + std::string(36, 'n');   // 40 characters
const std::string nas31 = nas40.substr(0, 31);
const std::string digits40 = "1234567890123456789012345678901234567890";
const std::string digits31 = digits40.substr(0, 31);

// A damaged entry: its nas field has no NUL byte, and the bytes of the next
// field would continue it.
std::string damaged_entry()
{
    std::string e = entry("eve", "", "7", "old");
    e.replace(64, 32, std::string(32, 'n'));
    return e;
}

struct update_case {
    const char *name;
    int debug;
    std::string before;             // the file before the records ("" = empty file)
    std::vector<record> records;    // handed to loguser one after the other
    std::string after;              // the whole file afterwards
    std::vector<report_line> lines; // "{path}" stands for the who-log path
};

void PrintTo(const update_case &c, std::ostream *os)
{
    *os << c.name;
}

const std::vector<update_case> &update_cases()
{
    static const std::vector<update_case> cases = {
        {"StartOnEmptyFileWritesEntryZero", LIMIT, "",
         {{START, "joe", "nas1", "Async7", "10.0.0.9"}},
         entry("joe", "nas1", "7", "10.0.0.9"),
         {{7, "START record -- {path} entry 0 for nas1 joe/7 added"}}},
        {"StartWithoutDebugLogsNothing", 0, "",
         {{START, "joe", "nas1", "Async7", "x"}},
         entry("joe", "nas1", "7", "x"),
         {}},
        {"StartOverwritesAnotherUsersEntryOnTheSamePort", LIMIT,
         cat({entry("ann", "nas2", "7", "a"), entry("bob", "nas1", "7", "b"), entry("cy", "nas1", "8", "c")}),
         {{START, "joe", "nas1", "tty7", "j"}},
         cat({entry("ann", "nas2", "7", "a"), entry("joe", "nas1", "7", "j"), entry("cy", "nas1", "8", "c")}),
         {{7, "START record -- overwrite existing {path} entry 1 for nas1 joe/7"}}},
        {"StartFillsTheLastFreeSlot", LIMIT,
         cat({entry("a", "nas1", "1"), free_slot(), entry("b", "nas1", "2"), free_slot(), entry("c", "nas1", "3")}),
         {{START, "joe", "nas1", "Async9", "j"}},
         cat({entry("a", "nas1", "1"), free_slot(), entry("b", "nas1", "2"), entry("joe", "nas1", "9", "j"),
              entry("c", "nas1", "3")}),
         {{7, "START record -- {path} entry 3 for nas1 joe/9 added"}}},
        {"StartPrefersTheMatchToAFreeSlotBeforeIt", LIMIT,
         cat({free_slot(), entry("a", "nas1", "1"), entry("b", "nas1", "9")}),
         {{START, "joe", "nas1", "Async9", "j"}},
         cat({free_slot(), entry("a", "nas1", "1"), entry("joe", "nas1", "9", "j")}),
         {{7, "START record -- overwrite existing {path} entry 2 for nas1 joe/9"}}},
        {"StartNeverLooksPastTheMatch", LIMIT,
         cat({entry("a", "nas1", "1"), entry("b", "nas1", "9"), free_slot(), entry("b", "nas1", "9")}),
         {{START, "joe", "nas1", "Async9", "j"}},
         cat({entry("a", "nas1", "1"), entry("joe", "nas1", "9", "j"), free_slot(), entry("b", "nas1", "9")}),
         {{7, "START record -- overwrite existing {path} entry 1 for nas1 joe/9"}}},
        {"StartAppendsOverAStrayTail", LIMIT,
         cat({entry("a", "nas1", "1"), entry("b", "nas1", "2"), std::string(116, '\xab')}),
         {{START, "joe", "nas1", "Async3", "j"}},
         cat({entry("a", "nas1", "1"), entry("b", "nas1", "2"), entry("joe", "nas1", "3", "j")}),
         {{7, "START record -- {path} entry 2 for nas1 joe/3 added"}}},
        {"StopClearsEveryEntryOfThePort", LIMIT,
         cat({entry("ann", "nas1", "7"), entry("bob", "nas1", "8"), entry("cy", "nas2", "7"), entry("dee", "nas1", "7")}),
         {{STOP, "joe", "nas1", "Async7", ""}},
         cat({free_slot(), entry("bob", "nas1", "8"), entry("cy", "nas2", "7"), free_slot()}),
         {{7, "STOP record -- clear {path} entry 0 for joe/7"}, {7, "STOP record -- clear {path} entry 3 for joe/7"}}},
        {"StopForAPortWithoutEntriesChangesNothing", LIMIT,
         cat({entry("ann", "nas1", "7"), free_slot(), entry("bob", "nas2", "8")}),
         {{STOP, "joe", "nas1", "Async8", ""}},
         cat({entry("ann", "nas1", "7"), free_slot(), entry("bob", "nas2", "8")}),
         {}},
        {"StopIgnoresAStrayTail", LIMIT,
         cat({entry("ann", "nas1", "7"), entry("nas1", "nas1", "7").substr(0, 100)}),
         {{STOP, "joe", "nas1", "tty7", ""}},
         cat({free_slot(), entry("nas1", "nas1", "7").substr(0, 100)}),
         {{7, "STOP record -- clear {path} entry 0 for joe/7"}}},
        {"StartThenStopLeavesAFreeSlot", LIMIT, "",
         {{START, "joe", "nas1", "Async7", "j"}, {STOP, "joe", "nas1", "Async7", ""}},
         free_slot(),
         {{7, "START record -- {path} entry 0 for nas1 joe/7 added"}, {7, "STOP record -- clear {path} entry 0 for joe/7"}}},
        {"CommandAccountingIsIgnored", LIMIT, entry("ann", "nas1", "7"),
         {{START, "joe", "nas1", "Async7", "j", {"task_id=4", "cmd=show version"}},
          {STOP, "joe", "nas1", "Async7", "", {"cmd=x"}}},
         entry("ann", "nas1", "7"),
         {}},
        {"AnEmptyCommandIsNotCommandAccounting", LIMIT, entry("ann", "nas1", "7"),
         {{START, "joe", "nas1", "Async7", "j", {"cmd=", "service=shell"}}},
         entry("joe", "nas1", "7", "j"),
         {{7, "START record -- overwrite existing {path} entry 0 for nas1 joe/7"}}},
        {"OtherKindsAreIgnored", LIMIT | PORTNAME, entry("ann", "nas1", "7"),
         {{0, "joe", "nas1", "Async7", "j"}, {3, "joe", "nas1", "Async7", "j"}, {-1, "joe", "nas1", "", "j"}},
         entry("ann", "nas1", "7"),
         {}},
        {"PortNamesAreStoredReduced", 0, "",
         {{START, "a", "nas1", "Async7"}, {START, "b", "nas1", "tty12"}, {START, "c", "nas1", "ttyS1"},
          {START, "d", "nas1", "Serial0/1"}, {START, "e", "nas1", "Async"}, {START, "f", "nas1", ""}},
         cat({entry("a", "nas1", "7"), entry("b", "nas1", "12"), entry("c", "nas1", "1"),
              entry("d", "nas1", "Serial0/1"), entry("e", "nas1", "Async"), entry("f", "nas1", "")}),
         {}},
        {"MalformedPortNamesAreLoggedUnderTheirFlag", PORTNAME, "",
         {{START, "e", "nas1", "Async"}, {STOP, "f", "nas1", ""}, {START, "g", "nas1", "tty"}},
         cat({entry("e", "nas1", "Async"), entry("g", "nas1", "tty")}),
         {{7, "Velor -- Malformed portname: Async"}, {7, "Velor -- Malformed portname: "},
          {7, "Velor -- Malformed portname: tty"}}},
        {"LongUserIsCutAndLoggedCut", LIMIT, "",
         {{START, u70, "nas1", "Async1", std::string(80, 'x')}},
         entry(u63, "nas1", "1", std::string(63, 'x')),
         {{7, "START record -- {path} entry 0 for nas1 " + u63 + "/1 added"}}},
        {"StopLogsTheFullUser", LIMIT, entry(u63, "nas1", "1"),
         {{STOP, u70, "nas1", "Async1", ""}},
         free_slot(),
         {{7, "STOP record -- clear {path} entry 0 for " + u70 + "/1"}}},
        {"LongNasMatchesItsOwnCutEntry", LIMIT, "",
         {{START, "joe", nas40, "Async1", "first"}, {START, "ann", nas40, "Async1", "second"}},
         entry("ann", nas31, "1", "second"),
         {{7, "START record -- {path} entry 0 for " + nas31 + " joe/1 added"},
          {7, "START record -- overwrite existing {path} entry 0 for " + nas31 + " ann/1"}}},
        {"LongNasIsClearedByItsStop", LIMIT, entry("joe", nas31, "1"),
         {{STOP, "joe", nas40, "Async1", ""}},
         free_slot(),
         {{7, "STOP record -- clear {path} entry 0 for joe/1"}}},
        {"LongReducedPortMatchesItsOwnCutEntry", LIMIT, "",
         {{START, "joe", "nas1", "Async" + digits40, "a"}, {START, "joe", "nas1", "tty" + digits40, "b"},
          {STOP, "joe", "nas1", "Async" + digits40, ""}},
         free_slot(),
         {{7, "START record -- {path} entry 0 for nas1 joe/" + digits31 + " added"},
          {7, "START record -- overwrite existing {path} entry 0 for nas1 joe/" + digits31},
          {7, "STOP record -- clear {path} entry 0 for joe/" + digits40}}},
        {"ADamagedFieldIsReadOnlyWithinItsWidth", LIMIT, damaged_entry(),
         {{START, "joe", std::string(32, 'n') + "7", "Async7", "j"}, {STOP, "ann", std::string(32, 'n') + "7", "tty7", ""}},
         cat({damaged_entry(), free_slot()}),
         {{7, "START record -- {path} entry 1 for " + std::string(31, 'n') + " joe/7 added"},
          {7, "STOP record -- clear {path} entry 1 for ann/7"}}},
    };
    return cases;
}

class WhoLogFixture : public WhologDirFixture {
protected:

    std::vector<report_line> expected(const std::vector<report_line> &lines) const
    {
        std::vector<report_line> out;
        for (auto line : lines) {
            for (size_t at; (at = line.second.find("{path}")) != std::string::npos;)
                line.second.replace(at, 6, path_);
            out.push_back(line);
        }
        return out;
    }
};

class StartStop : public WhoLogFixture, public ::testing::WithParamInterface<update_case> {};

TEST_P(StartStop, LeavesTheFileAndLogs)
{
    const update_case &c = GetParam();
    write_file(path_, c.before);
    debug = c.debug;
    for (const auto &r : c.records)
        log_record(r);
    EXPECT_EQ(c.after, read_file(path_));
    EXPECT_EQ(expected(c.lines), zat_test::reports());
}

INSTANTIATE_TEST_SUITE_P(WhoLog, StartStop, ::testing::ValuesIn(update_cases()),
                         [](const auto &info) { return std::string(info.param.name); });

using LogUser = WhoLogFixture;

TEST_F(LogUser, MissingFileIsLoggedAndNotCreated)
{
    debug = LIMIT;
    log_record({START, "joe", "nas1", "Async7", "j"});
    log_record({STOP, "joe", "nas1", "Async7", ""});
    EXPECT_FALSE(file_exists(path_));
    std::vector<report_line> want = {{3, "Can't open " + path_ + " for updating"},
                                     {3, "Can't open " + path_ + " for updating"}};
    EXPECT_EQ(want, zat_test::reports());
}

TEST_F(LogUser, ReadsThePathAtEveryCall)
{
    std::string other = dir_.file("other.log");
    write_file(path_, "");
    write_file(other, "");
    log_record({START, "joe", "nas1", "Async7", "j"});
    wholog = other.c_str();
    log_record({START, "ann", "nas1", "Async8", "a"});
    EXPECT_EQ(entry("joe", "nas1", "7", "j"), read_file(path_));
    EXPECT_EQ(entry("ann", "nas1", "8", "a"), read_file(other));
}

TEST_F(LogUser, ADirectoryCannotBeOpenedForUpdating)
{
    ASSERT_EQ(0, mkdir(path_.c_str(), 0700));
    log_record({STOP, "joe", "nas1", "Async7", ""});
    std::vector<report_line> want = {{3, "Can't open " + path_ + " for updating"}};
    EXPECT_EQ(want, zat_test::reports());
    EXPECT_EQ(0, rmdir(path_.c_str()));
}

// The file-size limit makes the kernel refuse the entry's bytes past the
// first one, a real write failure on demand.
TEST_F(LogUser, AnAppendCutShortLeavesNoEntry)
{
    std::string two = entry("a", "nas1", "1") + entry("b", "nas1", "2");
    write_file(path_, two);
    struct rlimit saved_limit;
    ASSERT_EQ(0, getrlimit(RLIMIT_FSIZE, &saved_limit));
    struct rlimit limit = saved_limit;
    limit.rlim_cur = two.size() + 1;
    void (*saved_handler)(int) = signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(0, setrlimit(RLIMIT_FSIZE, &limit));
    debug = LIMIT;
    log_record({START, "joe", "nas1", "Async7", "j"});
    ASSERT_EQ(0, setrlimit(RLIMIT_FSIZE, &saved_limit));
    signal(SIGXFSZ, saved_handler);

    // Two entries and a stray byte, which is no entry.
    EXPECT_EQ(two + std::string(1, '\0'), read_file(path_));
    auto lines = zat_test::reports();
    ASSERT_EQ(2u, lines.size());
    EXPECT_EQ(3, lines[0].first);
    EXPECT_TRUE(lines[0].second.starts_with(path_ + " fd=")) << lines[0].second;
    EXPECT_TRUE(lines[0].second.ends_with(" Cannot write 192 bytes")) << lines[0].second;
    EXPECT_EQ(report_line(7, "START record -- " + path_ + " entry 2 for nas1 joe/7 added"), lines[1]);

    // The next start appends over the stray byte.
    log_record({START, "ann", "nas1", "Async8", "a"});
    EXPECT_EQ(two + entry("ann", "nas1", "8", "a"), read_file(path_));
}

} // namespace
