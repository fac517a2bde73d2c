// Inside the account maintenance library: the handle table and the helpers its
// files share. The library keeps nothing between calls but the handles (each one
// a selected domain number and a last error): every call reads the registry anew.
#pragma once

#include <cstdint>
#include <string>

#include "acctlib/acctlib.h"

// What a handle holds.
struct HandleState {
  uint32_t lastError = 0;
  int domainNumber = 0;  // 0 = the primary domain, else a secondary domain's slot
};

// The state of a live handle; null for any other pointer (never dereferenced).
HandleState* FindHandle(AcctHandle* handle);

// Records `code` as the handle's last error and returns 0, the failure result of
// most calls.
inline int FailWith(HandleState& st, uint32_t code) {
  st.lastError = code;
  return 0;
}

// The selected domain's name ("" for the primary domain). A secondary domain is
// read from its slot each time; a slot emptied since it was selected gives
// ACCT_ERR_OPEN_KEY, so nothing is ever written under an empty domain name.
uint32_t SelectedDomain(const HandleState& st, std::string& domain);

// True when `text` holds a zero within its first `width` bytes (a C field).
bool TerminatedWithin(const char* text, size_t width);
// Copies `text` with its zero into `buffer` of `size` bytes; ACCT_ERR_BAD_ARGUMENT
// (nothing cut) when it does not fit or the buffer is null.
uint32_t CopyOut(const std::string& text, char* buffer, uint32_t size);

// The reserved accounts: the server's five and "mailer-daemon".
bool IsReservedForLibrary(const std::string& name);
