// The command words of the list server.
#include "server/lists/list_commands.h"

#include <strings.h>

#include <string>

const ListCommandWord* FindListCommand(std::string_view word) {
  if (word.empty()) return nullptr;
  std::string w(word);
  for (const ListCommandWord& c : kListCommands)
    if (strcasecmp(c.word, w.c_str()) == 0) return &c;
  return nullptr;
}
