// Shared between the IMAP session files: the command record, output, and the
// selected folder's access and reconciliation.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "server/imap/imap.h"

struct ImapCommand {
  std::string tag;
  std::string word;
  std::vector<ImapItem> args;
  bool uid = false;  // the UID form of COPY, FETCH, STORE, SEARCH, MOVE
};

using ImapHandler = void (*)(ImapSession& s, NetNode* node, int32_t& state, ImapCommand& cmd);

// ---- Output (imap_session.cpp) -------------------------------------------------

// Queues as much of the pending output as the send ring takes. True when none is left.
bool Flush(ImapSession& s, NetNode* node);
// Queues one response line (CRLF added) and logs it cut short.
void Send(ImapSession& s, NetNode* node, const std::string& line);
// "<tag> <status> <text>".
void Tagged(ImapSession& s, NetNode* node, const std::string& tag, const char* status,
            const std::string& text);
// The CAPABILITY list for the session in `state`.
std::string Capabilities(const ImapSession& s, int32_t state);

// ---- The selected folder (imap_session.cpp) ------------------------------------

// A command's hold on a folder: its mutex and the open file.
struct FolderAccess {
  std::unique_lock<std::mutex> guard;
  UniqueFd fd;
};
// Opens the folder's file and brings the folder up to date, its mutex held.
// False with the text of a NO when the file is held (POP3) or unreadable.
bool OpenFolder(ImapFolder& f, FolderAccess& a, std::string& why);
// Locks the folder's mutex, then OpenFolder.
bool AccessFolder(ImapFolder& f, FolderAccess& a, std::string& why);
const ImapMessage* FindByUid(const ImapFolder& f, uint32_t uid);
ImapMessage* FindByUid(ImapFolder& f, uint32_t uid);
// Tells the client what changed in the folder since it last heard: new
// messages (EXISTS), other sessions' flag changes (FETCH) and, when `expunges`
// allows it, messages gone (EXPUNGE).
void Reconcile(ImapSession& s, NetNode* node, bool expunges);
// The view entries (0-based) a sequence set names: message numbers, or UIDs
// with `uid`. False when the set is malformed.
bool ResolveSet(const ImapSession& s, const std::string& text, bool uid,
                std::vector<size_t>& out);

// ---- Mailbox commands (imap_commands.cpp) --------------------------------------

// The file of the mailbox an argument names, when it exists.
bool ResolveMailbox(const ImapSession& s, const ImapItem& item, std::string& path);
// Leaves the selected state.
void CloseSelected(ImapSession& s, int32_t& state);
// Expunges the messages of `uids` (sorted) only, marking them \Deleted first
// with `mark`; the other \Deleted messages stay. False with the NO's text.
bool ExpungeOnly(ImapSession& s, NetNode* node, const std::vector<uint32_t>& uids, bool mark,
                 std::string& why);
void DoList(ImapSession& s, NetNode* node, int32_t& state, ImapCommand& cmd);
void DoNamespace(ImapSession& s, NetNode* node, int32_t& state, ImapCommand& cmd);
void DoSubscribe(ImapSession& s, NetNode* node, int32_t& state, ImapCommand& cmd);
void DoCreate(ImapSession& s, NetNode* node, int32_t& state, ImapCommand& cmd);
void DoDelete(ImapSession& s, NetNode* node, int32_t& state, ImapCommand& cmd);
void DoRename(ImapSession& s, NetNode* node, int32_t& state, ImapCommand& cmd);
void DoSelect(ImapSession& s, NetNode* node, int32_t& state, ImapCommand& cmd);
void DoStatus(ImapSession& s, NetNode* node, int32_t& state, ImapCommand& cmd);
void DoCheck(ImapSession& s, NetNode* node, int32_t& state, ImapCommand& cmd);
void DoExpunge(ImapSession& s, NetNode* node, int32_t& state, ImapCommand& cmd);
void DoClose(ImapSession& s, NetNode* node, int32_t& state, ImapCommand& cmd);
void DoUnselect(ImapSession& s, NetNode* node, int32_t& state, ImapCommand& cmd);
void DoAppend(ImapSession& s, NetNode* node, int32_t& state, ImapCommand& cmd);
void DoCopy(ImapSession& s, NetNode* node, int32_t& state, ImapCommand& cmd);
// NOOP; in the selected state it reports what changed.
void DoNoop(ImapSession& s, NetNode* node, int32_t& state, ImapCommand& cmd);

// ---- Message commands (imap_fetch.cpp) -----------------------------------------

void DoFetch(ImapSession& s, NetNode* node, int32_t& state, ImapCommand& cmd);
void DoStore(ImapSession& s, NetNode* node, int32_t& state, ImapCommand& cmd);
void DoSearch(ImapSession& s, NetNode* node, int32_t& state, ImapCommand& cmd);
