/* mailext.h: the contract between Corvel and a custom mailbox plug-in.
 *
 * A plug-in is a shared object (x86-64 Linux, C calling convention) that exports
 * the three functions below by name with C linkage. The operator lists it in a
 * numbered slot (corveladm plugin add FILE); an account of type custom ("d;text;N")
 * hands every message addressed to it to the plug-in in slot N.
 *
 * Corvel loads the library for each message, calls fMailExt_Info and then
 * fMailExt_Handle, and unloads it again: no state survives between messages
 * except what the plug-in keeps in files. Calls come one at a time from the
 * router's thread.
 *
 * A plug-in runs inside the server process. A crash or a hang in it takes the
 * whole server with it; nothing guards against that.
 *
 * No string argument is ever NULL: an absent one is "". Buffers the plug-in
 * writes (name, recipient, error text) are cut at their last byte by the server,
 * so a missing terminating NUL does no harm, but text beyond the size is lost.
 */
#ifndef CORVEL_MAILEXT_H
#define CORVEL_MAILEXT_H

#ifdef __cplusplus
extern "C" {
#endif

/* Handles one message for one recipient. Returns non-zero on success.
 *   fd               POSIX descriptor of the spool file; the plug-in may seek and
 *                    read it (the server never relies on its position afterwards)
 *   offset           byte offset of the message in that file (after the envelope)
 *   rcpt, rcptSize   the recipient as the envelope gives it, NUL-terminated, in a
 *                    writable buffer of rcptSize bytes (300, the NUL included)
 *   secondaryDomain  the recipient's secondary domain, "" for the primary one
 *   handled          set to 1 before the call; 0 afterwards (with success) means
 *                    "not finished": the message is handed over again later
 *   readdress        set to 0 before the call; 1 afterwards (with success) means
 *                    "route the message to the address now in rcpt"
 *   err, errSize     an empty buffer (160 bytes) for the reason of a failure
 *   inDir, outDir    the incoming and outgoing spool directories (ending in '/')
 *   config           configuration text; "" today
 *   accountsDomain   the domain whose accounts hold the recipient, "" for primary
 *   passThrough      0 today
 *   fromHeader       the message's From: value, unfolded, at most 299 bytes (the
 *                    envelope sender when the message has no usable From:)
 *   sender           the canonical form of that address
 *   reserved         set to 0; not read afterwards */
int fMailExt_Handle(long fd, long offset, char* rcpt, long rcptSize, const char* secondaryDomain,
                    int* handled, int* readdress, char* err, long errSize, const char* inDir,
                    const char* outDir, const char* config, const char* accountsDomain,
                    long passThrough, const char* fromHeader, const char* sender, int* reserved);

/* Writes the plug-in's display name into name (size bytes, 100) and returns
 * non-zero. A zero result or an empty name makes the plug-in unusable. *out is
 * not read. */
int fMailExt_Info(char* name, long size, int* out);

/* Lets the plug-in configure itself; window is NULL and config "" on Linux. The
 * result is not used. */
int fMailExt_Configure(void* window, const char* config);

typedef int (*fMailExt_Handle_t)(long, long, char*, long, const char*, int*, int*, char*, long,
                                 const char*, const char*, const char*, const char*, long,
                                 const char*, const char*, int*);
typedef int (*fMailExt_Info_t)(char*, long, int*);
typedef int (*fMailExt_Configure_t)(void*, const char*);

#ifdef __cplusplus
}
#endif

#endif /* CORVEL_MAILEXT_H */
