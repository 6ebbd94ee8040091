/* A daemon's accounting step written in C against the installed headers:
 * decode the request, record it in the who-log, free the copies. */
#include <daemon/packet/request.h>
#include <daemon/velor/velor.h>

int c_daemon_account(const unsigned char *packet, const char *nas_name);

int c_daemon_account(const unsigned char *packet, const char *nas_name)
{
    struct zat_acct_request req;
    struct acct_record rec;
    struct user_ident ident;
    int rc = zat_decode_acct_request(packet, &req);
    if (rc != ZAT_REQ_OK)
        return rc;
    zat_acct_record_fill(&req, nas_name, &rec, &ident);
    loguser(&rec);
    zat_acct_record_free(&rec);
    return ZAT_REQ_OK;
}
