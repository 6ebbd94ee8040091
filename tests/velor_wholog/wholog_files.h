// Who-log files for tests: a temporary directory with the global wholog
// pointed into it, entries built byte by byte, and accounting records.
#ifndef ZAT_TEST_WHOLOG_FILES_H
#define ZAT_TEST_WHOLOG_FILES_H

#include <string>
#include <vector>

#include "daemon/host/host.h"
#include "tests/support/reports.h"

namespace wholog_test {

constexpr size_t entry_size = 192;

// A 192-byte entry.  Every text must fit its field with a NUL after it
// (user and extra 63 bytes, nas and port 31); write cut texts out in full.
std::string entry(const std::string &user, const std::string &nas, const std::string &port,
                  const std::string &extra = "");
// A free slot: 192 zero bytes.
std::string free_slot();

// A fresh directory under TMPDIR (or /tmp), removed with everything in it.
class temp_dir {
public:
    temp_dir();
    ~temp_dir();
    temp_dir(const temp_dir &) = delete;
    temp_dir &operator=(const temp_dir &) = delete;
    const std::string &path() const { return dir_; }
    std::string file(const std::string &name) const { return dir_ + "/" + name; }

private:
    std::string dir_;
};

std::string read_file(const std::string &path);
void write_file(const std::string &path, const std::string &bytes);
bool file_exists(const std::string &path);

// An accounting record with the storage its pointers point into.
struct record {
    int kind = 0;
    std::string user = "", nas = "", port = "", extra = "";
    std::vector<std::string> args = {};
};

// Calls loguser() with the record.
void log_record(const record &r);

// A who-log path in a fresh directory, with the global wholog pointed at it
// while the test runs, and report() lines captured.
class WhologDirFixture : public zat_test::HostFixture {
protected:
    void SetUp() override;
    void TearDown() override;

    temp_dir dir_;
    std::string path_;

private:
    const char *saved_ = nullptr;
};

} // namespace wholog_test

#endif
