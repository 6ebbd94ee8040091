// The stand-in host's md5_xor (the obfuscation archive behind it) against a
// vector worked out independently (decoded by Wireshark's TACACS+ dissector
// with the same key), its fail-closed policy, its key table and its lock.
#include <fcntl.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "daemon/host/host.h"
#include "daemon/host/standin/standin.h"
#include "daemon/obfuscation/obfuscation.h"
#include "tests/support/reports.h"
#include "tests/support/sockets.h"

namespace {

using zat_test::from_hex;

const char *const vector_key = "tacacs-test-key";

// Accounting START for joe on tty5, session id 0x2a2b2c2d, seq 1, then the
// server's REPLY "ok" with seq 2, as they travel on the wire.
const char *const request_plain_body =
    "0206010101030408020d096a6f657474793531302e312e322e33736572766963653d7368656c6c7461736b5f69643d37";
const char *const request_wire =
    "c00301002a2b2c2d00000030f62225b1c449147b4f1b7b00686e2ddceab6d397f86f126938b0a5f0ae0466045144395e206670e380e4f533aa122b0c";
const char *const reply_plain_body = "00020000016f6b";
const char *const reply_wire = "c00302002a2b2c2d00000007cab32d39145a6f";

class StandinHost : public zat_test::HostFixture {};

TEST_F(StandinHost, DeobfuscatesTheReferenceRequest)
{
    auto packet = from_hex(request_wire);
    ASSERT_EQ(0, md5_xor(packet.data(), packet.data() + 12, vector_key));
    EXPECT_EQ(from_hex(request_plain_body), std::vector<unsigned char>(packet.begin() + 12, packet.end()));
}

TEST_F(StandinHost, ObfuscatesAReplyAndClearsTheUnencryptedFlag)
{
    auto packet = from_hex("c00302012a2b2c2d00000007");
    auto body = from_hex(reply_plain_body);
    packet.insert(packet.end(), body.begin(), body.end());
    ASSERT_EQ(0, md5_xor(packet.data(), packet.data() + 12, vector_key));
    EXPECT_EQ(from_hex(reply_wire), packet);
}

TEST_F(StandinHost, LeavesAReplyPlainWithoutAKey)
{
    auto packet = from_hex("c00302012a2b2c2d00000007");
    auto body = from_hex(reply_plain_body);
    packet.insert(packet.end(), body.begin(), body.end());
    auto before = packet;
    ASSERT_EQ(0, md5_xor(packet.data(), packet.data() + 12, nullptr));
    EXPECT_EQ(before, packet);
}

struct policy_case {
    const char *name;
    unsigned char flags;
    const char *key;
    int result;
};

class RequestPolicy : public zat_test::HostFixture, public ::testing::WithParamInterface<policy_case> {};

TEST_P(RequestPolicy, FailsClosed)
{
    const policy_case &c = GetParam();
    auto packet = from_hex("c00301002a2b2c2d00000003616263");
    packet[3] = c.flags;
    EXPECT_EQ(c.result, md5_xor(packet.data(), packet.data() + 12, c.key));
    EXPECT_EQ(c.result != 0 ? 1u : 0u, zat_test::reports().size());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RequestPolicy,
    ::testing::Values(policy_case{"obfuscated_with_key", 0x00, "k", 0},
                      policy_case{"plain_without_key", 0x01, nullptr, 0},
                      policy_case{"plain_with_key_refused", 0x01, "k", -1},
                      policy_case{"obfuscated_without_key_refused", 0x00, nullptr, -1},
                      policy_case{"single_connect_plain_with_key_refused", 0x05, "k", -1}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(StandinHost, PadSpansSeveralDigestsAndIsItsOwnInverse)
{
    std::vector<unsigned char> packet = from_hex("c10105042a2b2c2d00000064");
    for (int i = 0; i < 100; i++)
        packet.push_back(static_cast<unsigned char>(i));
    auto before = packet;
    zat_obfuscate_body(packet.data(), packet.data() + 12, "secret");
    EXPECT_NE(before, packet);
    // No two 16-byte pad blocks are the same: each chains on the one before.
    std::vector<unsigned char> pad(100);
    for (int i = 0; i < 100; i++)
        pad[i] = packet[12 + i] ^ before[12 + i];
    EXPECT_NE(std::vector<unsigned char>(pad.begin(), pad.begin() + 16),
              std::vector<unsigned char>(pad.begin() + 16, pad.begin() + 32));
    zat_obfuscate_body(packet.data(), packet.data() + 12, "secret");
    EXPECT_EQ(before, packet);
}

TEST_F(StandinHost, KeyTableMatchesExactlyAndRecordsLookups)
{
    standin_set_host_key("10.0.0.1", "alpha");
    standin_set_host_key("nas-a", "beta");
    standin_set_host_key("nas-a", "gamma");
    EXPECT_STREQ("alpha", cfg_get_host_key("10.0.0.1"));
    EXPECT_STREQ("gamma", cfg_get_host_key("nas-a"));
    EXPECT_EQ(nullptr, cfg_get_host_key("nas-a.example"));
    ASSERT_EQ(3, standin_key_lookup_count());
    EXPECT_STREQ("nas-a.example", standin_key_lookup(2));
}

TEST_F(StandinHost, ReportKeepsLinesWithPriorities)
{
    report(3, "%s: %d", "nas", 7);
    report(7, "plain");
    auto lines = zat_test::reports();
    ASSERT_EQ(2u, lines.size());
    EXPECT_EQ(zat_test::report_line(3, "nas: 7"), lines[0]);
    EXPECT_EQ(zat_test::report_line(7, "plain"), lines[1]);
}

TEST_F(StandinHost, LockExcludesAnotherProcessUntilClose)
{
    char path[] = "/tmp/zat-lock-XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(0, zat_lockfd(path, fd));
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        int cfd = open(path, O_RDWR);
        struct flock probe = {};
        probe.l_type = F_WRLCK;
        probe.l_whence = SEEK_SET;
        // Held by the parent: a non-blocking attempt must fail.
        int held = fcntl(cfd, F_SETLK, &probe) == -1;
        _exit(held ? 0 : 1);
    }
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    close(fd);
    unlink(path);
}

} // namespace
