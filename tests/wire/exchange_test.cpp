// A whole NAS conversation over loopback TCP, with the stand-in host's real
// obfuscation in both directions: login (START, GETPASS, CONTINUE, PASS),
// authorization with arguments, accounting.  What crossed the wire is then
// decoded by Wireshark's TACACS+ dissector with the shared key, and every
// field it shows is compared with what was sent.
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "daemon/host/host.h"
#include "daemon/host/standin/standin.h"
#include "daemon/packet/packet.h"
#include "tests/support/nas.h"
#include "tests/support/pcap.h"
#include "tests/support/reports.h"
#include "tests/support/sockets.h"
#include "tests/wire/wire_fixture.h"

namespace {

using zat_test::bytes;
using zat_test::from_hex;
using zat_test::to_hex;

using wire_test::key;

class Exchange : public wire_test::WireFixture {
protected:
    // What each packet of the capture should decode to, in order.
    std::vector<zat_test::expected_fields> expected;

    void new_session(int id)
    {
        session.session_id = id;
        session.seq_no = 0;
        nas.session_id = uint32_t(id);
    }

    bytes nas_sends(unsigned char type, unsigned char seq, unsigned char flags, const bytes &body)
    {
        bytes wire = nas.send(type, seq, flags, body);
        EXPECT_FALSE(wire.empty());
        return wire;
    }

    zat_test::reply nas_receives()
    {
        zat_test::reply r = nas.receive();
        EXPECT_FALSE(r.wire.empty());
        return r;
    }

    zat_test::expected_fields header_fields(unsigned type, unsigned seq, unsigned flags, size_t length)
    {
        return zat_test::tacplus_header(type, seq, flags, uint32_t(session.session_id), length);
    }

    void expect(zat_test::expected_fields header, const zat_test::expected_fields &body)
    {
        header.insert(body.begin(), body.end());
        expected.push_back(header);
    }
};

TEST_F(Exchange, EveryFieldDecodesAsSent)
{
    // Login: START, GETPASS reply, CONTINUE with the password, PASS.
    new_session(0x11223344);
    bytes start_body = zat_test::authen_start_body("joe", "tty5", "10.1.2.3");
    nas_sends(TYPE_AUTHEN, 1, 0x04, start_body);
    expect(header_fields(1, 1, 0x04, start_body.size()), {{"tacplus.user", "joe"}, {"tacplus.port", "tty5"}});
    unsigned char *start = read_packet();
    ASSERT_NE(nullptr, start);
    EXPECT_EQ(start_body, bytes(start + 12, start + 12 + start_body.size())) << "body arrives plain";
    free(start);

    send_authen_reply(0x05, "Password: ", 10, nullptr, 0, 0x01);
    zat_test::reply getpass = nas_receives();
    EXPECT_EQ(0x04, getpass.flags()) << "obfuscated, single connection granted";
    EXPECT_EQ("05" "01" "000a" "0000" + to_hex(bytes{'P', 'a', 's', 's', 'w', 'o', 'r', 'd', ':', ' '}),
              to_hex(getpass.body()));
    expect(header_fields(1, 2, 0x04, 16), {{"tacplus.body_authen_rep.status", "0x05"},
                                           {"tacplus.body_authen_rep.flags", "0x01"},
                                           {"tacplus.body_authen_rep.server_msg", "Password: "}});

    bytes cont_body = zat_test::authen_continue_body("secret");
    nas_sends(TYPE_AUTHEN, 3, 0x04, cont_body);
    expect(header_fields(1, 3, 0x04, cont_body.size()), {{"tacplus.body_authen_req_cont.user", "secret"}});
    unsigned char *cont = get_authen_continue();
    ASSERT_NE(nullptr, cont);
    EXPECT_EQ(0, memcmp(cont + 17, "secret", 6));
    free(cont);

    const char token[] = {'\0', 'x', '\x7f'};
    send_authen_reply(0x01, "welcome", 7, token, 3, 0);
    zat_test::reply pass = nas_receives();
    EXPECT_EQ(4, pass.seq());
    expect(header_fields(1, 4, 0x04, 16), {{"tacplus.body_authen_rep.status", "0x01"},
                                           {"tacplus.body_authen_rep.server_msg", "welcome"},
                                           {"tacplus.data", "00787f"}});

    // Authorization with arguments both ways.
    new_session(0x55667788);
    bytes author_body = zat_test::author_request_body("joe", "tty5", "10.1.2.3", {"service=shell", "cmd="});
    nas_sends(TYPE_AUTHOR, 1, 0x04, author_body);
    expect(header_fields(2, 1, 0x04, author_body.size()), {{"tacplus.arg_value", "service=shell,cmd="}});
    unsigned char *author = read_packet();
    ASSERT_NE(nullptr, author);
    free(author);
    const char *args[] = {"priv-lvl=15", "timeout=30"};
    send_author_reply(0x01, "ok", "dd", 2, args);
    zat_test::reply response = nas_receives();
    EXPECT_EQ(12u + 6u + 2u + 2u + 2u + 11u + 10u, response.plain.size());
    expect(header_fields(2, 2, 0x04, 33), {{"tacplus.body_author_rep.auth_status", "0x01"},
                                           {"tacplus.body_author_rep.arg_count", "2"},
                                           {"tacplus.body_author_rep_server.msg_len", "2"},
                                           {"tacplus.body_author_rep_server.data_len", "2"},
                                           {"tacplus.arg_value", "priv-lvl=15,timeout=30"}});

    // Accounting START without single connection: the request and the reply
    // are those of a reference exchange decoded independently before.
    new_session(0x2a2b2c2d);
    bytes acct_wire = nas_sends(TYPE_ACCT, 1, 0x00,
                                zat_test::acct_request_body(0x02, "joe", "tty5", "10.1.2.3",
                                                            {"service=shell", "task_id=7"}));
    EXPECT_EQ("c00301002a2b2c2d00000030f62225b1c449147b4f1b7b00686e2ddceab6d397f86f126938b0a5f0ae0466045144395e206670e380"
              "e4f533aa122b0c",
              to_hex(acct_wire));
    expect(header_fields(3, 1, 0x00, 48), {{"tacplus.acct.flags", "0x02"}, {"tacplus.user", "joe"}});
    unsigned char *acct = read_packet();
    ASSERT_NE(nullptr, acct);
    free(acct);
    send_acct_reply(0x01, "ok", nullptr);
    zat_test::reply acct_reply = nas_receives();
    EXPECT_EQ("c00302002a2b2c2d00000007cab32d39145a6f", to_hex(acct_reply.wire));
    expect(header_fields(3, 2, 0x00, 7),
           {{"tacplus.body_acct.status", "0x01"}, {"tacplus.body_acct.server_msg", "ok"}});

    EXPECT_TRUE(zat_test::reports().empty());

    // The independent decoder.
    EXPECT_EQ("", zat_test::disagreements(nas.cap, key, expected));

    // Without the key the decoder sees no bodies: they really were obfuscated.
    char path[] = "/tmp/zat-exchange-XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    ASSERT_TRUE(nas.cap.write(path));
    std::vector<zat_test::decoded_packet> decoded;
    std::string error;
    ASSERT_TRUE(zat_test::tshark_decode(path, "wrong-key", {"tacplus.body_authen_rep.server_msg"}, decoded, error))
        << error;
    ASSERT_EQ(expected.size(), decoded.size());
    for (const auto &packet : decoded)
        EXPECT_NE("welcome", zat_test::field(packet, "tacplus.body_authen_rep.server_msg"));
    unlink(path);
}

} // namespace
