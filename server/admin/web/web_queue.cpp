// The queue API of the console: the retry queue as the server holds it, through
// the outgoing system's own functions (retry now, bounce), under its lock, and the
// deletion of a message file through the router's or the retry queue's function,
// under their locks. A bounce or deletion of a file an item or the router is
// working on, or one gone meanwhile, is refused with the queue's own words;
// nothing is forced.
#include <strings.h>

#include <algorithm>
#include <cstring>
#include <ctime>

#include "platform/files.h"
#include "platform/tick.h"
#include "server/accounts/router.h"
#include "server/admin/web/web_internal.h"
#include "server/core/config.h"
#include "server/core/log.h"
#include "server/outgoing/retry_queue.h"
#include "server/spool/queue_listing.h"
#include "server/spool/spool.h"

namespace {

constexpr const char* kBouncedText = "Message bounced successfully";
constexpr size_t kMaxFilesListed = 1000;  // per spool directory

// The "id" member, a whole number; false with a 400 reply.
bool TakeId(const Json& body, uint64_t& id, httplib::Response& res) {
  auto it = body.find("id");
  if (it == body.end() || !it->is_number_unsigned()) {
    ReplyError(res, kHttpBadRequest, "\"id\" must be a retry entry's number.");
    return false;
  }
  id = it->get<uint64_t>();
  return true;
}

// The message files of a spool directory as corveladm's queue list reads them.
void AddSpoolFiles(const std::string& dir, const char* where, Json& files, bool& cut) {
  for (const QueueFile& f : ReadQueueFiles(dir)) {
    if (files.size() >= kMaxFilesListed) {
      cut = true;
      return;
    }
    files.push_back({{"directory", where},
                     {"file", f.name},
                     {"state", f.state},
                     {"size", f.size},
                     {"ageSeconds", f.age < 0 ? 0 : f.age},
                     {"sender", f.sender},
                     {"recipients", f.pending},
                     {"problem", f.problem}});
  }
}

void HandleQueue(const httplib::Request&, httplib::Response& res) {
  const Settings& s = ServerSettings();
  Json files = Json::array();
  bool cut = false;
  AddSpoolFiles(s.incomingDirectory, "incoming", files, cut);
  if (s.outgoingDirectory != s.incomingDirectory)
    AddSpoolFiles(s.outgoingDirectory, "outgoing", files, cut);
  Json entries = Json::array();
  int64_t now = int64_t(time(nullptr));
  for (const RetryEntry& e : RetryEntries()) {
    size_t slash = e.path.find_last_of('/');
    entries.push_back({{"id", e.id},
                       {"host", e.host},
                       {"file", slash == std::string::npos ? e.path : e.path.substr(slash + 1)},
                       {"size", FileSize(e.path)},
                       {"ageSeconds", e.created > 0 ? now - e.created : 0},
                       {"level", kRetryLevels[std::clamp(e.level, 0, kRetryLevelCount - 1)].name},
                       {"attempts", e.attempts},
                       {"busy", e.busy}});
  }
  ReplyJson(res, {{"retry", RetryQueueLines()},
                  {"entries", entries},
                  {"files", files},
                  {"filesCut", cut},
                  {"incomingFiles", ListFiles(s.incomingDirectory, std::string("*") + kIncomingExtension).size()},
                  {"outgoingFiles", ListFiles(s.outgoingDirectory, std::string("*") + kOutgoingExtension).size()}});
}

void HandleRetryNow(const httplib::Request& req, httplib::Response& res) {
  Json body;
  uint64_t id = 0;
  if (!ParseJsonBody(req, res, body) || !TakeId(body, id, res)) return;
  if (!RetryNowEntry(id))
    return ReplyError(res, kHttpNotFound, "No such retry entry: " + std::to_string(id));
  LogEvent(0, kLogAlways, "Web console: retry now asked for retry entry %llu.",
           static_cast<unsigned long long>(id));
  ReplyJson(res, {{"result", "retrying"}});
}

void HandleBounce(const httplib::Request& req, httplib::Response& res) {
  Json body;
  uint64_t id = 0;
  std::string reason;
  if (!ParseJsonBody(req, res, body) || !TakeId(body, id, res) ||
      !TakeString(body, "reason", reason, res, false))
    return;
  for (unsigned char c : reason)
    if (c < 0x20 || c == 0x7f) return ReplyError(res, kHttpBadRequest, "The reason may not hold control characters.");
  RetryEntry e;
  if (!GetRetryEntry(id, e))
    return ReplyError(res, kHttpNotFound, "No such retry entry: " + std::to_string(id));
  std::string result = BounceRetryEntry(id, reason);
  if (result != kBouncedText) return ReplyError(res, kHttpConflict, result);
  ReplyJson(res, {{"result", result}});
}

// Files the console may delete: messages waiting for the router or for sending.
// Temporaries are still being written, held list posts belong to the lists page.
constexpr const char* kDeletableIncoming[] = {".in", ".inr", ".err", ".mla"};
constexpr const char* kDeletableOutgoing[] = {".out", ".our"};

template <size_t N>
bool EndsWithOneOf(const std::string& name, const char* const (&extensions)[N]) {
  for (const char* e : extensions) {
    size_t n = strlen(e);
    if (name.size() > n && strcasecmp(name.c_str() + name.size() - n, e) == 0) return true;
  }
  return false;
}

void HandleDelete(const httplib::Request& req, httplib::Response& res) {
  Json body;
  std::string directory, file, why;
  if (!ParseJsonBody(req, res, body) || !TakeString(body, "directory", directory, res) ||
      !TakeString(body, "file", file, res))
    return;
  bool outgoing = directory == "outgoing";
  if (!outgoing && directory != "incoming")
    return ReplyError(res, kHttpBadRequest, "\"directory\" must be \"incoming\" or \"outgoing\".");
  bool named = !file.empty() && file.size() <= 255 && file.find_first_of("/\\") == std::string::npos &&
               file != "." && file != "..";
  // Both kinds may sit in either directory: the two may be one.
  bool deletable =
      named && (EndsWithOneOf(file, kDeletableOutgoing) || EndsWithOneOf(file, kDeletableIncoming));
  if (!deletable)
    return ReplyError(res, kHttpBadRequest,
                      "Not a message file the queue may delete here: " + VisibleText(file));
  const Settings& s = ServerSettings();
  std::string path = (outgoing ? s.outgoingDirectory : s.incomingDirectory) + file;
  bool ok = EndsWithOneOf(file, kDeletableOutgoing) ? DeleteOutgoingFile(path, why)
                                                    : DeleteIncomingFile(path, why);
  if (!ok) {
    int status = why.find(" is gone") != std::string::npos ? kHttpNotFound : kHttpConflict;
    return ReplyError(res, status, why);
  }
  LogEvent(0, kLogAlways, "Web console: deleted %s from the %s directory.", file.c_str(),
           directory.c_str());
  ReplyJson(res, {{"result", "deleted"}, {"file", file}});
}

}  // namespace

void RegisterQueueRoutes(httplib::Server& server) {
  server.Get("/api/queue", HandleQueue);
  server.Post("/api/queue/retry", HandleRetryNow);
  server.Post("/api/queue/bounce", HandleBounce);
  server.Post("/api/queue/delete", HandleDelete);
}
