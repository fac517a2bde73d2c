// Logging. Every thread logs; a line is formatted in the caller's own string (no
// shared line buffer), then written under the file's mutex with a single write(2)
// on an O_APPEND descriptor, so lines of this process never mix and lines of
// other processes appending to the same file land whole as well. The window list
// and its echo to standard output have a mutex of their own, so both show the
// lines in one order and a line for the window never waits for the disk. A
// thread inside a LogBatch keeps its file lines in its own buffer and writes
// them in one go, so a busy server pays one write(2) per network round instead
// of one per line. A log switch holds the file's mutex while the file is renamed
// and reopened: lines logged or flushed meanwhile wait and go to the new file.
#include "server/core/log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <deque>
#include <mutex>

#include "platform/files.h"
#include "platform/home.h"
#include "platform/tick.h"
#include "server/core/config.h"
#include "server/core/strings.h"

namespace {

constexpr size_t kWindowLines = 300;
constexpr const char* kDefaultLogFile = "maillog.txt";
constexpr const char* kLineStampFormat = "%y/%m/%d %H:%M:%S ";
constexpr const char* kUnknownStringResource = "Unknown string resource: %u";
constexpr const char* kExcLogName = "exc.log";
constexpr const char* kCriticalLine = "CRITICAL-ERROR: %s";
constexpr const char* kExcLogLine = "%s: CRITICAL-ERROR: %s\r\n";
constexpr const char* kCriticalLimitText = "critical error ocurred: %d >= %d";
constexpr const char* kCriticalLimitTitle = "corvel95";
constexpr int kCriticalWindowRepeats = 8;
constexpr unsigned kMaxSwitchNumber = 0xfff;  // "%03x" has three digits

// Texts of switching and backups.
constexpr const char* kTextRenameFailed = "Unable to rename log file.";
constexpr const char* kTextReopenFailed = "Unable to reopen log file.";
constexpr const char* kTextReopened = "Log file reopened.";
constexpr const char* kTextSwitchedOk = "Log file changed successfully.";
constexpr const char* kTextNoFreeName = "Not switching files as cannot find suitable new name.";
constexpr const char* kTextBackedUpMain = "Backed up main log file.";
constexpr const char* kTextStampsCompared = "old = %s, new = %s";

struct LogState {
  std::mutex mutex;  // guards the file and its names
  UniqueFd file;
  std::string openPath;        // the open file ("" when none)
  std::string configuredPath;  // the name the switches rename and reopen
  // The window and its echo have their own lock: adding a line to the window
  // never waits for a write to the file.
  std::mutex windowMutex;  // guards everything below
  std::deque<std::string> window;
  uint64_t windowSeq = 0;  // lines ever put into the window; the last one's number
  bool echo = true;
};

LogState& State() {
  static LogState* state = new LogState;  // never destroyed: logging may outlive main
  return *state;
}

std::atomic<uint32_t> gWindowOptions{1};
std::atomic<uint32_t> gFileOptions{1};
std::atomic<int> gCriticalCount{0};
std::atomic<void (*)(int)> gExitHook{nullptr};
std::atomic<void (*)()> gAccountWalkHook{nullptr};

// This thread's open log batch: its depth and the file lines waiting.
struct ThreadLogBatch {
  int depth = 0;
  std::string pending;
  uint32_t firstTick = 0;  // when the oldest waiting line came
};
thread_local ThreadLogBatch tl_logBatch;

// The line stamp of this second, made once per second per thread (localtime_r
// takes a process-wide lock).
struct StampCache {
  time_t second = -1;
  std::string text;
};
thread_local StampCache tl_stamp;

std::string LocalStamp(const char* format, time_t t) {
  struct tm tmv;
  localtime_r(&t, &tmv);
  char buf[64];
  size_t n = strftime(buf, sizeof buf, format, &tmv);
  return std::string(buf, n);
}

UniqueFd OpenAppend(const std::string& path, bool create) {
  int flags = O_WRONLY | O_APPEND | (create ? O_CREAT : 0);
  int winErr = 0;
  return OpenShared(path, flags, 0644, &winErr);
}

// Any directory entry of that name, file or not, makes the name taken.
bool NameTaken(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

const std::string& LineStamp(time_t t) {
  if (tl_stamp.second != t) {
    tl_stamp.text = LocalStamp(kLineStampFormat, t);
    tl_stamp.second = t;
  }
  return tl_stamp.text;
}

// Writes the waiting lines of this thread (caller does not hold the mutex). A
// file that is not open (closed, or failed to reopen) drops them, as it drops
// the lines logged directly meanwhile.
void WritePending(ThreadLogBatch& b) {
  if (b.pending.empty()) return;
  LogState& st = State();
  {
    std::lock_guard<std::mutex> hold(st.mutex);
    if (st.file.valid()) WriteAll(st.file.get(), b.pending.data(), b.pending.size());
  }
  b.pending.clear();
  if (b.pending.capacity() > 4 * kLogBatchBytes) b.pending.shrink_to_fit();
}

std::string ConfiguredLogPath() {
  return ResolveLogFileName(ConfigGetText("", "LogFile", "", nullptr, nullptr, 200),
                            ServerSettings().userDirectory);
}

}  // namespace

// A relative account log name is kept in the user directory (the current
// directory of the server).
std::string InUserDirectory(const std::string& name) {
  const std::string& dir = ServerSettings().userDirectory;
  if (name.empty() || name[0] == '/' || dir.empty()) return name;
  return dir + (dir.back() == '/' ? "" : "/") + name;
}

std::string FormatTextV(const char* format, va_list ap) {
  if (!format) return std::string();
  char small[512];
  va_list copy;
  va_copy(copy, ap);
  int n = vsnprintf(small, sizeof small, format, copy);
  va_end(copy);
  if (n < 0) return std::string();
  if (size_t(n) < sizeof small) return std::string(small, size_t(n));
  std::string out(size_t(n) + 1, '\0');
  vsnprintf(out.data(), out.size(), format, ap);
  out.resize(size_t(n));
  return out;
}

std::string FormatText(const char* format, ...) {
  va_list ap;
  va_start(ap, format);
  std::string out = FormatTextV(format, ap);
  va_end(ap);
  return out;
}

std::string ResolveMessage(const LogMsg& msg) {
  if (msg.format) return msg.format;
  if (const char* text = LoadStringResource(msg.id)) return text;
  return FormatText(kUnknownStringResource, msg.id);
}

// The message formatted with its arguments. A number without a string gives the
// "unknown" text, which has no conversions left to take arguments.
static std::string ComposeMessage(const LogMsg& message, va_list ap) {
  bool known = message.format || LoadStringResource(message.id);
  std::string resolved = ResolveMessage(message);
  return known ? FormatTextV(resolved.c_str(), ap) : resolved;
}

std::string VisibleText(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    unsigned char u = (unsigned char)c;
    if (u >= 0x20 && u != 0x7f) {
      out += c;
    } else if (c == '\t') {
      out += c;
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\n') {
      out += "\\n";
    } else {
      char hex[8];
      snprintf(hex, sizeof hex, "\\x%02x", u);
      out += hex;
    }
  }
  return out;
}

bool LogCategoryTaken(uint32_t category, uint32_t options, bool showAlways, bool window) {
  if (category & kLogAlways) return true;
  if (category & options) return true;
  if ((options & kLogAll) && !(category & kLogDebugSet)) return true;
  return window && showAlways;
}

void LogEventV(int showAlways, uint32_t category, const char* prefix, LogMsg message,
               va_list ap) {
  bool toFile = LogCategoryTaken(category, gFileOptions.load(), showAlways != 0, false);
  bool toWindow = LogCategoryTaken(category, gWindowOptions.load(), showAlways != 0, true);
  if (!toFile && !toWindow) return;

  std::string text = prefix ? prefix : "";
  text = VisibleText(text + ComposeMessage(message, ap));

  std::string line = LineStamp(time(nullptr)) + text;
  ThreadLogBatch& b = tl_logBatch;
  if (toFile && b.depth > 0) {
    uint32_t now = GetTickCount32();
    if (b.pending.empty()) b.firstTick = now;
    b.pending += line;
    b.pending += "\r\n";
    if (b.pending.size() >= kLogBatchBytes || now - b.firstTick >= kLogBatchMs) WritePending(b);
    if (!toWindow) return;
  }
  LogState& st = State();
  if (toFile && b.depth == 0) {
    std::lock_guard<std::mutex> hold(st.mutex);
    if (st.file.valid()) {
      std::string fileLine = line + "\r\n";
      WriteAll(st.file.get(), fileLine.data(), fileLine.size());  // a failed write is ignored
    }
  }
  if (toWindow) {
    std::lock_guard<std::mutex> hold(st.windowMutex);
    while (st.window.size() >= kWindowLines) st.window.pop_front();
    st.window.push_back(line);
    ++st.windowSeq;
    if (st.echo) {
      std::string out = line + "\n";
      WriteAll(STDOUT_FILENO, out.data(), out.size());
    }
  }
}

LogBatch::LogBatch() { ++tl_logBatch.depth; }

LogBatch::~LogBatch() {
  ThreadLogBatch& b = tl_logBatch;
  if (--b.depth == 0) WritePending(b);
}

void FlushLogBatch() { WritePending(tl_logBatch); }

void LogEvent(int showAlways, uint32_t category, LogMsg message, ...) {
  va_list ap;
  va_start(ap, message);
  LogEventV(showAlways, category, nullptr, message, ap);
  va_end(ap);
}

void LogEventPrefixed(int showAlways, uint32_t category, const char* prefix, LogMsg message,
                      ...) {
  va_list ap;
  va_start(ap, message);
  LogEventV(showAlways, category, prefix, message, ap);
  va_end(ap);
}

std::string ResolveLogFileName(const std::string& configured, const std::string& userDirectory) {
  std::string name = configured.empty() ? std::string(kDefaultLogFile) : configured;
  if (name[0] == '/' || userDirectory.empty()) return name;
  return userDirectory + (userDirectory.back() == '/' ? "" : "/") + name;
}

bool OpenLogFile(const std::string& path) {
  UniqueFd fd = OpenAppend(path, true);
  LogState& st = State();
  std::lock_guard<std::mutex> hold(st.mutex);
  st.configuredPath = path;
  st.openPath = fd.valid() ? path : std::string();
  st.file = std::move(fd);
  return st.file.valid();
}

bool OpenLog(std::string& why) {
  (void)why;  // the line buffer is the caller's own string: it cannot be missing
  uint32_t fileOptions = uint32_t(ConfigGetNumber("", "LogFileOptions", 1));
  uint32_t windowOptions = uint32_t(ConfigGetNumber("", "LogWindowOptions", 1));
  SetLogOptions(windowOptions, fileOptions);
  OpenLogFile(ConfiguredLogPath());  // a file that cannot be opened leaves the window
  LogEvent(0, kLogAlways, kStrProgramStarted);
  return true;
}

bool OpenLogForTool() {
  SetWindowEchoToStdout(false);
  SetLogOptions(0, uint32_t(ConfigGetNumber("", "LogFileOptions", 1)));
  return OpenLogFile(ConfiguredLogPath());
}

bool ReopenLog() {
  FlushLogBatch();  // this thread's earlier lines before the reopen
  bool ok;
  {
    LogState& st = State();
    std::lock_guard<std::mutex> hold(st.mutex);
    if (st.configuredPath.empty()) return false;  // no log file was ever opened
    // Lines logged meanwhile wait for the mutex and go to the new file.
    UniqueFd fd = OpenAppend(st.configuredPath, true);
    ok = fd.valid();
    st.openPath = ok ? st.configuredPath : std::string();
    st.file = std::move(fd);
  }
  LogEvent(0, kLogAlways, ok ? kTextReopened : kTextReopenFailed);
  return ok;
}

void CloseLog() {
  LogEvent(0, kLogAll, kStrProgramStopped);
  FlushLogBatch();
  LogState& st = State();
  std::lock_guard<std::mutex> hold(st.mutex);
  st.file.reset();
  st.openPath.clear();
}

void SetLogOptions(uint32_t windowOptions, uint32_t fileOptions) {
  gWindowOptions.store(windowOptions);
  gFileOptions.store(fileOptions);
}

uint32_t LogWindowOptions() { return gWindowOptions.load(); }
uint32_t LogFileOptions() { return gFileOptions.load(); }

std::string LogFilePath() {
  LogState& st = State();
  std::lock_guard<std::mutex> hold(st.mutex);
  return st.openPath;
}

std::vector<std::string> WindowLogLines() {
  LogState& st = State();
  std::lock_guard<std::mutex> hold(st.windowMutex);
  return std::vector<std::string>(st.window.begin(), st.window.end());
}

std::vector<std::string> WindowLogLinesSince(uint64_t& seq) {
  LogState& st = State();
  std::lock_guard<std::mutex> hold(st.windowMutex);
  uint64_t first = st.windowSeq - st.window.size();  // the number before the oldest kept
  uint64_t from = seq < first ? first : seq > st.windowSeq ? st.windowSeq : seq;
  std::vector<std::string> out(st.window.begin() + long(from - first), st.window.end());
  seq = st.windowSeq;
  return out;
}

void SetWindowEchoToStdout(bool on) {
  LogState& st = State();
  std::lock_guard<std::mutex> hold(st.windowMutex);
  st.echo = on;
}

void ClearWindowLog() {
  LogState& st = State();
  std::lock_guard<std::mutex> hold(st.windowMutex);
  st.window.clear();
}

// ---- Critical errors and message boxes -----------------------------------------

void CriticalError(const char* text) {
  if (!text) text = "";
  for (int i = 0; i < kCriticalWindowRepeats; ++i) LogEvent(0, kLogAlways, kCriticalLine, text);
  FlushLogBatch();  // a fault is written at once, whatever batch it came in

  // Appended only to an exc.log the operator has created.
  UniqueFd exc = OpenAppend(HomeDirectory() + kExcLogName, false);
  if (exc.valid()) {
    std::string line = FormatText(kExcLogLine, "", VisibleText(text).c_str());
    WriteAll(exc.get(), line.data(), line.size());
  }

  int count = ++gCriticalCount;
  long limit = ServerSettings().stopAfterCriticalErrors;
  if (limit != 0 && count >= limit) {
    ShowMessage(nullptr, kCriticalLimitText, kCriticalLimitTitle, kBoxOk, count, int(limit));
    CloseLog();
    void (*hook)(int) = gExitHook.load();
    if (hook) {
      hook(-1);
    } else {
      // _exit, not exit: other threads are still running and must not see the
      // static objects destroyed under them. Everything was written with write(2).
      _exit(-1);
    }
  }
}

int CriticalErrorCount() { return gCriticalCount.load(); }
void ResetCriticalErrorCount() { gCriticalCount.store(0); }
void SetCriticalErrorExitHook(void (*hook)(int exitCode)) { gExitHook.store(hook); }

int ShowMessage(void* owner, LogMsg message, const char* title, int boxStyle, ...) {
  (void)owner;
  va_list ap;
  va_start(ap, boxStyle);
  std::string text = ComposeMessage(message, ap);
  va_end(ap);
  std::string heading = title ? title : ServerSettings().productName;
  std::string out = heading + ": " + text + "\n";
  WriteAll(STDERR_FILENO, out.data(), out.size());
  LogEvent(0, kLogAlways, "%s", text.c_str());
  // Nobody can be asked: the first (affirmative) answer.
  return boxStyle == kBoxYesNo ? kAnswerYes : kAnswerOk;
}

// ---- Switching ------------------------------------------------------------------

std::string ProposeSwitchedName(const std::string& path) {
  std::string stem = path;
  size_t slash = path.find_last_of("/\\");
  size_t dot = path.rfind('.');
  if (dot != std::string::npos && (slash == std::string::npos || dot > slash))
    stem = path.substr(0, dot);
  for (unsigned n = 0; n <= kMaxSwitchNumber; ++n) {
    std::string candidate = stem + FormatText(".%03x", n);
    if (!NameTaken(candidate)) return candidate;
  }
  return std::string();
}

bool SwitchMainLog(bool automatic, const std::string& newName, std::string& resultText) {
  resultText.clear();
  FlushLogBatch();  // this thread's lines so far belong in the old file
  LogState& st = State();
  std::string path;
  {
    std::lock_guard<std::mutex> hold(st.mutex);
    path = st.configuredPath;
  }
  if (path.empty()) path = ConfiguredLogPath();
  std::string target = newName.empty() ? ProposeSwitchedName(path) : newName;
  if (target.empty()) {
    resultText = kTextNoFreeName;
    return false;
  }

  std::lock_guard<std::mutex> hold(st.mutex);
  st.file.reset();
  st.openPath.clear();
  if (target != path) DeleteFileWin(target);  // the user chose to replace it
  bool renamed = target != path && RenameReplace(path, target) == 0;
  UniqueFd fresh = OpenAppend(path, true);
  st.configuredPath = path;
  if (fresh.valid()) st.openPath = path;
  st.file = std::move(fresh);
  if (!renamed) {
    resultText = kTextRenameFailed;  // the old file stays in use
    return false;
  }
  if (!st.file.valid()) {
    resultText = kTextReopenFailed;
    return false;
  }
  if (automatic) resultText = kTextSwitchedOk;
  return true;
}

void SetBackupAllAccountLogsHook(void (*hook)()) { gAccountWalkHook.store(hook); }

void BackupAllAccountLogs() {
  // The accounts live above this layer: the accounts register their walk at
  // start-up. Without one there is nothing to back up.
  if (void (*walk)() = gAccountWalkHook.load()) walk();
}

std::string LogPeriodStamp(int period, long now) {
  static constexpr const char* kPeriodFormats[] = {nullptr, "%y%j", "%y%W", "%y%m"};
  if (period < 1 || period > 3) return std::string();
  return LocalStamp(kPeriodFormats[period], time_t(now));
}

void RunAutomaticLogSwitching(long now) {
  struct Switch {
    const char* durationName;
    const char* stampName;
    bool mainLog;
  };
  static constexpr Switch kSwitches[] = {
      {"AutoLogDuration", "AutoLogCheck", true},
      {"AutoLogOtherDur", "AutoLogOtherCheck", false},
  };
  long which = ConfigGetNumberRange("", "AutoLogWhich", 0, 0, 1);
  for (const Switch& sw : kSwitches) {
    if (!sw.mainLog && which != 0) break;  // 1: the main log only
    int period = int(ConfigGetNumberRange("", sw.durationName, 0, 0, 3));
    if (period == 0) continue;
    std::string current = LogPeriodStamp(period, now);
    std::string stored = ConfigGetText("", sw.stampName, "", nullptr, nullptr, 10);
    LogEvent(0, kLogGeneralDebug, kTextStampsCompared, stored.c_str(), current.c_str());
    if (stored == current) continue;
    if (sw.mainLog) {
      std::string result;
      SwitchMainLog(true, "", result);
      if (!result.empty()) LogEvent(0, kLogAlways, "%s", result.c_str());
      LogEvent(0, kLogAlways, kTextBackedUpMain);
    } else {
      BackupAllAccountLogs();
    }
    ConfigSetString("", sw.stampName, current.c_str());
  }
}
