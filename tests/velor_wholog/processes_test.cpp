// Several processes updating one who-log through the stand-in host's fcntl
// lock: concurrent START and STOP records, and processes killed in the
// middle of their updates.
#include <signal.h>
#include <stdio.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <random>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "daemon/host/host.h"
#include "daemon/velor/velor.h"
#include "tests/support/reports.h"
#include "tests/velor_wholog/wholog_files.h"

namespace {

using namespace wholog_test;

// Every field of a test entry names the writer and its sequence number, so
// that an entry made of pieces of two writes is told from a whole one.
std::string user_of(int writer, int seq) { return std::string("u").append(std::to_string(writer)).append("-").append(std::to_string(seq)); }
std::string port_of(int writer, int slot) { return std::to_string(writer * 1000 + slot); }
std::string extra_of(int writer, int seq, int slot)
{
    return std::string("x").append(std::to_string(writer)).append("/").append(std::to_string(seq)).append("/").append(std::to_string(slot));
}

// Parses a whole entry written by entry_for(); false for anything else.
bool parse_entry(const std::string &e, const std::string &nas, int *writer, int *seq, int *slot)
{
    int w, s;
    char tail;
    if (sscanf(e.c_str(), "u%d-%d%c", &w, &s, &tail) != 2)
        return false;
    int port = -1;
    if (sscanf(e.c_str() + 96, "%d", &port) != 1 || port < w * 1000 || port >= w * 1000 + 1000)
        return false;
    int sl = port - w * 1000;
    if (e != entry(user_of(w, s), nas, port_of(w, sl), extra_of(w, s, sl)))
        return false;
    *writer = w;
    *seq = s;
    *slot = sl;
    return true;
}

// The entry's bytes, NULs shown as dots, for failure messages.
std::string shown(const std::string &e)
{
    std::string out;
    for (char c : e)
        out += (c >= 32 && c < 127) ? c : '.';
    return out;
}

record start_for(const std::string &nas, int writer, int seq, int slot)
{
    return {ACCT_KIND_START, user_of(writer, seq), nas, "tty" + port_of(writer, slot), extra_of(writer, seq, slot)};
}

record stop_for(const std::string &nas, int writer, int slot)
{
    return {ACCT_KIND_STOP, "someone", nas, "Async" + port_of(writer, slot), ""};
}

class Processes : public WhologDirFixture {
protected:
    void SetUp() override
    {
        WhologDirFixture::SetUp();
        velor_loginit();
    }

    // Forks one child per writer, each blocked on the gate until the parent
    // closes its write end; returns their pids.
    template <typename Work>
    std::vector<pid_t> fork_writers(int writers, const int gate[2], Work work)
    {
        std::vector<pid_t> pids;
        for (int w = 0; w < writers; w++) {
            pid_t pid = fork();
            if (pid == 0) {
                close(gate[1]);
                char byte;
                if (read(gate[0], &byte, 1) != 0)
                    _exit(3);
                work(w);
                _exit(0);
            }
            EXPECT_GT(pid, 0);
            if (pid > 0)
                pids.push_back(pid);
        }
        return pids;
    }

    // Runs the work in every writer at the same moment and waits for all.
    template <typename Work>
    void run_together(int writers, Work work)
    {
        int gate[2];
        ASSERT_EQ(0, pipe(gate));
        std::vector<pid_t> pids = fork_writers(writers, gate, work);
        close(gate[0]);
        close(gate[1]);
        for (pid_t pid : pids) {
            int status = 0;
            ASSERT_EQ(pid, waitpid(pid, &status, 0));
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "writer status " << status;
        }
    }
};

TEST_F(Processes, ConcurrentStartsAndStopsKeepEveryEntry)
{
    constexpr int writers = 8;
    constexpr int records = 200;
    const std::string nas = "nas-shared";

    run_together(writers, [&](int w) {
        for (int m = 0; m < records; m++)
            log_record(start_for(nas, w, m, m));
    });
    std::string after_starts = read_file(path_);
    ASSERT_EQ(size_t(writers * records) * entry_size, after_starts.size());
    std::set<std::pair<int, int>> seen;
    for (size_t at = 0; at < after_starts.size(); at += entry_size) {
        int w, s, slot;
        ASSERT_TRUE(parse_entry(after_starts.substr(at, entry_size), nas, &w, &s, &slot))
            << "entry " << at / entry_size << " is not whole";
        EXPECT_EQ(s, slot);
        EXPECT_TRUE(seen.insert({w, s}).second) << "entry of writer " << w << " record " << s << " twice";
    }
    EXPECT_EQ(size_t(writers * records), seen.size());

    run_together(writers, [&](int w) {
        for (int m = 0; m < records; m++)
            log_record(stop_for(nas, w, m));
    });
    std::string after_stops = read_file(path_);
    EXPECT_EQ(after_starts.size(), after_stops.size());
    EXPECT_EQ(std::string(after_stops.size(), '\0'), after_stops);
    EXPECT_TRUE(zat_test::reports().empty());
}

TEST_F(Processes, KilledWritersLeaveOnlyWholeEntries)
{
    constexpr int writers = 4;
    constexpr int slots = 16;
    constexpr int rounds = 25;
    const std::string nas = "nas-crash";
    unsigned seed = static_cast<unsigned>(time(nullptr));
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 random(seed);

    size_t updates_seen = 0;
    for (int round = 0; round < rounds; round++) {
        int gate[2];
        ASSERT_EQ(0, pipe(gate));
        unsigned child_seed = random();
        std::vector<pid_t> pids = fork_writers(writers, gate, [&](int w) {
            std::mt19937 mine(child_seed + w);
            for (int seq = round * 1000000;; seq++) {
                int slot = static_cast<int>(mine() % slots);
                if (mine() % 3 == 0)
                    log_record(stop_for(nas, w, slot));
                else
                    log_record(start_for(nas, w, seq, slot));
            }
        });
        close(gate[0]);
        close(gate[1]);
        // Let them run for a random while, then kill each at its own moment.
        for (pid_t pid : pids) {
            usleep(static_cast<useconds_t>(random() % 8000));
            kill(pid, SIGKILL);
        }
        for (pid_t pid : pids) {
            int status = 0;
            ASSERT_EQ(pid, waitpid(pid, &status, 0));
            EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << "writer status " << status;
        }

        std::string file = read_file(path_);
        for (size_t at = 0; at + entry_size <= file.size(); at += entry_size) {
            std::string e = file.substr(at, entry_size);
            // A free slot is one whose user begins with NUL, whatever the
            // rest of it holds.
            if (e[0] == '\0')
                continue;
            int w, s, slot;
            ASSERT_TRUE(parse_entry(e, nas, &w, &s, &slot))
                << "round " << round << ": entry " << at / entry_size << " is not whole: " << shown(e);
            ASSERT_LT(w, writers);
            if (s >= round * 1000000)
                updates_seen++;
        }
    }
    // The writers did get work done between the kills.
    EXPECT_GT(updates_seen, 0u);
    // The file is still usable: a start and a stop of a new port.
    log_record(start_for(nas, 999, 1, 1));
    std::string file = read_file(path_);
    log_record(stop_for(nas, 999, 1));
    std::string cleared = read_file(path_);
    EXPECT_NE(file, cleared);
    EXPECT_EQ(file.size(), cleared.size());
}

} // namespace
