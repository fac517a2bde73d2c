#include "server/core/strings.h"

#include <algorithm>
#include <iterator>

#include "server/core/log.h"

namespace {

struct StringEntry {
  unsigned id;
  const char* text;
};

constexpr StringEntry kStringTable[] = {
#include "server/core/string_table.inc"
};

constexpr bool IsSortedUnique() {
  for (size_t i = 1; i < std::size(kStringTable); ++i)
    if (kStringTable[i - 1].id >= kStringTable[i].id) return false;
  return true;
}
static_assert(IsSortedUnique(), "the string table must be sorted by number, without repeats");

constexpr const char* kWinSockUnknown = "WinSock Error #%d.";

}  // namespace

const char* LoadStringResource(unsigned id) {
  const StringEntry* end = std::end(kStringTable);
  const StringEntry* it = std::lower_bound(
      std::begin(kStringTable), end, id,
      [](const StringEntry& e, unsigned want) { return e.id < want; });
  if (it == end || it->id != id) return nullptr;
  return it->text;
}

std::string WinSockErrorText(int wsaError) {
  if (wsaError > 10000 && wsaError < 11000) {  // the WinSock family only
    if (const char* text = LoadStringResource(unsigned(wsaError - int(kStrWinSockOffset))))
      return text;
  }
  return FormatText(kWinSockUnknown, wsaError);
}
