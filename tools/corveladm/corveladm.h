// corveladm: the administrator's command line. One program with a group of
// commands per subsystem (list, queue, account, plugin, ...), all in one command
// table (adm_commands.cpp). Each group's commands live in adm_<group>.cpp and call
// the same functions the server uses; none keeps a copy of its own.
//
//   corveladm [--home DIR] [--registry FILE] [--domain NAME] [-y] GROUP COMMAND ARG...
//
// Exit status: 0 done, 1 failed (the reason on standard error), 2 bad usage.
#pragma once

#include <string>
#include <vector>

inline constexpr int kAdmOk = 0;
inline constexpr int kAdmFailed = 1;
inline constexpr int kAdmUsage = 2;

// What every command gets: the locations, the domain it works in ("" = the
// primary domain), whether questions are answered Yes without asking, and its
// own arguments (after GROUP COMMAND).
struct AdmContext {
  std::string home;      // ends in '/'
  std::string registry;  // the registry file (or location)
  std::string domain;    // --domain; "" = primary
  bool assumeYes = false;
  std::vector<std::string> args;
};

// One row of the command table. `group` null ends the table.
struct AdmCommand {
  const char* group;
  const char* name;
  const char* args;  // e.g. "LIST ADDRESS"
  const char* help;  // one line
  int (*run)(AdmContext& ctx);
  bool needsRegistry = true;  // opens the registry and loads the directories first
};

// The one command table, ended by a row with a null group.
extern const AdmCommand kAdmCommands[];
// One line per group for the general help, ended by a null name.
struct AdmGroup {
  const char* name;
  const char* help;
};
extern const AdmGroup kAdmGroups[];

// Writes "corveladm: <text>" to standard error; returns kAdmFailed.
int AdmFail(const char* format, ...) __attribute__((format(printf, 1, 2)));
// Writes "corveladm: <why>" and the command's usage line; returns kAdmUsage.
int AdmUsage(const AdmCommand& cmd, const char* why);
// The command being run (for AdmUsage from inside a handler).
const AdmCommand& AdmCurrentCommand();
// Asks a yes/no question on the terminal; Yes without asking when -y was given or
// nobody can be asked (standard input is not a terminal).
bool AdmConfirm(const AdmContext& ctx, const std::string& question);
