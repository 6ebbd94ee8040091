// One day in the life of a daemon, in one process with all three modules:
// a NAS logs a user in over loopback TCP with a shared key, reports the
// session's start, the daemon checks the user's sessions from the who-log
// and from the NAS's finger service, uses DES for its own ends, and the
// session's stop clears the who-log again.  Every packet is decoded by
// tshark as well.
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "daemon/host/host.h"
#include "daemon/host/standin/standin.h"
#include "daemon/orbel/orbel.h"
#include "daemon/packet/packet.h"
#include "daemon/velor/velor.h"
#include "tests/support/nas.h"
#include "tests/support/pcap.h"
#include "tests/velor_count/support.h"

namespace {

using zat_test::bytes;

const char *const key = "scenario-key";
const char *const nas_ip = "127.0.0.2";

class Scenario : public velor_test::NetFixture {
protected:
    zat_test::nas_link nas;
    std::vector<zat_test::expected_fields> expected;

    void SetUp() override
    {
        NetFixture::SetUp();
        if (IsSkipped() || HasFatalFailure())
            return;
        ASSERT_TRUE(nas.connect(key));
        session.conn_fd = nas.link.ours;
        session.peer_name = nas_ip;
        session.peer_addr = nas_ip;
        strcpy(session.addr_buf, nas_ip);
        standin_set_host_key(nas_ip, key);
    }

    void new_session(uint32_t id)
    {
        session.session_id = int(id);
        session.seq_no = 0;
        nas.session_id = id;
    }

    unsigned char *request(unsigned char type, unsigned char seq, const bytes &body, zat_test::expected_fields fields)
    {
        EXPECT_FALSE(nas.send(type, seq, 0x00, body).empty());
        zat_test::expected_fields f = zat_test::tacplus_header(type, seq, 0x00, nas.session_id, body.size());
        f.insert(fields.begin(), fields.end());
        expected.push_back(f);
        return type == TYPE_AUTHEN && seq > 1 ? get_authen_continue() : read_packet();
    }

    zat_test::reply reply(zat_test::expected_fields fields)
    {
        zat_test::reply r = nas.receive();
        EXPECT_FALSE(r.wire.empty());
        if (r.wire.empty())
            return r;
        zat_test::expected_fields f =
            zat_test::tacplus_header(r.type(), r.seq(), r.flags(), nas.session_id, r.wire.size() - 12);
        f.insert(fields.begin(), fields.end());
        expected.push_back(f);
        return r;
    }

    void accounting(unsigned char flags, const std::string &port)
    {
        new_session(0x3000u + flags + unsigned(port.size()));
        bytes body = zat_test::acct_request_body(flags, "joe", port, "10.9.8.7", {"service=shell"});
        unsigned char *packet = request(TYPE_ACCT, 1, body, {{"tacplus.user", "joe"}, {"tacplus.port", port}});
        ASSERT_NE(nullptr, packet);
        // What the daemon's accounting logic makes of the request.
        user_ident who = {"joe", nas_ip, port.c_str(), "10.9.8.7"};
        const char *args[] = {"service=shell"};
        acct_record rec = {flags == 0x02 ? ACCT_KIND_START : ACCT_KIND_STOP, &who, 1, args};
        loguser(&rec);
        free(packet);
        send_acct_reply(0x01, nullptr, nullptr);
        zat_test::reply r = reply({{"tacplus.body_acct.status", "0x01"}});
        EXPECT_EQ(0x00, r.flags()) << "obfuscated with the key";
    }

    // The who-log entries, as user/nas/port.
    std::vector<std::string> wholog_entries()
    {
        std::ifstream f(path(), std::ios::binary);
        std::stringstream s;
        s << f.rdbuf();
        std::string file = s.str();
        std::vector<std::string> out;
        for (size_t at = 0; at + 192 <= file.size(); at += 192)
            if (file[at])
                out.push_back(std::string(file.c_str() + at) + "/" + (file.c_str() + at + 64) + "/" +
                              (file.c_str() + at + 96));
        return out;
    }
};

TEST_F(Scenario, LoginAccountingLimitsDesAndStop)
{
    // Start-up.
    velor_loginit();
    struct stat st;
    ASSERT_EQ(0, stat(path().c_str(), &st));
    EXPECT_EQ(0u, static_cast<unsigned>(st.st_size));

    // The NAS's finger service lists joe on line 5 (this login) and line 9.
    velor_test::FingerServer finger(nas_ip, velor_test::serve::listing_then_close,
                                    velor_test::listing_heading() + velor_test::session_line(5, "joe") +
                                        velor_test::session_line(7, "ann") + velor_test::session_line(9, "joe"));
    ASSERT_TRUE(finger.ok());

    // Login: START, GETPASS, CONTINUE, PASS.
    new_session(0x0badcafe);
    unsigned char *start =
        request(TYPE_AUTHEN, 1, zat_test::authen_start_body("joe", "tty5", "10.9.8.7"), {{"tacplus.user", "joe"}});
    ASSERT_NE(nullptr, start);
    free(start);
    send_authen_reply(0x05, "Password: ", 10, nullptr, 0, 0x01);
    reply({{"tacplus.body_authen_rep.status", "0x05"}, {"tacplus.body_authen_rep.server_msg", "Password: "}});
    unsigned char *cont =
        request(TYPE_AUTHEN, 3, zat_test::authen_continue_body("hunter2"), {{"tacplus.body_authen_req_cont.user", "hunter2"}});
    ASSERT_NE(nullptr, cont);
    EXPECT_EQ(0, memcmp(cont + 17, "hunter2", 7));
    free(cont);
    send_authen_reply(0x01, "welcome", 7, nullptr, 0, 0);
    reply({{"tacplus.body_authen_rep.status", "0x01"}, {"tacplus.body_authen_rep.server_msg", "welcome"}});

    // The NAS reports this session and one more of joe's.
    accounting(0x02, "tty5");
    accounting(0x02, "tty9");
    EXPECT_EQ((std::vector<std::string>{"joe/127.0.0.2/5", "joe/127.0.0.2/9"}), wholog_entries());

    // Before admitting another session on tty5: one other session, by both counts.
    user_ident caller = {"joe", nas_ip, "tty5", ""};
    EXPECT_EQ(1, countuser(&caller));
    EXPECT_EQ(1, countusers_by_finger(&caller));
    EXPECT_EQ(1, finger.connections());

    // The daemon's own use of DES: a block there and back.
    const unsigned char des_key[8] = {0x01, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd, 0xef};
    unsigned char block[8] = {'N', 'o', 'w', ' ', 'i', 's', ' ', 't'};
    zat_des_loadkey(des_key, 0);
    EXPECT_EQ(1, zat_set_des_mode(1));
    zat_des(block);
    const unsigned char cipher[8] = {0x3f, 0xa4, 0x0e, 0x8a, 0x98, 0x4d, 0x48, 0x15};
    EXPECT_EQ(0, memcmp(block, cipher, 8));
    EXPECT_EQ(-1, zat_set_des_mode(0));
    zat_des(block);
    EXPECT_EQ(0, memcmp(block, "Now is t", 8));

    // The sessions end.
    accounting(0x04, "tty5");
    EXPECT_EQ((std::vector<std::string>{"joe/127.0.0.2/9"}), wholog_entries());
    EXPECT_EQ(1, countuser(&caller)) << "tty9 is left";
    accounting(0x04, "tty9");
    EXPECT_TRUE(wholog_entries().empty());
    EXPECT_EQ(0, countusers_by_finger(&caller)) << "no NAS left to ask";

    EXPECT_TRUE(zat_test::reports().empty());
    EXPECT_EQ(12u, expected.size());
    EXPECT_EQ("", zat_test::disagreements(nas.cap, key, expected));
}

} // namespace
