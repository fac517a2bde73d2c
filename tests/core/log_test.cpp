// Logging: the filter rule, message texts, the line format, the window list, the
// log file shared between threads and processes, switching,
// critical errors and the string table.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <map>
#include <regex>
#include <sstream>
#include <thread>

#include "platform/files.h"
#include "server/core/config.h"
#include "server/core/log.h"
#include "server/core/strings.h"
#include "tests/core/test_home.h"

namespace {

// A home with its registry and an open log file "maillog.txt" in it; the window
// list starts empty and stays off standard output.
struct LogHome {
  TestHome home;
  std::string logPath;
  uint32_t savedWindow = LogWindowOptions(), savedFile = LogFileOptions();
  LogHome() {
    SetWindowEchoToStdout(false);
    ClearWindowLog();
    ServerSettings().userDirectory = home.dir;
    logPath = home.dir + "maillog.txt";
    EXPECT_TRUE(OpenLogFile(logPath));
  }
  ~LogHome() {
    CloseLog();
    SetLogOptions(savedWindow, savedFile);
    ServerSettings().userDirectory.clear();
    ServerSettings().stopAfterCriticalErrors = 0;
    ClearWindowLog();
  }
  std::string File(const std::string& name = "maillog.txt") const {
    std::string out;
    ReadWholeFile(home.dir + name, out);
    return out;
  }
  std::string Write(const std::string& name, const std::string& content) const {
    std::string path = home.dir + name;
    UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644));
    EXPECT_TRUE(WriteAll(fd.get(), content.data(), content.size()));
    return path;
  }
};

bool WindowHas(const std::string& text) {
  for (const std::string& line : WindowLogLines())
    if (line.size() >= text.size() && line.compare(line.size() - text.size(), text.size(), text) == 0)
      return true;
  return false;
}

std::vector<std::string> FileLines(const std::string& content) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t end; (end = content.find("\r\n", start)) != std::string::npos; start = end + 2)
    lines.push_back(content.substr(start, end - start));
  EXPECT_EQ(start, content.size()) << "the file ends in the middle of a line";
  return lines;
}

const std::regex kStampedLine(R"(\d\d/\d\d/\d\d \d\d:\d\d:\d\d (.*))");

TEST(LogFilterTest, TheRuleForFileAndWindow) {
  struct Case {
    uint32_t category, options;
    bool showAlways, window, taken;
  } cases[] = {
      {kLogGeneralDebug, 1, false, false, false},  // Mem line: "All" leaves debug out
      {kLogGeneralDebug, 1, false, true, false},
      {kLogGeneralDebug, 0x41, false, true, true},
      {kLogSmtpDebug, kLogAll, false, false, false},
      {kLogSmtpDebug, kLogSmtpDebug, false, false, true},
      {kLogAlways, 0, false, false, true},
      {kLogAlways, 0, false, true, true},
      {kLogAll, 0, false, false, false},  // "Program Stopped." needs bit 0x1
      {kLogRouting, kLogAll, false, false, true},
      {kLogRouting, kLogPop3, false, false, false},
      {0, kLogAll, false, false, true},
      {kLogRouting | kLogMxDebug, kLogAll, false, false, false},
      {kLogMxDebug, 0, true, true, true},   // showAlways: into the window...
      {kLogMxDebug, 0, true, false, false},  // ...never into the file
  };
  for (const Case& c : cases)
    EXPECT_EQ(LogCategoryTaken(c.category, c.options, c.showAlways, c.window), c.taken)
        << std::hex << c.category << " options " << c.options << " window " << c.window;
}

TEST(LogTest, MemLineAppearsWhereTheOptionsSay) {
  LogHome h;
  SetLogOptions(1, 1);
  LogEvent(0, kLogGeneralDebug, "Mem: %ld", 1234L);
  EXPECT_FALSE(WindowHas("Mem: 1234"));
  EXPECT_EQ(h.File().find("Mem: 1234"), std::string::npos);

  SetLogOptions(0x41, 1);
  LogEvent(0, kLogGeneralDebug, "Mem: %ld", 5678L);
  EXPECT_TRUE(WindowHas("Mem: 5678"));
  EXPECT_EQ(h.File().find("Mem: 5678"), std::string::npos);

  SetLogOptions(0, 0);
  LogEvent(0, kLogAlways, "important");
  EXPECT_TRUE(WindowHas("important"));
  EXPECT_NE(h.File().find("important"), std::string::npos);
}

TEST(LogTest, LineFormatPrefixAndNumberedMessages) {
  LogHome h;
  SetLogOptions(1, 1);
  LogEvent(0, kLogAlways, kStrLocalNode, "mail.example.org");
  LogEventPrefixed(0, kLogRouting, "OUTG-002a: ", "sending %s", "x.out");
  LogEvent(0, kLogAlways, 4999u);
  LogEvent(0, kLogAlways, 70000u);
  LogEvent(0, kLogAlways, "peer said %s", "EHLO x\r\n250 forged");
  std::vector<std::string> lines = FileLines(h.File());
  std::vector<std::string> texts;
  for (const std::string& line : lines) {
    std::smatch m;
    ASSERT_TRUE(std::regex_match(line, m, kStampedLine)) << line;
    texts.push_back(m[1]);
  }
  std::vector<std::string> expected = {
      "Local Node: mail.example.org",
      "OUTG-002a: sending x.out",
      "Unknown string resource: 4999",
      "Unknown string resource: 70000",
      "peer said EHLO x\\r\\n250 forged",  // one event, one line
  };
  EXPECT_EQ(texts, expected);
  EXPECT_EQ(ResolveMessage(LogMsg(5138)), "Program Started.");
  EXPECT_EQ(ResolveMessage(LogMsg("as is %d")), "as is %d");
}

TEST(LogTest, WindowListKeepsTheLast300Lines) {
  LogHome h;
  SetLogOptions(1, 0);
  for (int i = 0; i < 305; ++i) LogEvent(0, kLogAll, "line %d", i);
  std::vector<std::string> lines = WindowLogLines();
  ASSERT_EQ(lines.size(), 300u);
  EXPECT_TRUE(lines.front().ends_with(" line 5"));
  EXPECT_TRUE(lines.back().ends_with(" line 304"));
}

TEST(LogTest, ConcurrentWritersLeaveWholeLinesOnly) {
  LogHome h;
  SetLogOptions(0, 1);
  constexpr int kThreads = 6, kLines = 300;
  const std::string payload(1500, 'p');
  // Another process appends to the same file meanwhile (a tool or a second copy).
  pid_t child = fork();
  if (child == 0) {
    for (int i = 0; i < kLines; ++i) LogEvent(0, kLogAll, "proc %d %s", i, payload.c_str());
    _exit(0);
  }
  // Half the threads log in batches of a few lines each (as network rounds do).
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < kLines;) {
        if (t % 2 == 0) {
          LogEvent(0, kLogAll, "t%d %d %s", t, i++, payload.c_str());
          continue;
        }
        LogBatch batch;
        for (int k = 0; k < 7 && i < kLines; ++k)
          LogEvent(0, kLogAll, "t%d %d %s", t, i++, payload.c_str());
      }
    });
  for (std::thread& t : threads) t.join();
  int status = 0;
  waitpid(child, &status, 0);
  std::vector<std::string> lines = FileLines(h.File());
  ASSERT_EQ(lines.size(), size_t((kThreads + 1) * kLines));
  const std::regex whole(R"(\d\d/\d\d/\d\d \d\d:\d\d:\d\d (t\d|proc) (\d+) p{1500})");
  std::map<std::string, int> next;  // each writer's lines in its own order
  for (const std::string& line : lines) {
    std::smatch m;
    ASSERT_TRUE(std::regex_match(line, m, whole)) << line;
    ASSERT_EQ(std::stoi(m[2]), next[m[1]]++) << line;
  }
}

TEST(LogTest, ABatchWritesItsLinesTogetherAndTheWindowAtOnce) {
  LogHome h;
  SetLogOptions(1, 1);
  LogEvent(0, kLogAll, "before");
  {
    LogBatch outer;
    LogEvent(0, kLogAll, "first");
    {
      LogBatch inner;  // nested: only the outermost end writes
      LogEvent(0, kLogAll, "second");
    }
    EXPECT_TRUE(WindowHas("second"));  // the window does not wait
    EXPECT_EQ(h.File().find("first"), std::string::npos);
    FlushLogBatch();
    EXPECT_NE(h.File().find("second"), std::string::npos);
    LogEvent(0, kLogAll, "third");
    EXPECT_EQ(h.File().find("third"), std::string::npos);
  }
  std::vector<std::string> lines = FileLines(h.File());
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_NE(lines[3].find("third"), std::string::npos);

  // A full buffer leaves at once, whole lines only.
  {
    LogBatch batch;
    const std::string payload(1000, 'x');
    for (int i = 0; i < 20; ++i) LogEvent(0, kLogAll, "big %d %s", i, payload.c_str());
    std::vector<std::string> written = FileLines(h.File());
    EXPECT_GT(written.size(), 4u + 10u);
    EXPECT_LT(written.size(), 4u + 20u);
  }
  EXPECT_EQ(FileLines(h.File()).size(), 24u);

  // A switch in the middle of a batch: the earlier lines go to the old file.
  {
    LogBatch batch;
    LogEvent(0, kLogAll, "old file");
    std::string result;
    ASSERT_TRUE(SwitchMainLog(false, h.home.dir + "switched.txt", result));
    LogEvent(0, kLogAll, "new file");
  }
  EXPECT_NE(h.File("switched.txt").find("old file"), std::string::npos);
  EXPECT_EQ(h.File("switched.txt").find("new file"), std::string::npos);
  EXPECT_NE(h.File().find("new file"), std::string::npos);

  // Closing writes the closing thread's lines.
  {
    LogBatch batch;
    LogEvent(0, kLogAll, "last words");
    CloseLog();
  }
  EXPECT_NE(h.File().find("last words\r\n"), std::string::npos);
  EXPECT_NE(h.File().find("Program Stopped."), std::string::npos);
}

TEST(LogTest, ProposedNamesCountInHexFromTheFirstFree) {
  LogHome h;
  EXPECT_EQ(ProposeSwitchedName(h.logPath), h.home.dir + "maillog.000");
  for (int i = 0; i <= 9; ++i) h.Write("maillog.00" + std::to_string(i), "");
  EXPECT_EQ(ProposeSwitchedName(h.logPath), h.home.dir + "maillog.00a");
  ASSERT_TRUE(MakeDirectories(h.home.dir + "d.x"));
  EXPECT_EQ(ProposeSwitchedName(h.home.dir + "d.x/stats"), h.home.dir + "d.x/stats.000");
}

TEST(LogTest, SwitchRenamesTheLogAndOpensAFreshOne) {
  LogHome h;
  SetLogOptions(0, 1);
  for (int i = 0; i <= 9; ++i) h.Write("maillog.00" + std::to_string(i), "keep");
  LogEvent(0, kLogAll, "before the switch");
  std::string result;
  EXPECT_TRUE(SwitchMainLog(true, "", result));
  EXPECT_EQ(result, "Log file changed successfully.");
  LogEvent(0, kLogAll, "after the switch");
  EXPECT_NE(h.File("maillog.00a").find("before the switch"), std::string::npos);
  EXPECT_EQ(h.File("maillog.00a").find("after the switch"), std::string::npos);
  EXPECT_NE(h.File().find("after the switch"), std::string::npos);
  EXPECT_EQ(h.File("maillog.005"), "keep");

  // Manual, to a chosen name that exists: the user chose to replace it.
  std::string chosen = h.Write("old.log", "replaced");
  EXPECT_TRUE(SwitchMainLog(false, chosen, result));
  EXPECT_EQ(result, "");
  EXPECT_NE(h.File("old.log").find("after the switch"), std::string::npos);
  EXPECT_EQ(LogFilePath(), h.logPath);

  // A rename that fails keeps the old file in use.
  EXPECT_FALSE(SwitchMainLog(false, h.home.dir + "no/such/dir/x", result));
  EXPECT_EQ(result, "Unable to rename log file.");
  LogEvent(0, kLogAll, "still logging");
  EXPECT_NE(h.File().find("still logging"), std::string::npos);
}

TEST(LogTest, CriticalErrorsStopTheProcessAtTheLimit) {
  static int exits = 0, lastCode = 0;
  exits = 0;
  SetCriticalErrorExitHook([](int code) {
    ++exits;
    lastCode = code;
  });
  LogHome h;
  SetLogOptions(0, 1);
  ResetCriticalErrorCount();
  ServerSettings().stopAfterCriticalErrors = 3;
  CriticalError("Error processing outgoing queues.");
  CriticalError("Error processing outgoing queues.");
  EXPECT_EQ(exits, 0);
  CriticalError("Error processing outgoing queues.");
  EXPECT_EQ(exits, 1);
  EXPECT_EQ(lastCode, -1);
  EXPECT_EQ(CriticalErrorCount(), 3);
  EXPECT_EQ(LogFilePath(), "");  // closed before the end
  std::string file = h.File();
  size_t count = 0;
  for (size_t at = 0; (at = file.find("CRITICAL-ERROR: Error processing outgoing queues.", at)) !=
                      std::string::npos;
       ++at)
    ++count;
  EXPECT_EQ(count, 24u);  // eight lines each
  EXPECT_NE(file.find("critical error ocurred: 3 >= 3"), std::string::npos);
  EXPECT_NE(file.find("Program Stopped."), std::string::npos);

  // With 0 the process never ends for this reason.
  ServerSettings().stopAfterCriticalErrors = 0;
  for (int i = 0; i < 5; ++i) CriticalError("again");
  EXPECT_EQ(exits, 1);
  SetCriticalErrorExitHook(nullptr);
  ResetCriticalErrorCount();
}

TEST(LogTest, ExcLogIsAppendedOnlyWhenItExists) {
  LogHome h;
  CriticalError("first fault");
  EXPECT_FALSE(FileExists(h.home.dir + "exc.log"));
  h.Write("exc.log", "earlier\r\n");
  CriticalError("second fault");
  EXPECT_EQ(h.File("exc.log"), "earlier\r\n: CRITICAL-ERROR: second fault\r\n");
  ResetCriticalErrorCount();
}

TEST(LogTest, ShowMessageTakesTheAffirmativeAnswerAndLogs) {
  LogHome h;
  SetLogOptions(0, 0);
  EXPECT_EQ(ShowMessage(nullptr, kStrConnectionsOpen, nullptr, kBoxYesNo, 2), kAnswerYes);
  EXPECT_EQ(ShowMessage(nullptr, "plain %s", "title", kBoxOkCancel, "note"), kAnswerOk);
  EXPECT_EQ(ShowMessage(nullptr, kStrWindowBusy, nullptr, kBoxOk), kAnswerOk);
  std::string file = h.File();
  EXPECT_NE(file.find("There are 2 connections still open.  Are you sure you wish to close?"),
            std::string::npos);
  EXPECT_NE(file.find("plain note"), std::string::npos);
  EXPECT_NE(file.find("Window busy."), std::string::npos);
}

struct UtcZone {
  std::string saved;
  bool had;
  UtcZone() {
    const char* tz = getenv("TZ");
    had = tz != nullptr;
    if (had) saved = tz;
    setenv("TZ", "UTC", 1);
    tzset();
  }
  ~UtcZone() {
    if (had) setenv("TZ", saved.c_str(), 1);
    else unsetenv("TZ");
    tzset();
  }
};

TEST(LogTest, PeriodStamps) {
  UtcZone utc;
  struct Case {
    long now;
    const char *day, *week, *month;
  } cases[] = {
      {1796558400, "26340", "2648", "2612"},  // Sunday 2026-12-06
      {1796603400, "26341", "2649", "2612"},  // Monday 00:30: a new week
      {1798758000, "26365", "2652", "2612"},
      {1798765200, "27001", "2700", "2701"},  // New Year
  };
  for (const Case& c : cases) {
    EXPECT_EQ(LogPeriodStamp(0, c.now), "");
    EXPECT_EQ(LogPeriodStamp(1, c.now), c.day);
    EXPECT_EQ(LogPeriodStamp(2, c.now), c.week);
    EXPECT_EQ(LogPeriodStamp(3, c.now), c.month);
  }
}

int gAccountWalks = 0;

TEST(LogTest, AutomaticSwitchingOncePerPeriod) {
  UtcZone utc;
  LogHome h;
  SetLogOptions(0, 0x41);
  gAccountWalks = 0;
  SetBackupAllAccountLogsHook([] { ++gAccountWalks; });
  ConfigSetNumber("", "AutoLogDuration", 2);
  ConfigSetNumber("", "AutoLogOtherDur", 1);
  ConfigSetNumber("", "AutoLogWhich", 0);
  ConfigSetString("", "AutoLogCheck", "2648");
  ConfigSetString("", "AutoLogOtherCheck", "26340");

  RunAutomaticLogSwitching(1796558400);  // Sunday: same week, same day
  EXPECT_FALSE(FileExists(h.home.dir + "maillog.000"));
  EXPECT_EQ(gAccountWalks, 0);
  EXPECT_NE(h.File().find("old = 2648, new = 2648"), std::string::npos);

  RunAutomaticLogSwitching(1796603400);  // Monday: new week and new day
  EXPECT_TRUE(FileExists(h.home.dir + "maillog.000"));
  EXPECT_EQ(gAccountWalks, 1);
  EXPECT_EQ(ConfigGetText("", "AutoLogCheck", ""), "2649");
  EXPECT_EQ(ConfigGetText("", "AutoLogOtherCheck", ""), "26341");
  EXPECT_NE(h.File("maillog.000").find("old = 2648, new = 2649"), std::string::npos);
  std::string fresh = h.File();
  EXPECT_NE(fresh.find("Log file changed successfully."), std::string::npos);
  EXPECT_NE(fresh.find("Backed up main log file."), std::string::npos);

  RunAutomaticLogSwitching(1796603400 + 3600);  // later the same day: nothing more
  EXPECT_FALSE(FileExists(h.home.dir + "maillog.001"));
  EXPECT_EQ(gAccountWalks, 1);

  // "Main log only" leaves the account logs alone.
  ConfigSetNumber("", "AutoLogWhich", 1);
  RunAutomaticLogSwitching(1796603400 + 86400);
  EXPECT_EQ(gAccountWalks, 1);
  EXPECT_EQ(ConfigGetText("", "AutoLogOtherCheck", ""), "26341");
  SetBackupAllAccountLogsHook(nullptr);
}

TEST(StringTableTest, FamiliesAndTexts) {
  struct Case {
    unsigned id;
    const char* text;
  } cases[] = {
      {5138, "Program Started."},
      {5139, "Program Stopped."},
      {5201, "System is busy. Interupt?"},
      {1052, "Netowrk has been reset"},
      {1061, "Connection refused"},
      {2010, "TURN\n Not supported."},
      {2100, "No error"},
      {2110, "Exception occured servicing request."},
  };
  for (const Case& c : cases) {
    ASSERT_NE(LoadStringResource(c.id), nullptr) << c.id;
    EXPECT_STREQ(LoadStringResource(c.id), c.text);
  }
  for (unsigned missing : {0u, 1000u, 1062u, 2011u, 4999u, 5001u, 65535u})
    EXPECT_EQ(LoadStringResource(missing), nullptr) << missing;
  EXPECT_EQ(WinSockErrorText(10061), "Connection refused");
  EXPECT_EQ(WinSockErrorText(10099), "WinSock Error #10099.");
  EXPECT_EQ(WinSockErrorText(15138), "WinSock Error #15138.");  // not a server message
}

}  // namespace
