// The four request decoders on arbitrary bytes.
//
// Input: one byte that picks the decoder (START, CONTINUE, authorization,
// accounting, by its value modulo 4), then the 12-byte header (missing bytes
// are 0), then the body.  The header's length bytes are set to the body's
// length, as read_packet() guarantees, and the packet lies in a block of
// exactly header plus body, so AddressSanitizer stops any read outside it.
//
// A packet that a decoder accepts must add up, worked out here from the raw
// bytes: its lengths sum to the body length, its views lie one after the
// other to the end of the body, the texts used as C strings hold no NUL and
// the accounting flags are valid.  A refused packet leaves the struct zero.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "daemon/host/host.h"
#include "daemon/host/standin/standin.h"
#include "daemon/packet/packet.h"
#include "daemon/packet/request.h"

namespace {

#define REQUIRE(condition)                                                                                             \
    do {                                                                                                               \
        if (!(condition))                                                                                              \
            abort();                                                                                                   \
    } while (0)

// Views must follow one another from `at` and may be read whole.
void require_consecutive(const unsigned char *&at, const zat_bytes &v, bool text)
{
    REQUIRE(reinterpret_cast<const unsigned char *>(v.ptr) == at && v.len >= 0);
    volatile unsigned char sink = 0;
    for (int i = 0; i < v.len; i++) {
        sink = sink ^ static_cast<unsigned char>(v.ptr[i]);
        REQUIRE(!text || v.ptr[i] != '\0');
    }
    at += v.len;
}

bool all_zero(const void *p, size_t n)
{
    const unsigned char *b = static_cast<const unsigned char *>(p);
    for (size_t i = 0; i < n; i++)
        if (b[i])
            return false;
    return true;
}

void check_start(const unsigned char *packet, uint32_t length)
{
    zat_authen_start s;
    if (zat_decode_authen_start(packet, &s) != ZAT_REQ_OK) {
        REQUIRE(all_zero(&s, sizeof s));
        return;
    }
    const unsigned char *b = packet + HEADER_SIZE;
    REQUIRE(packet[1] == TYPE_AUTHEN && length >= 8);
    REQUIRE(8u + b[4] + b[5] + b[6] + b[7] == length);
    const unsigned char *at = b + 8;
    require_consecutive(at, s.user, true);
    require_consecutive(at, s.port, true);
    require_consecutive(at, s.rem_addr, true);
    require_consecutive(at, s.data, false);
    REQUIRE(at == b + length);
}

void check_continue(const unsigned char *packet, uint32_t length)
{
    zat_authen_continue c;
    if (zat_decode_authen_continue(packet, &c) != ZAT_REQ_OK) {
        REQUIRE(all_zero(&c, sizeof c));
        return;
    }
    const unsigned char *b = packet + HEADER_SIZE;
    REQUIRE(packet[1] == TYPE_AUTHEN && length >= 5);
    uint16_t n, m;
    memcpy(&n, b, 2);
    memcpy(&m, b + 2, 2);
    REQUIRE(5u + n + m == length);
    const unsigned char *at = b + 5;
    require_consecutive(at, c.user_msg, true);
    require_consecutive(at, c.data, false);
    REQUIRE(at == b + length);
}

template <typename R>
void check_arg_request(const unsigned char *packet, uint32_t length, const R &r, uint32_t lead)
{
    const unsigned char *b = packet + HEADER_SIZE;
    REQUIRE(length >= lead + 8);
    const unsigned char *f = b + lead;
    uint32_t count = f[7];
    REQUIRE(length >= lead + 8 + count && r.arg_cnt == int(count));
    uint32_t sum = lead + 8 + count + f[4] + f[5] + f[6];
    for (uint32_t i = 0; i < count; i++)
        sum += b[lead + 8 + i];
    REQUIRE(sum == length);
    const unsigned char *at = b + lead + 8 + count;
    require_consecutive(at, r.user, true);
    require_consecutive(at, r.port, true);
    require_consecutive(at, r.rem_addr, true);
    for (uint32_t i = 0; i < count; i++) {
        REQUIRE(r.args[i].len == b[lead + 8 + i]);
        require_consecutive(at, r.args[i], true);
    }
    REQUIRE(at == b + length);
}

void check_author(const unsigned char *packet, uint32_t length)
{
    static zat_author_request r;
    if (zat_decode_author_request(packet, &r) != ZAT_REQ_OK) {
        REQUIRE(all_zero(&r, sizeof r));
        return;
    }
    REQUIRE(packet[1] == TYPE_AUTHOR);
    check_arg_request(packet, length, r, 0);
}

void check_acct(const unsigned char *packet, uint32_t length)
{
    static zat_acct_request r;
    if (zat_decode_acct_request(packet, &r) != ZAT_REQ_OK) {
        REQUIRE(all_zero(&r, sizeof r));
        return;
    }
    REQUIRE(packet[1] == TYPE_ACCT && length >= 1);
    int flags = packet[HEADER_SIZE] & 0x0e;
    REQUIRE(flags == 0x02 || flags == 0x04 || flags == 0x08 || flags == 0x0a);
    REQUIRE(r.flags == packet[HEADER_SIZE]);
    check_arg_request(packet, length, r, 1);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0 || size > 70000)
        return 0;
    standin_capture_reports(1);
    standin_clear_reports();
    session.peer_name = "fuzz-nas";

    size_t header_bytes = size - 1 < HEADER_SIZE ? size - 1 : HEADER_SIZE;
    uint32_t length = static_cast<uint32_t>(size - 1 - header_bytes);
    unsigned char *packet = static_cast<unsigned char *>(malloc(HEADER_SIZE + length));
    memset(packet, 0, HEADER_SIZE);
    memcpy(packet, data + 1, header_bytes);
    packet[8] = static_cast<unsigned char>(length >> 24);
    packet[9] = static_cast<unsigned char>(length >> 16);
    packet[10] = static_cast<unsigned char>(length >> 8);
    packet[11] = static_cast<unsigned char>(length);
    if (length)
        memcpy(packet + HEADER_SIZE, data + 1 + HEADER_SIZE, length);

    switch (data[0] % 4) {
    case 0:
        check_start(packet, length);
        break;
    case 1:
        check_continue(packet, length);
        break;
    case 2:
        check_author(packet, length);
        break;
    case 3:
        check_acct(packet, length);
        break;
    }
    free(packet);
    return 0;
}
