#include "tests/support/reports.h"

#include <string.h>

#include "daemon/host/host.h"
#include "daemon/host/standin/standin.h"
#include "tests/support/fake_sys.h"

namespace zat_test {

std::vector<report_line> reports()
{
    std::vector<report_line> lines;
    for (int i = 0; i < standin_report_count(); i++)
        lines.emplace_back(standin_report_priority(i), standin_report_text(i));
    return lines;
}

void clear_reports()
{
    standin_clear_reports();
}

void HostFixture::SetUp()
{
    memset(&session, 0, sizeof session);
    session.conn_fd = -1;
    session.peer_name = "nas1";
    session.peer_addr = "192.0.2.1";
    strcpy(session.addr_buf, "192.0.2.1");
    debug = 0;
    standin_clear_host_keys();
    standin_clear_key_lookups();
    standin_capture_reports(1);
    standin_clear_reports();
    fake_sys::reset();
}

void HostFixture::TearDown()
{
    fake_sys::reset();
    standin_clear_reports();
    standin_capture_reports(0);
    standin_clear_host_keys();
}

} // namespace zat_test
