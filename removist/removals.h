// removist's own removals: level items that name what to remove instead of a
// command to run.
//
//   remove-file PATH    a file (or a link, never what it points to)
//   remove-tree PATH    a directory and everything below it, links not followed
//   remove-key KEY      a registry key below SOFTWARE\Tollgrove, with its sub-keys
//
// A PATH is relative to the product's InstallRoot (an absolute directory that is
// not "/"), or absolute inside it. Refused: any ".." component, a path or link
// that leads outside the root, and every file item when there is no usable
// InstallRoot. What is already gone counts as removed, so a removal that stopped
// half-way can be run again.
#pragma once

#include <string>

enum class OwnRemoval { kNotOwn, kDone, kRefused, kFailed };

// Does `item` when it is one of the three forms; kNotOwn for any other command.
// `installRoot` is the product's InstallRoot value (empty when it has none).
// `why` tells a refusal or failure.
OwnRemoval RunOwnRemoval(const std::string& item, const std::string& installRoot, std::string& why);
