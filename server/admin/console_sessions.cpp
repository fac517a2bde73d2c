// The browser console's sessions and login limits.
#include "server/admin/console_sessions.h"

#include "server/admin/admin_password.h"

namespace {

bool Expired(const ConsoleSession& s, ConsoleClock::time_point now) {
  return now - s.lastUsed > kSessionIdle || now - s.created > kSessionLifetime;
}

}  // namespace

bool OpenConsoleSession(SessionTable& table, ConsoleClock::time_point now, std::string& token,
                        std::string& csrf) {
  token = RandomHexToken(kSessionTokenBytes);
  csrf = RandomHexToken(kSessionTokenBytes);
  if (token.empty() || csrf.empty()) return false;
  std::lock_guard<std::mutex> hold(table.lock);
  while (table.sessions.size() >= kMaxSessions) {
    auto oldest = table.sessions.begin();
    for (auto it = table.sessions.begin(); it != table.sessions.end(); ++it)
      if (it->second.lastUsed < oldest->second.lastUsed) oldest = it;
    table.sessions.erase(oldest);
  }
  table.sessions[token] = ConsoleSession{csrf, now, now};
  return true;
}

bool FindConsoleSession(SessionTable& table, const std::string& token,
                        ConsoleClock::time_point now, std::string& csrf) {
  if (token.size() != kSessionTokenBytes * 2) return false;
  std::lock_guard<std::mutex> hold(table.lock);
  for (auto it = table.sessions.begin(); it != table.sessions.end();)
    it = Expired(it->second, now) ? table.sessions.erase(it) : std::next(it);
  // Every live token is compared in full, so the time taken says nothing of a
  // near miss.
  bool found = false;
  for (auto& [key, session] : table.sessions) {
    if (EqualConstantTime(key, token)) {
      session.lastUsed = now;
      csrf = session.csrf;
      found = true;
    }
  }
  return found;
}

void CloseConsoleSession(SessionTable& table, const std::string& token) {
  std::lock_guard<std::mutex> hold(table.lock);
  table.sessions.erase(token);
}

void CloseAllConsoleSessions(SessionTable& table) {
  std::lock_guard<std::mutex> hold(table.lock);
  table.sessions.clear();
}

long LoginWaitSeconds(SessionTable& table, const std::string& address,
                      ConsoleClock::time_point now) {
  std::lock_guard<std::mutex> hold(table.lock);
  auto it = table.logins.find(address);
  if (it == table.logins.end()) return 0;
  auto elapsed = now - it->second.windowStart;
  if (elapsed > kLoginWindow) {
    table.logins.erase(it);
    return 0;
  }
  if (it->second.failures < kLoginFailuresAllowed) return 0;
  return std::chrono::duration_cast<std::chrono::seconds>(kLoginWindow - elapsed).count() + 1;
}

int CountLoginFailure(SessionTable& table, const std::string& address,
                      ConsoleClock::time_point now) {
  std::lock_guard<std::mutex> hold(table.lock);
  if (table.logins.size() >= kMaxTrackedAddresses && !table.logins.count(address)) {
    for (auto it = table.logins.begin(); it != table.logins.end();)
      it = now - it->second.windowStart > kLoginWindow ? table.logins.erase(it) : std::next(it);
    // Still full of live windows (many addresses failing at once): the oldest
    // window that has not yet blocked its address makes room, else the oldest of
    // all, so the table stays within its bound whatever the clients do.
    auto oldest = table.logins.end();
    for (int pass = 0; pass < 2 && table.logins.size() >= kMaxTrackedAddresses; ++pass) {
      for (auto it = table.logins.begin(); it != table.logins.end(); ++it) {
        if (pass == 0 && it->second.failures >= kLoginFailuresAllowed) continue;
        if (oldest == table.logins.end() || it->second.windowStart < oldest->second.windowStart)
          oldest = it;
      }
      if (oldest != table.logins.end()) table.logins.erase(oldest);
    }
  }
  LoginRecord& r = table.logins[address];
  if (r.failures == 0 || now - r.windowStart > kLoginWindow) {
    r.failures = 0;
    r.windowStart = now;
  }
  return ++r.failures;
}

void ForgetLoginFailures(SessionTable& table, const std::string& address) {
  std::lock_guard<std::mutex> hold(table.lock);
  table.logins.erase(address);
}
