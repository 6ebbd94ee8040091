// Authorization and accounting replies at and just over what their length
// fields can carry, sent over loopback TCP with the real obfuscation and
// taken apart at the NAS's end as a NAS does it, then once more by
// Wireshark's TACACS+ decoder.
//
// At a limit the reply arrives exactly as asked.  Over one, nothing of it
// may reach the NAS (a cut or wrapped length would make the NAS read the
// bytes that follow as other fields, or as an argument of their own): the
// type's error reply goes out instead, correctly framed, and the refusal is
// logged with the field and its size.
#include <string.h>

#include <future>
#include <string>
#include <vector>

#include "daemon/host/host.h"
#include "daemon/host/standin/standin.h"
#include "daemon/packet/packet.h"
#include "tests/support/nas.h"
#include "tests/support/pcap.h"
#include "tests/support/reports.h"
#include "tests/wire/wire_fixture.h"
#include "tests/support/sockets.h"

namespace {

using zat_test::bytes;

using wire_test::key;
const char *const too_large = "reply too large";

// An "attribute=value" pair of exactly n bytes (n >= 3).
std::string pair_of(size_t n, char attribute = 'a')
{
    return std::string(1, attribute) + "=" + std::string(n - 2, 'v');
}

// 300 bytes whose length byte would read 44 (300 & 0xff): a NAS that took
// the low byte would find "priv-lvl=15" right where the next argument of 11
// bytes starts.
std::string smuggling_argument()
{
    std::string a = pair_of(300, 'x');
    a.replace(44, 11, "priv-lvl=15");
    return a;
}

struct limit_case {
    const char *name;
    int type;  // TYPE_AUTHOR or TYPE_ACCT
    std::vector<std::string> args;
    size_t msg_len, data_len;
    std::string refusal;  // the log line after "nas1: "; "" when the reply is within the limits
};

class ReplyLimits : public wire_test::WireFixture, public ::testing::WithParamInterface<limit_case> {
protected:
    void SetUp() override
    {
        WireFixture::SetUp();
        if (HasFatalFailure())
            return;
        session.session_id = 0x0badcafe;
        nas.session_id = 0x0badcafe;
        session.seq_no = 1;  // the request was read
    }
};

TEST_P(ReplyLimits, WithinTheFieldsOrRefusedWhole)
{
    const limit_case &c = GetParam();
    std::string msg(c.msg_len, 'm'), data(c.data_len, 'd');
    std::vector<const char *> argv;
    for (const auto &a : c.args)
        argv.push_back(a.c_str());

    // The NAS reads while the reply goes out: the largest do not fit in the
    // socket buffers.
    auto received = std::async(std::launch::async, [this] { return nas.receive(); });
    if (c.type == TYPE_AUTHOR)
        send_author_reply(0x01, msg.c_str(), data.c_str(), int(argv.size()), argv.data());
    else
        send_acct_reply(0x01, msg.c_str(), data.c_str());
    zat_test::reply r = received.get();
    ASSERT_FALSE(r.plain.empty()) << "no reply reached the NAS";

    EXPECT_EQ(2, session.seq_no) << "one reply, one step";
    EXPECT_EQ(2, r.seq());
    EXPECT_EQ(c.type, r.type());
    zat_test::decoded_reply got = c.type == TYPE_AUTHOR ? zat_test::decode_author_response(r.body())
                                                        : zat_test::decode_acct_reply(r.body());
    ASSERT_TRUE(got.framed) << "the lengths in the body do not add up to its size";

    bool refused = !c.refusal.empty();
    int error_status = c.type == TYPE_AUTHOR ? AUTHOR_STATUS_ERROR : ACCT_STATUS_ERROR;
    EXPECT_EQ(refused ? error_status : 0x01, got.status);
    EXPECT_EQ(refused ? std::vector<std::string>{} : c.args, got.args);
    EXPECT_EQ(refused ? std::string(too_large) : msg, got.server_msg);
    EXPECT_EQ(refused ? std::string() : data, got.data);
    if (refused)
        EXPECT_EQ(zat_test::lines({{3, "nas1: " + c.refusal}}), zat_test::reports());
    else
        EXPECT_TRUE(zat_test::reports().empty());

    // The independent decoder sees the same.
    zat_test::expected_fields fields =
        zat_test::tacplus_header(unsigned(c.type), 2, 0x00, 0x0badcafe, r.plain.size() - 12);
    std::string arg_values;
    for (const auto &a : got.args)
        arg_values += (arg_values.empty() ? "" : ",") + a;
    if (c.type == TYPE_AUTHOR) {
        fields["tacplus.body_author_rep.auth_status"] = refused ? "0x11" : "0x01";
        fields["tacplus.body_author_rep.arg_count"] = std::to_string(got.args.size());
        fields["tacplus.body_author_rep_server.msg_len"] = std::to_string(got.server_msg.size());
        fields["tacplus.body_author_rep_server.data_len"] = std::to_string(got.data.size());
        fields["tacplus.arg_value"] = arg_values;
    } else {
        fields["tacplus.body_acct.status"] = refused ? "0x02" : "0x01";
        fields["tacplus.body_acct.msg_len"] = std::to_string(got.server_msg.size());
        fields["tacplus.body_acct.data_len"] = std::to_string(got.data.size());
        fields["tacplus.body_acct.server_msg"] = got.server_msg;
    }
    EXPECT_EQ("", zat_test::disagreements(nas.cap, key, {fields}));
}

std::vector<std::string> pairs(size_t count)
{
    std::vector<std::string> out;
    for (size_t i = 0; i < count; i++)
        out.push_back(pair_of(3 + i % 10));
    return out;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ReplyLimits,
    ::testing::Values(
        limit_case{"author_255_arguments", TYPE_AUTHOR, pairs(255), 2, 2, ""},
        limit_case{"author_256_arguments", TYPE_AUTHOR, pairs(256), 2, 2,
                   "authorization reply too large: 256 arguments, at most 255"},
        limit_case{"author_argument_of_255", TYPE_AUTHOR, {"service=shell", pair_of(255)}, 0, 0, ""},
        limit_case{"author_argument_of_256", TYPE_AUTHOR, {"service=shell", pair_of(256)}, 0, 0,
                   "authorization reply too large: argument 2 is 256 bytes, at most 255"},
        limit_case{"author_argument_smuggling_another", TYPE_AUTHOR, {smuggling_argument(), "timeout=300"}, 0, 0,
                   "authorization reply too large: argument 1 is 300 bytes, at most 255"},
        limit_case{"author_message_of_65535", TYPE_AUTHOR, {"a=1"}, 65535, 3, ""},
        limit_case{"author_message_of_65536", TYPE_AUTHOR, {"a=1"}, 65536, 3,
                   "authorization reply too large: server message is 65536 bytes, at most 65535"},
        limit_case{"author_data_of_65535", TYPE_AUTHOR, {"a=1"}, 3, 65535, ""},
        limit_case{"author_data_of_65536", TYPE_AUTHOR, {"a=1"}, 3, 65536,
                   "authorization reply too large: data is 65536 bytes, at most 65535"},
        limit_case{"author_everything_at_its_limit", TYPE_AUTHOR, std::vector<std::string>(255, pair_of(255)), 65535,
                   65535, ""},
        limit_case{"acct_message_of_65535", TYPE_ACCT, {}, 65535, 65535, ""},
        limit_case{"acct_message_of_65536", TYPE_ACCT, {}, 65536, 0,
                   "accounting reply too large: server message is 65536 bytes, at most 65535"},
        limit_case{"acct_data_of_65536", TYPE_ACCT, {}, 0, 65536,
                   "accounting reply too large: data is 65536 bytes, at most 65535"}),
    [](const auto &info) { return std::string(info.param.name); });

} // namespace
