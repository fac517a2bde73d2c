// The handles: opening and closing the account database, the machine choice and
// the last error.
//
// A handle is a token from an address range of our own that no allocation ever
// returns, handed out in turn, so a closed handle stays invalid after others are
// opened (a freed heap block would come back as the next handle) and a made-up
// pointer is refused without being read. The registry store is opened with the
// first handle and closed with the last, so a process that forks while it holds
// no handle may use the library in the child.
#include <strings.h>
#include <unistd.h>

#include <cstring>
#include <mutex>
#include <unordered_map>

#include "acctlib/acct_internal.h"
#include "platform/home.h"
#include "platform/registry.h"
#include "server/accounts/accounts.h"
#include "server/core/log.h"

namespace {

constexpr size_t kHandleTokens = size_t(1) << 20;  // handles before a token comes round
constexpr const char* kLocalMachine = "localhost";
// Reserved by the library beside the server's five.
constexpr const char* kMailerDaemon = "mailer-daemon";

// Never read or written: only the addresses count.
char gHandleTokens[kHandleTokens];

struct HandleTable {
  std::mutex lock;
  std::unordered_map<const void*, HandleState> live;
  size_t next = 0;
  bool pathFixed = false;
  std::string registryPath;
};

HandleTable& Table() {
  static HandleTable* table = new HandleTable;  // never destroyed: calls may outlive exit
  return *table;
}

bool IsThisMachine(const char* machine) {
  if (!machine) return true;
  while (*machine == '\\') ++machine;
  if (*machine == '\0' || strcasecmp(machine, kLocalMachine) == 0) return true;
  char host[256] = {};
  if (gethostname(host, sizeof host - 1) != 0) return false;
  std::string full = host;
  std::string shortName = full.substr(0, full.find('.'));
  return strcasecmp(machine, full.c_str()) == 0 || strcasecmp(machine, shortName.c_str()) == 0;
}

}  // namespace

HandleState* FindHandle(AcctHandle* handle) {
  HandleTable& t = Table();
  std::lock_guard<std::mutex> hold(t.lock);
  auto it = t.live.find(handle);
  return it == t.live.end() ? nullptr : &it->second;
}

bool TerminatedWithin(const char* text, size_t width) {
  return text && strnlen(text, width) < width;
}

uint32_t CopyOut(const std::string& text, char* buffer, uint32_t size) {
  if (!buffer || text.size() >= size || text.find('\0') != std::string::npos)
    return ACCT_ERR_BAD_ARGUMENT;
  std::memcpy(buffer, text.c_str(), text.size() + 1);
  return 0;
}

bool IsReservedForLibrary(const std::string& name) {
  return IsReservedAccount(name) || strcasecmp(name.c_str(), kMailerDaemon) == 0;
}

extern "C" {

AcctHandle* OpenUserDatabase(void) {
  HandleTable& t = Table();
  std::lock_guard<std::mutex> hold(t.lock);
  if (!t.pathFixed) {
    t.registryPath = ResolveRegistryPath(nullptr, ResolveHomeDirectory(nullptr));
    t.pathFixed = true;
    // The library's copy of the log never writes anywhere: a host program's
    // standard output is its own.
    SetWindowEchoToStdout(false);
    SetLogOptions(0, 0);
  }
  if (t.live.empty()) {
    std::string why;
    if (!RegOpenExistingStore(t.registryPath, why)) return nullptr;
  }
  if (t.live.size() >= kHandleTokens) return nullptr;
  const void* token;
  do {
    token = &gHandleTokens[t.next];
    t.next = (t.next + 1) % kHandleTokens;
  } while (t.live.count(token));
  t.live.emplace(token, HandleState{});
  return static_cast<AcctHandle*>(const_cast<void*>(token));
}

int CloseUserDatabase(AcctHandle* handle) {
  HandleTable& t = Table();
  std::lock_guard<std::mutex> hold(t.lock);
  if (t.live.erase(handle) == 0) return 0;
  if (t.live.empty()) RegCloseStore();
  return 1;
}

int SetCurrentMachine(AcctHandle* handle, const char* machine) {
  HandleState* st = FindHandle(handle);
  if (!st) return 0;
  st->lastError = 0;
  // There is no remote registry: any other machine fails as an unreachable one
  // would, and this machine's primary domain is selected again.
  st->domainNumber = 0;
  if (!IsThisMachine(machine)) return FailWith(*st, ACCT_ERR_MACHINE);
  return 1;
}

uint32_t GetLastUserError(AcctHandle* handle) {
  HandleState* st = FindHandle(handle);
  return st ? st->lastError : ACCT_ERR_BAD_HANDLE;
}

}  // extern "C"
