// The list server's command words: one table for the list server, which runs
// them, and for the distributor, which refuses a post whose subject or body
// begins with one (it was meant for listserver).
#pragma once

#include <string_view>

enum ListCommand : int {
  kCmdSubscribe = 0,
  kCmdUnsubscribe = 1,
  kCmdSet = 2,
  kCmdLset = 3,
  kCmdMset = 4,
  kCmdLmset = 5,
  kCmdQuery = 6,
  kCmdLquery = 7,
  kCmdMquery = 8,
  kCmdLmquery = 9,
  kCmdReview = 10,
  kCmdMreview = 11,
  kCmdInfo = 12,
  kCmdSubs = 13,
  kCmdStats = 14,
  kCmdHelp = 15,
  kCmdListres = 16,
  kCmdLlistres = 17,
  kCmdAdmin = 18,
  kCmdLadmin = 19,
  kCmdDefault = 20,
  kCmdShow = 21,
  kCmdLshow = 22,
  kCmdEnd = 23,
};

// Where a command takes its list from.
enum class ListArgument {
  kGiven,           // the next word, else the default list
  kGivenNoDefault,  // the next word only (admin)
  kDefaultList,     // the default list, no word
  kNone,            // no list
};

// Who may run it.
enum class ListAccess { kAnyone, kMember, kAdministrator, kAdminMember, kResourceRights };

struct ListCommandWord {
  const char* word;  // compared without regard to case
  ListCommand number;
  ListArgument list;
  ListAccess who;
};

inline constexpr ListCommandWord kListCommands[] = {
    {"subscribe", kCmdSubscribe, ListArgument::kGiven, ListAccess::kAnyone},
    {"unsubscribe", kCmdUnsubscribe, ListArgument::kGiven, ListAccess::kMember},
    {"set", kCmdSet, ListArgument::kGiven, ListAccess::kMember},
    {"lset", kCmdLset, ListArgument::kDefaultList, ListAccess::kMember},
    {"mset", kCmdMset, ListArgument::kGiven, ListAccess::kAdministrator},
    {"lmset", kCmdLmset, ListArgument::kDefaultList, ListAccess::kAdministrator},
    {"query", kCmdQuery, ListArgument::kGiven, ListAccess::kMember},
    {"lquery", kCmdLquery, ListArgument::kDefaultList, ListAccess::kMember},
    {"mquery", kCmdMquery, ListArgument::kGiven, ListAccess::kAdministrator},
    {"lmquery", kCmdLmquery, ListArgument::kDefaultList, ListAccess::kAdministrator},
    {"review", kCmdReview, ListArgument::kGiven, ListAccess::kAnyone},
    {"mreview", kCmdMreview, ListArgument::kGiven, ListAccess::kAdministrator},
    {"info", kCmdInfo, ListArgument::kNone, ListAccess::kAnyone},
    {"subs", kCmdSubs, ListArgument::kNone, ListAccess::kAnyone},
    {"stats", kCmdStats, ListArgument::kGiven, ListAccess::kMember},
    {"statistics", kCmdStats, ListArgument::kGiven, ListAccess::kMember},
    {"help", kCmdHelp, ListArgument::kNone, ListAccess::kAnyone},
    {"listres", kCmdListres, ListArgument::kGiven, ListAccess::kResourceRights},
    {"llistres", kCmdLlistres, ListArgument::kDefaultList, ListAccess::kResourceRights},
    {"admin", kCmdAdmin, ListArgument::kGivenNoDefault, ListAccess::kAdminMember},
    {"ladmin", kCmdLadmin, ListArgument::kDefaultList, ListAccess::kAdminMember},
    {"default", kCmdDefault, ListArgument::kNone, ListAccess::kAnyone},
    {"show", kCmdShow, ListArgument::kGiven, ListAccess::kAdministrator},
    {"lshow", kCmdLshow, ListArgument::kDefaultList, ListAccess::kAdministrator},
    {"end", kCmdEnd, ListArgument::kNone, ListAccess::kAnyone},
};

// The table row of `word`, or null when it is no command word.
const ListCommandWord* FindListCommand(std::string_view word);
