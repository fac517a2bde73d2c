// The browser console's sessions and login limits, kept apart from HTTP so their
// rules can be checked with a clock of the caller's choosing. A session lives
// while it is used within kSessionIdle and never beyond kSessionLifetime; at most
// kMaxSessions live at once (a new one pushes out the least recently used). An
// address that fails kLoginFailuresAllowed logins within kLoginWindow is refused
// until that window ends. Every function takes the table's lock itself.
#pragma once

#include <chrono>
#include <map>
#include <mutex>
#include <string>

using ConsoleClock = std::chrono::steady_clock;

inline constexpr size_t kMaxSessions = 32;
inline constexpr auto kSessionIdle = std::chrono::minutes(30);
inline constexpr auto kSessionLifetime = std::chrono::hours(12);
inline constexpr size_t kSessionTokenBytes = 32;
inline constexpr int kLoginFailuresAllowed = 5;
inline constexpr auto kLoginWindow = std::chrono::minutes(10);
inline constexpr size_t kMaxTrackedAddresses = 1024;

struct ConsoleSession {
  std::string csrf;
  ConsoleClock::time_point created, lastUsed;
};

struct LoginRecord {
  int failures = 0;
  ConsoleClock::time_point windowStart;
};

struct SessionTable {
  std::mutex lock;
  std::map<std::string, ConsoleSession> sessions;  // by session token
  std::map<std::string, LoginRecord> logins;       // by client address
};

// A new session with fresh random tokens; false when no randomness could be had.
bool OpenConsoleSession(SessionTable& table, ConsoleClock::time_point now, std::string& token,
                        std::string& csrf);
// The live session of `token` (expired ones are dropped first); true with its
// CSRF token, and its idle time starts again.
bool FindConsoleSession(SessionTable& table, const std::string& token,
                        ConsoleClock::time_point now, std::string& csrf);
void CloseConsoleSession(SessionTable& table, const std::string& token);
void CloseAllConsoleSessions(SessionTable& table);

// Seconds until `address` may try a login again; 0 when it may now.
long LoginWaitSeconds(SessionTable& table, const std::string& address,
                      ConsoleClock::time_point now);
// Counts a failed login; returns the failures of the current window.
int CountLoginFailure(SessionTable& table, const std::string& address,
                      ConsoleClock::time_point now);
void ForgetLoginFailures(SessionTable& table, const std::string& address);
