// The obfuscation archive: the worked vector both ways (decoded by
// Wireshark's TACACS+ dissector with the same key), the pad against one
// computed with OpenSSL's MD5 straight from its definition, the fail-closed
// flag policy of zat_md5_xor, and a long keyed conversation read back by
// tshark.
#include <openssl/evp.h>
#include <stdint.h>

#include <string>
#include <tuple>
#include <vector>

#include "daemon/obfuscation/obfuscation.h"
#include "tests/support/nas.h"
#include "tests/support/pcap.h"
#include "tests/support/reports.h"
#include "tests/support/sockets.h"

namespace {

using zat_test::bytes;
using zat_test::from_hex;
using zat_test::report_line;
using zat_test::to_hex;

const char *const vector_key = "tacacs-test-key";

// Accounting START for joe on tty5, session id 0x2a2b2c2d, seq 1, then the
// server's REPLY "ok" with seq 2: headers, plain bodies and the packets as
// they travel on the wire.
const char *const request_header = "c00301002a2b2c2d00000030";
const char *const request_plain_body =
    "0206010101030408020d096a6f657474793531302e312e322e33736572766963653d7368656c6c7461736b5f69643d37";
const char *const request_wire =
    "c00301002a2b2c2d00000030f62225b1c449147b4f1b7b00686e2ddceab6d397f86f126938b0a5f0ae0466045144395e206670e380e4f533aa122b0c";
const char *const reply_header_plain = "c00302012a2b2c2d00000007";  // as the reply builders hand it over
const char *const reply_header_wire = "c00302002a2b2c2d00000007";
const char *const reply_plain_body = "00020000016f6b";
const char *const reply_wire = "c00302002a2b2c2d00000007cab32d39145a6f";

const char *const unencrypted_refused = "zat_md5_xor: unencrypted request refused, a key is configured";
const char *const obfuscated_refused = "zat_md5_xor: obfuscated request refused, no key is configured";

bytes cat(const bytes &a, const bytes &b)
{
    bytes r = a;
    r.insert(r.end(), b.begin(), b.end());
    return r;
}

bytes make_header(unsigned char version, unsigned char seq, unsigned char flags, uint32_t length)
{
    bytes h = {version, 3, seq, flags, 0x2a, 0x2b, 0x2c, 0x2d};
    for (int shift = 24; shift >= 0; shift -= 8)
        h.push_back(static_cast<unsigned char>(length >> shift));
    return h;
}

// The pad of a header and key, made with OpenSSL's MD5 as the definition
// reads: MD5_1 over session id, key, version and sequence number; each next
// block over the same and the block before.
bytes reference_pad(const bytes &header, const std::string &key, size_t length)
{
    bytes pad, previous;
    while (pad.size() < length) {
        bytes input(header.begin() + 4, header.begin() + 8);
        input.insert(input.end(), key.begin(), key.end());
        input.push_back(header[0]);
        input.push_back(header[2]);
        input.insert(input.end(), previous.begin(), previous.end());
        unsigned char digest[EVP_MAX_MD_SIZE];
        unsigned int n = 0;
        if (EVP_Digest(input.data(), input.size(), digest, &n, EVP_md5(), nullptr) != 1 || n != 16)
            return {};
        previous.assign(digest, digest + n);
        pad.insert(pad.end(), previous.begin(), previous.end());
    }
    pad.resize(length);
    return pad;
}

bytes xor_with(bytes body, const bytes &pad)
{
    for (size_t i = 0; i < body.size() && i < pad.size(); i++)
        body[i] ^= pad[i];
    return body;
}

class Obfuscation : public zat_test::HostFixture {};

// The worked vector, each direction on each side: what the daemon's
// md5_xor does on receiving and sending, and what the NAS does with the raw
// pad.  The NAS sends its request with flags 0x00; the reply builders hand
// the reply over with 0x01, and it leaves with 0x00.
struct vector_case {
    const char *name;
    bool through_md5_xor;  // else zat_obfuscate_body, as the NAS uses it
    std::string in;
    std::string out;
};

void PrintTo(const vector_case &c, std::ostream *os)
{
    *os << c.name;
}

class WorkedVector : public Obfuscation, public ::testing::WithParamInterface<vector_case> {};

TEST_P(WorkedVector, BytesExact)
{
    const vector_case &c = GetParam();
    bytes packet = from_hex(c.in);
    if (c.through_md5_xor)
        ASSERT_EQ(0, zat_md5_xor(packet.data(), packet.data() + 12, vector_key));
    else
        zat_obfuscate_body(packet.data(), packet.data() + 12, vector_key);
    EXPECT_EQ(c.out, to_hex(packet));
    EXPECT_TRUE(zat_test::reports().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, WorkedVector,
    ::testing::Values(
        vector_case{"daemon_reads_request", true, request_wire, std::string(request_header) + request_plain_body},
        vector_case{"nas_sends_request", false, std::string(request_header) + request_plain_body, request_wire},
        vector_case{"daemon_sends_reply", true, std::string(reply_header_plain) + reply_plain_body, reply_wire},
        vector_case{"nas_reads_reply", false, reply_wire, std::string(reply_header_wire) + reply_plain_body}),
    [](const auto &info) { return std::string(info.param.name); });

// The pad against the reference, for body lengths around the 16-byte pad
// blocks and key lengths around the 64-byte MD5 block: up to 33 key bytes
// the chained input (6 + key + 16 bytes) fits one MD5 block with its
// padding, from 58 the fixed part alone fills one.  Guard bytes after the
// body must stay as they are, and a second pass restores the body.
class PadReference : public Obfuscation, public ::testing::WithParamInterface<std::tuple<size_t, size_t>> {};

TEST_P(PadReference, MatchesAndStaysInTheBody)
{
    const size_t length = std::get<0>(GetParam());
    std::string key;
    for (size_t i = 0; i < std::get<1>(GetParam()); i++)
        key.push_back(static_cast<char>('!' + (i * 7) % 90));
    const bytes header = make_header(0xc1, 5, 0x00, static_cast<uint32_t>(length));
    bytes body(length);
    for (size_t i = 0; i < length; i++)
        body[i] = static_cast<unsigned char>(i * 31 + 7);
    const bytes guard(16, 0xa5);
    bytes packet = cat(cat(header, body), guard);

    zat_obfuscate_body(packet.data(), packet.data() + 12, key.c_str());
    const bytes pad = reference_pad(header, key, length);
    ASSERT_EQ(length, pad.size());
    EXPECT_EQ(to_hex(cat(cat(header, xor_with(body, pad)), guard)), to_hex(packet));

    zat_obfuscate_body(packet.data(), packet.data() + 12, key.c_str());
    EXPECT_EQ(to_hex(cat(cat(header, body), guard)), to_hex(packet));
}

INSTANTIATE_TEST_SUITE_P(Lengths, PadReference,
                         ::testing::Combine(::testing::Values(0, 1, 15, 16, 17, 48, 100, 1000, 65524),
                                            ::testing::Values(1, 15, 33, 34, 57, 58, 59, 100, 200)),
                         [](const auto &info) {
                             return "body_" + std::to_string(std::get<0>(info.param)) + "_key_" +
                                    std::to_string(std::get<1>(info.param));
                         });

// zat_md5_xor's policy.  Requests (odd sequence numbers) must agree with the
// key: flag 0x01 without one, flag clear with one.  Replies (even) go out
// obfuscated with the flag cleared when there is a key, plain with the flag
// set when there is none.  An empty key is no key.  0x04 is left alone.
enum body_after { plain, xored };

struct policy_case {
    const char *name;
    unsigned char seq;
    unsigned char flags;
    const char *key;
    size_t length;
    int result;
    unsigned char flags_after;
    body_after body;
    const char *line;  // the priority-3 line of a refusal
};

void PrintTo(const policy_case &c, std::ostream *os)
{
    *os << c.name;
}

class Policy : public Obfuscation, public ::testing::WithParamInterface<policy_case> {};

TEST_P(Policy, FailsClosed)
{
    const policy_case &c = GetParam();
    const bytes header = make_header(0xc0, c.seq, c.flags, static_cast<uint32_t>(c.length));
    bytes body(c.length);
    for (size_t i = 0; i < c.length; i++)
        body[i] = static_cast<unsigned char>('a' + i % 26);
    bytes packet = cat(header, body);

    EXPECT_EQ(c.result, zat_md5_xor(packet.data(), packet.data() + 12, c.key));

    bytes header_after = header;
    header_after[3] = c.flags_after;
    const bytes body_expected = c.body == xored ? xor_with(body, reference_pad(header, c.key, c.length)) : body;
    EXPECT_EQ(to_hex(cat(header_after, body_expected)), to_hex(packet));
    std::vector<report_line> lines;
    if (c.line)
        lines.emplace_back(3, c.line);
    EXPECT_EQ(lines, zat_test::reports());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Policy,
    ::testing::Values(
        // Requests.
        policy_case{"request_obfuscated_with_key", 1, 0x00, "k", 20, 0, 0x00, xored, nullptr},
        policy_case{"request_plain_without_key", 1, 0x01, nullptr, 20, 0, 0x01, plain, nullptr},
        policy_case{"request_plain_with_empty_key", 1, 0x01, "", 20, 0, 0x01, plain, nullptr},
        policy_case{"request_plain_with_key_refused", 1, 0x01, "k", 20, -1, 0x01, plain, unencrypted_refused},
        policy_case{"request_obfuscated_without_key_refused", 1, 0x00, nullptr, 20, -1, 0x00, plain,
                    obfuscated_refused},
        policy_case{"request_obfuscated_with_empty_key_refused", 1, 0x00, "", 20, -1, 0x00, plain,
                    obfuscated_refused},
        policy_case{"single_connect_request_obfuscated_with_key", 3, 0x04, "k", 20, 0, 0x04, xored, nullptr},
        policy_case{"single_connect_request_plain_without_key", 3, 0x05, nullptr, 20, 0, 0x05, plain, nullptr},
        policy_case{"single_connect_request_plain_with_key_refused", 3, 0x05, "k", 20, -1, 0x05, plain,
                    unencrypted_refused},
        policy_case{"single_connect_request_obfuscated_without_key_refused", 3, 0x04, nullptr, 20, -1, 0x04, plain,
                    obfuscated_refused},
        policy_case{"last_request_of_a_session_with_key", 255, 0x00, "k", 20, 0, 0x00, xored, nullptr},
        policy_case{"empty_request_with_key", 1, 0x00, "k", 0, 0, 0x00, plain, nullptr},
        policy_case{"empty_request_plain_with_key_refused", 1, 0x01, "k", 0, -1, 0x01, plain, unencrypted_refused},
        // Replies.
        policy_case{"reply_with_key", 2, 0x01, "k", 20, 0, 0x00, xored, nullptr},
        policy_case{"single_connect_reply_with_key", 2, 0x05, "k", 20, 0, 0x04, xored, nullptr},
        policy_case{"reply_without_key", 2, 0x01, nullptr, 20, 0, 0x01, plain, nullptr},
        policy_case{"reply_with_empty_key", 2, 0x01, "", 20, 0, 0x01, plain, nullptr},
        policy_case{"single_connect_reply_without_key", 4, 0x05, nullptr, 20, 0, 0x05, plain, nullptr},
        policy_case{"reply_without_flag_with_key", 2, 0x00, "k", 20, 0, 0x00, xored, nullptr},
        policy_case{"reply_without_flag_without_key_marked_plain", 2, 0x00, nullptr, 20, 0, 0x01, plain, nullptr},
        policy_case{"single_connect_reply_without_flag_or_key_marked_plain", 2, 0x04, nullptr, 20, 0, 0x05, plain,
                    nullptr},
        policy_case{"empty_reply_with_key", 2, 0x01, "k", 0, 0, 0x00, plain, nullptr}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(Obfuscation, NullPacketOrBodyIsLeftAlone)
{
    bytes packet = from_hex(request_wire);
    const bytes before = packet;
    EXPECT_EQ(-1, zat_md5_xor(nullptr, nullptr, vector_key));
    EXPECT_EQ(-1, zat_md5_xor(packet.data(), nullptr, vector_key));
    EXPECT_EQ(-1, zat_md5_xor(nullptr, packet.data() + 12, vector_key));
    zat_obfuscate_body(nullptr, packet.data() + 12, vector_key);
    zat_obfuscate_body(packet.data(), nullptr, vector_key);
    EXPECT_EQ(before, packet);
    EXPECT_EQ(std::vector<report_line>(3, {3, "zat_md5_xor: no packet"}), zat_test::reports());
}

// A long accounting request from the NAS and a long reply, with a key longer
// than one MD5 block: the daemon's side reads the request back, and tshark
// with the key reads every field of both as they were sent.
TEST_F(Obfuscation, LongConversationDecodesWithTshark)
{
    if (zat_test::find_tshark().empty())
        GTEST_SKIP() << "tshark is not installed";
    const std::string key = "k3y-" + std::string(70, 'x') + "-0123456789";
    const uint32_t session_id = 0x01020304;
    std::vector<std::string> args;
    std::string joined;
    for (int i = 0; i < 40; i++) {
        args.push_back("attr" + std::to_string(i) + "=value-" + std::string(static_cast<size_t>(i), 'v'));
        joined += (i ? "," : "") + args.back();
    }
    const bytes request_body = zat_test::acct_request_body(0x04, "operator", "tty0", "192.0.2.77", args);
    ASSERT_GT(request_body.size(), 1000u);
    bytes request = zat_test::frame(0xc0, 3, 1, 0x00, session_id, request_body, key.c_str());
    const bytes request_on_wire = request;

    ASSERT_EQ(0, zat_md5_xor(request.data(), request.data() + 12, key.c_str()));
    EXPECT_EQ(to_hex(request_body), to_hex(bytes(request.begin() + 12, request.end())));

    const std::string message(300, 'm');
    // server_msg 300 bytes, no data, SUCCESS.  (Built whole: GCC 12 at -O3
    // warns falsely of an out-of-bounds move when a short vector is grown.)
    bytes reply_body(5 + message.size());
    const unsigned char fixed[5] = {0x01, 0x2c, 0x00, 0x00, 0x01};
    std::copy(fixed, fixed + 5, reply_body.begin());
    std::copy(message.begin(), message.end(), reply_body.begin() + 5);
    bytes reply = cat(make_header(0xc0, 2, 0x01, static_cast<uint32_t>(reply_body.size())), reply_body);
    reply[4] = 0x01, reply[5] = 0x02, reply[6] = 0x03, reply[7] = 0x04;
    ASSERT_EQ(0, zat_md5_xor(reply.data(), reply.data() + 12, key.c_str()));
    EXPECT_NE(to_hex(reply_body), to_hex(bytes(reply.begin() + 12, reply.end())));

    zat_test::capture cap;
    cap.from_nas(request_on_wire);
    cap.from_server(reply);
    auto request_fields = zat_test::tacplus_header(3, 1, 0x00, session_id, request_body.size());
    request_fields.insert({{"tacplus.acct.flags", "0x04"},
                           {"tacplus.user", "operator"},
                           {"tacplus.port", "tty0"},
                           {"tacplus.remote_address", "192.0.2.77"},
                           {"tacplus.acct.arg_count", "40"},
                           {"tacplus.arg_value", joined}});
    auto reply_fields = zat_test::tacplus_header(3, 2, 0x00, session_id, reply_body.size());
    reply_fields.insert({{"tacplus.body_acct.status", "0x01"}, {"tacplus.body_acct.server_msg", message}});
    EXPECT_EQ("", zat_test::disagreements(cap, key, {request_fields, reply_fields}));
    EXPECT_TRUE(zat_test::reports().empty());
}

} // namespace
