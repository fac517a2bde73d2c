#include "platform/process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <sstream>
#include <thread>
#include <utility>

#include "platform/errors.h"
#include "platform/files.h"
#include "platform/tick.h"

#ifndef CLOSE_RANGE_CLOEXEC
#define CLOSE_RANGE_CLOEXEC (1U << 2)
#endif

namespace {

constexpr const char* kDefaultPath = "/usr/local/bin:/usr/bin:/bin";
constexpr int kPollMs = 10;

// What the child side reports through the status pipe before it execs.
struct ChildReport {
  int kind;   // kReportPid or kReportExecFailed
  int value;  // the pid, or errno of the failed exec
};
constexpr int kReportPid = 1;
constexpr int kReportExecFailed = 2;

bool IsExecutableFile(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

// The file to exec: as given when it holds a '/', else the first match on PATH.
// Found before the fork, so the child only calls what is safe after fork().
bool FindProgram(const std::string& name, std::string& path) {
  if (name.find('/') != std::string::npos) {
    path = name;
    return IsExecutableFile(path);
  }
  const char* env = ::getenv("PATH");
  std::string dirs = env && *env ? env : kDefaultPath;
  size_t start = 0;
  while (start <= dirs.size()) {
    size_t colon = dirs.find(':', start);
    std::string dir = dirs.substr(start, colon == std::string::npos ? colon : colon - start);
    if (dir.empty()) dir = ".";
    std::string candidate = dir + "/" + name;
    if (IsExecutableFile(candidate)) {
      path = candidate;
      return true;
    }
    if (colon == std::string::npos) break;
    start = colon + 1;
  }
  return false;
}

void WriteReport(int fd, int kind, int value) {
  ChildReport r{kind, value};
  ssize_t n;
  do {
    n = ::write(fd, &r, sizeof r);
  } while (n < 0 && errno == EINTR);
}

// The child after fork(): only calls that are safe there.
[[noreturn]] void RunChild(const char* path, char* const* argv, int inFd, int outFd, int errFd,
                           int reportFd, bool detach) {
  sigset_t none;
  sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);
  for (int sig : {SIGPIPE, SIGTERM, SIGINT, SIGHUP, SIGUSR1, SIGCHLD}) ::signal(sig, SIG_DFL);
  if (detach) {
    ::setsid();
    pid_t grandchild = ::fork();
    if (grandchild < 0) {
      WriteReport(reportFd, kReportExecFailed, errno);
      ::_exit(127);
    }
    if (grandchild > 0) {
      WriteReport(reportFd, kReportPid, int(grandchild));
      ::_exit(0);
    }
  }
  if (inFd >= 0) ::dup2(inFd, 0);
  if (outFd >= 0) ::dup2(outFd, 1);
  if (errFd >= 0) ::dup2(errFd, 2);
  // Nothing but the three standard descriptors reaches the program.
  ::syscall(SYS_close_range, 3U, ~0U, CLOSE_RANGE_CLOEXEC);
  ::execv(path, argv);
  WriteReport(reportFd, kReportExecFailed, errno);
  ::_exit(127);
}

int ExitCodeOf(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

// Moves what the capture pipe holds into `p.output`; closes it at its end.
void DrainOutput(ProcessHandle& p, int waitMs) {
  if (p.outputFd < 0) {
    if (waitMs > 0) SleepMs(uint32_t(waitMs));
    return;
  }
  pollfd pfd{p.outputFd, POLLIN, 0};
  if (::poll(&pfd, 1, waitMs) <= 0) return;
  char buf[4096];
  ssize_t n = ::read(p.outputFd, buf, sizeof buf);
  if (n > 0) {
    p.output.append(buf, size_t(n));
  } else if (n == 0 || errno != EINTR) {
    ::close(p.outputFd);
    p.outputFd = -1;
  }
}

}  // namespace

ProcessHandle::ProcessHandle(ProcessHandle&& o) noexcept
    : pid(std::exchange(o.pid, -1)),
      outputFd(std::exchange(o.outputFd, -1)),
      output(std::move(o.output)),
      child(std::exchange(o.child, false)) {}

ProcessHandle& ProcessHandle::operator=(ProcessHandle&& o) noexcept {
  if (this != &o) {
    ReleaseProcess(*this);
    pid = std::exchange(o.pid, -1);
    outputFd = std::exchange(o.outputFd, -1);
    output = std::move(o.output);
    child = std::exchange(o.child, false);
  }
  return *this;
}

ProcessHandle::~ProcessHandle() { ReleaseProcess(*this); }

std::vector<std::string> SplitCommandLine(const std::string& line) {
  std::vector<std::string> words;
  std::string word;
  bool inWord = false, quoted = false;
  for (char c : line) {
    if (c == '"') {
      quoted = !quoted;
      inWord = true;
    } else if ((c == ' ' || c == '\t') && !quoted) {
      if (inWord) words.push_back(std::move(word));
      word.clear();
      inWord = false;
    } else {
      word += c;
      inWord = true;
    }
  }
  if (inWord) words.push_back(std::move(word));
  return words;
}

std::string ExpandEnvironmentText(const std::string& text) {
  std::string out;
  size_t i = 0;
  while (i < text.size()) {
    size_t end = text[i] == '%' ? text.find('%', i + 1) : std::string::npos;
    if (end == std::string::npos) {
      out += text[i++];
      continue;
    }
    std::string name = text.substr(i + 1, end - i - 1);
    const char* value = name.empty() ? nullptr : ::getenv(name.c_str());
    if (value) {
      out += value;
      i = end + 1;
    } else {
      // Not a variable: the first '%' stays, the second may open a name.
      out += '%';
      ++i;
    }
  }
  return out;
}

bool StartProcess(const std::vector<std::string>& argv, const ProcessOptions& options,
                  ProcessHandle& out, std::string& why) {
  ReleaseProcess(out);
  if (argv.empty() || argv[0].empty()) {
    why = "empty command line";
    SetLastWinError(kErrInvalidParameter);
    return false;
  }
  std::string path;
  if (!FindProgram(argv[0], path)) {
    why = argv[0] + ": program not found";
    SetLastWinError(kErrFileNotFound);
    return false;
  }
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);

  UniqueFd input, output, captureRead, captureWrite, reportRead, reportWrite;
  if (!options.outputFile.empty()) {
    input.reset(::open("/dev/null", O_RDONLY | O_CLOEXEC));
    output.reset(::open(options.outputFile.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644));
    if (!input.valid() || !output.valid()) {
      why = options.outputFile + ": " + std::strerror(errno);
      SetLastWinError(WinErrorFromErrno(errno));
      return false;
    }
  }
  int fds[2];
  if (options.captureOutput) {
    if (::pipe2(fds, O_CLOEXEC) != 0) {
      why = std::string("pipe: ") + std::strerror(errno);
      return false;
    }
    captureRead.reset(fds[0]);
    captureWrite.reset(fds[1]);
  }
  if (::pipe2(fds, O_CLOEXEC) != 0) {
    why = std::string("pipe: ") + std::strerror(errno);
    return false;
  }
  reportRead.reset(fds[0]);
  reportWrite.reset(fds[1]);

  int outFd = captureWrite.valid() ? captureWrite.get() : output.get();
  pid_t pid = ::fork();
  if (pid < 0) {
    why = std::string("fork: ") + std::strerror(errno);
    SetLastWinError(WinErrorFromErrno(errno));
    return false;
  }
  if (pid == 0)
    RunChild(path.c_str(), args.data(), input.get(), outFd, output.get(), reportWrite.get(),
             options.detach);
  reportWrite.reset();
  captureWrite.reset();

  // Reports until the pipe closes: the exec closed it (success) or the child ended.
  pid_t runner = options.detach ? -1 : pid;
  int execError = 0;
  ChildReport r;
  for (;;) {
    ssize_t n = ::read(reportRead.get(), &r, sizeof r);
    if (n < 0 && errno == EINTR) continue;
    if (n != ssize_t(sizeof r)) break;
    if (r.kind == kReportPid) runner = pid_t(r.value);
    if (r.kind == kReportExecFailed) execError = r.value;
  }
  if (options.detach) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
  }
  if (execError || runner <= 0) {
    if (!options.detach) {
      int status = 0;
      while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
      }
    }
    why = argv[0] + ": " + std::strerror(execError ? execError : ECHILD);
    SetLastWinError(WinErrorFromErrno(execError ? execError : ECHILD));
    return false;
  }
  out.pid = runner;
  out.child = !options.detach;
  out.outputFd = captureRead.release();
  out.output.clear();
  SetLastWinError(0);
  return true;
}

bool WaitProcess(ProcessHandle& p, int timeoutMs, int& exitCode) {
  if (p.pid <= 0 || !p.child) return false;
  uint32_t start = GetTickCount32();
  for (;;) {
    int status = 0;
    pid_t rc = ::waitpid(p.pid, &status, WNOHANG);
    if (rc == p.pid) {
      while (p.outputFd >= 0) DrainOutput(p, -1);
      exitCode = ExitCodeOf(status);
      p.pid = -1;
      p.child = false;
      return true;
    }
    if (rc < 0 && errno != EINTR) {
      p.pid = -1;
      p.child = false;
      return false;
    }
    if (timeoutMs >= 0 && TickElapsed(GetTickCount32(), start) >= uint32_t(timeoutMs)) return false;
    DrainOutput(p, kPollMs);
  }
}

void ReleaseProcess(ProcessHandle& p) {
  if (p.outputFd >= 0) {
    ::close(p.outputFd);
    p.outputFd = -1;
  }
  if (p.pid > 0 && p.child) {
    pid_t pid = p.pid;
    std::thread([pid] {
      int status = 0;
      while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
      }
    }).detach();
  }
  p.pid = -1;
  p.child = false;
}

bool RunProgram(const std::vector<std::string>& argv, int timeoutMs, std::string& output,
                int& exitCode, std::string& why) {
  ProcessOptions options;
  options.captureOutput = true;
  ProcessHandle p;
  if (!StartProcess(argv, options, p, why)) return false;
  if (!WaitProcess(p, timeoutMs, exitCode)) {
    why = argv[0] + ": did not end in time";
    ReleaseProcess(p);
    return false;
  }
  output = std::move(p.output);
  return true;
}

uint32_t ScaledWaitMs(uint32_t ms) {
  const char* percent = ::getenv("CORVEL_TEST_WAIT_PERCENT");
  if (!percent || !*percent) return ms;
  long p = std::strtol(percent, nullptr, 10);
  if (p <= 0 || p >= 100) return ms;
  uint64_t scaled = uint64_t(ms) * uint64_t(p) / 100u;
  return scaled ? uint32_t(scaled) : 1u;
}

bool GetProcessStartTime(pid_t pid, uint64_t& startTime) {
  if (pid <= 0) return false;
  std::string stat;
  if (!ReadWholeFile("/proc/" + std::to_string(pid) + "/stat", stat)) return false;
  // "pid (comm) state ppid ...": the name may hold blanks and ')', so fields are
  // counted from the last ')'. The state is field 3, the start time field 22.
  size_t close = stat.rfind(')');
  if (close == std::string::npos) return false;
  std::istringstream fields(stat.substr(close + 1));
  std::string state;
  fields >> state;
  if (state == "Z" || state == "X" || state == "x") return false;
  std::string skip;
  for (int field = 4; field < 22; ++field) fields >> skip;
  uint64_t start = 0;
  if (!(fields >> start)) return false;
  startTime = start;
  return true;
}
