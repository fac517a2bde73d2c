// The command words of the list server.
#include "server/lists/list_commands.h"

#include <strings.h>

#include <cstring>

const ListCommandWord* FindListCommand(std::string_view word) {
  // Compared with their lengths: a word holding NUL is no command word.
  for (const ListCommandWord& c : kListCommands)
    if (word.size() == strlen(c.word) && strncasecmp(c.word, word.data(), word.size()) == 0)
      return &c;
  return nullptr;
}
