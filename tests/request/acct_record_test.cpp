// The who-log glue: a decoded accounting request becomes the acct_record and
// user_ident that loguser() takes, as copies that outlive the packet, and one
// call frees them.  Then the whole step as a C daemon writes it, against a
// real who-log file.
#include <malloc.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "daemon/host/host.h"
#include "daemon/packet/packet.h"
#include "daemon/packet/request.h"
#include "daemon/velor/velor.h"
#include "tests/request/counting_alloc.h"
#include "tests/request/request_packets.h"
#include "tests/support/reports.h"
#include "tests/support/sockets.h"

extern "C" int c_daemon_account(const unsigned char *packet, const char *nas_name);

namespace {

using namespace request_test;
using zat_test::from_hex;

// A packet in a block of its own, freed on request.
unsigned char *new_packet(const bytes &b)
{
    unsigned char *p = static_cast<unsigned char *>(malloc(b.size()));
    memcpy(p, b.data(), b.size());
    return p;
}

class AcctRecord : public zat_test::HostFixture {};

TEST_F(AcctRecord, KindFollowsTheFlags)
{
    const struct {
        unsigned char flags;
        int kind;
    } table[] = {{0x02, ACCT_KIND_START},
                 {0x03, ACCT_KIND_START},
                 {0x04, ACCT_KIND_STOP},
                 {0xf4, ACCT_KIND_STOP},
                 {0x08, 0},
                 {0x0a, 0}};
    for (const auto &row : table) {
        SCOPED_TRACE(testing::Message() << "flags " << int(row.flags));
        arg_fields f = {row.flags, 6, 1, 1, 1, "joe", "tty5", "10.1.2.3", reference_args};
        bytes p = packet(TYPE_ACCT, 1, acct_body(f));
        zat_acct_request req;
        ASSERT_EQ(ZAT_REQ_OK, zat_decode_acct_request(p.data(), &req));
        acct_record rec;
        user_ident ident;
        zat_acct_record_fill(&req, "nas1", &rec, &ident);
        EXPECT_EQ(row.kind, rec.kind);
        zat_acct_record_free(&rec);
    }
}

// Every valid accounting request of the decoder tables: 255 arguments and an
// empty one among them.
TEST_F(AcctRecord, CopiesOfEveryTextOutliveThePacket)
{
    for (const arg_case &c : acct_cases()) {
        SCOPED_TRACE(c.name);
        unsigned char *p = new_packet(packet(TYPE_ACCT, 1, acct_body(c.f)));
        zat_acct_request req;
        ASSERT_EQ(ZAT_REQ_OK, zat_decode_acct_request(p, &req));
        acct_record rec;
        user_ident ident;
        std::string nas = "nas-in-the-daemon";
        zat_acct_record_fill(&req, nas.c_str(), &rec, &ident);
        memset(p, 0xee, 12 + acct_body(c.f).size());
        free(p);
        nas.assign(nas.size(), 'x');

        EXPECT_EQ(&ident, rec.ident);
        EXPECT_STREQ(c.f.user.c_str(), ident.user);
        EXPECT_STREQ("nas-in-the-daemon", ident.nas);
        EXPECT_STREQ(c.f.port.c_str(), ident.nas_port);
        EXPECT_STREQ(c.f.rem_addr.c_str(), ident.extra);
        ASSERT_EQ(int(c.f.args.size()), rec.arg_count);
        for (int i = 0; i < rec.arg_count; i++)
            EXPECT_STREQ(c.f.args[size_t(i)].c_str(), rec.args[i]) << "argument " << i;
        EXPECT_EQ(nullptr, rec.args[rec.arg_count]) << "the argument list ends with a null pointer";

        zat_acct_record_free(&rec);
        EXPECT_EQ(0, rec.kind);
        EXPECT_EQ(0, rec.arg_count);
        EXPECT_EQ(nullptr, rec.args);
        EXPECT_EQ(nullptr, rec.ident);
        EXPECT_EQ(nullptr, ident.user);
        EXPECT_EQ(nullptr, ident.nas);
        EXPECT_EQ(nullptr, ident.nas_port);
        EXPECT_EQ(nullptr, ident.extra);
        zat_acct_record_free(&rec); // a second call finds nothing to free
    }
}

TEST_F(AcctRecord, NoNasNameIsEmpty)
{
    bytes p = from_hex(reference_acct_plain);
    zat_acct_request req;
    ASSERT_EQ(ZAT_REQ_OK, zat_decode_acct_request(p.data(), &req));
    acct_record rec;
    user_ident ident;
    zat_acct_record_fill(&req, nullptr, &rec, &ident);
    EXPECT_STREQ("", ident.nas);
    zat_acct_record_free(&rec);
}

// The copies come from the host's allocator, and the free call gives every
// byte back.  (Under AddressSanitizer the heap figures are its own; there
// LeakSanitizer makes the same check when the test ends.)
TEST_F(AcctRecord, FreeReturnsEveryBlock)
{
    bytes p = packet(TYPE_ACCT, 1, acct_body(acct_cases().back().f)); // 255 arguments
    zat_acct_request req;
    ASSERT_EQ(ZAT_REQ_OK, zat_decode_acct_request(p.data(), &req));
    acct_record rec;
    user_ident ident;
    size_t before = mallinfo2().uordblks;
    int calls = counting_alloc::calls();
    zat_acct_record_fill(&req, "nas1", &rec, &ident);
    EXPECT_LT(calls, counting_alloc::calls()) << "copies come from zat_malloc/zat_strdup";
    zat_acct_record_free(&rec);
    EXPECT_EQ(before, mallinfo2().uordblks);
}

// --- the step as a daemon writes it, in C ----------------------------------

class WhoLog : public zat_test::HostFixture {
protected:
    char dir[32] = "/tmp/zat-request-XXXXXX";
    std::string path;
    const char *saved_wholog = wholog;

    void SetUp() override
    {
        HostFixture::SetUp();
        ASSERT_NE(nullptr, mkdtemp(dir));
        path = std::string(dir) + "/who.log";
        wholog = path.c_str();
        velor_loginit();
    }

    void TearDown() override
    {
        wholog = saved_wholog;
        unlink(path.c_str());
        rmdir(dir);
        HostFixture::TearDown();
    }

    std::string contents() const
    {
        std::string out;
        FILE *f = fopen(path.c_str(), "rb");
        if (!f)
            return "(missing)";
        char buf[4096];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, f)) > 0)
            out.append(buf, n);
        fclose(f);
        return out;
    }

    int account(const bytes &p) { return c_daemon_account(p.data(), "nas1"); }
};

std::string entry(const std::string &user, const std::string &nas, const std::string &port, const std::string &extra)
{
    std::string e(192, '\0');
    e.replace(0, user.size(), user);
    e.replace(64, nas.size(), nas);
    e.replace(96, port.size(), port);
    e.replace(128, extra.size(), extra);
    return e;
}

TEST_F(WhoLog, StartWritesTheEntryAndStopClearsIt)
{
    ASSERT_EQ(ZAT_REQ_OK, account(from_hex(reference_acct_plain)));
    const std::string started = entry("joe", "nas1", "5", "10.1.2.3");
    EXPECT_EQ(started, contents());

    arg_fields f = {ZAT_ACCT_FLAG_WATCHDOG, 6, 1, 1, 1, "joe", "tty5", "10.1.2.3", {"task_id=7"}};
    ASSERT_EQ(ZAT_REQ_OK, account(packet(TYPE_ACCT, 1, acct_body(f))));
    EXPECT_EQ(started, contents()) << "a watchdog leaves the who-log alone";

    f.user = std::string("joe\0x", 5);
    f.flags = ZAT_ACCT_FLAG_STOP;
    EXPECT_EQ(ZAT_REQ_NUL_IN_USER, account(packet(TYPE_ACCT, 1, acct_body(f))));
    EXPECT_EQ(started, contents()) << "a refused request never reaches the who-log";

    f.user = "joe";
    ASSERT_EQ(ZAT_REQ_OK, account(packet(TYPE_ACCT, 1, acct_body(f))));
    EXPECT_EQ(std::string(192, '\0'), contents());
}

} // namespace
