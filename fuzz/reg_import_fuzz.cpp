// Fuzzes the ".reg" text importer, which reads files people edit by hand. Any
// text either fails with a line-numbered reason and changes nothing, or is
// imported; what was imported must export as text that imports again to the
// very same registry (export, import into an empty store, export: equal).
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/registry.h"

namespace {

// One store for the whole run, in memory-backed storage when there is some.
void OpenStore() {
  static bool open = false;
  if (open) return;
  const char* dir = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
  std::string path = std::string(dir) + "/corvel-reg-fuzz-" + std::to_string(getpid()) + ".db";
  unlink(path.c_str());
  std::string why;
  if (!RegOpenStore(path, why)) abort();
  open = true;
}

// Empties the store: every top-level key goes.
void Clear() {
  std::vector<std::string> keys;
  if (!RegEnumKeys("", keys)) __builtin_trap();
  for (const std::string& k : keys)
    if (!RegDeleteKeyTree(k)) __builtin_trap();
  std::vector<RegValue> values;
  if (RegEnumValues("", values))
    for (const RegValue& v : values) RegDeleteValue("", v.name);
}

std::string ExportAll() {
  std::string out, why;
  if (!RegExportText("", out, why)) __builtin_trap();
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  OpenStore();
  Clear();
  std::string empty = ExportAll();
  std::string text(reinterpret_cast<const char*>(data), size);
  std::string why;
  if (!RegImportText(text, why)) {
    // All or nothing: a refused file leaves the store as it was, and says where.
    if (why.empty()) __builtin_trap();
    if (ExportAll() != empty) __builtin_trap();
    return 0;
  }
  std::string first = ExportAll();
  Clear();
  if (!RegImportText(first, why)) __builtin_trap();
  if (ExportAll() != first) __builtin_trap();
  return 0;
}
