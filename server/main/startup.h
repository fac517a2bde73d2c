// Start-up and shutdown of the server, in their fixed order.
#pragma once

#include <string>

// Switches of the command line.
struct CommandLine {
  bool closeEndsProgram = false;  // A
  bool hidden = false;            // H
};

// Parses the switch words: each word starting with '/' or '-' is a group of
// single-letter switches (case-insensitive); scanning stops at the first other
// word. False with `why` = "Unknown flag: %c" for any other letter.
bool ParseCommandLine(int argc, char** argv, CommandLine& out, std::string& why);

// The whole program: location options, single instance, start-up, the signal
// loop, shutdown. Returns the process exit code.
int RunServer(int argc, char** argv);

// The browser console lives in a library of its own that only the server program
// links (it calls the account library as corveladm does); main() plugs it in here
// before RunServer. Null entries: no console in this program.
struct ConsoleHooks {
  bool (*start)(std::string& why) = nullptr;  // false: the server goes on without it
  void (*stop)() = nullptr;
};
ConsoleHooks& WebConsoleHooks();

// Start-up steps after the single-instance check. False with `why` (already
// logged and shown) when the server cannot run; the layers started are stopped.
bool StartServer(const CommandLine& cmd, std::string& why);
// The orderly shutdown, in reverse.
void ShutdownServer();
