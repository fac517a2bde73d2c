// The files of a spool directory that are messages, leaving out what the spool
// keeps for itself (empty spares, the lease of file numbers).
#pragma once

#include <string>
#include <vector>

#include "platform/files.h"
#include "server/spool/spool.h"

inline std::vector<std::string> QueueFilesIn(const std::string& dir) {
  std::vector<std::string> kept;
  for (const std::string& name : ListFiles(dir, "*")) {
    bool spare = name.size() > 4 && name.substr(name.size() - 4) == kSpareExtension;
    if (!spare && name != kSpoolLeaseFile) kept.push_back(name);
  }
  return kept;
}
