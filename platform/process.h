// Processes: the stand-ins for CreateProcess and the waits on it. A command line
// is split at blanks (double quotes group) and run without a shell, so a missing
// program is a failure to start, never a shell's complaint. The program is looked
// up on PATH when its name holds no '/'.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

// Splits a command line at blanks and tabs; a double-quoted stretch belongs to
// one word and loses its quotes ("a b"c is the word a bc).
std::vector<std::string> SplitCommandLine(const std::string& line);
// ExpandEnvironmentStrings: every %NAME% of a set environment variable becomes its
// value; unknown names and a lone '%' stay as written.
std::string ExpandEnvironmentText(const std::string& text);

struct ProcessOptions {
  // When set, standard output and error are appended to this file and standard
  // input reads /dev/null; otherwise all three are inherited.
  std::string outputFile;
  // A session of its own, detached from ours: the caller never waits for it (an
  // orphan is reaped by the system).
  bool detach = false;
  // Standard output into a pipe that WaitProcess reads into `output`.
  bool captureOutput = false;
};

// A started process. Move-only; a handle that is dropped without WaitProcess
// ending it is released (reaped in the background).
struct ProcessHandle {
  pid_t pid = -1;
  int outputFd = -1;   // captureOutput
  std::string output;  // what was captured so far
  bool child = false;  // ours to wait for (not detached, not yet reaped)
  ProcessHandle() = default;
  ProcessHandle(ProcessHandle&& o) noexcept;
  ProcessHandle& operator=(ProcessHandle&& o) noexcept;
  ProcessHandle(const ProcessHandle&) = delete;
  ProcessHandle& operator=(const ProcessHandle&) = delete;
  ~ProcessHandle();
};

// Starts `argv`. True once the program itself runs (its exec succeeded); false
// with `why` when it could not be found or started. A detached process leaves
// `out.pid` set to its id but is not the caller's child.
bool StartProcess(const std::vector<std::string>& argv, const ProcessOptions& options,
                  ProcessHandle& out, std::string& why);
// Waits up to `timeoutMs` (negative: without limit) for the process to end. True
// when it ended: `exitCode` is its status, or 128 + the signal that ended it.
// False when it still runs (the handle stays valid) or is not our child.
bool WaitProcess(ProcessHandle& p, int timeoutMs, int& exitCode);
// Lets the process run on; it is reaped in the background when it ends.
void ReleaseProcess(ProcessHandle& p);
// Runs `argv` to its end (at most `timeoutMs`) and captures its standard output.
// False with `why` when it could not start or did not end in time (it is then
// left running and released).
bool RunProgram(const std::vector<std::string>& argv, int timeoutMs, std::string& output,
                int& exitCode, std::string& why);

// A fixed wait of the setup tools (the 2 s pause after removing a service, the 60 s
// limit of a removal step, ...), in milliseconds. Tests shorten them all with
// CORVEL_TEST_WAIT_PERCENT=N (N percent of each, at least 1 ms).
uint32_t ScaledWaitMs(uint32_t ms);

// The kernel's start time of a live process (clock ticks after boot), which
// together with the pid names one process: a reused pid has another start time.
// False when no such process runs (a zombie does not run).
bool GetProcessStartTime(pid_t pid, uint64_t& startTime);
