// Loading custom mailbox plug-ins, the router's custom step, and the slot list.
#include "server/plugins/plugins.h"

#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <type_traits>

#include "platform/files.h"
#include "platform/registry.h"
#include "server/accounts/accounts.h"
#include "server/core/config.h"
#include "server/core/log.h"
#include "server/core/server_state.h"
#include "server/plugins/mailext.h"
#include "server/spool/headers.h"

namespace {

// The entry points as the server calls them: the types of mailext.h.
using InfoFn = decltype(&fMailExt_Info);
using ConfigureFn = decltype(&fMailExt_Configure);
using HandleFn = decltype(&fMailExt_Handle);
static_assert(std::is_same_v<InfoFn, fMailExt_Info_t>);
static_assert(std::is_same_v<ConfigureFn, fMailExt_Configure_t>);
static_assert(std::is_same_v<HandleFn, fMailExt_Handle_t>);

constexpr const char* kSection = "LoadCustomDlls";
constexpr const char* kNumSlots = "NumLoadDlls";
constexpr const char* kNumInstalled = "NumActualLoadDlls";
constexpr const char* kSlotFormat = "CustomDll%d";

constexpr const char* kNoHandlerNumber = "Unable to determine custom mailbox number.";
constexpr const char* kReadFailed = "Unable to read custom buffer data.";
constexpr const char* kNoUserName = "Unable to compute custom user name.";
constexpr const char* kHandlingError = "Error with custom mailbox handling.";

std::string SlotName(int slot) { return FormatText(kSlotFormat, slot); }

bool HasControl(const std::string& s) {
  return std::any_of(s.begin(), s.end(), [](char c) {
    unsigned char u = static_cast<unsigned char>(c);
    return u < 0x20 || u == 0x7f;
  });
}

// A text as it goes into a reason: its trailing blanks make the seam.
std::string Logged(std::string text) {
  while (!text.empty() && text.back() == ' ') text.pop_back();
  return text;
}

// The canonical form of an address: bare, and qualified with this host when local.
bool Canonical(const std::string& text, std::string& out) {
  NormalizeOptions options;
  options.strip = true;
  options.qualify = true;
  NormalizedAddress n;
  if (!NormalizeAddress(text, ServerHostIdentity(), options, n) || n.address.empty()) return false;
  out = n.address;
  return true;
}

// The failure of a custom step: its text logged, the handling error after it.
void Fail(SpecialResult& out, const std::string& reasonText) {
  LogEvent(0, kLogAlways, "%s", Logged(reasonText).c_str());
  LogEvent(0, kLogAlways, "%s", kHandlingError);
  out.ok = false;
  out.reason = reasonText + kPluginHandlingError;
}

}  // namespace

bool LoadPluginLibrary(const std::string& path, LoadedPlugin& out, std::string& why,
                       std::string& detail) {
  out = LoadedPlugin();
  why = kPluginNotLoadable;
  if (!LoadLibraryByPath(path, out.library, detail)) return false;
  auto info = reinterpret_cast<InfoFn>(FindLibraryEntry(out.library, "fMailExt_Info"));
  if (!info) {
    detail = path + ": no entry point fMailExt_Info";
    out.library.reset();
    return false;
  }
  char name[kCustom.nameBytes] = {};
  int serverInt = 0;
  int result = info(name, long(sizeof name), &serverInt);
  name[sizeof name - 1] = '\0';  // whatever the plug-in left
  if (result == 0 || name[0] == '\0') {
    detail = path + (result == 0 ? ": fMailExt_Info failed" : ": fMailExt_Info gave no name");
    out.library.reset();
    return false;
  }
  out.name = name;
  why.clear();
  return true;
}

std::string PluginSlotPath(int slot) {
  if (slot < 1) return "";
  return ConfigGetText(kSection, SlotName(slot).c_str(), "");
}

bool LoadPluginSlot(int slot, LoadedPlugin& out, std::string& why, std::string& detail) {
  std::string path = PluginSlotPath(slot);
  if (path.empty()) {
    why = kPluginNoPath;
    detail.clear();
    return false;
  }
  return LoadPluginLibrary(path, out, why, detail);
}

int NextLoadablePlugin(int fromSlot, std::string& displayName) {
  long last = PluginSlotCount();
  for (long slot = std::max(fromSlot, 1); slot <= last; ++slot) {
    LoadedPlugin p;
    std::string why, detail;
    if (LoadPluginSlot(int(slot), p, why, detail)) {
      displayName = p.name;
      return int(slot);
    }
  }
  return -1;
}

void HandleCustomMailbox(const SpecialDelivery& in, SpecialResult& out) {
  out = SpecialResult();
  int slot = GetHandlerNumber(in.account, in.domain);
  if (slot < 0) return Fail(out, std::string(kNoHandlerNumber) + " ");

  // The start of the message, for its From: line.
  std::string head(kCustom.bufferBytes - 1, '\0');
  ssize_t n = ::pread(in.spoolFd, head.data(), head.size(), off_t(in.messageOffset));
  if (n < 0) return Fail(out, std::string(kReadFailed) + "  ");
  head.resize(size_t(n));
  std::string fromHeader, sender;
  // Without a usable From: line the envelope sender stands in.
  if (!FindHeaderField(head, true, "From:", fromHeader) || !Canonical(fromHeader, sender)) {
    fromHeader = in.sender;
    if (!Canonical(fromHeader, sender)) return Fail(out, std::string(kNoUserName) + "  ");
  }
  if (fromHeader.size() > kCustom.fromChars) fromHeader.resize(kCustom.fromChars);

  LoadedPlugin plugin;
  std::string why, detail;
  if (!LoadPluginSlot(slot, plugin, why, detail)) {
    if (!detail.empty()) LogEvent(0, kLogAlways, "Custom mailbox %d: %s", slot, detail.c_str());
    return Fail(out, why);
  }
  auto handle = reinterpret_cast<HandleFn>(FindLibraryEntry(plugin.library, "fMailExt_Handle"));
  if (!handle) return Fail(out, kPluginNoEntry);

  // The plug-in reads the spool file through a descriptor of its own: it may
  // seek as it likes, and it cannot write.
  UniqueFd file = OpenShared(in.spoolPath, O_RDONLY);
  if (!file.valid()) return Fail(out, std::string(kReadFailed) + "  ");
  char rcpt[kCustom.rcptBytes] = {};
  strncpy(rcpt, in.recipient.c_str(), sizeof rcpt - 1);
  char err[kCustom.errorBytes] = {};
  int handled = 1, readdress = 0, reserved = 0;
  const Settings& s = ServerSettings();
  int result = handle(long(file.get()), long(in.messageOffset), rcpt, long(sizeof rcpt),
                      in.domain.c_str(), &handled, &readdress, err, long(sizeof err),
                      s.incomingDirectory.c_str(), s.outgoingDirectory.c_str(), "",
                      in.domain.c_str(), 0, fromHeader.c_str(), sender.c_str(), &reserved);
  plugin.library.reset();
  // The plug-in may have written spool files of its own.
  RequestIncomingScan();
  RequestOutgoingScan();
  // Its buffers are its own: cut at their last byte, control bytes made visible.
  rcpt[sizeof rcpt - 1] = '\0';
  err[sizeof err - 1] = '\0';
  std::string errText = VisibleText(err);
  if (result == 0) return Fail(out, errText + kPluginCallFailed);
  out.ok = true;
  if (readdress) {
    std::string address = rcpt;
    if (address.empty() || HasControl(address)) return Fail(out, errText + kPluginCallFailed);
    out.reroute = true;
    out.rerouteAddress = address;
  } else if (!handled) {
    out.deferred = true;
  }
}

// ---- Slots --------------------------------------------------------------------------

long PluginSlotCount() { return std::max(0L, ConfigGetNumber(kSection, kNumSlots, 0)); }
long PluginInstalledCount() { return std::max(0L, ConfigGetNumber(kSection, kNumInstalled, 0)); }

std::vector<PluginSlot> ListPluginSlots() {
  std::vector<PluginSlot> slots;
  long last = PluginSlotCount();
  for (long slot = 1; slot <= last; ++slot) {
    std::string path = PluginSlotPath(int(slot));
    if (!path.empty()) slots.push_back({int(slot), path});
  }
  return slots;
}

int AddPlugin(const std::string& path, std::string& why) {
  LoadedPlugin p;
  std::string loadWhy, detail;
  if (!LoadPluginLibrary(path, p, loadWhy, detail)) {
    why = std::string(kPluginUnusable) + " (" + detail + ")";
    return -1;
  }
  p = LoadedPlugin();
  // The choice of the slot and the writes are one step between processes.
  RegTransaction tx;
  long last = PluginSlotCount(), installed = PluginInstalledCount();
  long slot = last + 1;
  if (installed != last)
    for (long s = 1; s <= last; ++s)
      if (PluginSlotPath(int(s)).empty()) {
        slot = s;
        break;
      }
  if (slot > 0xFFFF) {
    why = "No plug-in slot is left.";
    return -1;
  }
  bool appended = slot > last;
  if (!ConfigSetString(kSection, SlotName(int(slot)).c_str(), path.c_str()) ||
      !ConfigSetNumber(kSection, kNumInstalled, installed + 1) ||
      (appended && !ConfigSetNumber(kSection, kNumSlots, last + 1)) || !tx.Commit()) {
    why = "Unable to write the plug-in slot: " + RegLastErrorText();
    return -1;
  }
  return int(slot);
}

bool RemovePlugin(int slot, std::string& why) {
  RegTransaction tx;
  if (slot < 1 || slot > PluginSlotCount() || PluginSlotPath(slot).empty()) {
    why = FormatText("Slot %d holds no plug-in.", slot);
    return false;
  }
  if (!ConfigSetString(kSection, SlotName(slot).c_str(), "") ||
      !ConfigSetNumber(kSection, kNumInstalled, std::max(0L, PluginInstalledCount() - 1)) ||
      !tx.Commit()) {
    why = "Unable to write the plug-in slot: " + RegLastErrorText();
    return false;
  }
  return true;
}

bool ConfigurePlugin(int slot, std::string& why) {
  LoadedPlugin p;
  std::string detail;
  if (!LoadPluginSlot(slot, p, why, detail)) {
    why = Logged(why) + (detail.empty() ? "" : " (" + detail + ")");
    return false;
  }
  auto configure = reinterpret_cast<ConfigureFn>(FindLibraryEntry(p.library, "fMailExt_Configure"));
  if (!configure) {
    why = Logged(kPluginNoEntry);
    return false;
  }
  configure(nullptr, "");  // its result is not used
  return true;
}
