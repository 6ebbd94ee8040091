// cfg_get_host_key(): the stand-in host's key configuration, a small table
// filled by the program, matched exactly by NAS address or name.
#include <stdlib.h>
#include <string.h>

#include "daemon/host/host.h"
#include "daemon/host/standin/standin.h"

namespace {

constexpr int max_keys = 64;
constexpr int max_lookups = 16;
constexpr int max_host = 128;

struct host_key {
    char *host;
    char *key;
};

host_key keys[max_keys];
int key_count;

char lookups[max_lookups][max_host];
int lookup_count;

} // namespace

extern "C" {

int standin_set_host_key(const char *host, const char *key)
{
    for (int i = 0; i < key_count; i++) {
        if (strcmp(keys[i].host, host) == 0) {
            free(keys[i].key);
            keys[i].key = zat_strdup(key);
            return 0;
        }
    }
    if (key_count == max_keys) {
        report(3, "standin: key table full, %s not added", host);
        return -1;
    }
    keys[key_count].host = zat_strdup(host);
    keys[key_count].key = zat_strdup(key);
    key_count++;
    return 0;
}

void standin_clear_host_keys(void)
{
    for (int i = 0; i < key_count; i++) {
        free(keys[i].host);
        free(keys[i].key);
    }
    key_count = 0;
}

const char *cfg_get_host_key(const char *host)
{
    if (lookup_count < max_lookups) {
        strncpy(lookups[lookup_count], host ? host : "", max_host - 1);
        lookups[lookup_count][max_host - 1] = '\0';
    }
    lookup_count++;
    if (!host)
        return nullptr;
    for (int i = 0; i < key_count; i++)
        if (strcmp(keys[i].host, host) == 0)
            return keys[i].key;
    return nullptr;
}

int standin_key_lookup_count(void)
{
    return lookup_count;
}

const char *standin_key_lookup(int index)
{
    if (index < 0 || index >= lookup_count || index >= max_lookups)
        return nullptr;
    return lookups[index];
}

void standin_clear_key_lookups(void)
{
    lookup_count = 0;
}

} // extern "C"
