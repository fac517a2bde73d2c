// Start-up clean-up of the spool directories, before any service runs: unfinished
// temporaries are deleted, and every outgoing file (waiting or held for a retry)
// goes back through the router as a new incoming file, so that routing decisions
// are made again with the current configuration.
#include <fcntl.h>

#include <string>
#include <vector>

#include "server/core/config.h"
#include "server/core/log.h"
#include "server/spool/spool.h"

namespace {

constexpr size_t kRequeueBlock = 8192;
constexpr const char* kRequeuePatterns[] = {"*.our", "*.out"};

// Deletes the *.wrm files of `dir`; stops at the first that cannot be deleted.
int DeleteTemporaries(const std::string& dir) {
  int deleted = 0;
  for (const std::string& name : ListFiles(dir, std::string("*") + kTempExtension)) {
    std::string path = dir + name;
    if (!SpoolDelete(path)) {
      LogEvent(0, kLogRouting, "Unable to deleted temp file '%s'", path.c_str());
      break;
    }
    LogEvent(0, kLogRouting, "Deleted temp file '%s'", path.c_str());
    ++deleted;
  }
  return deleted;
}

// Copies `source` into a new incoming file with the source's modification time;
// deletes the source only once the copy is committed (durably), so a crash in
// between leaves a duplicate, never a loss.
bool RequeueFile(const std::string& source, const std::string& incomingDir,
                 const std::string& outgoingDir) {
  UniqueFd in = SpoolOpenRead(source);
  if (!in.valid()) return false;
  std::string temp;
  UniqueFd out = CreateSpoolTemp(temp, true, incomingDir, outgoingDir);
  if (!out.valid()) return false;
  char block[kRequeueBlock];
  while (true) {
    size_t got = 0;
    if (!SpoolRead(in.get(), block, sizeof block, got) ||
        (got > 0 && !SpoolWrite(out.get(), block, got, false))) {
      out.reset();
      SpoolDelete(temp);
      return false;
    }
    if (got == 0) break;
  }
  // The copy carries the message's age: a retry file that comes back after a
  // restart still expires seven days after it was first taken.
  FileTime age;
  if (GetFileModifiedTime(in.get(), age)) SetFileModifiedTime(out.get(), age);
  std::string why;
  if (!CloseAndCommitSpoolFile(out, temp, true, incomingDir, outgoingDir, why)) return false;
  in.reset();
  return RetireSpoolFile(source);
}

}  // namespace

int CleanSpoolDirectories(const std::string& incomingDir, const std::string& outgoingDir) {
  int deleted = DeleteTemporaries(incomingDir);
  if (outgoingDir != incomingDir) deleted += DeleteTemporaries(outgoingDir);
  LogEvent(0, kLogRouting, "Detected and deleted %d temp files.", deleted);
  AdoptSpareFiles(incomingDir);
  if (outgoingDir != incomingDir) AdoptSpareFiles(outgoingDir);

  int tried = 0, requeued = 0;
  for (const char* pattern : kRequeuePatterns) {
    for (const std::string& name : ListFiles(outgoingDir, pattern)) {
      std::string path = outgoingDir + name;
      ++tried;
      if (!RequeueFile(path, incomingDir, outgoingDir)) {
        LogEvent(0, kLogRouting, "Unable to requeue file '%s'", path.c_str());
        break;
      }
      LogEvent(0, kLogRouting, "Requeued file '%s'", path.c_str());
      ++requeued;
    }
  }
  LogEvent(0, kLogRouting, "ReQueued %d outgoing files.", tried);
  return requeued;
}

int CleanSpoolDirectories() {
  const Settings& s = ServerSettings();
  return CleanSpoolDirectories(s.incomingDirectory, s.outgoingDirectory);
}
