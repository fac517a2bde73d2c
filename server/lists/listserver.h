// The list server: the responder "listserver" of every domain reads each body
// line of a message as a command (subscribe, unsubscribe, set, query, review,
// stats, info, subs, admin, show, listres, default, help, end and their "l" and
// "m" forms, see list_commands.h) and answers it in the one response of the
// request; membership, statistics, list and resource listings and files go out
// as separate messages from listserver to the requester.
//
// The request (ResponderRequest) carries what earlier lines of the same message
// set: the list an `admin` line opened, the default list and password. A command
// that fails, and `end`, stop the message: the rest of its lines is not read.
//
// Hostile lines: any length, any number of words, NUL bytes. A list name,
// default list or password longer than kListServerNameChars is taken whole and
// so names no list (it is never cut into another list's name); answers quote
// what was sent with control bytes made visible.
#pragma once

#include <string>

#include "server/responder/responder.h"

inline constexpr size_t kListServerNameChars = 99;
inline constexpr const char* kCommandListingFile = "listrcrd.txt";

// The list server's answer to one body line (the responder framework has echoed
// it). False when the processing of the message ends here.
bool ProcessListServerLine(ResponderRequest& request, const std::string& line,
                           std::string& answer);

// ---- Resources (list_resources.cpp) ------------------------------------------------

struct ListRef;
struct ListConfig;
// listres/llistres: the subcommand at `pos` of `line` (list, get, index, put,
// help) for `list`. False when it failed (its words are in `answer`).
bool ProcessResourceCommand(ResponderRequest& request, const ListRef& list,
                            const ListConfig& config, const std::string& line, size_t pos,
                            std::string& answer);
