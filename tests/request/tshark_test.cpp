// Wireshark's TACACS+ dissector (tshark) and our decoders read the same
// packets: every valid packet of the decoder tables, and the reference
// accounting START as it crossed the wire, obfuscated with its key.  What
// tshark shows for each field must be what our decoder read.
//
// tshark shows PAP passwords and CHAP challenges as C strings, cut at the
// first NUL byte; such data is compared by its length and identifier only.
#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

#include "daemon/packet/packet.h"
#include "daemon/packet/request.h"
#include "tests/request/request_packets.h"
#include "tests/support/pcap.h"
#include "tests/support/reports.h"
#include "tests/support/sockets.h"

namespace {

using namespace request_test;
using zat_test::expected_fields;
using zat_test::from_hex;

std::string dec(int v)
{
    return std::to_string(v);
}

std::string hex_byte(int v)
{
    char text[8];
    snprintf(text, sizeof text, "0x%02x", v);
    return text;
}

std::string hex(const zat_bytes &v)
{
    std::string out;
    char two[3];
    for (int i = 0; i < v.len; i++) {
        snprintf(two, sizeof two, "%02x", static_cast<unsigned char>(v.ptr[i]));
        out += two;
    }
    return out;
}

bool printable(const zat_bytes &v)
{
    for (int i = 0; i < v.len; i++)
        if (v.ptr[i] < 0x20 || v.ptr[i] > 0x7e)
            return false;
    return true;
}

// The fields of user, port and remote address, common to the three requests.
void texts(expected_fields &e, const zat_bytes &user, const zat_bytes &port, const zat_bytes &rem_addr)
{
    e["tacplus.user_len"] = dec(user.len);
    e["tacplus.user"] = text(user);
    e["tacplus.port_len"] = dec(port.len);
    e["tacplus.port"] = text(port);
    e["tacplus.address_len"] = dec(rem_addr.len);
    e["tacplus.remote_address"] = text(rem_addr);
}

expected_fields start_fields_of(const zat_authen_start &s)
{
    expected_fields e = {{"tacplus.authen_action", dec(s.action)},
                         {"tacplus.privilege_level", dec(s.priv_lvl)},
                         {"tacplus.authentication_type", dec(s.authen_type)},
                         {"tacplus.service", dec(s.authen_service)}};
    texts(e, s.user, s.port, s.rem_addr);
    if (s.action != 1) // tshark reads the data of logins only
        return e;
    switch (s.authen_type) {
    case 1:
        e["tacplus.ascii_length"] = dec(s.data.len);
        e["tacplus.data"] = hex(s.data);
        break;
    case 2:
        e["tacplus.password_length"] = dec(s.data.len);
        if (printable(s.data))
            e["tacplus.auth_password"] = text(s.data);
        break;
    case 3:
        e["tacplus.chap_data_length"] = dec(s.data.len);
        e["tacplus.chap.id"] = dec(static_cast<unsigned char>(s.data.ptr[0]));
        break;
    }
    return e;
}

expected_fields continue_fields_of(const zat_authen_continue &c)
{
    return {{"tacplus.body_authen_req_cont.flags", hex_byte(c.flags)},
            {"tacplus.body_authen_req_cont.user_length", dec(c.user_msg.len)},
            {"tacplus.body_authen_req_cont.user", text(c.user_msg)},
            {"tacplus.body_authen_req_cont.data_length", dec(c.data.len)},
            {"tacplus.data", hex(c.data)}};
}

// Authorization and accounting: the names of method and count differ.
template <typename R>
expected_fields arg_fields_of(const R &r, const std::string &prefix)
{
    expected_fields e = {{prefix + ".auth_method", hex_byte(r.authen_method)},
                         {"tacplus.privilege_level", dec(r.priv_lvl)},
                         {"tacplus.authentication_type", dec(r.authen_type)},
                         {"tacplus.service", dec(r.authen_service)},
                         {prefix + ".arg_count", dec(r.arg_cnt)}};
    texts(e, r.user, r.port, r.rem_addr);
    std::string lengths, values;
    for (int i = 0; i < r.arg_cnt; i++) {
        // Appended piece by piece: GCC 12 at -O3 warns falsely of overlapping
        // copies (-Wrestrict) for "literal" + std::string.
        if (i) {
            lengths += ',';
            values += ',';
        }
        lengths += dec(r.args[i].len);
        values += text(r.args[i]);
    }
    e["tacplus.arg_length"] = lengths;
    e["tacplus.arg_value"] = values;
    return e;
}

class Tshark : public zat_test::HostFixture {
protected:
    zat_test::capture cap;
    std::vector<expected_fields> expected;
    uint32_t session_id = 0x100;

    // Records the packet as sent and what tshark should show for it.
    void add(const bytes &wire, expected_fields fields)
    {
        uint32_t sid = (uint32_t(wire[4]) << 24) | (uint32_t(wire[5]) << 16) | (uint32_t(wire[6]) << 8) | wire[7];
        fields.merge(zat_test::tacplus_header(wire[1], wire[2], wire[3], sid, wire.size() - 12));
        cap.from_nas(wire);
        expected.push_back(fields);
    }
};

TEST_F(Tshark, AgreesWithTheDecodersFieldByField)
{
    if (zat_test::find_tshark().empty())
        GTEST_FAIL() << "tshark is not installed (Debian package tshark)";

    for (const auto &c : start_cases()) {
        bytes p = packet(TYPE_AUTHEN, 1, start_body(c.f), session_id++);
        zat_authen_start s;
        ASSERT_EQ(ZAT_REQ_OK, zat_decode_authen_start(p.data(), &s)) << c.name;
        add(p, start_fields_of(s));
    }
    for (const auto &c : continue_cases()) {
        bytes p = packet(TYPE_AUTHEN, 3, continue_body(c.f), session_id++);
        bytes turned = host_order_lengths(p);
        zat_authen_continue s;
        ASSERT_EQ(ZAT_REQ_OK, zat_decode_authen_continue(turned.data(), &s)) << c.name;
        add(p, continue_fields_of(s));
    }
    // A packet must fit one IP datagram of the capture: the 255 arguments of
    // 255 bytes do not (nor would read_packet() take them).
    const size_t capture_limit = 65000;
    for (const auto &c : author_cases()) {
        bytes p = packet(TYPE_AUTHOR, 1, author_body(c.f), session_id++);
        if (p.size() > capture_limit)
            continue;
        zat_author_request r;
        ASSERT_EQ(ZAT_REQ_OK, zat_decode_author_request(p.data(), &r)) << c.name;
        add(p, arg_fields_of(r, "tacplus.body_author_req"));
    }
    for (const auto &c : acct_cases()) {
        bytes p = packet(TYPE_ACCT, 1, acct_body(c.f), session_id++);
        zat_acct_request r;
        ASSERT_EQ(ZAT_REQ_OK, zat_decode_acct_request(p.data(), &r)) << c.name;
        expected_fields e = arg_fields_of(r, "tacplus.acct");
        e["tacplus.acct.flags"] = hex_byte(r.flags);
        add(p, e);
    }
    // The reference START: tshark de-obfuscates the wire form with the key, our
    // decoder reads the plain form.
    bytes plain = from_hex(reference_acct_plain);
    zat_acct_request r;
    ASSERT_EQ(ZAT_REQ_OK, zat_decode_acct_request(plain.data(), &r));
    expected_fields e = arg_fields_of(r, "tacplus.acct");
    e["tacplus.acct.flags"] = hex_byte(r.flags);
    add(from_hex(reference_acct_wire), e);

    EXPECT_EQ("", zat_test::disagreements(cap, reference_key, expected));
}

} // namespace
