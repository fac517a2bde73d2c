/* libinstkit.so: the setup helper library that install scripts call, with C
 * linkage, bound by name. The functions take the installation script's calling
 * form: a parent window (unused: there is no desktop), a second argument, and a
 * string; MoveRegistryKey takes its two key paths alone.
 *
 * The library finds the registry and the home directory from $CORVEL_REGISTRY and
 * $CORVEL_HOME (else <home>/registry.db and /var/lib/corvel); it never creates a
 * registry. Services go to the platform's service manager (systemd where it runs,
 * else the built-in table). Message boxes are lines on standard error, the
 * progress dialog one line on standard output. */
#ifndef CORVEL_INSTKIT_H
#define CORVEL_INSTKIT_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Creates the service the key (below HKEY_LOCAL_MACHINE) describes with AutoStart,
 * Name, Description, Program and Dependent. 1 created, 0 failed. */
int InstallService(void* window, void* unused, const char* key);
/* 1 removed (after a pause of 2 s), 0 failed. */
int RemoveService(void* window, void* unused, const char* name);
/* 0 not installed, 1 stopped, 2 in any other state, 3 the manager or the query failed. */
int IsServiceRunning(void* window, void* unused, const char* name);
/* 1 the request succeeded, 2 it failed; the state is then polled once a second
 * until it settles, for at most 60 s. */
int ServiceStart(void* window, void* unused, const char* name);
int ServiceStop(void* window, void* unused, const char* name);
/* Runs the command line (split at blanks, double quotes group; no shell) and waits
 * up to *waitSeconds for it (null or 0: no wait; running on past the wait still
 * counts). Non-zero when the program was started. */
int RunCommand(void* window, const int32_t* waitSeconds, const char* commandLine);
/* 1 when TCP/IP is usable; `out` (at least 256 bytes, never more written)
 * receives "<first address of this host>;<its domain>". */
int CheckForTCPIP(void* window, void* unused, char* out);
/* Shows the text and asks for acceptance on the terminal (accepted when nobody
 * can be asked). 1 accepted, 0 declined. */
int ShowLegalText(void* window, void* unused, const char* text);
/* Copies every value of `source` into `target` (created when missing) in one
 * transaction; sub-keys are not copied. 1 copied, 0 a key could not be opened or
 * created. */
int MoveRegistryKey(const char* source, const char* target);

#ifdef __cplusplus
}
#endif

#endif
