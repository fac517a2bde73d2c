// Runs one of the project's programs as a child, with standard input from a text
// and standard output and error captured, for the tests of command lines.
#pragma once

#include <fcntl.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "platform/files.h"

struct ProgramRun {
  int rc = -1;  // the exit status; -1 when it did not exit normally
  std::string out, err;
};

// Runs `program` with `args` in the directory `dir` (relative paths are taken
// there), which also holds the files that carry standard input and outputs.
// CORVEL_HOME and CORVEL_REGISTRY are cleared, then `env` (NAME=value)
// applied.
inline ProgramRun RunProgram(const std::string& program, const std::vector<std::string>& args,
                             const std::string& dir, const std::string& input = "",
                             const std::vector<std::string>& env = {}) {
  std::string inPath = dir + "/run.stdin", outPath = dir + "/run.stdout",
              errPath = dir + "/run.stderr";
  {
    UniqueFd in(::open(inPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644));
    WriteAll(in.get(), input.data(), input.size());
  }
  pid_t pid = fork();
  if (pid == 0) {
    int in = open(inPath.c_str(), O_RDONLY);
    int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (in < 0 || out < 0 || err < 0 || chdir(dir.c_str()) != 0) _exit(127);
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
    unsetenv("CORVEL_HOME");
    unsetenv("CORVEL_REGISTRY");
    for (const std::string& e : env) putenv(const_cast<char*>(e.c_str()));
    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(program.c_str(), argv.data());
    _exit(127);
  }
  ProgramRun run;
  int status = 0;
  if (pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status))
    run.rc = WEXITSTATUS(status);
  ReadWholeFile(outPath, run.out);
  ReadWholeFile(errPath, run.err);
  return run;
}
