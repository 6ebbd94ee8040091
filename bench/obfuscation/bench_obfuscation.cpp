// The pad of a body against its plain cost: one whole MD5 digest (init,
// update with every input, final) per 16-byte pad block, which is the
// obfuscation as its definition reads.  Bodies of 100 bytes (the packet
// benchmark's) and 1000 bytes; a key of 16 bytes.
#include <benchmark/benchmark.h>
#include <md5.h>
#include <string.h>

#include <vector>

#include "daemon/obfuscation/obfuscation.h"

namespace {

const char *const key = "bench-key-16byte";

std::vector<unsigned char> packet(size_t length)
{
    std::vector<unsigned char> p = {0xc0, 3, 1, 0x00, 0x2a, 0x2b, 0x2c, 0x2d, static_cast<unsigned char>(length >> 24),
                                    static_cast<unsigned char>(length >> 16), static_cast<unsigned char>(length >> 8),
                                    static_cast<unsigned char>(length)};
    for (size_t i = 0; i < length; i++)
        p.push_back(static_cast<unsigned char>(i));
    return p;
}

void BM_obfuscate_body(benchmark::State &state)
{
    auto p = packet(size_t(state.range(0)));
    for (auto _ : state) {
        zat_obfuscate_body(p.data(), p.data() + 12, key);
        benchmark::DoNotOptimize(p.data());
    }
}

// Every pad block as a digest of its own whole input.
void BM_digest_per_block(benchmark::State &state)
{
    auto p = packet(size_t(state.range(0)));
    const size_t length = size_t(state.range(0));
    const size_t key_len = strlen(key);
    for (auto _ : state) {
        unsigned char pad[MD5_DIGEST_LENGTH];
        for (size_t done = 0; done < length; done += MD5_DIGEST_LENGTH) {
            MD5_CTX ctx;
            MD5Init(&ctx);
            MD5Update(&ctx, p.data() + 4, 4);
            MD5Update(&ctx, reinterpret_cast<const unsigned char *>(key), key_len);
            MD5Update(&ctx, p.data(), 1);
            MD5Update(&ctx, p.data() + 2, 1);
            if (done)
                MD5Update(&ctx, pad, MD5_DIGEST_LENGTH);
            MD5Final(pad, &ctx);
            for (size_t i = 0; i < MD5_DIGEST_LENGTH && done + i < length; i++)
                p[12 + done + i] ^= pad[i];
        }
        benchmark::DoNotOptimize(p.data());
    }
}

} // namespace

BENCHMARK(BM_obfuscate_body)->Arg(100)->Arg(1000);
BENCHMARK(BM_digest_per_block)->Arg(100)->Arg(1000);

BENCHMARK_MAIN();
