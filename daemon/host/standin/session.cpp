// The daemon's globals: the record of the current NAS connection and the
// trace switches.
#include "daemon/host/host.h"

extern "C" {
struct zat_session session;
int debug;
}
