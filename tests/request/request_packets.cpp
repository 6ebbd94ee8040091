#include "tests/request/request_packets.h"

#include <stdio.h>
#include <string.h>

#include <algorithm>

namespace request_test {
namespace {

unsigned char byte(size_t n)
{
    return static_cast<unsigned char>(n);
}

void append(bytes &b, const std::string &s)
{
    b.insert(b.end(), s.begin(), s.end());
}

// The part that authorization and accounting share after the accounting flags.
void arg_request(bytes &b, const arg_fields &f)
{
    b.insert(b.end(), {byte(f.authen_method), byte(f.priv_lvl), byte(f.authen_type), byte(f.authen_service),
                       byte(f.user.size()), byte(f.port.size()), byte(f.rem_addr.size()), byte(f.args.size())});
    for (const auto &a : f.args)
        b.push_back(byte(a.size()));
    append(b, f.user);
    append(b, f.port);
    append(b, f.rem_addr);
    for (const auto &a : f.args)
        append(b, a);
}

} // namespace

bytes start_body(const start_fields &f)
{
    bytes b = {byte(f.action),      byte(f.priv_lvl),    byte(f.authen_type),     byte(f.authen_service),
               byte(f.user.size()), byte(f.port.size()), byte(f.rem_addr.size()), byte(f.data.size())};
    append(b, f.user);
    append(b, f.port);
    append(b, f.rem_addr);
    append(b, f.data);
    return b;
}

bytes continue_body(const continue_fields &f)
{
    bytes b = {byte(f.user_msg.size() >> 8), byte(f.user_msg.size()), byte(f.data.size() >> 8), byte(f.data.size()),
               byte(f.flags)};
    append(b, f.user_msg);
    append(b, f.data);
    return b;
}

bytes author_body(const arg_fields &f)
{
    bytes b;
    arg_request(b, f);
    return b;
}

bytes acct_body(const arg_fields &f)
{
    bytes b = {byte(f.flags)};
    arg_request(b, f);
    return b;
}

bytes packet(unsigned char type, unsigned char seq, const bytes &body, uint32_t session_id)
{
    size_t n = body.size();
    bytes p(12 + n);
    p[0] = 0xc0;
    p[1] = type;
    p[2] = seq;
    p[3] = 0x01;
    for (int i = 0; i < 4; i++) {
        p[size_t(4 + i)] = byte(session_id >> (24 - 8 * i));
        p[size_t(8 + i)] = byte(n >> (24 - 8 * i));
    }
    std::copy(body.begin(), body.end(), p.begin() + 12);
    return p;
}

bytes host_order_lengths(bytes p)
{
    if (p.size() < 16)
        return p;
    for (size_t at : {size_t(12), size_t(14)}) {
        uint16_t v = static_cast<uint16_t>(p[at] << 8 | p[at + 1]);
        memcpy(&p[at], &v, sizeof v);
    }
    return p;
}

std::vector<std::string> many_args(int n, int width)
{
    std::vector<std::string> args;
    for (int i = 0; i < n; i++) {
        char name[16];
        snprintf(name, sizeof name, "attr%03d=", i);
        std::string a = name;
        size_t size = width ? size_t(width) : size_t(10 + i % 21);
        while (a.size() < size)
            a.push_back(static_cast<char>('a' + a.size() % 26));
        a.resize(size);
        args.push_back(a);
    }
    return args;
}

const std::vector<std::string> shell_args = {"service=shell", "cmd=show"};
const std::vector<std::string> reference_args = {"service=shell", "task_id=7"};

const char reference_acct_wire[] = "c00301002a2b2c2d00000030"
                               "f62225b1c449147b4f1b7b00686e2ddceab6d397f86f126938b0a5f0ae0466045144395e206670e380"
                               "e4f533aa122b0c";
const char reference_acct_plain[] = "c00301002a2b2c2d00000030"
                                "0206010101030408020d096a6f657474793531302e312e322e33736572766963653d7368656c6c"
                                "7461736b5f69643d37";
const char reference_key[] = "tacacs-test-key";

std::vector<start_case> start_cases()
{
    return {
        {"ascii_login", {1, 1, 1, 1, "joe", "tty5", "10.1.2.3", ""}},
        {"pap", {1, 15, 2, 1, "admin", "Async12", "192.0.2.9", "secret"}},
        // CHAP data (identifier, challenge, 16-byte response) is binary; a
        // NUL right after the remote address belongs to the data.
        {"chap_binary_data",
         {1, 1, 3, 1, "joe", "tty5", "10.1.2.3",
          std::string("\0"
                      "chal\0\xff\x01lenge"
                      "\x10\0\xfe\x7fresponse\0\0\0\0",
                      1 + 12 + 16)}},
        {"sendauth_ppp", {4, 1, 2, 3, "joe", "", "", "pw"}},
        {"all_empty", {1, 0, 1, 1, "", "", "", ""}},
        {"longest_fields",
         {1, 15, 1, 1, std::string(255, 'u'), std::string(255, 'p'), std::string(255, 'r'), std::string(255, 'd')}},
    };
}

std::vector<continue_case> continue_cases()
{
    return {
        {"password", {0, "secret", ""}},
        {"abort_with_reason", {ZAT_CONTINUE_FLAG_ABORT, "", "user gave up"}},
        {"binary_data", {0, "joe", std::string("\0\x01\xff\0", 4)}},
        {"empty", {0, "", ""}},
        // Lengths above 255 need both bytes of each field.
        {"long_fields", {0, std::string(300, 'p'), std::string(1000, 'd')}},
    };
}

std::vector<arg_case> author_cases()
{
    return {
        {"shell", {0, 6, 1, 1, 1, "joe", "tty5", "10.1.2.3", shell_args}},
        {"no_arguments_empty_texts", {0, 1, 0, 1, 1, "", "", "", {}}},
        {"optional_argument", {0, 6, 15, 2, 3, "admin", "Async12", "192.0.2.9", {"service=ppp", "addr*10.0.0.1"}}},
        // The empty argument is the last: its zero length byte sits right
        // before the user name, where a scan for NUL bytes must not start.
        {"empty_argument", {0, 6, 1, 1, 1, "joe", "tty5", "10.1.2.3", {"service=shell", "cmd=", ""}}},
        {"arguments_255_realistic", {0, 6, 1, 1, 1, "joe", "tty5", "10.1.2.3", many_args(255)}},
        {"arguments_255_of_255_bytes",
         {0, 6, 1, 1, 1, std::string(255, 'u'), std::string(255, 'p'), std::string(255, 'r'), many_args(255, 255)}},
    };
}

std::vector<arg_case> acct_cases()
{
    return {
        {"start", {0x02, 6, 1, 1, 1, "joe", "tty5", "10.1.2.3", reference_args}},
        {"stop", {0x04, 6, 1, 1, 1, "joe", "tty5", "10.1.2.3", {"task_id=7", "elapsed_time=360"}}},
        {"watchdog", {0x08, 6, 1, 1, 1, "joe", "tty5", "", {"task_id=7"}}},
        {"watchdog_with_update", {0x0a, 6, 1, 1, 1, "joe", "tty5", "", {"task_id=7", "bytes_in=100"}}},
        // Bits outside START, STOP and WATCHDOG (the old MORE bit and the
        // unused high ones) take no part in the check and are kept.
        {"start_with_more_bit", {0x03, 6, 1, 1, 1, "joe", "tty5", "10.1.2.3", reference_args}},
        {"stop_with_high_bits", {0xf4, 6, 1, 1, 1, "joe", "tty5", "10.1.2.3", reference_args}},
        {"no_arguments_empty_texts", {0x02, 1, 0, 1, 1, "", "", "", {}}},
        {"empty_argument", {0x04, 6, 1, 1, 1, "joe", "tty5", "10.1.2.3", {"task_id=7", ""}}},
        {"arguments_255_realistic", {0x02, 6, 1, 1, 1, "joe", "tty5", "10.1.2.3", many_args(255)}},
    };
}

std::string text(const zat_bytes &view)
{
    return view.len > 0 ? std::string(view.ptr, size_t(view.len)) : std::string();
}

} // namespace request_test
