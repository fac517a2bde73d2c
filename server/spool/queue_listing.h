// The spool directories as the administrator sees them: each message file with
// its state, size, age and envelope, read from the files themselves (so it works
// with the server stopped). corveladm's queue list and the console use it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct QueueFile {
  std::string name;
  std::string state;  // the meaning of its extension
  long long size = 0;
  int64_t age = 0;  // seconds since the message was taken
  std::string sender;
  std::vector<std::string> pending;  // recipients not yet done
  std::string problem;               // why the envelope could not be read
};

// The state of a spool file by its name's extension; null for no spool file.
const char* SpoolStateOf(const std::string& name);
// The message files of `dir`: everything but spares and the lease file.
std::vector<QueueFile> ReadQueueFiles(const std::string& dir);
