// Runs one of the built programs as a child process for tests: arguments,
// extra environment, standard input from a string; standard output and error
// captured whole, the exit status returned (-1 when it did not exit normally).
#pragma once

#include <fcntl.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

struct ToolResult {
  int rc = -1;
  std::string out;
  std::string err;
};

inline std::string ReadTestFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

inline void WriteTestFile(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

// `program` is a path; `env` holds NAME=value entries set in the child only.
// `scratch` is a directory for the captured streams.
inline ToolResult RunTool(const std::string& program, const std::vector<std::string>& args,
                          const std::string& scratch, const std::vector<std::string>& env = {},
                          const std::string& input = "") {
  std::string outPath = scratch + "/tool.stdout", errPath = scratch + "/tool.stderr",
              inPath = scratch + "/tool.stdin";
  WriteTestFile(inPath, input);
  pid_t pid = fork();
  if (pid == 0) {
    int in = open(inPath.c_str(), O_RDONLY);
    int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (in < 0 || out < 0 || err < 0) _exit(127);
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
    for (const std::string& e : env) putenv(const_cast<char*>(e.c_str()));
    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(program.c_str(), argv.data());
    _exit(127);
  }
  ToolResult r;
  int status = 0;
  if (pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status)) r.rc = WEXITSTATUS(status);
  r.out = ReadTestFile(outPath);
  r.err = ReadTestFile(errPath);
  return r;
}

// Replaces every `from` in `text` with `to`.
inline std::string ReplaceAll(std::string text, const std::string& from, const std::string& to) {
  if (from.empty()) return text;
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
    text.replace(at, from.size(), to);
  return text;
}

// Compares `actual` with the golden file tests/<folder>/golden/<name> whole;
// CORVEL_UPDATE_GOLDEN=1 rewrites the file instead (review the change).
#define EXPECT_GOLDEN(folder, name, actual)                                                   \
  do {                                                                                        \
    std::string goldenPath_ = std::string(CORVEL_SOURCE_DIR) + "/tests/" + (folder) +          \
                              "/golden/" + (name);                                            \
    if (getenv("CORVEL_UPDATE_GOLDEN")) WriteTestFile(goldenPath_, (actual));                 \
    EXPECT_EQ(ReadTestFile(goldenPath_), (actual)) << "golden file " << goldenPath_;          \
  } while (0)
