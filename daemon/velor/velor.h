/*
 * The session-limit module: the who-log of started and not yet stopped user
 * sessions, kept up to date from accounting records, and the counting of a
 * user's other sessions from it or from the NASes' finger services.
 *
 * The who-log is shared by every daemon process on the host; each operation
 * holds its file lock (zat_lockfd) from opening the file to closing it.
 */
#ifndef ZAT_DAEMON_VELOR_H
#define ZAT_DAEMON_VELOR_H

#include "daemon/host/host.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Path of the who-log, read at every call; "/var/log/zatwho.log" at start. */
extern const char *wholog;

/* Creates the who-log (mode 0600) where it is missing; never empties it. */
void velor_loginit(void);

/* Records an accounting START or STOP in the who-log; ignores other records. */
void loguser(const struct acct_record *rec);

/* The user's who-log entries other than the caller's own NAS port. */
int countuser(const struct user_ident *id);

/* The user's sessions as the finger services of the NASes in the who-log list them. */
int countusers_by_finger(const struct user_ident *id);

#ifdef __cplusplus
}
#endif

#endif
