// The mailbox commands: LIST, LSUB, CREATE, DELETE, RENAME, SUBSCRIBE, SELECT,
// STATUS, APPEND, COPY, MOVE, EXPUNGE and CLOSE.
#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstring>

#include "server/accounts/mailbox.h"
#include "server/imap/imap.h"
#include "server/imap/imap_internal.h"

namespace {

// IMAP's LIST wildcards: '*' matches anything, '%' anything but the delimiter.
bool MatchPattern(std::string_view pattern, std::string_view name) {
  if (pattern.empty()) return name.empty();
  if (pattern[0] == '*' || pattern[0] == '%') {
    for (size_t i = 0; i <= name.size(); ++i) {
      if (MatchPattern(pattern.substr(1), name.substr(i))) return true;
      if (i < name.size() && pattern[0] == '%' && name[i] == '/') return false;
    }
    return false;
  }
  return !name.empty() &&
         toupper(static_cast<unsigned char>(pattern[0])) ==
             toupper(static_cast<unsigned char>(name[0])) &&
         MatchPattern(pattern.substr(1), name.substr(1));
}

// A mailbox name argument for CREATE and RENAME's target: one trailing
// delimiter is dropped. False (with the NO's text) when no folder may have it.
bool NewFolderName(const ImapSession& s, const ImapItem& item, std::string& name,
                   std::string& path, std::string& why) {
  name = item.kind == ImapItem::kList ? std::string() : item.text;
  if (!name.empty() && name.back() == '/') name.pop_back();
  if (IsInboxName(name)) {
    why = "[ALREADYEXISTS] INBOX exists";
    return false;
  }
  if (!IsValidFolderName(name)) {
    why = "[CANNOT] Folder names are levels of printable ASCII (modified UTF-7) between single /, "
          "none starting with a dot, without \\ and wildcards";
    return false;
  }
  path = ImapFolderPath(s.mailboxPath, name);
  if (FileExists(path)) {
    why = "[ALREADYEXISTS] Folder exists";
    return false;
  }
  return true;
}

// Makes the directories a new folder `name` lives in (its parents, which
// become names that only have children where they have no file). False with
// the NO's text.
bool MakeFolderParents(const ImapSession& s, const std::string& name, std::string& why) {
  std::string dir = ImapFolderDirectory(s.mailboxPath);
  // The account's folder directory first, so each level below it is made 0700.
  if (!MakeDirectories(dir, 0700, &why)) {
    why = "[SERVERBUG] " + why;
    return false;
  }
  for (size_t slash = name.find('/'); slash != std::string::npos; slash = name.find('/', slash + 1)) {
    if (!MakeDirectories(dir + name.substr(0, slash), 0700, &why)) {
      why = "[CANNOT] " + why;
      return false;
    }
  }
  return true;
}

// True when the directory at `path` has no entries (or is not there).
bool IsEmptyDirectory(const std::string& path) {
  std::vector<DirectoryEntry> entries;
  return !ListDirectory(path, "*", entries) || entries.empty();
}

// Rewrites the folder without its \Deleted messages; announces them unless `quiet`.
bool HasDeleted(const ImapFolder& f) {
  for (const ImapMessage& m : f.messages)
    if (m.flags & kFlagDeleted) return true;
  return false;
}

// Takes the account's mailbox lock for a rewrite, the folder's mutex held: the
// file is let go first and opened again after the lock, in the router's order
// (the lock before the file), so neither waits for the other.
bool RelockForRewrite(ImapSession& s, FolderAccess& a, MailboxLock& lock, std::string& why) {
  a.fd.reset();
  bool timedOut = false;
  if (!LockMailbox(s.user, kImap.rewriteLockMs, lock, timedOut)) {
    why = timedOut ? "[INUSE] Mailbox in use by another session, try again later"
                   : "[SERVERBUG] Unable to lock mailbox";
    return false;
  }
  return OpenFolder(*s.folder, a, why);
}

// Rewrites the folder without its \Deleted messages; announces them unless `quiet`.
bool Expunge(ImapSession& s, NetNode* node, const std::string& tag, bool quiet) {
  MailboxLock lock;
  FolderAccess a;
  std::string why;
  std::vector<uint32_t> removed;
  if (!AccessFolder(*s.folder, a, why) ||
      (HasDeleted(*s.folder) && (!RelockForRewrite(s, a, lock, why) ||
                                 !ExpungeImapFolder(*s.folder, a.fd, removed, why)))) {
    Tagged(s, node, tag, "NO", why.empty() ? "Expunge failed" : why);
    return false;
  }
  if (!removed.empty()) WakeImapIdlers(s.folder->path);
  if (!quiet) {
    // The rewritten file is read at once, so the kept messages are known again.
    a.fd.reset();
    if (OpenFolder(*s.folder, a, why)) Reconcile(s, node, true);
  }
  return true;
}

// What a message appended to a folder starts with.
struct AppendedState {
  uint8_t flags = 0;
  std::string keywords;
  time_t date = 0;  // its INTERNALDATE (0: now)
};

// Appends `messages` to the folder at `path`, all or none, each with its
// entry of `states`: under the folder's mutex, and for INBOX the mailbox lock
// the router takes, held until the new messages are numbered (so none of the
// router's is taken for them). `uids` gets their UIDs and `validity` the
// folder's UIDVALIDITY. False with the NO's text.
bool AppendToFolder(ImapSession& s, const std::string& path, std::vector<ImapAppendSource> messages,
                    const std::vector<AppendedState>& states, std::vector<uint32_t>& uids,
                    uint32_t& validity, std::string& why) {
  std::shared_ptr<ImapFolder> f = FindImapFolder(path);
  FolderAccess a;
  a.guard = std::unique_lock<std::mutex>(f->mutex);
  for (size_t i = 0; i < messages.size(); ++i) messages[i].when = states[i].date;
  {
    MailboxLock lock;
    bool timedOut = false;
    if (path == s.mailboxPath && !LockMailbox(s.user, kImap.rewriteLockMs, lock, timedOut)) {
      why = "[INUSE] Mailbox in use, try again later";
      return false;
    }
    if (!AppendImapMessages(path, s.user, messages, why)) {
      why = "[SERVERBUG] " + why;
      return false;
    }
    if (!OpenFolder(*f, a, why)) return false;
  }
  if (f->messages.size() < messages.size()) {
    why = "[SERVERBUG] The message did not arrive";
    return false;
  }
  bool changed = false;
  uids.clear();
  for (size_t i = 0; i < messages.size(); ++i) {
    ImapMessage& m = f->messages[f->messages.size() - messages.size() + i];
    if (m.flags != states[i].flags || m.keywords != states[i].keywords) {
      m.flags = states[i].flags;
      m.keywords = states[i].keywords;
      m.changed = ++f->changes;
      changed = true;
    }
    uids.push_back(m.uid);
  }
  if (changed) SaveImapIndex(*f);
  validity = f->uidValidity;
  WakeImapIdlers(path);
  return true;
}

std::string UidList(const std::vector<uint32_t>& uids) {
  std::string out;
  for (uint32_t u : uids) out += (out.empty() ? "" : ",") + std::to_string(u);
  return out;
}

}  // namespace

// ---- Authenticated -------------------------------------------------------------

// The file of the mailbox an argument names, when it exists.
bool ResolveMailbox(const ImapSession& s, const ImapItem& item, std::string& path) {
  if (item.kind == ImapItem::kList) return false;
  if (IsInboxName(item.text)) {
    path = s.mailboxPath;
    return true;
  }
  path = ImapFolderPath(s.mailboxPath, item.text);
  return IsValidFolderName(item.text) && FileExists(path);
}

void DoList(ImapSession& s, NetNode* node, int32_t&, ImapCommand& cmd) {
  if (cmd.args.size() != 2 || cmd.args[0].kind == ImapItem::kList ||
      cmd.args[1].kind == ImapItem::kList) {
    Tagged(s, node, cmd.tag, "BAD", cmd.word + " needs a reference and a pattern");
    return;
  }
  const std::string& pattern = cmd.args[1].text;
  if (pattern.empty() && cmd.word == "LIST") {
    Send(s, node, "* LIST (\\Noselect) \"/\" \"\"");
    Tagged(s, node, cmd.tag, "OK", "LIST completed");
    return;
  }
  std::string full = cmd.args[0].text + pattern;
  std::vector<ImapFolderNode> names = {{"INBOX", true, false}};
  for (ImapFolderNode& n : ListImapFolderTree(s.mailboxPath)) names.push_back(std::move(n));
  std::string subscribed = "\n" + ReadImapSubscriptions(s.mailboxPath);
  for (const ImapFolderNode& n : names) {
    if (!MatchPattern(full, n.name)) continue;
    if (cmd.word == "LSUB" && n.name != "INBOX" &&
        subscribed.find("\n" + n.name + "\n") == std::string::npos)
      continue;
    std::string attributes = n.selectable ? "" : "\\Noselect ";
    attributes += n.children ? "\\HasChildren" : "\\HasNoChildren";
    if (const char* use = SpecialUseOf(n.name)) attributes += std::string(" ") + use;
    Send(s, node, "* " + cmd.word + " (" + attributes + ") \"/\" " + QuoteImapString(n.name));
  }
  Tagged(s, node, cmd.tag, "OK", cmd.word + " completed");
}

void DoNamespace(ImapSession& s, NetNode* node, int32_t&, ImapCommand& cmd) {
  Send(s, node, "* NAMESPACE ((\"\" \"/\")) NIL NIL");
  Tagged(s, node, cmd.tag, "OK", "NAMESPACE completed");
}

void DoSubscribe(ImapSession& s, NetNode* node, int32_t&, ImapCommand& cmd) {
  std::string path;
  if (cmd.args.size() != 1 || cmd.args[0].kind == ImapItem::kList) {
    Tagged(s, node, cmd.tag, "BAD", cmd.word + " needs a mailbox");
    return;
  }
  const std::string& name = cmd.args[0].text;
  if (cmd.word == "SUBSCRIBE" && !ResolveMailbox(s, cmd.args[0], path)) {
    Tagged(s, node, cmd.tag, "NO", "[NONEXISTENT] No such mailbox");
    return;
  }
  if (!IsInboxName(name)) {
    std::string text = ReadImapSubscriptions(s.mailboxPath), kept;
    size_t pos = 0;
    while (pos < text.size()) {
      size_t eol = text.find('\n', pos);
      std::string line = text.substr(pos, eol == std::string::npos ? std::string::npos : eol - pos);
      if (!line.empty() && line != name) kept += line + "\n";
      if (eol == std::string::npos) break;
      pos = eol + 1;
    }
    if (cmd.word == "SUBSCRIBE") kept += name + "\n";
    if (!WriteImapSubscriptions(s.mailboxPath, kept)) {
      Tagged(s, node, cmd.tag, "NO", "[SERVERBUG] Unable to write the subscriptions");
      return;
    }
  }
  Tagged(s, node, cmd.tag, "OK", cmd.word + " completed");
}

void DoCreate(ImapSession& s, NetNode* node, int32_t&, ImapCommand& cmd) {
  std::string name, path, why;
  if (cmd.args.size() != 1) {
    Tagged(s, node, cmd.tag, "BAD", "CREATE needs a mailbox");
    return;
  }
  if (!NewFolderName(s, cmd.args[0], name, path, why)) {
    Tagged(s, node, cmd.tag, "NO", why);
    return;
  }
  if (!MakeFolderParents(s, name, why)) {
    Tagged(s, node, cmd.tag, "NO", why);
    return;
  }
  if (!CreatePrivateFile(path, 0600, &why)) {
    Tagged(s, node, cmd.tag, "NO", "[CANNOT] " + why);
    return;
  }
  Tagged(s, node, cmd.tag, "OK", "CREATE completed");
}

void DoDelete(ImapSession& s, NetNode* node, int32_t&, ImapCommand& cmd) {
  std::string path;
  if (cmd.args.size() != 1 || cmd.args[0].kind == ImapItem::kList) {
    Tagged(s, node, cmd.tag, "BAD", "DELETE needs a mailbox");
    return;
  }
  const std::string& name = cmd.args[0].text;
  if (IsInboxName(name)) {
    Tagged(s, node, cmd.tag, "NO", "[CANNOT] INBOX cannot be deleted");
    return;
  }
  std::string children = ImapFolderChildDirectory(s.mailboxPath, name);
  bool hasChildDirectory = IsValidFolderName(name) && DirectoryExists(children);
  if (!ResolveMailbox(s, cmd.args[0], path)) {
    // A name that only has children goes when it has none left.
    if (!hasChildDirectory) {
      Tagged(s, node, cmd.tag, "NO", "[NONEXISTENT] No such mailbox");
    } else if (!IsEmptyDirectory(children) || ::rmdir(children.c_str()) != 0) {
      Tagged(s, node, cmd.tag, "NO", "[CANNOT] The folder has folders below it");
    } else {
      Tagged(s, node, cmd.tag, "OK", "DELETE completed");
    }
    return;
  }
  {
    std::shared_ptr<ImapFolder> f = FindImapFolder(path);
    std::lock_guard<std::mutex> guard(f->mutex);
    if (DeleteFileWin(path) != 0) {
      Tagged(s, node, cmd.tag, "NO", "[CANNOT] Unable to delete the folder");
      return;
    }
    DeleteFileWin(ImapIndexPath(path));
    DeleteFileWin(path + kAppendNoteSuffix);
  }
  ForgetImapFolder(path);
  // Its children stay, under a name that now only has children; with none,
  // their directory goes too.
  if (hasChildDirectory && IsEmptyDirectory(children)) ::rmdir(children.c_str());
  Tagged(s, node, cmd.tag, "OK", "DELETE completed");
}

void DoRename(ImapSession& s, NetNode* node, int32_t&, ImapCommand& cmd) {
  std::string from, name, to, why;
  if (cmd.args.size() != 2 || cmd.args[0].kind == ImapItem::kList) {
    Tagged(s, node, cmd.tag, "BAD", "RENAME needs two mailboxes");
    return;
  }
  const std::string& old = cmd.args[0].text;
  if (IsInboxName(old)) {
    Tagged(s, node, cmd.tag, "NO", "[CANNOT] INBOX cannot be renamed");
    return;
  }
  // A folder moves with the folders below it; a name that only has children
  // moves them.
  std::string oldChildren = ImapFolderChildDirectory(s.mailboxPath, old);
  bool hasFile = ResolveMailbox(s, cmd.args[0], from);
  bool hasChildren = IsValidFolderName(old) && DirectoryExists(oldChildren);
  if (!hasFile && !hasChildren) {
    Tagged(s, node, cmd.tag, "NO", "[NONEXISTENT] No such mailbox");
    return;
  }
  if (!NewFolderName(s, cmd.args[1], name, to, why)) {
    Tagged(s, node, cmd.tag, "NO", why);
    return;
  }
  std::string newChildren = ImapFolderChildDirectory(s.mailboxPath, name);
  if (name.compare(0, old.size() + 1, old + "/") == 0) {
    Tagged(s, node, cmd.tag, "NO", "[CANNOT] A folder cannot move below itself");
    return;
  }
  if (DirectoryExists(newChildren)) {
    Tagged(s, node, cmd.tag, "NO", "[ALREADYEXISTS] Folder exists");
    return;
  }
  if (!MakeFolderParents(s, name, why)) {
    Tagged(s, node, cmd.tag, "NO", why);
    return;
  }
  // The folders below move too: sessions of this process forget them.
  std::vector<std::string> moved;
  if (hasChildren) {
    for (const std::string& child : ListImapFolders(s.mailboxPath))
      if (child.compare(0, old.size() + 1, old + "/") == 0) {
        moved.push_back(ImapFolderPath(s.mailboxPath, child));
        moved.push_back(ImapFolderPath(s.mailboxPath, name + child.substr(old.size())));
      }
  }
  {
    std::shared_ptr<ImapFolder> f = hasFile ? FindImapFolder(from) : nullptr;
    std::unique_lock<std::mutex> guard;
    if (f) guard = std::unique_lock<std::mutex>(f->mutex);
    if (hasFile && RenameNoReplace(from, to) != 0) {
      Tagged(s, node, cmd.tag, "NO", "[CANNOT] Unable to rename the folder");
      return;
    }
    if (hasChildren && RenameNoReplace(oldChildren, newChildren) != 0) {
      if (hasFile) RenameNoReplace(to, from);
      Tagged(s, node, cmd.tag, "NO", "[CANNOT] Unable to move the folders below it");
      return;
    }
    if (hasFile) {
      RenameReplace(ImapIndexPath(from), ImapIndexPath(to));
      if (FileExists(from + kAppendNoteSuffix))
        RenameReplace(from + kAppendNoteSuffix, to + kAppendNoteSuffix);
    }
  }
  if (hasFile) {
    ForgetImapFolder(from);
    ForgetImapFolder(to);
  }
  for (const std::string& path : moved) ForgetImapFolder(path);
  Tagged(s, node, cmd.tag, "OK", "RENAME completed");
}

void CloseSelected(ImapSession& s, int32_t& state) {
  s.folder.reset();
  s.view.clear();
  s.gone.clear();
  state = kImapAuthenticated;
}

void DoSelect(ImapSession& s, NetNode* node, int32_t& state, ImapCommand& cmd) {
  CloseSelected(s, state);
  std::string path;
  if (cmd.args.size() != 1 || !ResolveMailbox(s, cmd.args[0], path)) {
    Tagged(s, node, cmd.tag, "NO", "[NONEXISTENT] No such mailbox");
    return;
  }
  s.folder = FindImapFolder(path);
  FolderAccess a;
  std::string why;
  if (!AccessFolder(*s.folder, a, why)) {
    s.folder.reset();
    Tagged(s, node, cmd.tag, "NO", why);
    return;
  }
  ImapFolder& f = *s.folder;
  s.readOnly = cmd.word == "EXAMINE";
  s.seenChanges = f.changes;
  size_t firstUnseen = 0;
  std::string keywords;  // the ones the folder's messages carry
  for (const ImapMessage& m : f.messages) {
    s.view.push_back(m.uid);
    if (!firstUnseen && !(m.flags & kFlagSeen)) firstUnseen = s.view.size();
    if (!m.keywords.empty() && m.keywords != keywords)
      keywords = ChangeKeywords(keywords, m.keywords, '+');
  }
  s.gone.assign(s.view.size(), 0);
  std::string extra = keywords.empty() ? "" : " " + keywords;
  Send(s, node, "* FLAGS (\\Answered \\Flagged \\Deleted \\Seen \\Draft" + extra + ")");
  Send(s, node, s.readOnly ? "* OK [PERMANENTFLAGS ()] Read-only"
                           : "* OK [PERMANENTFLAGS (\\Answered \\Flagged \\Deleted \\Seen "
                             "\\Draft" + extra + " \\*)] Flags kept");
  Send(s, node, "* " + std::to_string(s.view.size()) + " EXISTS");
  Send(s, node, "* 0 RECENT");
  if (firstUnseen) Send(s, node, "* OK [UNSEEN " + std::to_string(firstUnseen) + "] First unseen");
  Send(s, node, "* OK [UIDVALIDITY " + std::to_string(f.uidValidity) + "] UIDs valid");
  Send(s, node, "* OK [UIDNEXT " + std::to_string(f.uidNext) + "] Predicted next UID");
  state = kImapSelected;
  Tagged(s, node, cmd.tag, "OK",
         std::string(s.readOnly ? "[READ-ONLY] " : "[READ-WRITE] ") + cmd.word + " completed");
}

void DoStatus(ImapSession& s, NetNode* node, int32_t&, ImapCommand& cmd) {
  if (cmd.args.size() != 2 || cmd.args[1].kind != ImapItem::kList) {
    Tagged(s, node, cmd.tag, "BAD", "STATUS needs a mailbox and a list of items");
    return;
  }
  std::string path;
  if (!ResolveMailbox(s, cmd.args[0], path)) {
    Tagged(s, node, cmd.tag, "NO", "[NONEXISTENT] No such mailbox");
    return;
  }
  std::shared_ptr<ImapFolder> folder = FindImapFolder(path);
  FolderAccess a;
  std::string why;
  if (!AccessFolder(*folder, a, why)) {
    Tagged(s, node, cmd.tag, "NO", why);
    return;
  }
  std::string out;
  for (const ImapItem& it : cmd.args[1].list) {
    std::string name = it.text;
    for (char& c : name) c = char(toupper(static_cast<unsigned char>(c)));
    long long value = 0;
    if (name == "MESSAGES") value = (long long)folder->messages.size();
    else if (name == "RECENT") value = 0;
    else if (name == "UIDNEXT") value = folder->uidNext;
    else if (name == "UIDVALIDITY") value = folder->uidValidity;
    else if (name == "UNSEEN")
      value = std::count_if(folder->messages.begin(), folder->messages.end(),
                            [](const ImapMessage& m) { return !(m.flags & kFlagSeen); });
    else {
      Tagged(s, node, cmd.tag, "BAD", "Unknown STATUS item");
      return;
    }
    out += (out.empty() ? "" : " ") + name + " " + std::to_string(value);
  }
  Send(s, node, "* STATUS " + QuoteImapString(cmd.args[0].text) + " (" + out + ")");
  Tagged(s, node, cmd.tag, "OK", "STATUS completed");
}

// ---- Selected ------------------------------------------------------------------

void DoCheck(ImapSession& s, NetNode* node, int32_t& state, ImapCommand& cmd) {
  DoNoop(s, node, state, cmd);
}

void DoExpunge(ImapSession& s, NetNode* node, int32_t&, ImapCommand& cmd) {
  if (s.readOnly) {
    Tagged(s, node, cmd.tag, "NO", "[READ-ONLY] Mailbox is read-only");
    return;
  }
  if (Expunge(s, node, cmd.tag, false)) Tagged(s, node, cmd.tag, "OK", "EXPUNGE completed");
}

void DoClose(ImapSession& s, NetNode* node, int32_t& state, ImapCommand& cmd) {
  if (!s.readOnly && !Expunge(s, node, cmd.tag, true)) return;
  CloseSelected(s, state);
  Tagged(s, node, cmd.tag, "OK", "CLOSE completed");
}

void DoUnselect(ImapSession& s, NetNode* node, int32_t& state, ImapCommand& cmd) {
  CloseSelected(s, state);
  Tagged(s, node, cmd.tag, "OK", "UNSELECT completed");
}

void DoAppend(ImapSession& s, NetNode* node, int32_t& state, ImapCommand& cmd) {
  // The messages went to s.appends; each one's place in the arguments is an
  // empty string. Before each: optionally a flag list and a date-time.
  std::vector<AppendedState> starts;
  size_t n = cmd.args.size(), p = 1;
  auto isMessage = [&](size_t i) {
    return i < n && cmd.args[i].kind == ImapItem::kString && cmd.args[i].text.empty();
  };
  bool ok = n >= 2 && cmd.args[0].kind != ImapItem::kList;
  while (ok && p < n) {
    AppendedState start;
    if (cmd.args[p].kind == ImapItem::kList)
      ok = ParseFlagList(cmd.args[p++], start.flags, &start.keywords);
    if (ok && p < n && !isMessage(p)) {
      if (cmd.args[p].kind != ImapItem::kString || !ParseImapDateTime(cmd.args[p].text, start.date)) {
        Tagged(s, node, cmd.tag, "BAD", "Bad APPEND date-time");
        return;
      }
      ++p;
    }
    ok = ok && isMessage(p++);
    starts.push_back(start);
  }
  if (!ok || starts.size() != s.appends.size()) {
    Tagged(s, node, cmd.tag, "BAD", "APPEND needs a mailbox, flags, a date and a literal message");
    return;
  }
  std::string path, why;
  if (!ResolveMailbox(s, cmd.args[0], path)) {
    Tagged(s, node, cmd.tag, "NO", "[TRYCREATE] No such mailbox");
    return;
  }
  std::vector<ImapAppendSource> messages;
  for (const ImapSession::AppendFile& file : s.appends) messages.push_back({file.fd.get(), {}, 0});
  std::vector<uint32_t> uids;
  uint32_t validity = 0;
  if (!AppendToFolder(s, path, messages, starts, uids, validity, why)) {
    Tagged(s, node, cmd.tag, "NO", why);
    return;
  }
  if (state == kImapSelected && s.folder && s.folder->path == path) {
    FolderAccess a;
    if (AccessFolder(*s.folder, a, why)) Reconcile(s, node, true);
  }
  Tagged(s, node, cmd.tag, "OK",
         "[APPENDUID " + std::to_string(validity) + " " + UidList(uids) + "] APPEND completed");
}

// Expunges the messages of `uids` only: the other \Deleted messages keep their
// flag through the rewrite (UIDPLUS's UID EXPUNGE, MOVE).
bool ExpungeOnly(ImapSession& s, NetNode* node, const std::vector<uint32_t>& uids, bool mark,
                 std::string& why) {
  MailboxLock lock;
  FolderAccess a;
  if (!AccessFolder(*s.folder, a, why) || !RelockForRewrite(s, a, lock, why)) return false;
  std::vector<uint32_t> spared;
  for (ImapMessage& m : s.folder->messages) {
    bool named = std::binary_search(uids.begin(), uids.end(), m.uid);
    if (named && mark) m.flags |= kFlagDeleted;
    if (!named && (m.flags & kFlagDeleted)) {
      spared.push_back(m.uid);
      m.flags &= uint8_t(~kFlagDeleted);
    }
  }
  std::vector<uint32_t> removed;
  bool ok = ExpungeImapFolder(*s.folder, a.fd, removed, why);
  for (uint32_t uid : spared)
    if (ImapMessage* m = FindByUid(*s.folder, uid)) m->flags |= kFlagDeleted;
  if (!ok) {
    for (uint32_t uid : uids)
      if (ImapMessage* m = FindByUid(*s.folder, uid); m && mark) m->flags &= uint8_t(~kFlagDeleted);
    SaveImapIndex(*s.folder);
    if (why.empty()) why = "Expunge failed";
    return false;
  }
  if (!spared.empty()) SaveImapIndex(*s.folder);
  if (!removed.empty()) WakeImapIdlers(s.folder->path);
  // The rewritten file is read at once, so the kept messages are known again.
  a.fd.reset();
  if (OpenFolder(*s.folder, a, why)) Reconcile(s, node, true);
  return true;
}

void DoCopy(ImapSession& s, NetNode* node, int32_t&, ImapCommand& cmd) {
  bool move = cmd.word == "MOVE";
  std::string path, why;
  if (cmd.args.size() != 2 || cmd.args[0].kind != ImapItem::kAtom) {
    Tagged(s, node, cmd.tag, "BAD", cmd.word + " needs a sequence set and a mailbox");
    return;
  }
  if (move && s.readOnly) {
    Tagged(s, node, cmd.tag, "NO", "[READ-ONLY] Mailbox is read-only");
    return;
  }
  if (!ResolveMailbox(s, cmd.args[1], path)) {
    Tagged(s, node, cmd.tag, "NO", "[TRYCREATE] No such mailbox");
    return;
  }
  std::vector<uint32_t> wanted;
  {
    FolderAccess a;
    if (!AccessFolder(*s.folder, a, why)) {
      Tagged(s, node, cmd.tag, "NO", why);
      return;
    }
    Reconcile(s, node, cmd.uid);
    std::vector<size_t> chosen;
    if (!ResolveSet(s, cmd.args[0].text, cmd.uid, chosen)) {
      Tagged(s, node, cmd.tag, "BAD", "Bad sequence set");
      return;
    }
    for (size_t i : chosen)
      if (!s.gone[i]) wanted.push_back(s.view[i]);
  }
  // One message at a time: the source is let go before the target is taken, so
  // two sessions copying in opposite directions never wait for each other.
  std::vector<uint32_t> from, to;
  uint32_t validity = 0;
  for (uint32_t uid : wanted) {
    std::string text;
    AppendedState copied;
    {
      FolderAccess a;
      if (!AccessFolder(*s.folder, a, why)) break;
      const ImapMessage* m = FindByUid(*s.folder, uid);
      if (!m) continue;
      if (!ReadImapText(a.fd.get(), *m, 0, m->textSize, text)) {
        why = "[SERVERBUG] Unable to read mailbox file";
        break;
      }
      copied.flags = m->flags & uint8_t(~kFlagDeleted);
      copied.keywords = m->keywords;
      copied.date = m->date;
    }
    std::vector<uint32_t> newUid;
    if (!AppendToFolder(s, path, {{-1, text, 0}}, {copied}, newUid, validity, why)) break;
    from.push_back(uid);
    to.push_back(newUid.front());
  }
  if (from.size() != wanted.size()) {
    Tagged(s, node, cmd.tag, "NO", why.empty() ? "Copy failed" : why);
    return;
  }
  std::string code = from.empty() ? std::string()
                                  : "[COPYUID " + std::to_string(validity) + " " + UidList(from) +
                                        " " + UidList(to) + "] ";
  if (move) {
    if (!code.empty()) Send(s, node, "* OK " + code + "Moved");
    if (!from.empty() && !ExpungeOnly(s, node, from, true, why)) {
      Tagged(s, node, cmd.tag, "NO", why);
      return;
    }
    Tagged(s, node, cmd.tag, "OK", std::string(cmd.uid ? "UID " : "") + "MOVE completed");
    return;
  }
  {
    FolderAccess a;
    if (s.folder->path == path && AccessFolder(*s.folder, a, why)) Reconcile(s, node, cmd.uid);
  }
  Tagged(s, node, cmd.tag, "OK", code + (cmd.uid ? "UID " : "") + "COPY completed");
}

