// The reply builders, byte for byte as write_packet() hands them to md5_xor,
// the error replies, and the checks of an authentication CONTINUE.
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>

#include <string>
#include <vector>

#include "daemon/host/host.h"
#include "daemon/packet/packet.h"
#include "tests/packet/packet_util.h"
#include "tests/packet/recording_host.h"
#include "tests/support/fake_sys.h"
#include "tests/support/reports.h"
#include "tests/support/sockets.h"

namespace {

using bytes = std::vector<unsigned char>;
using zat_test::from_hex;
using zat_test::lines;
using zat_test::reports;
using zat_test::to_hex;

class Replies : public zat_test::PacketLink {
protected:
    void SetUp() override
    {
        PacketLink::SetUp();
        session.session_id = 0x2a2b2c2d;
        session.last_version = 0xc0;
        session.seq_no = 1;
    }

    // Every reply sent so far, as md5_xor received it.
    std::vector<std::string> sent_hex() const
    {
        std::vector<std::string> out;
        for (const auto &call : recording_host::xor_calls())
            out.push_back(to_hex(call.seen));
        return out;
    }

    bytes last_sent() const
    {
        return recording_host::xor_calls().empty() ? bytes{} : recording_host::xor_calls().back().seen;
    }
};

// --- header fields ---------------------------------------------------------

struct flags_case {
    int request_flags;
    int opt_flags;
    unsigned char reply_flags;
};

class ReplyFlags : public Replies, public ::testing::WithParamInterface<flags_case> {};

TEST_P(ReplyFlags, OnlySingleConnectIsEchoed)
{
    const flags_case &c = GetParam();
    session.last_hdr_flags = c.request_flags;
    session.opt_flags = c.opt_flags;
    send_acct_reply(1, nullptr, nullptr);
    send_author_reply(1, nullptr, nullptr, 0, nullptr);
    send_authen_reply(1, nullptr, 0, nullptr, 0, 0);
    ASSERT_EQ(3u, recording_host::xor_calls().size());
    for (const auto &call : recording_host::xor_calls())
        EXPECT_EQ(c.reply_flags, call.seen[3]);
}

INSTANTIATE_TEST_SUITE_P(Cases, ReplyFlags,
                         ::testing::Values(flags_case{0x00, 0, 0x01}, flags_case{0x01, 0, 0x01},
                                           flags_case{0x04, 0, 0x05}, flags_case{0x05, 0, 0x05},
                                           flags_case{0x00, OPT_NO_SINGLE_CONNECT, 0x01},
                                           flags_case{0x01, OPT_NO_SINGLE_CONNECT, 0x01},
                                           flags_case{0x04, OPT_NO_SINGLE_CONNECT, 0x01},
                                           flags_case{0x05, OPT_NO_SINGLE_CONNECT, 0x01},
                                           flags_case{0xfe, 0, 0x05}));

TEST_F(Replies, OnlyTheAuthenticationReplyKeepsTheMinorVersion)
{
    session.last_version = 0xc1;
    send_authen_reply(1, nullptr, 0, nullptr, 0, 0);
    send_author_reply(1, nullptr, nullptr, 0, nullptr);
    send_acct_reply(1, nullptr, nullptr);
    ASSERT_EQ(3u, recording_host::xor_calls().size());
    EXPECT_EQ(0xc1, recording_host::xor_calls()[0].seen[0]);
    EXPECT_EQ(0xc0, recording_host::xor_calls()[1].seen[0]);
    EXPECT_EQ(0xc0, recording_host::xor_calls()[2].seen[0]);
}

TEST_F(Replies, SequenceNumberIsSeqNoPlusOneCutToAByte)
{
    send_acct_reply(1, nullptr, nullptr);
    EXPECT_EQ(2, last_sent()[2]);
    EXPECT_EQ(2, session.seq_no);
    session.seq_no = 255;
    send_acct_reply(1, nullptr, nullptr);
    EXPECT_EQ(0, last_sent()[2]);
    EXPECT_EQ(256, session.seq_no);
}

TEST_F(Replies, SeqNoMovesOnEvenWhenTheSendFails)
{
    recording_host::set_xor_result(-1);
    send_acct_reply(1, "x", nullptr);
    EXPECT_EQ(2, session.seq_no);
    EXPECT_EQ(lines({{3, "nas1: write_packet: error encrypting data"}}), reports());
}

// --- bodies ----------------------------------------------------------------

TEST_F(Replies, NullTextsGiveTheSmallestReplies)
{
    send_author_reply(0x01, nullptr, nullptr, 0, nullptr);
    send_acct_reply(0x01, nullptr, nullptr);
    EXPECT_EQ((std::vector<std::string>{"c00202012a2b2c2d00000006" "010000000000",
                                        "c00303012a2b2c2d00000005" "0000000001"}),
              sent_hex());
}

TEST_F(Replies, AuthorizationArgumentsFollowTheirLengthBytes)
{
    const char *args[] = {"service=shell", "priv-lvl=15"};
    send_author_reply(0x01, nullptr, nullptr, 2, args);
    bytes expected = from_hex("c00202012a2b2c2d00000020" "010200000000" "0d0b");
    for (const char *a : args)
        expected.insert(expected.end(), a, a + strlen(a));
    EXPECT_EQ(expected, last_sent());
    EXPECT_EQ(12u + 32u, last_sent().size());
}

TEST_F(Replies, AuthorizationWithEveryField)
{
    const char *args[] = {"a=1", "bb=22"};
    send_author_reply(0x02, "msg", "dat", 2, args);
    EXPECT_EQ("c00202012a2b2c2d00000016" "0202" "0003" "0003" "0305" "6d7367" "646174" "613d31" "62623d3232",
              to_hex(last_sent()));
}

TEST_F(Replies, AccountingReplyLayout)
{
    send_acct_reply(0x01, "ok", "some");
    EXPECT_EQ("c00302012a2b2c2d0000000b" "0002" "0004" "01" "6f6b" "736f6d65", to_hex(last_sent()));
}

TEST_F(Replies, AuthenticationDataMayHoldAnyBytes)
{
    const char msg[] = "Password: ";
    const char data[] = {'\0', 'a', '\0', '\xff', 'b'};
    send_authen_reply(0x05, msg, 10, data, 5, 0x01);
    EXPECT_EQ("c00102012a2b2c2d00000015" "05" "01" "000a" "0005" "50617373776f72643a20" "0061"
              "00ff62",
              to_hex(last_sent()));
}

TEST_F(Replies, LengthsAreInHostOrderUntilAfterTheDump)
{
    debug = DEBUG_PACKET_FLAG;
    std::string msg(0x0102, 'm');
    send_authen_reply(0x01, msg.data(), uint16_t(msg.size()), "dd", 2, 0);
    ASSERT_EQ(1u, recording_host::outgoing_dumps().size());
    const bytes &dumped = recording_host::outgoing_dumps()[0];
    uint16_t msg_len, data_len;
    memcpy(&msg_len, &dumped[12 + 2], 2);
    memcpy(&data_len, &dumped[12 + 4], 2);
    EXPECT_EQ(0x0102, msg_len);
    EXPECT_EQ(2, data_len);
    bytes sent = last_sent();
    ASSERT_EQ(12u + 6u + 0x0102u + 2u, sent.size());
    EXPECT_EQ((bytes{0x01, 0x02, 0x00, 0x02}), bytes(sent.begin() + 14, sent.begin() + 18)) << "wire order";
    EXPECT_EQ(lines({{7, "Writing reply type 1 size=" + std::to_string(12 + 6 + 0x0102 + 2)}}), reports());
}

// --- error replies ---------------------------------------------------------

TEST_F(Replies, ErrorReplyPerRequestType)
{
    send_error_reply(TYPE_AUTHOR, "no author %s %n");
    EXPECT_EQ("c00202012a2b2c2d00000015" "110000" "0f" "0000" + to_hex(bytes{'n', 'o', ' ', 'a', 'u', 't', 'h', 'o',
                                                                              'r', ' ', '%', 's', ' ', '%', 'n'}),
              to_hex(last_sent()));
    send_error_reply(TYPE_ACCT, "no acct");
    EXPECT_EQ("c00303012a2b2c2d0000000c" "0007" "0000" "02" + to_hex(bytes{'n', 'o', ' ', 'a', 'c', 'c', 't'}),
              to_hex(last_sent()));
    EXPECT_TRUE(reports().empty()) << "authorization and accounting errors are not logged";

    send_error_reply(TYPE_AUTHEN, "no authen");
    std::string text = "nas1 192.0.2.1: no authen";
    // seq_no was 1, then 2 and 3 for the two replies above: this one is 4.
    bytes expected = from_hex("c00104012a2b2c2d0000001f" "0700" "0019" "0000");
    expected.insert(expected.end(), text.begin(), text.end());
    EXPECT_EQ(expected, last_sent());
    EXPECT_EQ(lines({{3, text}}), reports());

    zat_test::clear_reports();
    size_t before = recording_host::xor_calls().size();
    send_error_reply(4, "nothing");
    EXPECT_EQ(before, recording_host::xor_calls().size());
    EXPECT_EQ(lines({{3, "Illegal type 4 for send_error_reply"}}), reports());
}

TEST_F(Replies, AuthenticationErrorTextIsCutAt1280Characters)
{
    std::string msg(2000, 'x');
    send_authen_error(msg.c_str());
    bytes sent = last_sent();
    ASSERT_EQ(12u + 6u + 1280u, sent.size());
    EXPECT_EQ(0x05, sent[14]) << "length 1280 = 0x0500";
    EXPECT_EQ(0x00, sent[15]);
    std::string text(sent.begin() + 18, sent.end());
    EXPECT_EQ(("nas1 192.0.2.1: " + msg).substr(0, 1280), text);
    ASSERT_EQ(1u, reports().size());
    EXPECT_EQ(text, reports()[0].second);
}

// --- get_authen_continue ---------------------------------------------------

class Continue : public Replies {
protected:
    void SetUp() override
    {
        Replies::SetUp();
        session.seq_no = 2;  // a START was read and answered
    }

    void send_continue(unsigned char type, unsigned char seq, const bytes &body)
    {
        bytes p = zat_test::header(0xc0, type, seq, 0x01, 0x2a2b2c2d, uint32_t(body.size()));
        p.insert(p.end(), body.begin(), body.end());
        ASSERT_TRUE(zat_test::send_all(link.peer, p));
    }

    // The text of the authentication error reply that went out, or "".
    std::string error_sent() const
    {
        bytes sent = last_sent();
        if (sent.size() < 18 || sent[12] != AUTHEN_STATUS_ERROR)
            return "";
        return std::string(sent.begin() + 18, sent.end());
    }
};

TEST_F(Continue, AcceptedWithLengthsInHostOrder)
{
    debug = DEBUG_PACKET_FLAG;
    send_continue(TYPE_AUTHEN, 3, {0x00, 0x03, 0x00, 0x02, 0x00, 's', 'e', 'c', 'x', 'y'});
    unsigned char *got = get_authen_continue();
    ASSERT_NE(nullptr, got);
    uint16_t user_len, data_len;
    memcpy(&user_len, got + 12, 2);
    memcpy(&data_len, got + 14, 2);
    EXPECT_EQ(3, user_len);
    EXPECT_EQ(2, data_len);
    EXPECT_EQ(0, memcmp(got + 17, "secxy", 5));
    EXPECT_EQ(0, memcmp(got + 8, "\x00\x00\x00\x0a", 4)) << "header stays in wire order";
    ASSERT_EQ(1u, recording_host::incoming_dumps().size());
    EXPECT_TRUE(recording_host::xor_calls().size() == 1u) << "only the de-obfuscation, no reply";
    free(got);
}

struct size_case {
    const char *name;
    bytes body;
    bool accepted;
};

class ContinueSize : public Continue, public ::testing::WithParamInterface<size_case> {};

TEST_P(ContinueSize, MustAddUpExactly)
{
    const size_case &c = GetParam();
    send_continue(TYPE_AUTHEN, 3, c.body);
    unsigned char *got = get_authen_continue();
    if (c.accepted) {
        EXPECT_NE(nullptr, got);
        EXPECT_TRUE(reports().empty());
        free(got);
        return;
    }
    EXPECT_EQ(nullptr, got);
    EXPECT_EQ(lines({{3, "nas1: Illegally sized authentication cont packet"},
                     {3, "nas1 192.0.2.1: Illegally sized authentication cont packet"}}),
              reports());
    EXPECT_EQ("nas1 192.0.2.1: Illegally sized authentication cont packet", error_sent());
    EXPECT_EQ(4, session.seq_no) << "the CONTINUE was read (3) and the error reply sent (4)";
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ContinueSize,
    ::testing::Values(size_case{"empty_body", {}, false}, size_case{"one_byte", {0x00}, false},
                      size_case{"two_bytes", {0x00, 0x00}, false}, size_case{"three_bytes", {0x00, 0x00, 0x00}, false},
                      size_case{"four_bytes", {0x00, 0x00, 0x00, 0x00}, false},
                      size_case{"five_bytes_no_texts", {0x00, 0x00, 0x00, 0x00, 0x00}, true},
                      size_case{"user_3_in_8_bytes", {0x00, 0x03, 0x00, 0x00, 0x00, 'a', 'b', 'c'}, true},
                      size_case{"user_3_in_9_bytes", {0x00, 0x03, 0x00, 0x00, 0x00, 'a', 'b', 'c', 'd'}, false},
                      size_case{"lengths_exceed_body", {0xff, 0xff, 0xff, 0xff, 0x00, 'a', 'b', 'c'}, false},
                      size_case{"sum_wraps_16_bits", {0xff, 0xff, 0x00, 0x04, 0x00, 'a', 'b', 'c'}, false}),
    [](const auto &info) { return std::string(info.param.name); });

struct type_case {
    const char *name;
    unsigned char type;
    unsigned char seq;
    int seq_no_before;
    std::string logged;
};

class ContinueType : public Continue, public ::testing::WithParamInterface<type_case> {};

TEST_P(ContinueType, RefusedWithTheErrorReply)
{
    const type_case &c = GetParam();
    session.seq_no = c.seq_no_before;
    send_continue(c.type, c.seq, {0x00, 0x00, 0x00, 0x00, 0x00});
    EXPECT_EQ(nullptr, get_authen_continue());
    EXPECT_EQ(lines({{3, c.logged}, {3, "nas1 192.0.2.1: " + c.logged}}), reports());
    EXPECT_EQ("nas1 192.0.2.1: " + c.logged, error_sent());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ContinueType,
    ::testing::Values(
        type_case{"authorization", TYPE_AUTHOR, 3, 2,
                  "nas1: Bad packet type=2/seq no=3 when expecting authentication cont"},
        type_case{"accounting", TYPE_ACCT, 3, 2, "nas1: Bad packet type=3/seq no=3 when expecting authentication cont"},
        type_case{"sequence_one", TYPE_AUTHEN, 1, 0,
                  "nas1: Bad packet type=1/seq no=1 when expecting authentication cont"}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(Continue, NothingReadMeansNothingSent)
{
    link.close_peer();
    EXPECT_EQ(nullptr, get_authen_continue());
    EXPECT_TRUE(recording_host::xor_calls().empty());
}

// Every way in which read_packet() gives nothing: get_authen_continue()
// returns null and sends nothing, whether the connection failed or
// read_packet() refused what came.  Only a packet that it returned and that
// is no proper CONTINUE is answered with an error reply (above).
struct unread_case {
    const char *name;
    bytes wire;      // what the NAS sends before the call
    bool then_eof;   // and then it stops sending
    int xor_result;  // what md5_xor() answers
    bool times_out;  // the wait for the header times out
};

class ContinueUnread : public Continue, public ::testing::WithParamInterface<unread_case> {};

TEST_P(ContinueUnread, NullAndNoReply)
{
    const unread_case &c = GetParam();
    if (!c.wire.empty()) {
        ASSERT_TRUE(zat_test::send_all(link.peer, c.wire));
    }
    if (c.then_eof) {
        ASSERT_EQ(0, shutdown(link.peer, SHUT_WR));  // it can still receive
    }
    recording_host::set_xor_result(c.xor_result);
    if (c.times_out) {
        fake_sys::reset(link.ours);
        fake_sys::queue_poll({0, 0, 0});
    }
    int seq_no_before = session.seq_no;
    EXPECT_EQ(nullptr, get_authen_continue());
    EXPECT_FALSE(reports().empty()) << "read_packet says why";
    unsigned char byte;
    EXPECT_EQ(-1, recv(link.peer, &byte, 1, MSG_DONTWAIT)) << "something reached the NAS";
    EXPECT_LE(session.seq_no, seq_no_before + 1) << "at most the read counted, no reply";
    for (const auto &call : recording_host::xor_calls())
        EXPECT_NE(AUTHEN_STATUS_ERROR, call.seen.size() > 12 ? call.seen[12] : -1) << "no reply built";
}

// An empty CONTINUE, less its last `missing` bytes.
bytes continue_packet(unsigned char version, unsigned char seq, size_t missing = 0)
{
    bytes p = zat_test::header(version, TYPE_AUTHEN, seq, 0x01, 0x2a2b2c2d, 5);
    p.insert(p.end(), {0x00, 0x00, 0x00, 0x00, 0x00});
    p.resize(p.size() - missing);
    return p;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ContinueUnread,
    ::testing::Values(unread_case{"timeout", {}, false, 0, true},
                      unread_case{"closed_before_sending", {}, true, 0, false},
                      unread_case{"header_cut_short", {0xc0, 0x01, 0x03}, true, 0, false},
                      unread_case{"body_cut_short", continue_packet(0xc0, 3, 2), true, 0, false},
                      unread_case{"bad_version", continue_packet(0xb0, 3), false, 0, false},
                      unread_case{"wrong_sequence", continue_packet(0xc0, 5), false, 0, false},
                      unread_case{"key_failure", continue_packet(0xc0, 3), false, 1, false}),
    [](const auto &info) { return std::string(info.param.name); });

} // namespace
