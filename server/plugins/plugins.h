// Custom mailbox plug-ins: the operator's shared libraries, kept in numbered
// slots, that take the mail of custom accounts ("d;text;N" hands its mail to the
// plug-in in slot N). The contract is mailext.h.
//
// Slots live under SOFTWARE\Tollgrove\Corvel\LoadCustomDlls: CustomDll<n> holds
// the library's absolute path ("" is a free slot), NumLoadDlls the highest slot in
// use, NumActualLoadDlls the number of filled slots. Nothing is cached: every use
// reads its slot, loads the library, calls it and unloads it again.
#pragma once

#include <string>
#include <vector>

#include "platform/dynamic_library.h"
#include "server/accounts/router.h"

struct CustomLimits {
  size_t bufferBytes;  // the start of the message read for its From: line, less one
  size_t rcptBytes;    // the recipient buffer handed to the plug-in, NUL included
  size_t errorBytes;   // its error buffer: room for the server's texts in a reason
  size_t nameBytes;    // the display name buffer of fMailExt_Info
  size_t fromChars;    // the From: value handed over
};
inline constexpr CustomLimits kCustom = {32768, 300, 160, 100, 299};

// The texts of the plug-in calls, as they enter a bounce reason.
inline constexpr const char* kPluginNoPath = "Unable to ascertain name of custom Dll. ";
inline constexpr const char* kPluginNotLoadable = "Unable to load custom DLL. ";
inline constexpr const char* kPluginNoEntry = "Unable to get address of custom function. ";
inline constexpr const char* kPluginCallFailed = "Unable to execute custom function. ";
inline constexpr const char* kPluginHandlingError = "Error with custom mailbox handling. ";
// What the administrator is told about a library that does not load.
inline constexpr const char* kPluginUnusable = "Unable to load DLL.";

// ---- Loading ---------------------------------------------------------------------

// A plug-in loaded for one use; unloaded when it goes away.
struct LoadedPlugin {
  LoadedLibrary library;
  std::string name;  // what fMailExt_Info wrote, cut at byte 99
};

// Loads the library at `path` (absolute paths only) and validates it: it must
// export fMailExt_Info, which must return non-zero and write a non-empty name.
// False with `why` = kPluginNotLoadable and `detail` (the loader's text) otherwise;
// nothing stays loaded then.
bool LoadPluginLibrary(const std::string& path, LoadedPlugin& out, std::string& why,
                       std::string& detail);
// The path in slot `slot` ("" when free or out of range).
std::string PluginSlotPath(int slot);
// LoadPluginLibrary on slot `slot`; a free slot gives kPluginNoPath.
bool LoadPluginSlot(int slot, LoadedPlugin& out, std::string& why, std::string& detail);
// The next slot from `fromSlot` upward whose plug-in loads, with its display
// name; -1 when there is none.
int NextLoadablePlugin(int fromSlot, std::string& displayName);

// ---- The router's custom step --------------------------------------------------

// Hands one message for one custom recipient to its plug-in (RouterHandlers().
// custom). Failures set `out.reason` (each text followed by "Error with custom
// mailbox handling. "); success may ask for a reroute to the address the plug-in
// wrote, or defer the recipient when the plug-in left it unhandled. Afterwards an
// incoming and an outgoing scan are requested (the plug-in may write spool files).
void HandleCustomMailbox(const SpecialDelivery& in, SpecialResult& out);

// ---- Slots (administration) --------------------------------------------------------

struct PluginSlot {
  int slot = 0;
  std::string path;
};

// The counters (0 when absent).
long PluginSlotCount();        // NumLoadDlls
long PluginInstalledCount();   // NumActualLoadDlls
// The filled slots, in order.
std::vector<PluginSlot> ListPluginSlots();
// Validates the library (LoadPluginLibrary) and stores it: the first free slot
// when the counters disagree, else a new one after the last. Returns the slot, -1
// with `why` (kPluginUnusable and the loader's reason when it does not load).
int AddPlugin(const std::string& path, std::string& why);
// Frees a filled slot (NumActualLoadDlls - 1). A free slot is refused.
bool RemovePlugin(int slot, std::string& why);
// Loads the slot's plug-in and calls fMailExt_Configure(NULL, "").
bool ConfigurePlugin(int slot, std::string& why);
