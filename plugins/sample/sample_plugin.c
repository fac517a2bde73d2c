/* The sample custom mailbox plug-in: shows the contract of mailext.h and lets the
 * tests watch the server use it.
 *
 * Every call of fMailExt_Handle is recorded in the file "sample-plugin.log" in the
 * incoming spool directory (inDir): each argument, the counts of loads and calls
 * of this copy of the library, the bytes read through the descriptor from the
 * offset to the end of the file, and the whole file read from its start. What it
 * does depends on the local part of the recipient:
 *   fail...        fails, with "Sample refuses <recipient>." as its reason
 *   readdress-X... readdresses the message to X at the same domain
 *   loop...        readdresses the message to the same recipient
 *   mangle...      readdresses to a recipient buffer filled to its last byte with
 *                  a line break inside, the error buffer filled alike (a plug-in
 *                  the server must not trust)
 *   later...       leaves the message unhandled (handed over again later)
 *   anything else  takes the message (stored: the record is all it keeps)
 *
 * The library's constructor counts loads and fMailExt_Handle counts calls, both in
 * plain statics: since the server unloads the library after every message, each
 * record shows "loads=1 calls=1"; a library kept loaded would count on.
 *
 * Broken variants come from this file by compile-time switches:
 *   SAMPLE_INFO_FAILS   fMailExt_Info returns 0
 *   SAMPLE_EMPTY_NAME   fMailExt_Info writes an empty name
 *   SAMPLE_NO_HANDLE    no fMailExt_Handle at all
 */
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "server/plugins/mailext.h"

static int g_loads = 0;

__attribute__((constructor)) static void CountLoad(void) { ++g_loads; }

int fMailExt_Info(char* name, long size, int* out) {
  (void)out;
#if defined(SAMPLE_INFO_FAILS)
  snprintf(name, (size_t)size, "Sample plug-in");
  return 0;
#elif defined(SAMPLE_EMPTY_NAME)
  if (size > 0) name[0] = '\0';
  return 1;
#else
  snprintf(name, (size_t)size, "Sample plug-in");
  return 1;
#endif
}

int fMailExt_Configure(void* window, const char* config) {
  printf("Sample plug-in: configure (window %s, config \"%s\")\n", window ? "set" : "none", config);
  fflush(stdout);
  return 1;
}

#if !defined(SAMPLE_NO_HANDLE)
static int g_calls = 0;

static int StartsWith(const char* s, const char* prefix) {
  return strncmp(s, prefix, strlen(prefix)) == 0;
}

int fMailExt_Handle(long fd, long offset, char* rcpt, long rcptSize, const char* secondaryDomain,
                    int* handled, int* readdress, char* err, long errSize, const char* inDir,
                    const char* outDir, const char* config, const char* accountsDomain,
                    long passThrough, const char* fromHeader, const char* sender, int* reserved) {
  ++g_calls;
  char path[4096];
  snprintf(path, sizeof path, "%ssample-plugin.log", inDir);
  FILE* log = fopen(path, "ab");
  if (!log) return 0;
  fprintf(log,
          "call rcpt=%s rcptSize=%ld secondaryDomain=%s handled=%d readdress=%d reserved=%d "
          "err=%s errSize=%ld\ninDir=%s outDir=%s config=%s accountsDomain=%s passThrough=%ld\n"
          "from=%s sender=%s offset=%ld loads=%d calls=%d\n",
          rcpt, rcptSize, secondaryDomain, *handled, *readdress, *reserved, err, errSize, inDir,
          outDir, config, accountsDomain, passThrough, fromHeader, sender, offset, g_loads,
          g_calls);
    /* The message, read through the descriptor from the offset to the end; then
   * the whole file. */
  static char data[1 << 20];
  for (int pass = 0; pass < 2; ++pass) {
    long length = 0;
    ssize_t n;
    if (lseek((int)fd, pass == 0 ? (off_t)offset : 0, SEEK_SET) < 0) break;
    while (length < (long)sizeof data &&
           (n = read((int)fd, data + length, sizeof data - (size_t)length)) > 0)
      length += n;
    fprintf(log, "%s=%ld\n", pass == 0 ? "bytes" : "file", length);
    fwrite(data, 1, (size_t)length, log);
    fprintf(log, "\n");
  }
  fprintf(log, "end\n");
  fclose(log);

  const char* at = strchr(rcpt, '@');
  if (StartsWith(rcpt, "fail")) {
    snprintf(err, (size_t)errSize, "Sample refuses %s.", rcpt);
    return 0;
  }
  if (StartsWith(rcpt, "readdress-")) {
    char target[300];
    snprintf(target, sizeof target, "%.*s%s", (int)((at ? at - rcpt : (long)strlen(rcpt)) - 10),
             rcpt + 10, at ? at : "");
    snprintf(rcpt, (size_t)rcptSize, "%s", target);
    *readdress = 1;
    return 1;
  }
  if (StartsWith(rcpt, "loop")) {
    *readdress = 1;
    return 1;
  }
  if (StartsWith(rcpt, "mangle")) {
    memset(rcpt, 'A', (size_t)rcptSize);
    rcpt[3] = '\r';
    rcpt[4] = '\n';
    memset(err, 'E', (size_t)errSize);
    err[0] = 0x07;
    *readdress = 1;
    return 1;
  }
  if (StartsWith(rcpt, "later")) {
    *handled = 0;
    return 1;
  }
  return 1;
}
#endif
