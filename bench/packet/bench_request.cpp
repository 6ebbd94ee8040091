// Decoding an authorization REQUEST with 255 arguments, against bare loops
// over the same packet:
//
//   length sum:  one pass over the length bytes (user, port, remote address
//                and the 255 arguments), compared with the body length; the
//                least that any decoder checking the lengths must do.  A plain
//                byte loop, as a daemon would write it (g++ 12 at -O2 leaves
//                it scalar)
//   word sum:    the same sum eight length bytes at a time, as the decoder
//                itself does it: a second, harder reference
//   body pass:   one pass over the whole body: the same sum, then every byte
//                of the texts read once (a count of NUL bytes), as a plain
//                byte loop; the decoder scans with memchr instead
//
// The decoder adds the type and size checks and fills 259 views.  Arguments
// are 10 to 30 bytes ("service=shell"-like), or all of one width (the
// benchmark's argument): the NUL scan grows with the texts, the rest does not.
//
// Allocation: malloc, calloc and realloc are counted in this program; a
// decoding loop that calls any of them fails with an error.
#include <benchmark/benchmark.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "daemon/host/host.h"
#include "daemon/host/standin/standin.h"
#include "daemon/packet/packet.h"
#include "daemon/packet/request.h"

extern "C" void *__libc_malloc(size_t size);
extern "C" void *__libc_calloc(size_t count, size_t size);
extern "C" void *__libc_realloc(void *ptr, size_t size);

namespace {

long allocations;

} // namespace

extern "C" void *malloc(size_t size) noexcept
{
    allocations++;
    return __libc_malloc(size);
}

extern "C" void *calloc(size_t count, size_t size) noexcept
{
    allocations++;
    return __libc_calloc(count, size);
}

extern "C" void *realloc(void *ptr, size_t size) noexcept
{
    allocations++;
    return __libc_realloc(ptr, size);
}

namespace {

// An authorization REQUEST of 255 arguments of `width` bytes, or of 10 to 30
// bytes when width is 0.
std::vector<unsigned char> author_request(int width)
{
    std::vector<std::string> args;
    for (int i = 0; i < 255; i++) {
        char name[16];
        snprintf(name, sizeof name, "attr%03d=", i);
        std::string a = name;
        size_t size = width ? size_t(width) : size_t(10 + (i * 7) % 21);
        while (a.size() < size)
            a.push_back(static_cast<char>('a' + a.size() % 26));
        a.resize(size);
        args.push_back(a);
    }
    const std::string user = "joe", port = "tty5", rem_addr = "10.1.2.3";
    std::vector<unsigned char> body = {6,
                                       1,
                                       1,
                                       1,
                                       static_cast<unsigned char>(user.size()),
                                       static_cast<unsigned char>(port.size()),
                                       static_cast<unsigned char>(rem_addr.size()),
                                       255};
    for (const auto &a : args)
        body.push_back(static_cast<unsigned char>(a.size()));
    for (const std::string *s : {&user, &port, &rem_addr})
        body.insert(body.end(), s->begin(), s->end());
    for (const auto &a : args)
        body.insert(body.end(), a.begin(), a.end());
    size_t n = body.size();
    std::vector<unsigned char> packet(HEADER_SIZE + n);
    const unsigned char header[HEADER_SIZE] = {0xc0,
                                               TYPE_AUTHOR,
                                               1,
                                               0x01,
                                               0x2a,
                                               0x2b,
                                               0x2c,
                                               0x2d,
                                               static_cast<unsigned char>(n >> 24),
                                               static_cast<unsigned char>(n >> 16),
                                               static_cast<unsigned char>(n >> 8),
                                               static_cast<unsigned char>(n)};
    memcpy(packet.data(), header, HEADER_SIZE);
    memcpy(packet.data() + HEADER_SIZE, body.data(), n);
    return packet;
}

uint32_t body_length(const unsigned char *packet)
{
    return (uint32_t(packet[8]) << 24) | (uint32_t(packet[9]) << 16) | (uint32_t(packet[10]) << 8) | packet[11];
}

// The lengths of user, port, remote address and the arguments, summed.
uint32_t sum_lengths(const unsigned char *body)
{
    uint32_t count = body[7];
    uint32_t sum = 8 + count + body[4] + body[5] + body[6];
    for (uint32_t i = 0; i < count; i++)
        sum += body[8 + i];
    return sum;
}

void BM_decode_author_255(benchmark::State &state)
{
    std::vector<unsigned char> packet = author_request(int(state.range(0)));
    static zat_author_request out;
    long before = allocations;
    for (auto _ : state) {
        benchmark::DoNotOptimize(packet.data());
        int code = zat_decode_author_request(packet.data(), &out);
        benchmark::DoNotOptimize(code);
        benchmark::ClobberMemory();
    }
    long made = allocations - before;
    if (zat_decode_author_request(packet.data(), &out) != ZAT_REQ_OK || out.arg_cnt != 255)
        state.SkipWithError("the packet was refused");
    else if (made != 0)
        state.SkipWithError("decoding allocated");
    state.counters["allocations"] = double(made);
    state.counters["body_bytes"] = double(body_length(packet.data()));
}

void BM_length_sum(benchmark::State &state)
{
    std::vector<unsigned char> packet = author_request(int(state.range(0)));
    for (auto _ : state) {
        benchmark::DoNotOptimize(packet.data());
        bool adds_up = sum_lengths(packet.data() + HEADER_SIZE) == body_length(packet.data());
        benchmark::DoNotOptimize(adds_up);
    }
}

void BM_length_sum_words(benchmark::State &state)
{
    std::vector<unsigned char> packet = author_request(int(state.range(0)));
    for (auto _ : state) {
        benchmark::DoNotOptimize(packet.data());
        const unsigned char *body = packet.data() + HEADER_SIZE;
        uint32_t count = body[7];
        uint64_t lanes = 0;
        uint32_t i = 0;
        for (; i + 8 <= count; i += 8) {
            uint64_t word;
            memcpy(&word, body + 8 + i, sizeof word);
            lanes += (word & 0x00ff00ff00ff00ffULL) + ((word >> 8) & 0x00ff00ff00ff00ffULL);
        }
        uint32_t sum = 8 + count + body[4] + body[5] + body[6] + uint32_t((lanes * 0x0001000100010001ULL) >> 48);
        for (; i < count; i++)
            sum += body[8 + i];
        bool adds_up = sum == body_length(packet.data());
        benchmark::DoNotOptimize(adds_up);
    }
}

void BM_body_pass(benchmark::State &state)
{
    std::vector<unsigned char> packet = author_request(int(state.range(0)));
    for (auto _ : state) {
        benchmark::DoNotOptimize(packet.data());
        const unsigned char *body = packet.data() + HEADER_SIZE;
        uint32_t length = body_length(packet.data());
        bool adds_up = sum_lengths(body) == length;
        uint32_t nuls = 0;
        for (uint32_t i = 8 + body[7]; i < length; i++)
            nuls += body[i] == 0;
        benchmark::DoNotOptimize(adds_up);
        benchmark::DoNotOptimize(nuls);
    }
}

// 0: arguments of 10 to 30 bytes; otherwise all of that width.
#define WIDTHS Arg(0)->Arg(10)->Arg(30)->Arg(100)->Arg(255)

BENCHMARK(BM_decode_author_255)->WIDTHS;
BENCHMARK(BM_length_sum)->WIDTHS;
BENCHMARK(BM_length_sum_words)->Arg(0);
BENCHMARK(BM_body_pass)->WIDTHS;

} // namespace

int main(int argc, char **argv)
{
    // A refused packet would log; none is expected.
    standin_capture_reports(0);
    session.peer_name = "bench-nas";
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
