// Logging: every part of the server reports through LogEvent. A line goes to the
// log file and to the window list, each filtered by its own category mask.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// Category bits of a message.
enum LogCategory : uint32_t {
  kLogAll = 0x00000001,            // "All Options Enabled"
  kLogRouting = 0x00000002,        // "Routing Information"
  kLogPop3 = 0x00000004,           // "POP3 Sessions"
  kLogSmtpGeneral = 0x00000008,    // "SMTP General"
  kLogSmtpProgress = 0x00000010,   // "SMTP Session Progress"
  kLogSmtpExtended = 0x00000020,   // "SMTP Extended Progress"
  kLogGeneralDebug = 0x00000040,   // "General Debug"
  kLogMxDebug = 0x00000080,        // "MX Debug"
  kLogPop3Debug = 0x00000100,      // "POP3 Debug"
  kLogFinger = 0x00000200,         // "Finger Sessions"
  kLogFingerDebug = 0x00000400,    // "Finger Debug"
  kLogSmtpDebug = 0x00000800,      // "SMTP Debug"
  kLogDebugSet = 0x00000DC0,
  kLogAlways = 0x80000000,         // start-up, errors, important events
};

// A message is a format string or a string-table number (any value up to 65535).
// LogMsg makes both usable in one call: LogEvent(0, kLogAlways, kStrLocalNode, name).
struct LogMsg {
  const char* format = nullptr;
  unsigned id = 0;
  LogMsg(const char* f) : format(f) {}
  LogMsg(unsigned i) : id(i) {}
  LogMsg(int i) : id(unsigned(i)) {}
};

// The message's text: the string-table entry for a number ("Unknown string
// resource: %u" formatted when there is none), else the format itself.
std::string ResolveMessage(const LogMsg& msg);
// printf-style formatting into a std::string.
std::string FormatText(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string FormatTextV(const char* format, va_list ap);

// A batch of the log file's lines on this thread: while one is open (they nest),
// the thread's file lines collect in its own buffer and leave with one write(2)
// when the outermost batch ends, when FlushLogBatch is called, or as soon as a
// line finds the buffer holding kLogBatchBytes or its oldest line older than
// kLogBatchMs. Lines stay whole and in their order per thread; the window gets
// every line at once as before. The network layer opens one per node task (and
// flushes before a round's replies leave), the periodic worker one per tick, so a
// crash loses at most the lines of the rounds and the tick then running.
struct LogBatch {
  LogBatch();
  ~LogBatch();
  LogBatch(const LogBatch&) = delete;
  LogBatch& operator=(const LogBatch&) = delete;
};
inline constexpr size_t kLogBatchBytes = 16384;
inline constexpr uint32_t kLogBatchMs = 100;
// Writes the lines this thread's open batch holds (nothing without one).
void FlushLogBatch();

// Logs prefix + message. `showAlways` puts the line into the window whatever the
// window options say; it does not affect the file.
void LogEvent(int showAlways, uint32_t category, LogMsg message, ...);
void LogEventPrefixed(int showAlways, uint32_t category, const char* prefix, LogMsg message, ...);
void LogEventV(int showAlways, uint32_t category, const char* prefix, LogMsg message, va_list ap);

// The text with control bytes other than TAB made visible ("\r", "\n", "\x1b"),
// so one event stays one line whatever a peer sent.
std::string VisibleText(std::string_view text);

// The filter rule shared by file and window.
bool LogCategoryTaken(uint32_t category, uint32_t options, bool showAlways, bool window);

// Opens the log file (LogFile, else "maillog.txt", relative to the user directory)
// and writes "Program Started.". False only when the line buffer cannot be had
// (`why` holds 5103's text); a file that cannot be opened leaves window logging.
bool OpenLog(std::string& why);
// The log file's path: `configured` (LogFile), "maillog.txt" when empty; a relative
// name is taken in `userDirectory`, and in the current directory when that is empty.
std::string ResolveLogFileName(const std::string& configured, const std::string& userDirectory);
// Opens (appending, creating) `path` as the log file without reading the
// configuration and without writing "Program Started."; false when it cannot be
// opened (logging goes on to the window).
bool OpenLogFile(const std::string& path);
// For a tool beside the server (the administrator's command line): its events go
// to the server's log file, appended in whole lines among the server's, filtered
// by LogFileOptions, and nothing to standard output. False when the file cannot
// be opened (the events then go nowhere).
bool OpenLogForTool();
// Closes the log file and opens it again under its name, creating it: after
// logrotate (or an administrator) moved the file away, logging goes on in a new
// one. Logs "Log file reopened." there. False when the file cannot be opened
// (logging goes on to the window, and the next reopen tries again).
bool ReopenLog();
// Writes "Program Stopped." (category 0x1) and closes the file.
void CloseLog();
void SetLogOptions(uint32_t windowOptions, uint32_t fileOptions);
uint32_t LogWindowOptions();
uint32_t LogFileOptions();
// The log file's full path (empty while none is open).
std::string LogFilePath();

// The window list: at most 300 lines, each also written to standard output unless
// the window is hidden (switch H).
std::vector<std::string> WindowLogLines();
// The window lines after line number `seq` (lines are numbered from 1 as they
// arrive), as many as the window still holds; `seq` becomes the last line's number.
// A reader that passes 0 gets the whole window; one that fell behind gets what is left.
std::vector<std::string> WindowLogLinesSince(uint64_t& seq);
void SetWindowEchoToStdout(bool on);
void ClearWindowLog();

// Reports a caught fault: eight "CRITICAL-ERROR: %s" lines, one line appended to
// <home>/exc.log when that file exists, and the end of the process when
// StopAfterCriticalErrors is reached.
void CriticalError(const char* text);
int CriticalErrorCount();
void ResetCriticalErrorCount();
// What ends the process when StopAfterCriticalErrors is reached (default _exit;
// null restores it). Tests put a recorder here.
void SetCriticalErrorExitHook(void (*hook)(int exitCode));

// Message box: writes the text to standard error and to the log, returns the first
// (affirmative) answer, since nobody can be asked. `title` null = product name.
enum MessageAnswer { kAnswerOk = 1, kAnswerCancel = 2, kAnswerYes = 6, kAnswerNo = 7 };
enum MessageBoxStyle { kBoxOk = 0, kBoxOkCancel = 1, kBoxYesNo = 4 };
int ShowMessage(void* owner, LogMsg message, const char* title, int boxStyle, ...);

// Log switching. The proposed name replaces the extension with "%03x" counting up
// from 000 to the first free name; "" when none is free.
std::string ProposeSwitchedName(const std::string& path);
// A relative account log name lies in the user directory (the server's current
// directory); an absolute one, or any name without a user directory, as it is.
std::string InUserDirectory(const std::string& name);
// Renames the main log and opens a fresh one. `resultText` gets the result text
// ("" on manual success). Returns true on success.
bool SwitchMainLog(bool automatic, const std::string& newName, std::string& resultText);
// The daily switch of the list and responder logs walks the accounts, which live
// above this layer: they register the walk here at start-up (tests put a counter).
// Without a hook BackupAllAccountLogs does nothing.
void SetBackupAllAccountLogsHook(void (*hook)());
void BackupAllAccountLogs();
// The period stamp of `now` for an automatic switch period: 1 day "%y%j", 2 week
// "%y%W", 3 month "%y%m"; "" for 0 (never).
std::string LogPeriodStamp(int period, long now);
// The daily maintenance check's log part: automatic switching of the main log and,
// with AutoLogWhich 0, of the account logs. `now` is local time.
void RunAutomaticLogSwitching(long now);
