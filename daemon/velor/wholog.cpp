// Who-log pieces shared by the writer (loguser) and the counters.
#include "daemon/velor/wholog.h"

#include <string.h>

#include "daemon/host/host.h"
#include "daemon/velor/velor.h"

extern "C" {
const char *wholog = "/var/log/zatwho.log";
}

namespace zat_velor {

const char *portname(const char *port)
{
    if (strncmp(port, "Async", 5) == 0 || strncmp(port, "tty", 3) == 0) {
        for (const char *c = port; *c; c++)
            if (*c >= '0' && *c <= '9')
                return c;
    } else if (*port) {
        return port;
    }
    if (debug & DEBUG_PORTNAME_FLAG)
        report(7, "Velor -- Malformed portname: %s", port);
    return port;
}

bool field_equals(const char *field, size_t width, const char *text)
{
    size_t stored = strnlen(field, width);
    size_t given = strnlen(text, width - 1);
    return stored == given && memcmp(field, text, given) == 0;
}

FILE *open_wholog(void)
{
    const char *path = wholog;
    FILE *file = fopen(path, "r+");
    if (!file)
        return nullptr;
    zat_lockfd(path, fileno(file));
    return file;
}

} // namespace zat_velor
