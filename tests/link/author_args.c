/*
 * How C daemons call send_author_reply(): with a constant table of pairs,
 * and with an array of const char * filled at run time.  Both must compile
 * without a cast and without a warning.
 */
#include <stddef.h>

#include <daemon/packet/packet.h>

static const char *const shell_pairs[] = {"service=shell", "priv-lvl=1"};

void reply_from_table(void)
{
    send_author_reply(0x01, "ok", NULL, 2, shell_pairs);
}

void reply_from_request(const char **args, int count)
{
    send_author_reply(0x01, NULL, NULL, count, args);
}
