#include "server/admin/web/web_console.h"
#include "server/main/startup.h"

int main(int argc, char** argv) {
  WebConsoleHooks().start = StartWebConsole;
  WebConsoleHooks().stop = StopWebConsole;
  return RunServer(argc, argv);
}
