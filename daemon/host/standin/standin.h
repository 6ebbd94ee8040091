/*
 * The stand-in host: a small daemon core that provides every service of
 * daemon/host/host.h, so that the modules build, run and test without a real
 * daemon.  These calls are its own, for tests and tools.
 */
#ifndef ZAT_STANDIN_H
#define ZAT_STANDIN_H

#ifdef __cplusplus
extern "C" {
#endif

/* report(): lines go to standard error, or into memory while capturing. */
void standin_capture_reports(int on);
void standin_clear_reports(void);
int standin_report_count(void);
int standin_report_priority(int index);
const char *standin_report_text(int index);

/* Key table of cfg_get_host_key(), by NAS address or name. */
int standin_set_host_key(const char *host, const char *key);
void standin_clear_host_keys(void);
/* Every lookup is recorded: how many since the last clear, and which host. */
int standin_key_lookup_count(void);
const char *standin_key_lookup(int index);
void standin_clear_key_lookups(void);

#ifdef __cplusplus
}
#endif

#endif
