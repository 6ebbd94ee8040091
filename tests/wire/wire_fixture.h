// The daemon's end of a loopback TCP conversation with a test NAS, both
// keyed with the same key: session points at the connection of "nas1"
// (127.0.0.2), whose key the stand-in host knows.
#ifndef ZAT_TEST_WIRE_FIXTURE_H
#define ZAT_TEST_WIRE_FIXTURE_H

#include <string.h>

#include "daemon/host/host.h"
#include "daemon/host/standin/standin.h"
#include "tests/support/nas.h"
#include "tests/support/reports.h"

namespace wire_test {

const char *const key = "tacacs-test-key";

class WireFixture : public zat_test::HostFixture {
protected:
    zat_test::nas_link nas;

    void SetUp() override
    {
        HostFixture::SetUp();
        ASSERT_TRUE(nas.connect(key));
        session.conn_fd = nas.link.ours;
        session.peer_name = "nas1";
        session.peer_addr = "127.0.0.2";
        strcpy(session.addr_buf, "127.0.0.2");
        standin_set_host_key("127.0.0.2", key);
    }
};

} // namespace wire_test

#endif
