// The spool directories as the administrator sees them.
#include "server/spool/queue_listing.h"

#include <strings.h>
#include <time.h>

#include <cstring>

#include "platform/files.h"
#include "server/spool/spool.h"

const char* SpoolStateOf(const std::string& name) {
  for (const SpoolKind& k : kSpoolKinds) {
    size_t n = strlen(k.extension);
    if (name.size() > n && strcasecmp(name.c_str() + name.size() - n, k.extension) == 0)
      return k.meaning;
  }
  return nullptr;
}

std::vector<QueueFile> ReadQueueFiles(const std::string& dir) {
  std::vector<QueueFile> files;
  int64_t now = int64_t(time(nullptr));
  for (const std::string& name : ListFiles(dir, "*")) {
    const char* state = SpoolStateOf(name);
    if (!state || strcasecmp(name.c_str() + name.size() - 4, kSpareExtension) == 0) continue;
    QueueFile f;
    f.name = name;
    f.state = state;
    std::string path = dir + name;
    f.size = FileSize(path);
    FileTime t;
    f.age = GetFileModifiedTime(path, t) ? now - t.seconds : 0;
    if (strcasecmp(name.c_str() + name.size() - 4, kTempExtension) != 0) {
      UniqueFd fd = OpenShared(path, O_RDONLY);
      std::string data(kRouterEnvelopeLimit + 1, '\0');
      long got = fd.valid() ? ReadSome(fd.get(), data.data(), data.size()) : -1;
      RouterEnvelope env;
      std::string why;
      if (got < 0) {
        f.problem = "cannot be read";
      } else {
        data.resize(size_t(got));
        if (ParseRouterEnvelope(data, data.size() <= kRouterEnvelopeLimit, 1L << 30, env, why)) {
          f.sender = env.sender;
          for (const EnvelopeRecipient& r : env.recipients) f.pending.push_back(r.address);
        } else {
          f.problem = why;
        }
      }
    }
    files.push_back(std::move(f));
  }
  return files;
}
