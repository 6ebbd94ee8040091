// The finger listing parser on arbitrary bytes with an arbitrary caller.
// Input: one flag byte, then the caller's user, NAS, port and the queried
// NAS name, each ended by a NUL byte (missing ones are empty), then the
// listing.  The listing is handed over in a block of its exact size, so a
// read past the received bytes is caught.
//
// With flag bit 4 the listing also goes through the reading of a query: it
// is written into one end of a socket pair whose end is then closed, and
// finger_receive() reads it from the other end (with the hang-up reported
// beside the data) into its growing buffer.  Its count must be the parser's
// count of the same bytes.
#include <fcntl.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include "daemon/host/host.h"
#include "daemon/host/standin/standin.h"
#include "daemon/velor/finger.h"
#include "daemon/velor/wholog.h"

namespace {

const char *take_text(const uint8_t *&data, size_t &size, char *out, size_t room)
{
    size_t n = 0;
    while (size > 0 && *data != 0) {
        if (n + 1 < room)
            out[n++] = static_cast<char>(*data);
        data++;
        size--;
    }
    if (size > 0) { // the NUL byte
        data++;
        size--;
    }
    out[n] = '\0';
    return out;
}

// Writes the listing into a socket pair and reads it back through the
// query's reading; -1 when the pair cannot be made.  *sent is how much of
// the listing the pair took.
int count_through_socket(const uint8_t *data, size_t size, const char *queried, const user_ident *id,
                         size_t *sent)
{
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, pair) != 0)
        return -1;
    fcntl(pair[0], F_SETFL, fcntl(pair[0], F_GETFL) | O_NONBLOCK);
    fcntl(pair[1], F_SETFL, fcntl(pair[1], F_GETFL) | O_NONBLOCK);
    *sent = 0;
    while (*sent < size) {
        ssize_t n = write(pair[1], data + *sent, size - *sent);
        if (n <= 0)
            break;
        *sent += static_cast<size_t>(n);
    }
    close(pair[1]);
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    long long deadline = static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000 +
                         zat_velor::FINGER_TIMEOUT_MS;
    return zat_velor::finger_receive(pair[0], queried, id, zat_velor::portname(id->nas_port), deadline);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    standin_capture_reports(1);
    const uint8_t flags = data[0];
    debug = (flags & 1 ? DEBUG_LIMIT_FLAG : 0) | (flags & 2 ? DEBUG_PORTNAME_FLAG : 0);
    data++;
    size--;

    char user[96], nas[64], port[64], queried[64];
    user_ident id;
    id.user = take_text(data, size, user, sizeof user);
    id.nas = take_text(data, size, nas, sizeof nas);
    id.nas_port = take_text(data, size, port, sizeof port);
    id.extra = "";
    take_text(data, size, queried, sizeof queried);

    char *listing = static_cast<char *>(malloc(size ? size : 1));
    if (size)
        memcpy(listing, data, size);
    int count = zat_velor::parse_listing(listing, static_cast<int>(size), queried, &id);
    free(listing);
    // Every counted line is at least 14 bytes long.
    if (count < 0 || static_cast<size_t>(count) > size / 14)
        abort();

    if (flags & 4) {
        size_t sent = 0;
        int through = count_through_socket(data, size, queried, &id, &sent);
        if (through >= 0) {
            char *copy = static_cast<char *>(malloc(sent ? sent : 1));
            if (sent)
                memcpy(copy, data, sent);
            int direct = zat_velor::parse_listing(copy, static_cast<int>(sent), queried, &id);
            free(copy);
            if (through != direct)
                abort();
        }
    }

    standin_clear_reports();
    return 0;
}
