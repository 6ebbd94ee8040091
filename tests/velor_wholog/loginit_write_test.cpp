// velor_loginit() creating the who-log, portname() reducing port names and
// write_record() placing one entry, on real files and streams.
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "daemon/host/host.h"
#include "daemon/velor/loguser.h"
#include "daemon/velor/velor.h"
#include "daemon/velor/wholog.h"
#include "tests/support/reports.h"
#include "tests/velor_wholog/wholog_files.h"

namespace {

using namespace wholog_test;
using zat_test::report_line;

class WhoLogDir : public WhologDirFixture {
protected:
    void SetUp() override
    {
        WhologDirFixture::SetUp();
        saved_umask_ = umask(022);
    }
    void TearDown() override
    {
        umask(saved_umask_);
        WhologDirFixture::TearDown();
    }

    mode_t saved_umask_ = 0;
};

mode_t mode_of(const std::string &path)
{
    struct stat st;
    EXPECT_EQ(0, stat(path.c_str(), &st));
    return st.st_mode & 07777;
}

// ---- velor_loginit -------------------------------------------------------

using LogInit = WhoLogDir;

TEST_F(LogInit, CreatesAnEmptyPrivateFileWhateverTheUmask)
{
    for (mode_t mask : {mode_t(0), mode_t(022), mode_t(077)}) {
        SCOPED_TRACE(mask);
        unlink(path_.c_str());
        umask(mask);
        velor_loginit();
        EXPECT_EQ(mode_t(0600), mode_of(path_));
        EXPECT_EQ("", read_file(path_));
    }
    EXPECT_TRUE(zat_test::reports().empty());
}

TEST_F(LogInit, KeepsAnExistingFileAsItIs)
{
    std::string entries = entry("joe", "nas1", "7", "j") + free_slot() + entry("ann", "nas2", "8");
    write_file(path_, entries);
    ASSERT_EQ(0, chmod(path_.c_str(), 0644));
    debug = DEBUG_LIMIT_FLAG;
    velor_loginit();
    EXPECT_EQ(entries, read_file(path_));
    EXPECT_EQ(mode_t(0644), mode_of(path_));
    std::vector<report_line> want = {{7, "Initialize " + path_}};
    EXPECT_EQ(want, zat_test::reports());
}

TEST_F(LogInit, LogsWhenTheFileCannotBeCreated)
{
    std::string missing = dir_.file("no-such-dir/zatwho.log");
    wholog = missing.c_str();
    debug = DEBUG_LIMIT_FLAG;
    velor_loginit();
    EXPECT_FALSE(file_exists(missing));
    std::vector<report_line> want = {{3, "Can't create: " + missing}};
    EXPECT_EQ(want, zat_test::reports());
}

TEST_F(LogInit, ThenLogUserUpdatesTheFile)
{
    velor_loginit();
    log_record({ACCT_KIND_START, "joe", "nas1", "Async7", "j"});
    EXPECT_EQ(entry("joe", "nas1", "7", "j"), read_file(path_));
}

// ---- portname ------------------------------------------------------------

struct port_case {
    const char *name;
    std::string port;
    size_t tail;      // where the result starts within the argument
    bool malformed;   // logs the malformed-port line under its flag
};

void PrintTo(const port_case &c, std::ostream *os)
{
    *os << c.name;
}

class PortName : public zat_test::HostFixture, public ::testing::WithParamInterface<port_case> {};

TEST_P(PortName, PointsIntoItsArgument)
{
    const port_case &c = GetParam();
    for (int flags : {0, DEBUG_PORTNAME_FLAG}) {
        SCOPED_TRACE(flags);
        zat_test::clear_reports();
        debug = flags;
        std::vector<char> buf(c.port.begin(), c.port.end());
        buf.push_back('\0');
        EXPECT_EQ(buf.data() + c.tail, zat_velor::portname(buf.data()));
        std::vector<report_line> want;
        if (c.malformed && flags)
            want.push_back({7, "Velor -- Malformed portname: " + c.port});
        EXPECT_EQ(want, zat_test::reports());
    }
}

INSTANTIATE_TEST_SUITE_P(
    WhoLog, PortName,
    ::testing::Values(port_case{"Async7", "Async7", 5, false}, port_case{"Async12", "Async12", 5, false},
                      port_case{"tty12", "tty12", 3, false}, port_case{"ttyS1", "ttyS1", 4, false},
                      port_case{"AsyncFirstDigit", "AsyncA3b4", 6, false},
                      port_case{"Serial0_1", "Serial0/1", 0, false}, port_case{"LowerCaseAsync", "async7", 0, false},
                      port_case{"Asyn7", "Asyn7", 0, false}, port_case{"BareAsync", "Async", 0, true},
                      port_case{"BareTty", "tty", 0, true}, port_case{"Empty", "", 0, true},
                      port_case{"HighBytesAreNoDigits", "tty\xb9\xb2" "5", 5, false},
                      port_case{"OnlyHighBytes", "Async\xb3\xb9", 0, true}),
    [](const auto &info) { return std::string(info.param.name); });

// ---- write_record --------------------------------------------------------

using WriteRecord = WhoLogDir;

zat_velor::wholog_entry make_entry(const std::string &bytes)
{
    zat_velor::wholog_entry e;
    memcpy(&e, bytes.data(), sizeof e);
    return e;
}

TEST_F(WriteRecord, WritesTheEntryAtItsOffset)
{
    write_file(path_, entry("a", "nas1", "1") + entry("b", "nas1", "2"));
    FILE *f = fopen(path_.c_str(), "r+");
    ASSERT_NE(nullptr, f);
    zat_velor::wholog_entry e = make_entry(entry("joe", "nas1", "9", "j"));
    zat_velor::write_record(path_.c_str(), f, &e, 192);
    zat_velor::write_record(path_.c_str(), f, &e, 384);
    fclose(f);
    EXPECT_EQ(entry("a", "nas1", "1") + entry("joe", "nas1", "9", "j") + entry("joe", "nas1", "9", "j"),
              read_file(path_));
    EXPECT_TRUE(zat_test::reports().empty());
}

TEST_F(WriteRecord, AFailedSeekWritesNothing)
{
    // The stream stands after entry 0; writing there after the failed seek
    // would overwrite entry 1.
    std::string before = entry("a", "nas1", "1") + entry("b", "nas1", "2");
    write_file(path_, before);
    FILE *f = fopen(path_.c_str(), "r+");
    ASSERT_NE(nullptr, f);
    char first[192];
    ASSERT_EQ(1u, fread(first, sizeof first, 1, f));
    zat_velor::wholog_entry e = make_entry(entry("joe", "nas1", "9", "j"));
    zat_velor::write_record("the-log", f, &e, -192);
    int fd = fileno(f);
    fclose(f);
    EXPECT_EQ(before, read_file(path_));
    std::vector<report_line> want = {
        {3, "the-log fd=" + std::to_string(fd) + " Cannot seek to -192 " + strerror(EINVAL)}};
    EXPECT_EQ(want, zat_test::reports());
}

TEST_F(WriteRecord, AStreamThatCannotSeekGetsNothing)
{
    int fds[2];
    ASSERT_EQ(0, pipe(fds));
    FILE *out = fdopen(fds[1], "w");
    ASSERT_NE(nullptr, out);
    zat_velor::wholog_entry e = make_entry(entry("joe", "nas1", "9", "j"));
    zat_velor::write_record(path_.c_str(), out, &e, 384);
    fclose(out);
    char buf[256];
    EXPECT_EQ(0, read(fds[0], buf, sizeof buf)); // end of file: not one byte was sent
    close(fds[0]);
    std::vector<report_line> want = {
        {3, path_ + " fd=" + std::to_string(fds[1]) + " Cannot seek to 384 " + strerror(ESPIPE)}};
    EXPECT_EQ(want, zat_test::reports());
}

TEST_F(WriteRecord, AFailedWriteIsLogged)
{
    std::string before = entry("a", "nas1", "1");
    write_file(path_, before);
    FILE *f = fopen(path_.c_str(), "r"); // no writing through this stream
    ASSERT_NE(nullptr, f);
    zat_velor::wholog_entry e = make_entry(entry("joe", "nas1", "9", "j"));
    zat_velor::write_record(path_.c_str(), f, &e, 0);
    int fd = fileno(f);
    fclose(f);
    EXPECT_EQ(before, read_file(path_));
    std::vector<report_line> want = {{3, path_ + " fd=" + std::to_string(fd) + " Cannot write 192 bytes"}};
    EXPECT_EQ(want, zat_test::reports());
}

} // namespace
