#include "tests/support/pcap.h"

#include <stdint.h>
#include <stdio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>

namespace zat_test {
namespace {

void put16be(std::vector<unsigned char> &v, uint16_t x)
{
    v.push_back(static_cast<unsigned char>(x >> 8));
    v.push_back(static_cast<unsigned char>(x));
}

void put32be(std::vector<unsigned char> &v, uint32_t x)
{
    put16be(v, static_cast<uint16_t>(x >> 16));
    put16be(v, static_cast<uint16_t>(x));
}

void put32le(std::vector<unsigned char> &v, uint32_t x)
{
    for (int i = 0; i < 4; i++)
        v.push_back(static_cast<unsigned char>(x >> (8 * i)));
}

void put16le(std::vector<unsigned char> &v, uint16_t x)
{
    v.push_back(static_cast<unsigned char>(x));
    v.push_back(static_cast<unsigned char>(x >> 8));
}

uint16_t ip_checksum(const unsigned char *p, size_t n)
{
    uint32_t sum = 0;
    for (size_t i = 0; i + 1 < n; i += 2)
        sum += uint32_t(p[i] << 8 | p[i + 1]);
    while (sum >> 16)
        sum = (sum & 0xffff) + (sum >> 16);
    return static_cast<uint16_t>(~sum);
}

} // namespace

void capture::add(bool from_nas, const std::vector<unsigned char> &bytes)
{
    // A packet larger than one TCP segment goes in segments of 1460 bytes,
    // as over Ethernet; the decoder puts them together again.
    const size_t max_segment = 1460;
    size_t from = 0;
    do {
        size_t upto = std::min(bytes.size(), from + max_segment);
        segments_.push_back({from_nas, std::vector<unsigned char>(bytes.begin() + static_cast<long>(from),
                                                                  bytes.begin() + static_cast<long>(upto))});
        from = upto;
    } while (from < bytes.size());
}

bool capture::write(const std::string &path) const
{
    std::vector<unsigned char> file;
    put32le(file, 0xa1b2c3d4);  // pcap magic, microsecond stamps
    put16le(file, 2);
    put16le(file, 4);
    put32le(file, 0);
    put32le(file, 0);
    put32le(file, 65535);
    put32le(file, 101);  // raw IPv4 packets

    const uint32_t nas_ip = 0x7f000002, server_ip = 0x7f000001;  // 127.0.0.2 -> 127.0.0.1
    const uint16_t nas_port = 40049, server_port = 49;
    uint32_t nas_seq = 1000, server_seq = 5000;
    uint32_t stamp = 0;
    for (const segment &s : segments_) {
        std::vector<unsigned char> ip;
        size_t total = 20 + 20 + s.bytes.size();
        ip.push_back(0x45);
        ip.push_back(0);
        put16be(ip, static_cast<uint16_t>(total));
        put16be(ip, static_cast<uint16_t>(stamp));
        put16be(ip, 0x4000);
        ip.push_back(64);
        ip.push_back(6);  // TCP
        put16be(ip, 0);
        put32be(ip, s.from_nas ? nas_ip : server_ip);
        put32be(ip, s.from_nas ? server_ip : nas_ip);
        uint16_t sum = ip_checksum(ip.data(), 20);
        ip[10] = static_cast<unsigned char>(sum >> 8);
        ip[11] = static_cast<unsigned char>(sum);
        put16be(ip, s.from_nas ? nas_port : server_port);
        put16be(ip, s.from_nas ? server_port : nas_port);
        put32be(ip, s.from_nas ? nas_seq : server_seq);
        put32be(ip, s.from_nas ? server_seq : nas_seq);
        ip.push_back(0x50);  // header of 5 words
        ip.push_back(0x18);  // PSH, ACK
        put16be(ip, 65535);
        put16be(ip, 0);  // checksum: not checked by the decoder by default
        put16be(ip, 0);
        ip.insert(ip.end(), s.bytes.begin(), s.bytes.end());
        (s.from_nas ? nas_seq : server_seq) += static_cast<uint32_t>(s.bytes.size());

        put32le(file, 1700000000 + stamp);
        put32le(file, 0);
        put32le(file, static_cast<uint32_t>(ip.size()));
        put32le(file, static_cast<uint32_t>(ip.size()));
        file.insert(file.end(), ip.begin(), ip.end());
        stamp++;
    }
    FILE *f = fopen(path.c_str(), "wb");
    if (!f)
        return false;
    bool ok = fwrite(file.data(), 1, file.size(), f) == file.size();
    return fclose(f) == 0 && ok;
}

bool run_command(const std::string &command, std::string &output, int &status)
{
    output.clear();
    FILE *p = popen(command.c_str(), "r");
    if (!p)
        return false;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0)
        output.append(buf, n);
    int raw = pclose(p);
    status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    return true;
}

bool tshark_decode(const std::string &pcap, const std::string &key, const std::vector<std::string> &fields,
                   std::vector<decoded_packet> &out, std::string &error)
{
    std::string tshark = find_tshark();
    if (tshark.empty()) {
        error = "tshark is not installed (Debian package tshark)";
        return false;
    }
    // Only the frames in which a TACACS+ packet is complete: one line per packet.
    std::string command = tshark + " -r '" + pcap + "' -o 'tacplus.key:" + key +
                          "' -Y tacplus -T fields -E separator=/t -E occurrence=a -E aggregator=,";
    for (const auto &f : fields)
        command += " -e " + f;
    std::string errors = pcap + ".stderr";
    command += " 2>'" + errors + "'";
    std::string text;
    int status = 0;
    bool ran = run_command(command, text, status);
    std::string said;
    int cat_status = 0;
    run_command("cat '" + errors + "'; rm -f '" + errors + "'", said, cat_status);
    if (!ran || status != 0) {
        error = "tshark failed: " + said + text;
        return false;
    }
    out.clear();
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(pos, end - pos);
        pos = end + 1;
        decoded_packet packet;
        size_t start = 0;
        for (const auto &f : fields) {
            size_t tab = line.find('\t', start);
            std::string value = line.substr(start, tab == std::string::npos ? std::string::npos : tab - start);
            packet.emplace_back(f, value);
            start = tab == std::string::npos ? line.size() : tab + 1;
        }
        out.push_back(packet);
    }
    return true;
}

std::string field(const decoded_packet &packet, const std::string &name)
{
    for (const auto &kv : packet)
        if (kv.first == name)
            return kv.second;
    return "";
}

std::string find_tshark()
{
    for (const char *path : {"/usr/bin/tshark", "/usr/local/bin/tshark"})
        if (access(path, X_OK) == 0)
            return path;
    return "";
}

expected_fields tacplus_header(unsigned type, unsigned seq, unsigned flags, uint32_t session_id, size_t length)
{
    char f[8];
    snprintf(f, sizeof f, "0x%02x", flags);
    return {{"tacplus.type", std::to_string(type)},
            {"tacplus.seqno", std::to_string(seq)},
            {"tacplus.flags", f},
            {"tacplus.session_id", std::to_string(session_id)},
            {"tacplus.packet_len", std::to_string(length)}};
}

std::string disagreements(const capture &cap, const std::string &key, const std::vector<expected_fields> &expected)
{
    char path[] = "/tmp/zat-capture-XXXXXX";
    int fd = mkstemp(path);
    if (fd < 0)
        return "cannot create a capture file";
    close(fd);
    std::string report;
    std::vector<std::string> fields;
    for (const auto &packet : expected)
        for (const auto &kv : packet)
            if (std::find(fields.begin(), fields.end(), kv.first) == fields.end())
                fields.push_back(kv.first);
    std::vector<decoded_packet> decoded;
    std::string error;
    if (!cap.write(path))
        report = "cannot write the capture";
    else if (!tshark_decode(path, key, fields, decoded, error))
        report = error;
    else if (decoded.size() != expected.size())
        report = "tshark decoded " + std::to_string(decoded.size()) + " packets, expected " +
                 std::to_string(expected.size());
    else
        for (size_t i = 0; i < expected.size(); i++)
            for (const auto &kv : expected[i]) {
                std::string got = field(decoded[i], kv.first);
                if (got != kv.second)
                    report += "packet " + std::to_string(i + 1) + " " + kv.first + ": tshark shows \"" + got +
                              "\", sent \"" + kv.second + "\"\n";
            }
    unlink(path);
    return report;
}

} // namespace zat_test
