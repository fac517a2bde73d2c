// What corveladm and the browser console share when they call the account
// library: its error codes in words (a failed operation is reported with the same
// text by both) and the look-up of an account by the name an administrator typed.
#pragma once

#include <stdlib.h>
#include <strings.h>

#include <cstdint>
#include <string>

#include "acctlib/acctlib.h"

struct AcctErrorText {
  uint32_t code;
  const char* text;
};
inline constexpr AcctErrorText kAcctErrorTexts[] = {
    {ACCT_ERR_OPEN_KEY, "the accounts key cannot be opened or created"},
    {ACCT_ERR_MISSING_FIELD, "a stored record lacks a field"},
    {ACCT_ERR_WRONG_TYPE, "the configuration name names an account of another type"},
    {ACCT_ERR_BAD_ARGUMENT, "bad argument"},
    {ACCT_ERR_NO_MEMORY, "out of memory"},
    {ACCT_ERR_WRITE, "the record cannot be written (a record has at most 99 characters)"},
    {ACCT_ERR_NAME_LENGTH, "account name empty or longer than 64 characters"},
    {ACCT_ERR_UNKNOWN_TYPE, "unknown account type, or a user in a secondary domain"},
    {ACCT_ERR_EXISTS, "the account already exists, or the new name for references does not"},
    {ACCT_ERR_NOT_FOUND, "the account, or an account it refers to, does not exist"},
    {ACCT_ERR_RESERVED_DELETE, "a reserved account cannot be deleted"},
    {ACCT_ERR_RESERVED_RENAME, "a reserved account cannot be renamed"},
    {ACCT_ERR_DELETE, "the account cannot be deleted from the registry"},
    {ACCT_ERR_IN_USE, "the account is in use by other accounts"},
    {ACCT_ERR_ILLEGAL_CHAR, "illegal character in a name"},
    {ACCT_ERR_MACHINE, "the remote machine's registry cannot be reached"},
    {ACCT_ERR_BAD_HANDLE, "not a valid handle"},
};

// The words for `code`; "failed" for a code without any.
inline const char* AcctErrorWords(uint32_t code) {
  for (const AcctErrorText& e : kAcctErrorTexts)
    if (e.code == code) return e.text;
  return "failed";
}

// The account called `name` (exactly, else without regard to case); null when
// there is none. The record comes from the library (malloc): the caller frees it.
inline AccountInfo* FindAccount(AcctHandle* h, const std::string& name) {
  uint32_t cursor = 0;
  if (AccountInfo* exact = GetUsers(h, ACCT_TYPE_ALL, name.c_str(), &cursor)) return exact;
  cursor = 0;
  while (AccountInfo* info = GetUsers(h, ACCT_TYPE_ALL, nullptr, &cursor)) {
    if (strcasecmp(info->name, name.c_str()) == 0) return info;
    free(info);
  }
  return nullptr;
}
