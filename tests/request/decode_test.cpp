// The four request decoders against tables: valid packets read back field by
// field, with views that point into the packet one after the other, and every
// malformed shape refused with its own code, one log line and a cleared
// struct.  Packets are decoded from blocks of exactly their size, so that
// AddressSanitizer catches a read past the body.
#include <malloc.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <utility>
#include <vector>

#include "daemon/host/host.h"
#include "daemon/packet/packet.h"
#include "daemon/packet/request.h"
#include "tests/request/counting_alloc.h"
#include "tests/request/request_packets.h"
#include "tests/support/reports.h"
#include "tests/support/sockets.h"

namespace {

using namespace request_test;
using zat_test::from_hex;
using zat_test::lines;
using zat_test::reports;

// A packet in a block of exactly its size.
struct block {
    unsigned char *p;
    size_t size;
    explicit block(const bytes &b) : p(static_cast<unsigned char *>(malloc(b.size() ? b.size() : 1))), size(b.size())
    {
        if (!b.empty())
            memcpy(p, b.data(), b.size());
    }
    ~block() { free(p); }
    block(const block &) = delete;
    block &operator=(const block &) = delete;
};

// Checks that the views lie in the packet one after the other from offset
// `at`, each as long as its expected text.
void expect_consecutive(const block &b, long at, const std::vector<std::pair<zat_bytes, std::string>> &views)
{
    for (size_t i = 0; i < views.size(); i++) {
        const zat_bytes &v = views[i].first;
        EXPECT_EQ(static_cast<const void *>(b.p + at), static_cast<const void *>(v.ptr)) << "view " << i;
        EXPECT_EQ(int(views[i].second.size()), v.len) << "view " << i;
        at += long(views[i].second.size());
    }
    EXPECT_EQ(long(b.size), at) << "the views end where the body ends";
}

std::vector<std::string> arg_texts(int count, const zat_bytes *args)
{
    std::vector<std::string> out;
    for (int i = 0; i < count; i++)
        out.push_back(text(args[i]));
    return out;
}

// --- valid packets ---------------------------------------------------------

class StartValid : public zat_test::HostFixture, public ::testing::WithParamInterface<start_case> {};

TEST_P(StartValid, EveryFieldReadBack)
{
    const start_fields &f = GetParam().f;
    block b(packet(TYPE_AUTHEN, 1, start_body(f)));
    zat_authen_start out;
    memset(&out, 0xa5, sizeof out);
    ASSERT_EQ(ZAT_REQ_OK, zat_decode_authen_start(b.p, &out));
    EXPECT_EQ(f.action, out.action);
    EXPECT_EQ(f.priv_lvl, out.priv_lvl);
    EXPECT_EQ(f.authen_type, out.authen_type);
    EXPECT_EQ(f.authen_service, out.authen_service);
    EXPECT_EQ(f.user, text(out.user));
    EXPECT_EQ(f.port, text(out.port));
    EXPECT_EQ(f.rem_addr, text(out.rem_addr));
    EXPECT_EQ(f.data, text(out.data));
    expect_consecutive(b, 12 + 8,
                       {{out.user, f.user}, {out.port, f.port}, {out.rem_addr, f.rem_addr}, {out.data, f.data}});
    EXPECT_TRUE(reports().empty());
}

INSTANTIATE_TEST_SUITE_P(Table, StartValid, ::testing::ValuesIn(start_cases()),
                         [](const auto &info) { return std::string(info.param.name); });

class ContinueValid : public zat_test::HostFixture, public ::testing::WithParamInterface<continue_case> {};

TEST_P(ContinueValid, EveryFieldReadBack)
{
    const continue_fields &f = GetParam().f;
    block b(host_order_lengths(packet(TYPE_AUTHEN, 3, continue_body(f))));
    zat_authen_continue out;
    memset(&out, 0xa5, sizeof out);
    ASSERT_EQ(ZAT_REQ_OK, zat_decode_authen_continue(b.p, &out));
    EXPECT_EQ(f.flags, out.flags);
    EXPECT_EQ(f.user_msg, text(out.user_msg));
    EXPECT_EQ(f.data, text(out.data));
    expect_consecutive(b, 12 + 5, {{out.user_msg, f.user_msg}, {out.data, f.data}});
    EXPECT_TRUE(reports().empty());
}

INSTANTIATE_TEST_SUITE_P(Table, ContinueValid, ::testing::ValuesIn(continue_cases()),
                         [](const auto &info) { return std::string(info.param.name); });

void expect_arg_request(const block &b, long fixed, const arg_fields &f, int method, int priv, int type, int service,
                        const zat_bytes &user, const zat_bytes &port, const zat_bytes &rem_addr, int arg_cnt,
                        const zat_bytes *args)
{
    EXPECT_EQ(f.authen_method, method);
    EXPECT_EQ(f.priv_lvl, priv);
    EXPECT_EQ(f.authen_type, type);
    EXPECT_EQ(f.authen_service, service);
    EXPECT_EQ(f.user, text(user));
    EXPECT_EQ(f.port, text(port));
    EXPECT_EQ(f.rem_addr, text(rem_addr));
    ASSERT_EQ(int(f.args.size()), arg_cnt);
    EXPECT_EQ(f.args, arg_texts(arg_cnt, args));
    std::vector<std::pair<zat_bytes, std::string>> views = {{user, f.user}, {port, f.port}, {rem_addr, f.rem_addr}};
    for (int i = 0; i < arg_cnt; i++)
        views.emplace_back(args[i], f.args[size_t(i)]);
    expect_consecutive(b, fixed + arg_cnt, views);
}

class AuthorValid : public zat_test::HostFixture, public ::testing::WithParamInterface<arg_case> {};

TEST_P(AuthorValid, EveryFieldReadBack)
{
    const arg_fields &f = GetParam().f;
    block b(packet(TYPE_AUTHOR, 1, author_body(f)));
    zat_author_request out;
    memset(&out, 0xa5, sizeof out);
    ASSERT_EQ(ZAT_REQ_OK, zat_decode_author_request(b.p, &out));
    expect_arg_request(b, 12 + 8, f, out.authen_method, out.priv_lvl, out.authen_type, out.authen_service, out.user,
                       out.port, out.rem_addr, out.arg_cnt, out.args);
    EXPECT_TRUE(reports().empty());
}

INSTANTIATE_TEST_SUITE_P(Table, AuthorValid, ::testing::ValuesIn(author_cases()),
                         [](const auto &info) { return std::string(info.param.name); });

class AcctValid : public zat_test::HostFixture, public ::testing::WithParamInterface<arg_case> {};

TEST_P(AcctValid, EveryFieldReadBack)
{
    const arg_fields &f = GetParam().f;
    block b(packet(TYPE_ACCT, 1, acct_body(f)));
    zat_acct_request out;
    memset(&out, 0xa5, sizeof out);
    ASSERT_EQ(ZAT_REQ_OK, zat_decode_acct_request(b.p, &out));
    EXPECT_EQ(f.flags, out.flags);
    expect_arg_request(b, 12 + 9, f, out.authen_method, out.priv_lvl, out.authen_type, out.authen_service, out.user,
                       out.port, out.rem_addr, out.arg_cnt, out.args);
    EXPECT_TRUE(reports().empty());
}

INSTANTIATE_TEST_SUITE_P(Table, AcctValid, ::testing::ValuesIn(acct_cases()),
                         [](const auto &info) { return std::string(info.param.name); });

class Decode : public zat_test::HostFixture {};

// The reference accounting START, checked by tshark when it was recorded:
// header as on the wire, body in plain form.
TEST_F(Decode, ReferenceAccountingStartDecodes)
{
    block b(from_hex(reference_acct_plain));
    zat_acct_request out;
    ASSERT_EQ(ZAT_REQ_OK, zat_decode_acct_request(b.p, &out));
    EXPECT_EQ(ZAT_ACCT_FLAG_START, out.flags);
    EXPECT_EQ(6, out.authen_method);
    EXPECT_EQ(1, out.priv_lvl);
    EXPECT_EQ(1, out.authen_type);
    EXPECT_EQ(1, out.authen_service);
    EXPECT_EQ("joe", text(out.user));
    EXPECT_EQ("tty5", text(out.port));
    EXPECT_EQ("10.1.2.3", text(out.rem_addr));
    EXPECT_EQ(reference_args, arg_texts(out.arg_cnt, out.args));
    EXPECT_EQ(static_cast<const void *>(b.p + 12 + 11), static_cast<const void *>(out.user.ptr));
    EXPECT_TRUE(reports().empty());
}

// What get_authen_continue() returns, straight from a socket, decodes.
TEST_F(Decode, ContinueFromGetAuthenContinue)
{
    zat_test::socket_pair link;
    ASSERT_TRUE(zat_test::make_unix_pair(link));
    session.conn_fd = link.ours;
    session.seq_no = 2;
    const continue_fields f = {0, std::string(300, 's'), "xyz"};
    ASSERT_TRUE(zat_test::send_all(link.peer, packet(TYPE_AUTHEN, 3, continue_body(f))));
    unsigned char *p = get_authen_continue();
    ASSERT_NE(nullptr, p);
    zat_authen_continue out;
    EXPECT_EQ(ZAT_REQ_OK, zat_decode_authen_continue(p, &out));
    EXPECT_EQ(f.user_msg, text(out.user_msg));
    EXPECT_EQ(f.data, text(out.data));
    free(p);
}

// Decoding takes nothing from the host's allocator nor from malloc: the heap
// in use is the same before and after every valid table case.  (Under
// AddressSanitizer the heap figures are its own, and only the count of
// zat_malloc calls tells.)
TEST_F(Decode, AllocatesNothing)
{
    std::vector<bytes> starts, continues, authors, accts;
    for (const auto &c : start_cases())
        starts.push_back(packet(TYPE_AUTHEN, 1, start_body(c.f)));
    for (const auto &c : continue_cases())
        continues.push_back(host_order_lengths(packet(TYPE_AUTHEN, 3, continue_body(c.f))));
    for (const auto &c : author_cases())
        authors.push_back(packet(TYPE_AUTHOR, 1, author_body(c.f)));
    for (const auto &c : acct_cases())
        accts.push_back(packet(TYPE_ACCT, 1, acct_body(c.f)));
    static zat_authen_start s;
    static zat_authen_continue c;
    static zat_author_request a;
    static zat_acct_request r;
    int calls = counting_alloc::calls();
    size_t in_use = mallinfo2().uordblks;
    int refused = 0;
    for (const bytes &p : starts)
        refused += zat_decode_authen_start(p.data(), &s) != ZAT_REQ_OK;
    for (const bytes &p : continues)
        refused += zat_decode_authen_continue(p.data(), &c) != ZAT_REQ_OK;
    for (const bytes &p : authors)
        refused += zat_decode_author_request(p.data(), &a) != ZAT_REQ_OK;
    for (const bytes &p : accts)
        refused += zat_decode_acct_request(p.data(), &r) != ZAT_REQ_OK;
    EXPECT_EQ(calls, counting_alloc::calls());
    EXPECT_EQ(in_use, mallinfo2().uordblks);
    EXPECT_EQ(0, refused);
}

// --- malformed shapes ------------------------------------------------------

enum kind { start, cont, author, acct };
const char *const request_names[] = {"authentication start", "authentication continue", "authorization request",
                                     "accounting request"};

struct shape_case {
    std::string name;
    kind k;
    bytes packet; // empty: a null packet
    int code;
    bool null_out;
};

// The valid packets that the malformed ones are made from, as bodies.
const start_fields start_base = {1, 1, 1, 1, "joe", "tty5", "10.1.2.3", "ab"};
const continue_fields continue_base = {0, "secret", "xy"};
const arg_fields author_base = {0, 6, 1, 1, 1, "joe", "tty5", "10.1.2.3", shell_args};
const arg_fields acct_base = {0x02, 6, 1, 1, 1, "joe", "tty5", "10.1.2.3", reference_args};

bytes frame(kind k, const bytes &body, unsigned char type)
{
    bytes p = packet(type, k == cont ? 3 : 1, body);
    return k == cont ? host_order_lengths(p) : p;
}

unsigned char right_type(kind k)
{
    return k == author ? TYPE_AUTHOR : k == acct ? TYPE_ACCT : TYPE_AUTHEN;
}

bytes frame(kind k, const bytes &body)
{
    return frame(k, body, right_type(k));
}

struct base {
    kind k;
    const char *name;
    bytes body;
    std::vector<size_t> length_bytes; // offsets of the one-byte lengths
    size_t fixed;                     // fixed fields and argument length bytes
};

std::vector<base> bases()
{
    return {
        {start, "start", start_body(start_base), {4, 5, 6, 7}, 8},
        {cont, "continue", continue_body(continue_base), {1, 3}, 5}, // low bytes of the 16-bit lengths
        {author, "author", author_body(author_base), {4, 5, 6, 8, 9}, 10},
        {acct, "acct", acct_body(acct_base), {5, 6, 7, 9, 10}, 11},
    };
}

std::vector<shape_case> shape_cases()
{
    std::vector<shape_case> cases;
    for (const base &b : bases()) {
        std::string n = b.name;
        // Each length one too large and one too small.
        for (size_t at : b.length_bytes) {
            bytes more = b.body, less = b.body;
            more[at]++;
            less[at]--;
            cases.push_back({n + "_length_at_" + std::to_string(at) + "_plus_1", b.k, frame(b.k, more),
                             ZAT_REQ_LENGTHS_OVER_BODY, false});
            cases.push_back({n + "_length_at_" + std::to_string(at) + "_minus_1", b.k, frame(b.k, less),
                             ZAT_REQ_LENGTHS_UNDER_BODY, false});
        }
        // The argument count too: one more takes the first letter of the
        // user name as a length, one fewer leaves the last argument's length
        // byte over as text; both sums miss the body length.
        if (b.k == author || b.k == acct) {
            size_t count_at = b.k == author ? 7 : 8;
            bytes more = b.body, less = b.body;
            more[count_at]++;
            less[count_at]--;
            cases.push_back({n + "_arg_count_plus_1", b.k, frame(b.k, more), ZAT_REQ_LENGTHS_OVER_BODY, false});
            cases.push_back({n + "_arg_count_minus_1", b.k, frame(b.k, less), ZAT_REQ_LENGTHS_UNDER_BODY, false});
        }
        // The body one byte longer or shorter than its fields.
        bytes longer = b.body, shorter = b.body;
        longer.push_back('x');
        shorter.pop_back();
        cases.push_back({n + "_body_plus_1", b.k, frame(b.k, longer), ZAT_REQ_LENGTHS_UNDER_BODY, false});
        cases.push_back({n + "_body_minus_1", b.k, frame(b.k, shorter), ZAT_REQ_LENGTHS_OVER_BODY, false});
        // A body shorter than the fixed fields: empty, one byte short, and
        // for arguments, cut inside the argument length bytes.
        std::vector<size_t> cuts = {0, b.fixed - 1};
        if (b.k == author || b.k == acct)
            cuts.push_back(b.fixed - 2);
        for (size_t cut : cuts)
            cases.push_back({n + "_body_of_" + std::to_string(cut), b.k,
                             frame(b.k, bytes(b.body.begin(), b.body.begin() + long(cut))), ZAT_REQ_SHORT_BODY, false});
        // Another packet type.
        for (unsigned char type : {0, 1, 2, 3, 4})
            if (type != right_type(b.k))
                cases.push_back(
                    {n + "_type_" + std::to_string(type), b.k, frame(b.k, b.body, type), ZAT_REQ_WRONG_TYPE, false});
        cases.push_back({n + "_null_packet", b.k, {}, ZAT_REQ_NO_PACKET, false});
        cases.push_back({n + "_null_struct", b.k, frame(b.k, b.body), ZAT_REQ_NO_PACKET, true});
    }

    // NUL bytes in the texts: first, inside and last byte of a field.
    using std::string;
    const string nul(1, '\0');
    auto start_with = [](string user, string port, string rem) {
        start_fields f = start_base;
        f.user = user, f.port = port, f.rem_addr = rem;
        return frame(start, start_body(f));
    };
    cases.push_back(
        {"start_nul_in_user", start, start_with("jo" + nul, "tty5", "10.1.2.3"), ZAT_REQ_NUL_IN_USER, false});
    cases.push_back(
        {"start_nul_in_port", start, start_with("joe", nul + "tty5", "10.1.2.3"), ZAT_REQ_NUL_IN_PORT, false});
    cases.push_back({"start_nul_in_rem_addr", start, start_with("joe", "tty5", "10.1" + nul + "2.3"),
                     ZAT_REQ_NUL_IN_REM_ADDR, false});
    for (kind k : {author, acct}) {
        string n = k == author ? "author" : "acct";
        auto with = [k](string user, string port, string rem, std::vector<string> args) {
            arg_fields f = k == author ? author_base : acct_base;
            f.user = user, f.port = port, f.rem_addr = rem, f.args = args;
            return frame(k, k == author ? author_body(f) : acct_body(f));
        };
        cases.push_back(
            {n + "_nul_in_user", k, with(nul + "joe", "tty5", "10.1.2.3", shell_args), ZAT_REQ_NUL_IN_USER, false});
        cases.push_back(
            {n + "_nul_in_port", k, with("joe", "tty5" + nul, "10.1.2.3", shell_args), ZAT_REQ_NUL_IN_PORT, false});
        cases.push_back(
            {n + "_nul_in_rem_addr", k, with("joe", "tty5", nul, shell_args), ZAT_REQ_NUL_IN_REM_ADDR, false});
        cases.push_back({n + "_nul_in_first_arg", k,
                         with("joe", "tty5", "10.1.2.3", {"service=shell" + nul, "cmd=show"}), ZAT_REQ_NUL_IN_ARG,
                         false});
        cases.push_back({n + "_nul_in_last_arg", k,
                         with("joe", "tty5", "10.1.2.3", {"service=shell", "cmd=sh" + nul + "ow"}), ZAT_REQ_NUL_IN_ARG,
                         false});
        std::vector<string> many = many_args(255);
        many[200][3] = '\0';
        cases.push_back(
            {n + "_nul_in_arg_200_of_255", k, with("joe", "tty5", "10.1.2.3", many), ZAT_REQ_NUL_IN_ARG, false});
    }
    auto continue_with = [](string user_msg) {
        continue_fields f = continue_base;
        f.user_msg = user_msg;
        return frame(cont, continue_body(f));
    };
    cases.push_back(
        {"continue_nul_in_user_msg", cont, continue_with("sec" + nul + "ret"), ZAT_REQ_NUL_IN_USER_MSG, false});
    cases.push_back({"continue_user_msg_only_nul", cont, continue_with(nul), ZAT_REQ_NUL_IN_USER_MSG, false});

    // Accounting flags: exactly one of START, STOP, WATCHDOG, or WATCHDOG
    // with START (an update); whatever the other bits.
    const struct {
        const char *name;
        unsigned char flags;
    } bad_flags[] = {{"none", 0x00},
                     {"more_only", 0x01},
                     {"start_and_stop", 0x06},
                     {"start_and_stop_more", 0x07},
                     {"stop_and_watchdog", 0x0c},
                     {"all_three", 0x0e},
                     {"high_bits_only", 0xf0}};
    for (const auto &f : bad_flags) {
        arg_fields a = acct_base;
        a.flags = f.flags;
        cases.push_back(
            {string("acct_flags_") + f.name, acct, frame(acct, acct_body(a)), ZAT_REQ_BAD_ACCT_FLAGS, false});
    }
    return cases;
}

int decode(kind k, const unsigned char *p, void *out)
{
    switch (k) {
    case start:
        return zat_decode_authen_start(p, static_cast<zat_authen_start *>(out));
    case cont:
        return zat_decode_authen_continue(p, static_cast<zat_authen_continue *>(out));
    case author:
        return zat_decode_author_request(p, static_cast<zat_author_request *>(out));
    case acct:
        return zat_decode_acct_request(p, static_cast<zat_acct_request *>(out));
    }
    return -1;
}

size_t result_size(kind k)
{
    switch (k) {
    case start:
        return sizeof(zat_authen_start);
    case cont:
        return sizeof(zat_authen_continue);
    case author:
        return sizeof(zat_author_request);
    case acct:
        return sizeof(zat_acct_request);
    }
    return 0;
}

class Shapes : public zat_test::HostFixture, public ::testing::WithParamInterface<shape_case> {};

TEST_P(Shapes, RefusedWithTheirCode)
{
    const shape_case &c = GetParam();
    block b(c.packet);
    std::vector<unsigned char> out(result_size(c.k), 0xa5);
    int code = decode(c.k, c.packet.empty() ? nullptr : b.p, c.null_out ? nullptr : out.data());
    EXPECT_EQ(c.code, code) << zat_request_error_text(code);
    EXPECT_EQ(lines({{3, std::string("nas1: ") + request_names[c.k] + " refused: " + zat_request_error_text(c.code)}}),
              reports());
    if (!c.null_out) {
        EXPECT_EQ(std::vector<unsigned char>(out.size(), 0), out) << "a refused request leaves its struct cleared";
    }
}

INSTANTIATE_TEST_SUITE_P(Table, Shapes, ::testing::ValuesIn(shape_cases()),
                         [](const auto &info) { return info.param.name; });

// The texts are what operators read and what the NAS shows its user.
TEST(RequestErrorText, EveryCodeHasItsOwnText)
{
    const std::vector<std::pair<int, std::string>> texts = {
        {ZAT_REQ_OK, "no error"},
        {ZAT_REQ_NO_PACKET, "no packet"},
        {ZAT_REQ_WRONG_TYPE, "wrong packet type"},
        {ZAT_REQ_SHORT_BODY, "body shorter than its fixed fields"},
        {ZAT_REQ_LENGTHS_OVER_BODY, "field lengths exceed the body length"},
        {ZAT_REQ_LENGTHS_UNDER_BODY, "field lengths fall short of the body length"},
        {ZAT_REQ_NUL_IN_USER, "NUL byte in the user name"},
        {ZAT_REQ_NUL_IN_PORT, "NUL byte in the port"},
        {ZAT_REQ_NUL_IN_REM_ADDR, "NUL byte in the remote address"},
        {ZAT_REQ_NUL_IN_ARG, "NUL byte in an argument"},
        {ZAT_REQ_NUL_IN_USER_MSG, "NUL byte in the user message"},
        {ZAT_REQ_BAD_ACCT_FLAGS, "invalid accounting flags"},
        {-1, "unknown request error"},
        {12, "unknown request error"},
    };
    for (const auto &t : texts)
        EXPECT_EQ(t.second, zat_request_error_text(t.first)) << "code " << t.first;
}

} // namespace
