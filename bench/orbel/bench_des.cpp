// zat_des and zat_des_loadkey against OpenSSL's and Nettle's DES, one block
// or one key at a time, in place, in one run on the same machine.
#include <benchmark/benchmark.h>

#include <nettle/des.h>
#include <openssl/des.h>

#include <cstring>

#include "daemon/orbel/orbel.h"

namespace {

const unsigned char key_bytes[8] = {0x01, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd, 0xef};
const unsigned char plain[8] = {0x4e, 0x6f, 0x77, 0x20, 0x69, 0x73, 0x20, 0x74};

void zat_block(benchmark::State &state)
{
    zat_des_loadkey(key_bytes, 0);
    zat_set_des_mode(1);
    unsigned char block[8];
    std::memcpy(block, plain, 8);
    for (auto _ : state) {
        zat_des(block);
        benchmark::DoNotOptimize(block);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(zat_block)->Name("block/zat_des");

void zat_block_decrypt(benchmark::State &state)
{
    zat_des_loadkey(key_bytes, 0);
    zat_set_des_mode(0);
    unsigned char block[8];
    std::memcpy(block, plain, 8);
    for (auto _ : state) {
        zat_des(block);
        benchmark::DoNotOptimize(block);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(zat_block_decrypt)->Name("block/zat_des_decrypt");

void openssl_block(benchmark::State &state)
{
    DES_cblock k;
    std::memcpy(k, key_bytes, 8);
    DES_key_schedule ks;
    DES_set_key_unchecked(&k, &ks);
    DES_cblock block;
    std::memcpy(block, plain, 8);
    for (auto _ : state) {
        DES_ecb_encrypt(&block, &block, &ks, DES_ENCRYPT);
        benchmark::DoNotOptimize(block);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(openssl_block)->Name("block/openssl_DES_ecb_encrypt");

void nettle_block(benchmark::State &state)
{
    des_ctx ctx;
    des_set_key(&ctx, key_bytes);
    uint8_t block[8];
    std::memcpy(block, plain, 8);
    for (auto _ : state) {
        des_encrypt(&ctx, 8, block, block);
        benchmark::DoNotOptimize(block);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(nettle_block)->Name("block/nettle_des_encrypt");

void zat_key(benchmark::State &state)
{
    unsigned char key[8];
    std::memcpy(key, key_bytes, 8);
    for (auto _ : state) {
        zat_des_loadkey(key, 0);
        benchmark::ClobberMemory();
        key[state.iterations() & 7] += 2;
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(zat_key)->Name("key/zat_des_loadkey");

void openssl_key(benchmark::State &state)
{
    DES_cblock key;
    std::memcpy(key, key_bytes, 8);
    DES_key_schedule ks;
    for (auto _ : state) {
        DES_set_key_unchecked(&key, &ks);
        benchmark::DoNotOptimize(ks);
        key[state.iterations() & 7] += 2;
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(openssl_key)->Name("key/openssl_DES_set_key_unchecked");

void nettle_key(benchmark::State &state)
{
    uint8_t key[8];
    std::memcpy(key, key_bytes, 8);
    des_ctx ctx;
    for (auto _ : state) {
        benchmark::DoNotOptimize(des_set_key(&ctx, key));
        benchmark::DoNotOptimize(ctx);
        key[state.iterations() & 7] += 2;
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(nettle_key)->Name("key/nettle_des_set_key");

} // namespace

BENCHMARK_MAIN();
