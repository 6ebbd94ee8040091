// The finger listing parser on arbitrary bytes with an arbitrary caller.
// Input: one flag byte, then the caller's user, NAS, port and the queried
// NAS name, each ended by a NUL byte (missing ones are empty), then the
// listing.  The listing is handed over in a block of its exact size, so a
// read past the received bytes is caught.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "daemon/host/host.h"
#include "daemon/host/standin/standin.h"
#include "daemon/velor/finger.h"

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

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    standin_capture_reports(1);
    debug = (data[0] & 1 ? DEBUG_LIMIT_FLAG : 0) | (data[0] & 2 ? DEBUG_PORTNAME_FLAG : 0);
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

    standin_clear_reports();
    return 0;
}
