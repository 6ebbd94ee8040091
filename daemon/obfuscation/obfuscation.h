/*
 * TACACS+ body obfuscation (RFC 8907 section 4.5), ready for a daemon's
 * md5_xor().  An optional archive of its own, libzat_obfuscation.a (pkg-config
 * zat-obfuscation), linked with libmd: the packet, velor and orbel modules
 * never call it, so a daemon that writes its own md5_xor() links nothing new.
 *
 * The pad of a packet is MD5_1 MD5_2 ... cut to the body length, where
 *
 *   MD5_1 = MD5(session_id, key, version, seq_no)
 *   MD5_n = MD5(session_id, key, version, seq_no, MD5_n-1)
 *
 * with the session id as the four bytes of the header.  The body is XORed
 * with it in place, so the same operation obfuscates and de-obfuscates.
 *
 * No key: a null key and an empty key ("") are the same thing, no key at all.
 * An empty key would give a pad that anybody can compute, and a daemon that
 * takes its key from the environment treats an empty value as unset; both
 * calls below therefore treat "" exactly as null.
 *
 * Both functions are ordinary definitions, not weak ones: no other module
 * calls them, so a daemon that wants another obfuscation writes its own
 * md5_xor() and simply does not link this archive.
 *
 * Plain C: the header compiles as C and as C++, and both names have C
 * linkage.  The functions keep no state: they may run in several threads at
 * once if the daemon's report() may.
 */
#ifndef ZAT_DAEMON_OBFUSCATION_H
#define ZAT_DAEMON_OBFUSCATION_H

#ifdef __cplusplus
extern "C" {
#endif

/*
 * md5_xor() for a daemon, with the same arguments: its md5_xor() can be
 *
 *     int md5_xor(unsigned char *packet, unsigned char *body, const char *key)
 *     {
 *         return zat_md5_xor(packet, body, key);
 *     }
 *
 * packet is the 12-byte header in wire byte order, body the length that the
 * header gives (normally packet + 12).  The direction comes from the sequence
 * number: requests from the NAS have odd ones, replies even ones.
 *
 * It fails closed:
 * - a request whose unencrypted flag (0x01) disagrees with the key is refused:
 *   flag set while a key is configured, or flag clear while none is.  The
 *   packet is left as it is, a priority-3 line is reported and -1 returned;
 * - any other request is de-obfuscated (with a key) or left plain (without);
 *   its header is not changed;
 * - a reply is obfuscated and its flag cleared when there is a key, and left
 *   plain with the flag set when there is none: the header always tells the
 *   truth about the body that goes out.
 * Other header flags (single connection, 0x04) are never touched.  A null
 * packet or body is refused the same way.  Returns 0 on success.
 */
int zat_md5_xor(unsigned char *packet, unsigned char *body, const char *key);

/*
 * The raw pad: XORs the body (as long as the header says) with the pad made
 * from the header's session id, version and sequence number and the key.
 * No policy and no flag handling; the header is only read.  With no key (null
 * or "") the body is left as it is; a null header or body does nothing.  For the NAS's side of a conversation and
 * for tools: a NAS obfuscates its requests and de-obfuscates the replies with
 * this call.
 */
void zat_obfuscate_body(const unsigned char *header, unsigned char *body, const char *key);

#ifdef __cplusplus
}
#endif

#endif
