// A GoogleTest fixture around the stand-in host: a clean session record,
// report() lines captured with their priorities, an empty key table.
#ifndef ZAT_TEST_REPORTS_H
#define ZAT_TEST_REPORTS_H

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace zat_test {

using report_line = std::pair<int, std::string>;

// A list of expected lines: lines({{3, "text"}, {7, "other"}}).
inline std::vector<report_line> lines(std::initializer_list<report_line> expected)
{
    return expected;
}

// Every line report() was given since the last clear.
std::vector<report_line> reports();
void clear_reports();

class HostFixture : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
};

} // namespace zat_test

#endif
