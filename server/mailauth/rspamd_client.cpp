// The rspamd client: cpp-httplib for HTTP, nlohmann-json for the answer.
#include "server/mailauth/rspamd_client.h"

#include <httplib.h>

#include <atomic>
#include <cstdio>
#include <nlohmann/json.hpp>

#include "server/core/config.h"
#include "server/core/log.h"

namespace {

// Whether the last try found rspamd unreachable: the log speaks on each change.
std::atomic<bool> gOutage{false};

// Header values from rspamd or the client, kept to one line of printable text.
std::string OneLine(const std::string& s, size_t max = 900) {
  std::string out;
  for (char c : s) {
    if (out.size() >= max) break;
    unsigned char u = static_cast<unsigned char>(c);
    out += (u < 32 || u == 127) ? ' ' : c;
  }
  return out;
}

bool IsFieldName(const std::string& name) {
  if (name.empty() || name.size() > 76) return false;
  for (char c : name)
    if (c <= 32 || c >= 127 || c == ':') return false;
  return true;
}

}  // namespace

RspamdSettings ReadRspamdSettings() {
  RspamdSettings s;
  s.address = GetGeneralString("RspamdAddress");
  s.timeoutSeconds = GetGeneralNumber("RspamdTimeout");
  if (s.timeoutSeconds < 1) s.timeoutSeconds = 1;
  return s;
}

bool ParseRspamdReply(const std::string& body, RspamdVerdict& out) {
  nlohmann::json j = nlohmann::json::parse(body, nullptr, false);
  if (j.is_discarded() || !j.is_object() || !j.contains("action") || !j["action"].is_string())
    return false;
  std::string action = j["action"].get<std::string>();
  std::string smtpMessage;
  if (j.contains("messages") && j["messages"].is_object() && j["messages"].contains("smtp_message") &&
      j["messages"]["smtp_message"].is_string())
    smtpMessage = OneLine(j["messages"]["smtp_message"].get<std::string>(), 200);
  double score = j.value("score", 0.0), required = j.value("required_score", 0.0);
  out.checked = true;
  out.headers.clear();
  if (action == "reject") {
    out.action = RspamdAction::kReject;
    out.text = smtpMessage.empty() ? "Spam message rejected" : smtpMessage;
  } else if (action == "soft reject") {
    out.action = RspamdAction::kSoftReject;
    out.text = smtpMessage.empty() ? "Try again later" : smtpMessage;
  } else if (action == "greylist") {
    out.action = RspamdAction::kGreylist;
    out.text = smtpMessage.empty() ? "Try again later" : smtpMessage;
  } else {
    out.action = RspamdAction::kAccept;
  }
  bool asked = false;
  if (j.contains("milter") && j["milter"].is_object() && j["milter"].contains("add_headers") &&
      j["milter"]["add_headers"].is_object()) {
    for (auto& [name, v] : j["milter"]["add_headers"].items()) {
      std::string value;
      if (v.is_string()) value = v.get<std::string>();
      else if (v.is_object() && v.contains("value") && v["value"].is_string()) value = v["value"].get<std::string>();
      else continue;
      if (!IsFieldName(name)) continue;
      out.headers.emplace_back(name, OneLine(value));
      asked = true;
    }
  }
  if (!asked && (action == "add header" || action == "rewrite subject"))
    out.headers.emplace_back("X-Spam", "Yes");
  out.subject.clear();
  if (action == "rewrite subject" && j.contains("subject") && j["subject"].is_string())
    out.subject = OneLine(j["subject"].get<std::string>());
  char summary[160];
  snprintf(summary, sizeof summary, "default: %s [%.2f / %.2f]",
           out.action == RspamdAction::kAccept && action == "no action" ? "False" : "True", score,
           required);
  out.headers.emplace_back("X-Spamd-Result", summary);
  return true;
}

RspamdVerdict AskRspamd(const RspamdSettings& settings, const RspamdRequest& request,
                        const std::string& message) {
  RspamdVerdict v;
  if (settings.address.empty()) return v;
  std::string host = settings.address;
  int port = 11333;
  size_t colon = host.rfind(':');
  if (colon != std::string::npos) {
    port = atoi(host.c_str() + colon + 1);
    host.resize(colon);
  }
  httplib::Client client(host, port);
  client.set_connection_timeout(time_t(settings.timeoutSeconds), 0);
  client.set_read_timeout(time_t(settings.timeoutSeconds), 0);
  client.set_write_timeout(time_t(settings.timeoutSeconds), 0);
  httplib::Headers headers;
  if (!request.ip.empty()) headers.emplace("IP", OneLine(request.ip));
  if (!request.helo.empty()) headers.emplace("Helo", OneLine(request.helo));
  if (!request.from.empty()) headers.emplace("From", OneLine(request.from));
  if (!request.user.empty()) headers.emplace("User", OneLine(request.user));
  if (!request.queueId.empty()) headers.emplace("Queue-Id", OneLine(request.queueId));
  for (const std::string& r : request.recipients) headers.emplace("Rcpt", OneLine(r));
  auto result = client.Post("/checkv2", headers, message, "message/rfc822");
  std::string problem;
  if (!result) {
    problem = httplib::to_string(result.error());
  } else if (result->status != 200) {
    problem = "HTTP status " + std::to_string(result->status);
  } else if (!ParseRspamdReply(result->body, v)) {
    problem = "an answer that is not a check result";
    v = RspamdVerdict();
  }
  if (!problem.empty()) {
    if (!gOutage.exchange(true))
      LogEvent(0, kLogAlways, "rspamd at %s: %s; mail is taken unchecked until it answers.",
               settings.address.c_str(), problem.c_str());
    return v;
  }
  if (gOutage.exchange(false))
    LogEvent(0, kLogAlways, "rspamd at %s answers again.", settings.address.c_str());
  return v;
}
