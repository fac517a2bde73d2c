// The console's listener, sessions and security, and the status, log and
// configuration APIs. The library runs the listener on its own pool of threads; a
// handler never holds a lock of the server beyond the call it makes.
#include "server/admin/web/web_console.h"

#include <arpa/inet.h>
#include <strings.h>

#include <atomic>
#include <chrono>
#include <iterator>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/files.h"
#include "platform/tick.h"
#include "server/accounts/accounts.h"
#include "server/admin/admin_password.h"
#include "server/admin/console_sessions.h"
#include "server/admin/general_edit.h"
#include "server/admin/web/web_internal.h"
#include "server/core/config.h"
#include "server/core/log.h"
#include "server/core/server_state.h"
#include "server/core/worker.h"
#include "server/net/net_tls.h"
#include "server/pop3/pop3_server.h"
#include "server/spool/spool.h"

namespace {

using Clock = ConsoleClock;

// ---- Limits ----------------------------------------------------------------------
constexpr size_t kThreads = 8;                     // the library's worker pool
constexpr size_t kMaxBody = 64 * 1024;             // larger requests get 413
constexpr int kReadTimeoutSeconds = 5;             // per read: a silent client is dropped
constexpr int kWriteTimeoutSeconds = 5;
constexpr int kKeepAliveSeconds = 5;
constexpr auto kFailedLoginDelay = std::chrono::milliseconds(500);
constexpr int kMaxLogStreams = 3;                  // each holds one pool thread
constexpr auto kLogStreamLength = std::chrono::seconds(25);  // then the browser reconnects
constexpr auto kLogStreamPoll = std::chrono::milliseconds(200);
constexpr auto kLogStreamKeepAlive = std::chrono::seconds(10);

constexpr const char* kCookieName = "corvel_session";
constexpr const char* kCsrfHeader = "X-CSRF-Token";
constexpr const char* kLoopbackDefault = "127.0.0.1";

constexpr const char* kTextNoPassword =
    "Web console not started: no administrator password is set. Set one with: corveladm "
    "admin-password";
constexpr const char* kTextStarted = "Web console listening on %s://%s:%d/";
constexpr const char* kTextNotLoopback =
    "Warning: the web console listens on %s, which is not a loopback address, without TLS; "
    "passwords and session cookies cross the network in clear text.";
constexpr const char* kTextLoginFailed = "Web console: failed login from %s.";
constexpr const char* kTextLoginLimited = "Web console: logins from %s refused for a while after %d failures.";
constexpr const char* kTextLoggedIn = "Web console: administrator logged in from %s.";
constexpr const char* kTextValueSet = "Web console: %s set to \"%s\".";
constexpr const char* kTextValueReset = "Web console: %s reset to its default.";

// ---- State -----------------------------------------------------------------------

struct ConsoleState {
  SessionTable sessions;
  std::unique_ptr<httplib::Server> server;
  bool https = false;  // served over TLS: the session cookie is Secure
  std::thread thread;
  std::atomic<bool> stopping{false};
  std::atomic<int> logStreams{0};
};

ConsoleState& State() {
  static ConsoleState* state = new ConsoleState;  // handlers may run while main returns
  return *state;
}

// The session token of the request's cookie ("" when none).
std::string CookieToken(const httplib::Request& req) {
  std::string cookies = req.get_header_value("Cookie");
  std::string key = std::string(kCookieName) + "=";
  size_t pos = 0;
  while (pos < cookies.size()) {
    while (pos < cookies.size() && (cookies[pos] == ' ' || cookies[pos] == ';')) ++pos;
    size_t end = cookies.find(';', pos);
    if (end == std::string::npos) end = cookies.size();
    if (cookies.compare(pos, key.size(), key) == 0)
      return cookies.substr(pos + key.size(), end - pos - key.size());
    pos = end;
  }
  return "";
}

// The live session of the request; false when there is none. `csrf` gets its token.
bool FindSession(const httplib::Request& req, std::string& csrf) {
  return FindConsoleSession(State().sessions, CookieToken(req), Clock::now(), csrf);
}

bool IsLoopbackAddress(const std::string& address) {
  in_addr a{};
  if (inet_pton(AF_INET, address.c_str(), &a) == 1) return (ntohl(a.s_addr) >> 24) == 127;
  return address == "::1" || strcasecmp(address.c_str(), "localhost") == 0;
}

// ---- Handlers --------------------------------------------------------------------

void HandleLogin(const httplib::Request& req, httplib::Response& res) {
  std::string address = VisibleText(req.remote_addr);
  if (long wait = LoginWaitSeconds(State().sessions, address, Clock::now())) {
    res.set_header("Retry-After", std::to_string(wait));
    ReplyError(res, kHttpTooMany,
               "Too many failed logins from this address; try again in " + std::to_string(wait) +
                   " seconds.");
    return;
  }
  Json body;
  std::string password;
  if (!ParseJsonBody(req, res, body) || !TakeString(body, "password", password, res)) return;
  std::string stored = ReadAdminPasswordHash();
  if (stored.empty() || !CheckAdminPassword(password, stored)) {
    int failures = CountLoginFailure(State().sessions, address, Clock::now());
    LogEvent(0, kLogAlways, kTextLoginFailed, address.c_str());
    if (failures == kLoginFailuresAllowed)
      LogEvent(0, kLogAlways, kTextLoginLimited, address.c_str(), failures);
    // A guess costs time whatever the answer; the limit above bounds the guesses.
    std::this_thread::sleep_for(kFailedLoginDelay);
    ReplyError(res, kHttpUnauthorized, "Wrong password.");
    return;
  }
  ForgetLoginFailures(State().sessions, address);
  std::string token, csrf;
  if (!OpenConsoleSession(State().sessions, Clock::now(), token, csrf)) {
    ReplyError(res, kHttpServerError, "No session could be made.");
    return;
  }
  LogEvent(0, kLogAlways, kTextLoggedIn, address.c_str());
  res.set_header("Set-Cookie", std::string(kCookieName) + "=" + token +
                                   "; Path=/; HttpOnly; SameSite=Strict" +
                                   (State().https ? "; Secure" : ""));
  ReplyJson(res, {{"csrf", csrf}});
}

void HandleLogout(const httplib::Request& req, httplib::Response& res) {
  CloseConsoleSession(State().sessions, CookieToken(req));
  res.set_header("Set-Cookie", std::string(kCookieName) +
                                   "=; Path=/; HttpOnly; SameSite=Strict; Max-Age=0" +
                                   (State().https ? "; Secure" : ""));
  ReplyJson(res, {{"ok", true}});
}

size_t CountSpool(const std::string& dir, const char* extension) {
  return ListFiles(dir, std::string("*") + extension).size();
}

void HandleStatus(const httplib::Request&, httplib::Response& res) {
  const Settings& s = ServerSettings();
  int in = 0, out = 0;
  ConnectionCounts(in, out);
  long access = s.sysAccess;
  struct Listener {
    const char* name;
    int port;
    bool on;
  } listeners[] = {
      {"SMTP", SmtpPort(s), true},
      {"Submission", SubmissionPort(s), s.useTls && s.useSubmission},
      {"SMTPS", SmtpsPort(s), s.useTls && s.useSmtps},
      {"POP3", PopPort(s), (access & kAccessPop3) != 0},
      {"POP3S", Pop3sPort(s), (access & kAccessPop3) != 0 && s.useTls && s.usePop3s},
      {"IMAP", ImapPort(s), s.useImap},
      {"IMAPS", ImapsPort(s), s.useImap && s.useTls && s.useImaps},
      {"Password changer", PasswordPort(s), (access & kAccessPasswordChange) != 0},
      {"Control port", ControlPort(s), (access & kAccessControlPort) != 0},
      {"RMCP", RmcpPort(s), (access & kAccessRmcp) != 0},
      {"Finger", FingerPort(s), (access & kAccessFinger) != 0},
      {"Web console", HttpPort(s), true},
  };
  Json ports = Json::array();
  for (const Listener& l : listeners)
    ports.push_back({{"name", l.name}, {"port", l.port}, {"on", l.on}});
  // The periodic worker's jobs: seconds since each last ran (-1: not yet).
  const WorkerTiming& timing = WorkerState();
  uint32_t now = GetTickCount32();
  Json jobs = Json::array();
  for (size_t i = 1; i < std::size(kWorkerJobNames); ++i) {
    uint32_t last = timing.lastRun[i];
    jobs.push_back({{"job", kWorkerJobNames[i]},
                    {"secondsAgo", last == 0 ? -1 : long(TickElapsed(now, last) / 1000)}});
  }
  Json body = {
      {"product", s.productName},
      {"version", s.productVersion},
      {"localNode", s.localNode},
      {"bindAddress", s.bindAddress},
      {"uptimeSeconds", TickElapsed(GetTickCount32(), WorkerState().start) / 1000},
      {"listeners", ports},
      {"sessions", {{"smtpIn", in}, {"smtpOut", out}, {"pop3", Pop3OpenSessions()}}},
      {"messages",
       {{"received", MessageCountOf(MessageCount::kReceived)},
        {"delivered", MessageCountOf(MessageCount::kDelivered)},
        {"bounced", MessageCountOf(MessageCount::kBounced)}}},
      {"queues",
       {{"incoming", CountSpool(s.incomingDirectory, kIncomingExtension)},
        {"parked", CountSpool(s.incomingDirectory, ".inr")},
        {"outgoing", CountSpool(s.outgoingDirectory, kOutgoingExtension)},
        {"retry", CountSpool(s.outgoingDirectory, kRetryExtension)}}},
      {"criticalErrors", CriticalErrorCount()},
      {"worker", jobs},
  };
  ReplyJson(res, body);
}

void HandleLog(const httplib::Request&, httplib::Response& res) {
  uint64_t seq = 0;
  std::vector<std::string> lines = WindowLogLinesSince(seq);
  ReplyJson(res, {{"lines", lines}, {"last", seq}});
}

// Server-sent events: the ring first (or what followed Last-Event-ID), then each
// new line as it comes, for a while; the browser's EventSource reconnects.
void HandleLogStream(const httplib::Request& req, httplib::Response& res) {
  ConsoleState& st = State();
  if (st.logStreams.fetch_add(1) >= kMaxLogStreams) {
    st.logStreams.fetch_sub(1);
    ReplyError(res, kHttpUnavailable, "Too many live logs are open.");
    return;
  }
  auto seq = std::make_shared<uint64_t>(
      strtoull(req.get_header_value("Last-Event-ID").c_str(), nullptr, 10));
  auto started = std::make_shared<Clock::time_point>(Clock::now());
  auto lastSent = std::make_shared<Clock::time_point>(Clock::now());
  res.set_header("Cache-Control", "no-store");
  res.set_chunked_content_provider(
      "text/event-stream",
      [seq, started, lastSent](size_t, httplib::DataSink& sink) {
        if (State().stopping || Clock::now() - *started > kLogStreamLength) {
          sink.done();
          return true;
        }
        std::vector<std::string> lines = WindowLogLinesSince(*seq);
        std::string chunk;
        uint64_t id = *seq - lines.size();
        for (const std::string& line : lines)
          chunk += "id: " + std::to_string(++id) + "\ndata: " + line + "\n\n";
        if (chunk.empty() && Clock::now() - *lastSent > kLogStreamKeepAlive) chunk = ": idle\n\n";
        if (!chunk.empty()) {
          *lastSent = Clock::now();
          if (!sink.write(chunk.data(), chunk.size())) return false;
        } else {
          std::this_thread::sleep_for(kLogStreamPoll);
        }
        return true;
      },
      [](bool) { State().logStreams.fetch_sub(1); });
}

void HandleLogFile(const httplib::Request&, httplib::Response& res) {
  std::string path = LogFilePath(), text;
  if (path.empty() || !ReadWholeFile(path, text)) {
    ReplyError(res, kHttpNotFound, "The log file is not open.");
    return;
  }
  res.set_header("Content-Disposition", "attachment; filename=\"maillog.txt\"");
  res.set_content(text, "text/plain; charset=utf-8");
}

const char* KindWord(ValueKind kind) {
  switch (kind) {
    case ValueKind::kString: return "string";
    case ValueKind::kDirectory: return "directory";
    case ValueKind::kNumber: return "number";
    case ValueKind::kRange: return "range";
    case ValueKind::kBool: return "switch";
  }
  return "";
}

void HandleConfig(const httplib::Request&, httplib::Response& res) {
  Json values = Json::array();
  for (const GeneralValue& g : GeneralValues()) {
    bool stored = false;
    std::string value = GeneralValueText(g, stored), def = GeneralDefaultText(g);
    Json v = {{"name", g.name}, {"kind", KindWord(g.kind)}, {"default", def},
              {"value", value}, {"stored", stored}, {"changed", stored && value != def}};
    if (g.kind == ValueKind::kRange) v["min"] = g.min, v["max"] = g.max;
    if (g.kind == ValueKind::kString) v["maxLength"] = g.max;
    values.push_back(v);
  }
  ReplyJson(res, {{"values", values}});
}

// Values the server applies as soon as they are written; the others at the next start.
bool AppliesNow(const GeneralValue& g) {
  return strcasecmp(g.name, "LogFileOptions") == 0 || strcasecmp(g.name, "LogWindowOptions") == 0;
}

void HandleConfigSet(const httplib::Request& req, httplib::Response& res) {
  Json body;
  std::string name;
  if (!ParseJsonBody(req, res, body) || !TakeString(body, "name", name, res)) return;
  const GeneralValue* g = FindGeneralValue(name.c_str());
  if (!g) {
    ReplyError(res, kHttpNotFound, "No such configuration value: " + VisibleText(name));
    return;
  }
  auto resetIt = body.find("reset");
  if (resetIt != body.end() && !resetIt->is_boolean()) {
    ReplyError(res, kHttpBadRequest, "\"reset\" must be true or false.");
    return;
  }
  bool reset = resetIt != body.end() && resetIt->get<bool>();
  std::string text;
  if (!reset) {
    auto it = body.find("value");
    if (it == body.end()) {
      ReplyError(res, kHttpBadRequest, "\"value\" is missing.");
      return;
    }
    if (it->is_string()) {
      text = it->get<std::string>();
    } else if (it->is_number_integer()) {
      text = std::to_string(it->get<long long>());
    } else if (it->is_boolean()) {
      text = it->get<bool>() ? "1" : "0";
    } else {
      ReplyError(res, kHttpBadRequest, "\"value\" must be a string, a whole number or true/false.");
      return;
    }
  }
  std::string why;
  if (!WriteGeneralValue(*g, text, reset, why)) {
    ReplyError(res, kHttpBadRequest, why);
    return;
  }
  if (reset)
    LogEvent(0, kLogAlways, kTextValueReset, g->name);
  else
    LogEvent(0, kLogAlways, kTextValueSet, g->name, VisibleText(text).c_str());
  if (AppliesNow(*g))
    SetLogOptions(uint32_t(GetGeneralNumber("LogWindowOptions")),
                  uint32_t(GetGeneralNumber("LogFileOptions")));
  bool stored = false;
  ReplyJson(res, {{"name", g->name},
                  {"value", GeneralValueText(*g, stored)},
                  {"applied", AppliesNow(*g) ? "now" : "at the next start"}});
}

void HandleSession(const httplib::Request& req, httplib::Response& res) {
  std::string csrf;
  FindSession(req, csrf);
  ReplyJson(res, {{"csrf", csrf}});
}

// Every /api/ request but the login needs a session; every one that changes
// something the session's CSRF token as well.
httplib::Server::HandlerResponse CheckAccess(const httplib::Request& req,
                                             httplib::Response& res) {
  using HR = httplib::Server::HandlerResponse;
  if (req.path.rfind("/api/", 0) != 0 || req.path == "/api/login") return HR::Unhandled;
  std::string csrf;
  if (!FindSession(req, csrf)) {
    ReplyError(res, kHttpUnauthorized, "Not logged in.");
    return HR::Handled;
  }
  if (req.method != "GET" && req.method != "HEAD" &&
      !EqualConstantTime(req.get_header_value(kCsrfHeader), csrf)) {
    ReplyError(res, kHttpForbidden, "Missing or wrong CSRF token.");
    return HR::Handled;
  }
  return HR::Unhandled;
}

void AddSecurityHeaders(const httplib::Request&, httplib::Response& res) {
  res.set_header("X-Content-Type-Options", "nosniff");
  res.set_header("X-Frame-Options", "DENY");
  res.set_header("Referrer-Policy", "no-referrer");
  res.set_header("Content-Security-Policy",
                 "default-src 'self'; frame-ancestors 'none'; form-action 'self'");
  if (!res.has_header("Cache-Control")) res.set_header("Cache-Control", "no-store");
}

void RegisterRoutes(httplib::Server& server) {
  server.set_pre_routing_handler(CheckAccess);
  server.set_post_routing_handler(AddSecurityHeaders);
  server.set_error_handler([](const httplib::Request&, httplib::Response& res) {
    if (!res.body.empty()) return;
    const char* text = res.status == kHttpTooLarge ? "The request is too large."
                       : res.status == kHttpNotFound ? "Not found."
                                                      : "Bad request.";
    ReplyError(res, res.status, text);
  });
  server.set_exception_handler([](const httplib::Request&, httplib::Response& res,
                                  std::exception_ptr) {
    ReplyError(res, kHttpServerError, "The request failed inside the server.");
  });
  for (size_t i = 0; kWebAssets[i].path; ++i) {
    const WebAsset& a = kWebAssets[i];
    server.Get(a.path, [a](const httplib::Request&, httplib::Response& res) {
      res.set_content(a.body, a.type);
    });
  }
  server.Post("/api/login", HandleLogin);
  server.Post("/api/logout", HandleLogout);
  server.Get("/api/session", HandleSession);
  server.Get("/api/status", HandleStatus);
  server.Get("/api/log", HandleLog);
  server.Get("/api/log/stream", HandleLogStream);
  server.Get("/api/log/file", HandleLogFile);
  server.Get("/api/config", HandleConfig);
  server.Post("/api/config", HandleConfigSet);
  RegisterAccountRoutes(server);
  RegisterQueueRoutes(server);
  RegisterListRoutes(server);
}

}  // namespace

// ---- Reply helpers ---------------------------------------------------------------

void ReplyJson(httplib::Response& res, const Json& body, int status) {
  res.status = status;
  res.set_content(body.dump(-1, ' ', false, Json::error_handler_t::replace),
                  "application/json; charset=utf-8");
}

void ReplyError(httplib::Response& res, int status, const std::string& text) {
  ReplyJson(res, {{"error", text}}, status);
}

bool ParseJsonBody(const httplib::Request& req, httplib::Response& res, Json& out) {
  out = Json::parse(req.body, nullptr, false);
  if (out.is_discarded() || !out.is_object()) {
    ReplyError(res, kHttpBadRequest, "The request body must be a JSON object.");
    return false;
  }
  return true;
}

bool TakeString(const Json& body, const char* name, std::string& out, httplib::Response& res,
                bool required) {
  auto it = body.find(name);
  if (it == body.end() && !required) return true;
  if (it == body.end() || !it->is_string()) {
    ReplyError(res, kHttpBadRequest, std::string("\"") + name + "\" must be a string.");
    return false;
  }
  out = it->get<std::string>();
  return true;
}

// ---- Start and stop --------------------------------------------------------------

bool StartWebConsole(std::string& why) {
  ConsoleState& st = State();
  if (st.server) return true;
  if (ReadAdminPasswordHash().empty()) {
    why = kTextNoPassword;
    LogEvent(0, kLogAlways, "%s", kTextNoPassword);
    return false;
  }
  const Settings& s = ServerSettings();
  std::string address = s.bindAddress.empty() ? kLoopbackDefault : s.bindAddress;
  int port = HttpPort(s);
  // With TLS on and its certificate loaded, the console is served over HTTPS with
  // the mail listeners' certificate and TLS settings.
  std::string chain, key;
  bool https = s.useTls && NetTlsServerFiles(chain, key);
  std::unique_ptr<httplib::Server> server;
  if (https) {
    std::string tlsWhy;
    auto tls = std::make_unique<httplib::SSLServer>([&](SSL_CTX& ctx) {
      if (!NetTlsSetUpServerContext(&ctx, chain, key, tlsWhy)) return false;
      NetTlsFollowServerCertificate(&ctx);  // SIGUSR1's reload reaches the console
      SSL_CTX_clear_mode(&ctx, SSL_MODE_ENABLE_PARTIAL_WRITE);
      return true;
    });
    if (!tls->is_valid()) {
      why = "Web console not started: " + tlsWhy;
      LogEvent(0, kLogAlways, "%s", why.c_str());
      return false;
    }
    server = std::move(tls);
  } else {
    server = std::make_unique<httplib::Server>();
  }
  server->new_task_queue = [] { return new httplib::ThreadPool(kThreads); };
  server->set_payload_max_length(kMaxBody);
  server->set_read_timeout(kReadTimeoutSeconds, 0);
  server->set_write_timeout(kWriteTimeoutSeconds, 0);
  server->set_keep_alive_timeout(kKeepAliveSeconds);
  RegisterRoutes(*server);
  if (!server->bind_to_port(address.c_str(), port)) {
    why = FormatText("Web console not started: cannot listen on %s port %d.", address.c_str(), port);
    LogEvent(0, kLogAlways, "%s", why.c_str());
    return false;
  }
  if (!https && !IsLoopbackAddress(address)) LogEvent(0, kLogAlways, kTextNotLoopback, address.c_str());
  st.stopping = false;
  st.https = https;
  st.server = std::move(server);
  httplib::Server* raw = st.server.get();
  st.thread = std::thread([raw] { raw->listen_after_bind(); });
  LogEvent(0, kLogAlways, kTextStarted, https ? "https" : "http", address.c_str(), port);
  return true;
}

void StopWebConsole() {
  ConsoleState& st = State();
  if (!st.server) return;
  st.stopping = true;
  st.server->stop();
  if (st.thread.joinable()) st.thread.join();
  st.server.reset();
  CloseAllConsoleSessions(st.sessions);
}
