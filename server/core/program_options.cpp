#include "server/core/program_options.h"

#include <cstdio>
#include <cstring>

#include "server/core/config.h"

int AnswerHelpOrVersion(int argc, char** argv, const char* program, const char* usage) {
  for (int i = 1; i < argc && argv[i][0] == '-'; ++i) {
    if (std::strcmp(argv[i], "--help") == 0) {
      std::fputs(usage, stdout);
      return 0;
    }
    if (std::strcmp(argv[i], "--version") == 0) {
      std::printf("%s (%s) %s\n", program, kProductBaseName, kProductVersion);
      return 0;
    }
  }
  return -1;
}
