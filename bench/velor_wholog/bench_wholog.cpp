// Who-log updates on a file of 10,000 entries, against one sequential read
// of the same file: a START that matches the last entry, a STOP of the last
// entry, and a START that appends.
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "daemon/host/host.h"
#include "daemon/velor/velor.h"

namespace {

constexpr int entries = 10000;
constexpr size_t entry_size = 192;

std::string dir;
std::string path;

std::string make_entry(int i)
{
    std::string e(entry_size, '\0');
    std::string user = "user" + std::to_string(i);
    std::string nas = "nas" + std::to_string(i % 50);
    std::string port = std::to_string(i);
    std::string extra = "10.1." + std::to_string(i / 250) + "." + std::to_string(i % 250);
    e.replace(0, user.size(), user);
    e.replace(64, nas.size(), nas);
    e.replace(96, port.size(), port);
    e.replace(128, extra.size(), extra);
    return e;
}

void make_file()
{
    char buf[] = "/tmp/bench-wholog-XXXXXX";
    if (!mkdtemp(buf))
        abort();
    dir = buf;
    path = dir + "/zatwho.log";
    std::string all;
    for (int i = 0; i < entries; i++)
        all += make_entry(i);
    FILE *f = fopen(path.c_str(), "wb");
    if (!f || fwrite(all.data(), 1, all.size(), f) != all.size() || fclose(f) != 0)
        abort();
    wholog = path.c_str();
    debug = 0;
}

void remove_file()
{
    unlink(path.c_str());
    rmdir(dir.c_str());
}

// Puts the last entry back and the file back to 10,000 entries.
void restore_file()
{
    int fd = open(path.c_str(), O_WRONLY);
    std::string last = make_entry(entries - 1);
    if (fd < 0 || pwrite(fd, last.data(), last.size(), off_t(entries - 1) * entry_size) != ssize_t(last.size()) ||
        ftruncate(fd, off_t(entries) * entry_size) != 0)
        abort();
    close(fd);
}

struct session_record {
    user_ident id;
    acct_record rec;
    const char *args[2];
};

void fill(session_record *s, int kind, const char *user, const char *nas, const char *port)
{
    s->id = {user, nas, port, "10.9.9.9"};
    s->args[0] = "service=shell";
    s->args[1] = "task_id=77";
    s->rec = {kind, &s->id, 2, s->args};
}

// The reference: one pass over the file, entry by entry, through stdio.
void BM_SequentialRead(benchmark::State &state)
{
    char entry[entry_size];
    for (auto _ : state) {
        FILE *f = fopen(path.c_str(), "r");
        size_t n = 0;
        while (fread(entry, sizeof entry, 1, f) == 1)
            n++;
        fclose(f);
        if (n != entries)
            abort();
        benchmark::DoNotOptimize(entry);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * entries * entry_size);
}
BENCHMARK(BM_SequentialRead)->Unit(benchmark::kMicrosecond);

// The same pass with a seek before every entry, as a stop scan that always
// seeks would make it: for comparison only.
void BM_SequentialReadSeekingEveryEntry(benchmark::State &state)
{
    char entry[entry_size];
    for (auto _ : state) {
        FILE *f = fopen(path.c_str(), "r");
        size_t n = 0;
        for (;; n++) {
            fseek(f, long(n) * entry_size, SEEK_SET);
            if (fread(entry, sizeof entry, 1, f) != 1)
                break;
        }
        fclose(f);
        if (n != entries)
            abort();
        benchmark::DoNotOptimize(entry);
    }
}
BENCHMARK(BM_SequentialReadSeekingEveryEntry)->Unit(benchmark::kMicrosecond);

void BM_StartMatchingTheLastEntry(benchmark::State &state)
{
    session_record s;
    std::string user = "user" + std::to_string(entries - 1);
    std::string nas = "nas" + std::to_string((entries - 1) % 50);
    std::string port = "tty" + std::to_string(entries - 1);
    fill(&s, ACCT_KIND_START, user.c_str(), nas.c_str(), port.c_str());
    for (auto _ : state)
        loguser(&s.rec);
    restore_file();
}
BENCHMARK(BM_StartMatchingTheLastEntry)->Unit(benchmark::kMicrosecond);

void BM_StopOfTheLastEntry(benchmark::State &state)
{
    session_record s;
    std::string nas = "nas" + std::to_string((entries - 1) % 50);
    std::string port = "Async" + std::to_string(entries - 1);
    fill(&s, ACCT_KIND_STOP, "someone", nas.c_str(), port.c_str());
    for (auto _ : state) {
        loguser(&s.rec);
        state.PauseTiming();
        restore_file();
        state.ResumeTiming();
    }
}
BENCHMARK(BM_StopOfTheLastEntry)->Unit(benchmark::kMicrosecond);

void BM_StartThatAppends(benchmark::State &state)
{
    session_record s;
    fill(&s, ACCT_KIND_START, "newcomer", "nas7", "tty20000");
    for (auto _ : state) {
        loguser(&s.rec);
        state.PauseTiming();
        restore_file();
        state.ResumeTiming();
    }
}
BENCHMARK(BM_StartThatAppends)->Unit(benchmark::kMicrosecond);

} // namespace

int main(int argc, char **argv)
{
    make_file();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    remove_file();
    return 0;
}
