// A capture file of a TACACS+ conversation, for an independent decoder.
// Each packet becomes TCP segments of at most 1460 bytes between the NAS
// (port 40049) and the server (port 49), with sequence numbers that follow
// on, so the decoder sees the conversation as it crossed the wire.
#ifndef ZAT_TEST_PCAP_H
#define ZAT_TEST_PCAP_H

#include <stdint.h>

#include <map>
#include <string>
#include <vector>

namespace zat_test {

class capture {
public:
    void from_nas(const std::vector<unsigned char> &bytes) { add(true, bytes); }
    void from_server(const std::vector<unsigned char> &bytes) { add(false, bytes); }
    bool write(const std::string &path) const;

private:
    struct segment {
        bool from_nas;
        std::vector<unsigned char> bytes;
    };
    void add(bool from_nas, const std::vector<unsigned char> &bytes);
    std::vector<segment> segments_;
};

// Runs a command and returns what it printed on standard output.
bool run_command(const std::string &command, std::string &output, int &status);

// tshark's path, or "" when it is not installed.
std::string find_tshark();

// One decoded packet: field name -> value(s) as tshark prints them, several
// occurrences joined with ','.
using decoded_packet = std::vector<std::pair<std::string, std::string>>;

// Decodes a capture with tshark and the TACACS+ key, giving the named fields
// of every frame.  False (with the reason in error) when tshark fails.
bool tshark_decode(const std::string &pcap, const std::string &key, const std::vector<std::string> &fields,
                   std::vector<decoded_packet> &out, std::string &error);

// The value of a field in a decoded packet, "" when absent.
std::string field(const decoded_packet &packet, const std::string &name);

// Writes the capture to a temporary file, decodes it with tshark and the key,
// and compares packet by packet with the expected field values.  Returns ""
// when every field agrees, else what differed (or why tshark could not run).
using expected_fields = std::map<std::string, std::string>;
// The header fields of a TACACS+ packet as tshark shows them.
expected_fields tacplus_header(unsigned type, unsigned seq, unsigned flags, uint32_t session_id, size_t length);

std::string disagreements(const capture &cap, const std::string &key, const std::vector<expected_fields> &expected);

} // namespace zat_test

#endif
