// Custom mailbox plug-ins in the router's tests: the sample plug-in built by the
// project (build/lib/libcorvel_sample*.so) in the slots, custom accounts, and the
// sample's record of its calls.
#pragma once

#include <string>
#include <vector>

#include "server/core/config.h"
#include "server/plugins/plugins.h"

inline std::string SampleLibrary(const std::string& variant = "") {
  return std::string(CORVEL_LIB_DIR) + "/libcorvel_sample" + variant + ".so";
}

// Fills the plug-in slots (1 from the first entry on); "" leaves a slot free.
inline void WritePluginSlots(const std::vector<std::string>& paths) {
  long installed = 0;
  for (size_t i = 0; i < paths.size(); ++i) {
    ConfigSetString("LoadCustomDlls", ("CustomDll" + std::to_string(i + 1)).c_str(),
                    paths[i].c_str());
    if (!paths[i].empty()) ++installed;
  }
  ConfigSetNumber("LoadCustomDlls", "NumLoadDlls", long(paths.size()));
  ConfigSetNumber("LoadCustomDlls", "NumActualLoadDlls", installed);
}

// One call as the sample recorded it.
struct SampleCall {
  std::string header;  // the argument lines
  std::string bytes;   // read through the descriptor from the offset
  std::string file;    // the whole file
};

// Parses the sample's record file; a record that does not parse ends the list.
inline std::vector<SampleCall> ParseSampleLog(const std::string& text) {
  std::vector<SampleCall> calls;
  size_t pos = 0;
  auto takeBlock = [&](const char* name, std::string& out) {
    std::string key = std::string(name) + "=";
    if (text.compare(pos, key.size(), key) != 0) return false;
    size_t eol = text.find('\n', pos);
    size_t length = std::stoul(text.substr(pos + key.size(), eol - pos - key.size()));
    out = text.substr(eol + 1, length);
    pos = eol + 1 + length + 1;
    return true;
  };
  while (pos < text.size()) {
    SampleCall c;
    size_t bytesAt = text.find("\nbytes=", pos);
    if (bytesAt == std::string::npos) break;
    c.header = text.substr(pos, bytesAt + 1 - pos);
    pos = bytesAt + 1;
    if (!takeBlock("bytes", c.bytes) || !takeBlock("file", c.file)) break;
    if (text.compare(pos, 4, "end\n") != 0) break;
    pos += 4;
    calls.push_back(c);
  }
  return calls;
}
