// Who-log glue: a decoded accounting REQUEST as the acct_record and
// user_ident that loguser() and countuser() read.
//
// The texts of the request are copied into one block from zat_malloc():
// first the argument pointers (argv style, ended by a null pointer), then
// user, port, remote address and the arguments, each with its NUL byte.  The
// NAS name is the daemon's and gets a zat_strdup() of its own.  The block is
// found again through rec->args, so freeing needs nothing but the record.
#include <stdlib.h>
#include <string.h>

#include "daemon/host/host.h"
#include "daemon/packet/request.h"

namespace {

int view_len(const zat_bytes &v)
{
    return v.len > 0 ? v.len : 0;
}

// Copies a view with its terminator to `at`; returns the copy and moves `at`
// past it.
const char *copy(char *&at, const zat_bytes &v)
{
    char *text = at;
    int len = view_len(v);
    if (len)
        memcpy(text, v.ptr, size_t(len));
    text[len] = '\0';
    at += len + 1;
    return text;
}

int record_kind(int flags)
{
    switch (flags & ZAT_ACCT_FLAG_MASK) {
    case ZAT_ACCT_FLAG_START:
        return ACCT_KIND_START;
    case ZAT_ACCT_FLAG_STOP:
        return ACCT_KIND_STOP;
    default:
        return 0; // a watchdog, with or without an update
    }
}

} // namespace

extern "C" {

__attribute__((weak)) void zat_acct_record_fill(const struct zat_acct_request *req, const char *nas_name,
                                                struct acct_record *rec, struct user_ident *ident)
{
    int count = req->arg_cnt < 0 ? 0 : req->arg_cnt > ZAT_MAX_ARGS ? ZAT_MAX_ARGS : req->arg_cnt;
    // At most 256 pointers and 259 texts of up to 255 bytes: far below INT_MAX.
    size_t pointers = sizeof(const char *) * size_t(count + 1);
    size_t size = pointers + size_t(view_len(req->user) + view_len(req->port) + view_len(req->rem_addr) + 3);
    for (int i = 0; i < count; i++)
        size += size_t(view_len(req->args[i]) + 1);

    char *block = static_cast<char *>(zat_malloc(static_cast<int>(size)));
    const char **args = reinterpret_cast<const char **>(block);
    char *at = block + pointers;
    ident->user = copy(at, req->user);
    ident->nas_port = copy(at, req->port);
    ident->extra = copy(at, req->rem_addr);
    ident->nas = zat_strdup(nas_name ? nas_name : "");
    for (int i = 0; i < count; i++)
        args[i] = copy(at, req->args[i]);
    args[count] = nullptr;

    rec->kind = record_kind(req->flags);
    rec->ident = ident;
    rec->arg_count = count;
    rec->args = args;
}

__attribute__((weak)) void zat_acct_record_free(struct acct_record *rec)
{
    if (!rec)
        return;
    if (struct user_ident *ident = rec->ident) {
        free(const_cast<char *>(ident->nas));
        ident->user = ident->nas = ident->nas_port = ident->extra = nullptr;
    }
    free(static_cast<void *>(rec->args));
    rec->kind = 0;
    rec->ident = nullptr;
    rec->arg_count = 0;
    rec->args = nullptr;
}

} // extern "C"
