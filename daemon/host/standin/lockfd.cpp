// zat_lockfd(): a blocking, exclusive fcntl lock of the whole file.  The lock
// belongs to the process and ends when the descriptor is closed.
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <unistd.h>

#include "daemon/host/host.h"

extern "C" int zat_lockfd(const char *path, int fd)
{
    struct flock lock;
    memset(&lock, 0, sizeof lock);
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    lock.l_start = 0;
    lock.l_len = 0; // to the end of the file, however far it grows
    for (;;) {
        if (fcntl(fd, F_SETLKW, &lock) == 0)
            return 0;
        if (errno != EINTR)
            break;
    }
    int saved = errno;
    report(3, "%s: cannot lock fd %d: %s", path, fd, strerror(saved));
    errno = saved;
    return -1;
}
