// What the account, domain, import and report groups of corveladm share: opening
// an existing registry (a mistyped --home must not leave an empty registry
// behind), the --domain choice, the account library's handle and error texts,
// options, passwords and questions.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "acctlib/acctlib.h"
#include "tools/corveladm/corveladm.h"

// Opens ctx.registry (which must exist), reads the directories and resolves
// --domain (a secondary domain's name, or the primary domain's) to `domain` ("" =
// primary) and its slot. Prints the reason and returns false on failure.
bool AdmOpenExistingRegistry(const AdmContext& ctx, std::string& domain, int& slot);

// A library handle on ctx.registry with `slot` selected; null (reason printed)
// when the registry cannot be opened.
AcctHandle* AdmOpenAccounts(const AdmContext& ctx, int slot);

// "<what>: <meaning> (0xC00003F1)" on standard error for the handle's last
// error; returns kAdmFailed.
int AdmAccountFail(AcctHandle* handle, const char* what);

// One option a command takes: "--name VALUE" (or "--name=VALUE"), or a flag.
struct AdmOption {
  const char* name;  // without the dashes
  bool takesValue;
};
// Takes the options out of `args`, leaving the positional arguments. Values of
// options given twice: the last one. False with `why` for an unknown option or a
// missing value.
bool AdmTakeOptions(std::vector<std::string>& args, const std::vector<AdmOption>& known,
                    std::map<std::string, std::string>& values, std::string& why);

// Reads a password: from the terminal without echo (asking `prompt`), else the
// first line of standard input. False when there is none.
bool AdmReadPassword(const std::string& prompt, std::string& password);

// A Yes / No / Cancel question on the terminal; Yes when nobody can be asked.
enum class AdmAnswer { kYes, kNo, kCancel };
AdmAnswer AdmAskYesNoCancel(const std::string& question);
