// corvelsetup: calls one function of libinstkit.so and prints its result, for
// install scripts.
//
//   corvelsetup [--home DIR] [--registry FILE] FUNCTION ARG...
//
//   InstallService KEY          RemoveService NAME          IsServiceRunning NAME
//   ServiceStart NAME           ServiceStop NAME            RunCommand WAIT COMMANDLINE
//   CheckForTCPIP               ShowLegalText TEXT          MoveRegistryKey SOURCE TARGET
//
// The result is printed on a line of its own (CheckForTCPIP adds its text on a
// second line). Exit status: 0 the function was called, 2 bad usage.
#include <stdlib.h>
#include <strings.h>

#include <cstdio>
#include <string>

#include "instkit/instkit.h"
#include "platform/home.h"
#include "server/core/program_options.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitUsage = 2;
constexpr size_t kTcpipBuffer = 256;

constexpr const char* kUsage =
    "usage: corvelsetup [--home DIR] [--registry FILE] FUNCTION ARG...\n"
    "  InstallService KEY | RemoveService NAME | IsServiceRunning NAME |\n"
    "  ServiceStart NAME | ServiceStop NAME | RunCommand WAIT COMMANDLINE |\n"
    "  CheckForTCPIP | ShowLegalText TEXT | MoveRegistryKey SOURCE TARGET\n";

struct Function {
  const char* name;
  int args;
  int (*call)(char** argv);
};

const Function kFunctions[] = {
    {"InstallService", 1, [](char** a) { return InstallService(nullptr, nullptr, a[0]); }},
    {"RemoveService", 1, [](char** a) { return RemoveService(nullptr, nullptr, a[0]); }},
    {"IsServiceRunning", 1, [](char** a) { return IsServiceRunning(nullptr, nullptr, a[0]); }},
    {"ServiceStart", 1, [](char** a) { return ServiceStart(nullptr, nullptr, a[0]); }},
    {"ServiceStop", 1, [](char** a) { return ServiceStop(nullptr, nullptr, a[0]); }},
    {"RunCommand", 2,
     [](char** a) {
       int32_t wait = int32_t(std::strtol(a[0], nullptr, 10));
       return RunCommand(nullptr, &wait, a[1]);
     }},
    {"CheckForTCPIP", 0,
     [](char**) {
       char out[kTcpipBuffer];
       int rc = CheckForTCPIP(nullptr, nullptr, out);
       std::printf("%d\n%s\n", rc, out);
       return -1;  // printed already
     }},
    {"ShowLegalText", 1, [](char** a) { return ShowLegalText(nullptr, nullptr, a[0]); }},
    {"MoveRegistryKey", 2, [](char** a) { return MoveRegistryKey(a[0], a[1]); }},
};

int Usage(const char* why) {
  if (why) std::fprintf(stderr, "corvelsetup: %s\n", why);
  std::fputs(kUsage, stderr);
  return kExitUsage;
}

}  // namespace

int main(int argc, char** argv) {
  if (int rc = AnswerHelpOrVersion(argc, argv, "corvelsetup", kUsage); rc >= 0) return rc;
  std::string home, registry, why;
  if (!TakeLocationOptions(argc, argv, home, registry, why)) return Usage(why.c_str());
  if (argc < 2) return Usage(nullptr);
  // The library reads its locations from the environment.
  if (!home.empty()) setenv("CORVEL_HOME", ResolveHomeDirectory(home.c_str()).c_str(), 1);
  if (!registry.empty()) setenv("CORVEL_REGISTRY", registry.c_str(), 1);
  for (const Function& f : kFunctions) {
    if (strcasecmp(f.name, argv[1]) != 0) continue;
    if (argc - 2 != f.args) return Usage((std::string(f.name) + ": wrong number of arguments").c_str());
    int rc = f.call(argv + 2);
    if (rc >= 0) std::printf("%d\n", rc);
    return kExitOk;
  }
  return Usage((std::string("unknown function: ") + argv[1]).c_str());
}
