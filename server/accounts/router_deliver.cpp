// The router's delivery of one recipient: resolving the account, the per-type
// step, the mailbox append, new spool files, receipts and bounces.
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstring>

#include "platform/errors.h"
#include "platform/registry.h"
#include "server/accounts/mailbox.h"
#include "server/accounts/router_internal.h"
#include "server/core/config.h"
#include "server/core/log.h"
#include "server/core/server_state.h"
#include "server/spool/bounce.h"
#include "server/spool/headers.h"

namespace {

constexpr const char* kRouterAgent = "router";
constexpr const char* kUnknownAccount = "unknown";
constexpr const char* kRootAccount = "root";
constexpr const char* kOwnerPrefix = "owner-";
constexpr const char* kSpecialFormatError = "Error processing special format.";
constexpr const char* kReceiptSubject = "Receipt for received message";
constexpr const char* kReceiptText = "Message delivered:\r\nSubject: '%s'\r\nTo: '%s@%s'";
constexpr size_t kFirstLineBytes = 512;
constexpr const char* kBootIdFile = "/proc/sys/kernel/random/boot_id";

// The words of the per-type log lines, by account type.
const char* TypeWord(AccountType type) {
  switch (type) {
    case kAccountUser: return "user";
    case kAccountForward: return "forward";
    case kAccountList: return "mailing list";
    case kAccountResponder: return "responder";
    case kAccountCustom: return "custom";
    default: return "unknown";
  }
}

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

bool StartsWithNoCase(std::string_view s, std::string_view p) {
  return s.size() >= p.size() && strncasecmp(s.data(), p.data(), p.size()) == 0;
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && (IsBlank(s.back()) || s.back() == '\r')) s.remove_suffix(1);
  return s;
}

// The next blank-separated word of `s` from `pos`.
std::string_view NextWord(std::string_view s, size_t& pos) {
  while (pos < s.size() && IsBlank(s[pos])) ++pos;
  size_t start = pos;
  while (pos < s.size() && !IsBlank(s[pos])) ++pos;
  return s.substr(start, pos - start);
}

bool IsRemoteAddress(const std::string& a) { return a.find_first_of("@!") != std::string::npos; }

bool HasControl(const std::string& a) {
  return std::any_of(a.begin(), a.end(), [](char c) { return c == '\r' || c == '\n' || c == '\0'; });
}

CopyOptions RouterCopyOptions(const std::string& sender, const std::string& to,
                              const std::string& spoolPath, const std::string& domain,
                              bool mailbox) {
  const Settings& s = ServerSettings();
  CopyOptions o;
  o.mailboxMode = mailbox;
  o.processHeaders = true;
  o.identity = ServerHostIdentity();
  if (!domain.empty()) {
    // A secondary domain's mail is not rewritten with the primary's aliases.
    o.identity.incomingAliases.clear();
    o.identity.outgoingAlias.clear();
  }
  o.agent = kRouterAgent;
  o.productText = s.softwareName;
  o.fourDigitYear = s.useFourDigitYear;
  o.missing.from = sender;
  o.missing.to = to;
  o.missing.idName = spoolPath;
  o.useAccounts = true;
  o.domain = domain;
  return o;
}

// True when the message at `offset` already starts with this host's local stamp,
// so that a copy would add none.
bool StartsWithLocalStamp(int fd, long long offset) {
  char buf[kFirstLineBytes];
  ssize_t n = ::pread(fd, buf, sizeof buf, off_t(offset));
  if (n <= 0) return false;
  std::string_view text(buf, size_t(n));
  return IsLocalStamp(text.substr(0, text.find('\n')), ServerSettings().localNode);
}

// Writes a new spool file with `addresses` and a copy of the message and commits
// it. Copies into the incoming queue always carry one more stamp of this host, so
// that forwards between local accounts that point at each other are caught by the
// loop count like any other loop.
bool WriteSpoolCopy(const std::string& sender, const std::vector<std::string>& addresses,
                    bool incoming, int spoolFd, const std::string& spoolPath,
                    long long messageOffset, const std::string& domain, std::string& newPath,
                    bool& systemError, std::string& why, bool submittedHere,
                    bool commit = true) {
  const Settings& s = ServerSettings();
  systemError = false;
  for (const std::string& a : addresses) {
    if (a.empty() || HasControl(a)) {
      why = "Invalid address: " + VisibleText(a);
      return false;
    }
  }
  UniqueFd out = CreateSpoolTemp(newPath, incoming, s.incomingDirectory, s.outgoingDirectory);
  if (!out.valid()) {
    why = "Unable to get outgoing file handle.";
    systemError = true;
    return false;
  }
  auto fail = [&](std::string text) {
    why = std::move(text);
    systemError = true;
    out.reset();
    SpoolDelete(newPath);
    return false;
  };
  std::string header, envelopeWhy;
  if (!FormatEnvelope(sender, addresses, header, envelopeWhy, submittedHere)) {
    why = envelopeWhy;
    out.reset();
    SpoolDelete(newPath);
    return false;
  }
  if (!SpoolWrite(out.get(), header)) return fail("Unable to write send file header.");
  if (incoming && StartsWithLocalStamp(spoolFd, messageOffset) &&
      !WriteReceivedLine(out.get(), s.localNode, kRouterAgent, s.softwareName, s.useFourDigitYear,
                         nullptr))
    return fail("Unable to write send file header.");
  std::string copyWhy;
  CopyOptions o = RouterCopyOptions(sender, addresses.front(), spoolPath, domain, false);
  if (!CopyMessageWithHeaders(spoolFd, out.get(), messageOffset, o, copyWhy))
    return fail("Error copying file to destination:" + copyWhy);
  // An outgoing copy keeps the age of the message it came from: the retry queue
  // expires messages by it.
  FileTime age;
  if (!incoming && GetFileModifiedTime(spoolFd, age)) SetFileModifiedTime(out.get(), age);
  if (!commit) {
    // The caller commits it (with others): only the close is checked here.
    if (!SpoolClose(out)) return fail("Error renaming outgoing file.");
    return true;
  }
  std::string commitWhy;
  if (!CloseAndCommitSpoolFile(out, newPath, incoming, s.incomingDirectory, s.outgoingDirectory,
                               commitWhy)) {
    why = "Error renaming outgoing file.";
    systemError = true;
    return false;
  }
  return true;
}

// Step 7 for one address: a new incoming (forward, alias off the machine,
// handler re-routing) or outgoing (smart host) file.
RecipientOutcome Respool(SpoolWork& work, const std::string& address, bool incoming,
                         const std::string& domain) {
  LogEvent(0, kLogRouting, "Attempting to route '%s'.", VisibleText(address).c_str());
  std::string newPath, why;
  bool systemError = false;
  if (!WriteSpoolCopy(work.envelope.sender, {address}, incoming, work.fd.get(), work.path,
                      work.envelope.messageOffset, domain, newPath, systemError, why,
                      work.envelope.submittedHere))
    return BounceRecipient(work, why, systemError) ? RecipientOutcome::kHandled
                                                   : RecipientOutcome::kUnhandled;
  LogEvent(0, kLogRouting, incoming ? "Incoming file %s generated from %s"
                                    : "Outgoing file %s generated from %s",
           newPath.c_str(), work.path.c_str());
  (incoming ? work.createdIncoming : work.createdOutgoing) = true;
  LogEvent(0, kLogRouting, "File '%s' routed.", work.path.c_str());
  return RecipientOutcome::kHandled;
}

RecipientOutcome Bounce(SpoolWork& work, const std::string& reason, bool systemError) {
  return BounceRecipient(work, reason, systemError) ? RecipientOutcome::kHandled
                                                    : RecipientOutcome::kUnhandled;
}

// Follows alias records from `account`. Returns the type reached; an alias that
// leaves the machine gives kAccountForward with `remote` set to its target.
AccountType FollowAliases(std::string& account, const std::string& domain, std::string& remote) {
  AccountType type = GetAccountType(account, domain);
  for (int step = 0; type == kAccountAlias; ++step) {
    std::string target;
    if (step >= kMaxAliasSteps || !GetAliasTarget(account, target, domain) || target.empty())
      return kAccountNone;
    if (IsRemoteAddress(target)) {
      remote = target;
      return kAccountForward;
    }
    account = target;
    type = GetAccountType(account, domain);
  }
  return type;
}

void SendReceipt(SpoolWork& work, const std::string& name, const std::string& domain) {
  const RoutingHeaders& h = work.headers;
  if (h.receiptTo.empty() || h.bulk) return;
  std::string text = FormatText(kReceiptText, h.subject.c_str(), name.c_str(),
                                DomainShown(domain).c_str());
  std::string path, why;
  if (SendNotice(h.receiptTo, kReceiptSubject, text, path, why)) {
    LogEvent(0, kLogRouting, "Generated %s as receipt for '%s'.", path.c_str(),
             VisibleText(h.receiptTo).c_str());
    work.createdIncoming = true;
  } else {
    LogEvent(0, kLogAlways, "Unable to send receipt to '%s': %s",
             VisibleText(h.receiptTo).c_str(), why.c_str());
  }
}

// Step 6: the append under the mailbox lock. The append is flushed by the group
// commit before the line is marked.
RecipientOutcome DeliverToMailbox(SpoolWork& work, const std::string& account,
                                  const std::string& name, const std::string& recipient,
                                  const std::string& domain, const std::string& key,
                                  CommitGroup& group) {
  const Settings& s = ServerSettings();
  MailboxLock lock;
  bool timedOut = false;
  // Nodes sharing the mailboxes deliver to the same ones side by side: the router
  // waits out another node's append (a few milliseconds) instead of parking the
  // message until its next look at parked files.
  uint32_t waitMs = NamedLocksSpanNodes() ? kMailbox.routerNodesLockMs : kMailbox.routerLockMs;
  if (!LockMailbox(account, waitMs, lock, timedOut)) {
    LogEvent(0, kLogRouting,
             timedOut ? "Timeout waiting for access to %s" : "Unable to create mutex for access to %s",
             account.c_str());
    return RecipientOutcome::kDeferred;
  }
  MailboxAppend append;
  // The account is read again to open its mailbox: a registry database lost in
  // between makes it look unknown, and the recipient must wait, never bounce.
  uint64_t unreachable = RegUnreachableFailures();
  AppendOpen opened =
      OpenMailboxForAppend(account, domain, s.allowUnknown, work.envelope.sender, append, key);
  if (opened == AppendOpen::kUnknown && RegUnreachableFailures() != unreachable) {
    LogEvent(0, kLogRouting, "Registry out of reach looking up '%s'; will retry later.",
             account.c_str());
    return RecipientOutcome::kDeferred;
  }
  switch (opened) {
    case AppendOpen::kAlreadyDone:
      // Appended before the process died, its mark lost: only the mark is missing.
      LogEvent(0, kLogRouting, "Already delivered to %s before a restart: '%s'.", account.c_str(),
               work.path.c_str());
      return RecipientOutcome::kHandled;
    case AppendOpen::kDiscard:
      LogEvent(0, kLogRouting, "File '%s' routed.", work.path.c_str());
      return RecipientOutcome::kHandled;
    case AppendOpen::kUnknown:
      return Bounce(work, FormatText("User '%s' unknown", account.c_str()), false);
    case AppendOpen::kBusy:
      LogEvent(0, kLogRouting, "Unable to open mailbox for %s, will retry later", account.c_str());
      return RecipientOutcome::kDeferred;
    case AppendOpen::kSeparatorFailed:
      return Bounce(work, FormatText("Error opening mailbox file for user '%s'.", account.c_str()),
                    false);
    case AppendOpen::kOpened: break;
  }
  LogEvent(0, kLogRouting, "Attempt to route '%s' to mailbox for '%s'.",
           PathFileName(work.path).c_str(), account.c_str());
  std::string why;
  CopyOptions o = RouterCopyOptions(work.envelope.sender, recipient, work.path, domain, true);
  if (!CopyMessageWithHeaders(work.fd.get(), append.fd.get(), work.envelope.messageOffset, o, why)) {
    int err = LastWinError();
    AbandonMailboxAppend(append);
    if (err == kErrDiskFull || err == kErrHandleDiskFull) {
      // A full disk is temporary: the recipient waits instead of bouncing, and
      // the mailbox was cut back to where it was.
      LogEvent(0, kLogAlways, "Error copying file to destination:%s (disk full, will retry)",
               why.c_str());
      return RecipientOutcome::kDeferred;
    }
    return Bounce(work, "Error copying file to destination:" + why, true);
  }
  if (!FinishMailboxAppend(append, why, false)) return Bounce(work, why, true);
  UnlockMailbox(lock);
  if (RouterHandlers().mailboxAppended) RouterHandlers().mailboxAppended(append.path);
  group.mailboxes.push_back(append.path);
  group.accounts.push_back(account);
  if (append.created) group.newFiles.push_back(append.path);
  CountMessage(MessageCount::kDelivered);

  // The carbon copy follows the delivery (not before it), so a mailbox that is
  // busy for a while does not make a copy at every retry.
  std::string cc;
  if (GetCarbonCopy(account, cc, domain) && !cc.empty()) {
    std::string ccWhy;
    if (CopyToIncoming(work.envelope.sender, cc, work.fd.get(), work.path,
                       work.envelope.messageOffset, ccWhy, work.envelope.submittedHere))
      work.createdIncoming = true;
    else
      LogEvent(0, kLogAlways, "Unable to send CC: %s", ccWhy.c_str());
  }
  SendReceipt(work, name, domain);
  if (RouterHandlers().queueRemoteFinger) RouterHandlers().queueRemoteFinger(account, "", 0, 1);
  LogEvent(0, kLogRouting, "File '%s' routed.", work.path.c_str());
  return RecipientOutcome::kHandled;
}

}  // namespace

std::string DeliveryKey(const SpoolWork& work, size_t index) {
  static const std::string boot = [] {
    std::string id;
    ReadWholeFile(kBootIdFile, id);
    id.erase(std::remove_if(id.begin(), id.end(), [](char c) { return !std::isxdigit((unsigned char)c); }),
             id.end());
    return id.empty() ? std::string("0") : id.substr(0, 12);
  }();
  struct stat st {};
  ::fstat(work.fd.get(), &st);
  std::string name = PathFileName(work.path);
  std::replace_if(name.begin(), name.end(), [](char c) { return c <= ' '; }, '_');
  return FormatText("%s-%s-%llu-%lld", boot.c_str(), name.c_str(), (unsigned long long)st.st_ino,
                    work.envelope.recipients[index].lineOffset);
}

std::string DomainShown(const std::string& domain) {
  if (!domain.empty()) return domain;
  const Settings& s = ServerSettings();
  return s.outgoingAlias.empty() ? s.localNode : s.outgoingAlias;
}

std::string CutReason(const std::string& reason) {
  return reason.size() > kRouter.reasonChars ? reason.substr(0, kRouter.reasonChars) : reason;
}

void ScanRoutingHeaders(SpoolWork& work) {
  RoutingHeaders& h = work.headers;
  if (h.scanned) return;
  h = RoutingHeaders();
  h.scanned = true;
  std::string block(kRouter.headerScanBytes, '\0');
  ssize_t n = ::pread(work.fd.get(), block.data(), block.size(), off_t(work.envelope.messageOffset));
  block.resize(n > 0 ? size_t(n) : 0);
  const std::string& host = ServerSettings().localNode;
  size_t pos = 0;
  while (pos < block.size()) {
    size_t eol = block.find('\n', pos);
    std::string_view line(block.data() + pos, (eol == std::string::npos ? block.size() : eol) - pos);
    pos = eol == std::string::npos ? block.size() : eol + 1;
    line = Trim(line);
    if (line.empty()) break;
    size_t w = 0;
    std::string_view name = NextWord(line, w);
    if (strncasecmp(name.data(), "Received:", name.size()) == 0 && name.size() == 9) {
      std::string_view by = NextWord(line, w);
      std::string_view who = NextWord(line, w);
      if (by.size() == 2 && strncasecmp(by.data(), "by", 2) == 0 && who.size() == host.size() &&
          strncasecmp(who.data(), host.data(), host.size()) == 0)
        ++h.ownReceived;
    } else if (StartsWithNoCase(line, "Return-receipt-to:")) {
      h.receiptTo = std::string(Trim(line.substr(18)).substr(0, kRouter.receiptAddressChars));
    } else if (StartsWithNoCase(line, "Subject:")) {
      h.subject = std::string(Trim(line.substr(8)).substr(0, kRouter.subjectChars));
    } else if (StartsWithNoCase(line, "Precedence:")) {
      std::string_view v = Trim(line.substr(11));
      h.bulk = v.size() == 4 && strncasecmp(v.data(), "bulk", 4) == 0;
    }
  }
}

bool BounceToRoot(const std::string& path, int fd, const std::string& reason, std::string& pathOut,
                  std::string& why) {
  BounceRequest r;
  r.recipient = FormatText("root@%s", ServerSettings().localNode.c_str());
  r.reason = CutReason(reason);
  r.messagePath = path;
  r.messageHandle = fd;
  r.skipEnvelope = true;
  r.incoming = true;
  return BounceMessage(r, pathOut, why);
}

bool BounceRecipient(SpoolWork& work, const std::string& reasonText, bool systemError) {
  std::string reason = CutReason(reasonText);
  const std::string& sender = work.envelope.sender;
  LogEvent(0, kLogAlways, "Warn: File '%s' bouncing back to '%s'.", work.path.c_str(),
           VisibleText(sender).c_str());
  bool written = false;
  std::string path, why;
  if (IsMailerDaemon(sender)) {
    // A report about a report goes to root only.
    systemError = true;
  } else {
    BounceRequest r;
    r.recipient = sender;
    r.reason = reason;
    r.messagePath = work.path;
    r.messageHandle = work.fd.get();
    r.messageOffset = work.envelope.messageOffset;
    r.skipEnvelope = false;
    r.incoming = true;
    if (BounceMessage(r, path, why)) {
      LogEvent(0, kLogRouting, "Bouncing to '%s' from '%s'", path.c_str(), VisibleText(sender).c_str());
      written = true;
    } else {
      LogEvent(0, kLogAlways, "Error bouncing to user: %s", why.c_str());
      systemError = true;
    }
  }
  if (systemError) {
    if (BounceToRoot(work.path, work.fd.get(), reason, path, why)) {
      LogEvent(0, kLogAlways, "Warn: File '%s' bounced to root: %s.", work.path.c_str(),
               reason.c_str());
      written = true;
    } else {
      LogEvent(0, kLogAlways, "Error bouncing to root: %s", why.c_str());
    }
  }
  if (written) work.createdIncoming = true;
  return written;
}

std::vector<RecipientOutcome> RouteRemoteRecipients(SpoolWork& work,
                                                    const std::vector<size_t>& indices,
                                                    CommitGroup& group) {
  HostIdentity id = ServerHostIdentity();
  NormalizeOptions options;
  options.strip = true;
  options.mapDomains = true;
  std::vector<std::string> addresses;
  for (size_t i : indices) {
    NormalizedAddress n;
    const std::string& text = work.envelope.recipients[i].address;
    addresses.push_back(NormalizeAddress(text, id, options, n) && !n.address.empty() ? n.address
                                                                                     : text);
  }
  LogEvent(0, kLogRouting, "Attempting to route '%s'.", work.path.c_str());
  std::vector<RecipientOutcome> outcomes;
  std::vector<size_t> runs;
  std::string why;
  if (!SplitEnvelope(work.envelope.sender, addresses, runs, why, work.envelope.submittedHere)) {
    outcomes.assign(indices.size(), Bounce(work, why, false));
    return outcomes;
  }
  // One outgoing file per run that fits, committed with the group; a run that
  // fails is bounced together with every run after it, so the sender gets one
  // bounce.
  size_t first = 0;
  for (size_t run : runs) {
    std::vector<std::string> runAddresses(addresses.begin() + long(first),
                                          addresses.begin() + long(first + run));
    std::string newPath;
    bool systemError = false;
    if (!WriteSpoolCopy(work.envelope.sender, runAddresses, false, work.fd.get(), work.path,
                        work.envelope.messageOffset, "", newPath, systemError, why,
                        work.envelope.submittedHere, false)) {
      outcomes.resize(indices.size(), Bounce(work, why, systemError));
      return outcomes;
    }
    group.copies.push_back(PendingCopy{newPath, &work});
    outcomes.resize(first + run, RecipientOutcome::kHandled);
    first += run;
  }
  LogEvent(0, kLogRouting, "File '%s' routed.", work.path.c_str());
  return outcomes;
}

RecipientOutcome RouteLocalRecipient(SpoolWork& work, size_t index, const std::string& name,
                                     const std::string& domain, CommitGroup& group) {
  const Settings& s = ServerSettings();
  const std::string& recipient = work.envelope.recipients[index].address;
  ScanRoutingHeaders(work);
  if (work.headers.ownReceived > kRouter.maxOwnReceived)
    return Bounce(work,
                  FormatText("Too many bounces have occured: %d, max = %d",
                             work.headers.ownReceived, kRouter.maxOwnReceived),
                  false);

  if (domain.empty())
    LogEvent(0, kLogRouting, "Searching for user: %s (%s)", name.c_str(),
             VisibleText(recipient).c_str());
  else
    LogEvent(0, kLogRouting, "Searching in %s for user: %s (%s)", domain.c_str(), name.c_str(),
             VisibleText(recipient).c_str());

  // A registry database out of reach answers every lookup with "none": the
  // recipient waits for the next pass instead of bouncing as unknown.
  uint64_t unreachable = RegUnreachableFailures();
  std::string account = name;
  // "owner-<list>" reaches the owner of that account.
  size_t prefix = strlen(kOwnerPrefix);
  if (GetAccountType(account, domain) == kAccountNone && account.size() > prefix &&
      strncasecmp(account.c_str(), kOwnerPrefix, prefix) == 0) {
    std::string owner;
    std::string list = account.substr(prefix);
    if (GetAccountType(list, domain) != kAccountNone && GetListOwner(list, owner, domain) &&
        !owner.empty()) {
      if (IsRemoteAddress(owner)) return Respool(work, owner, true, domain);
      account = owner;
    }
  }
  std::string remote;
  AccountType type = FollowAliases(account, domain, remote);
  if (RegUnreachableFailures() != unreachable) {
    LogEvent(0, kLogRouting, "Registry out of reach looking up '%s'; will retry later.",
             name.c_str());
    return RecipientOutcome::kDeferred;
  }
  if (type == kAccountNone) {
    if (s.forwardToSmarthost && !s.smartHost.empty()) {
      LogEvent(0, kLogRouting, "Unable to route to user '%s'. Rerouting to smarthost.", name.c_str());
      std::string host = s.smartHost.substr(0, s.smartHost.find(';'));
      return Respool(work, name + "@" + host, false, domain);
    }
    if (s.allowUnknown) {
      LogEvent(0, kLogRouting, "Unable to route to user '%s'. Rerouting to unknown user alias",
               name.c_str());
      account = kUnknownAccount;
      type = FollowAliases(account, domain, remote);
    }
    // An unknown name bounces to the sender; the other recipients of the file
    // are still delivered.
    if (type == kAccountNone) return Bounce(work, FormatText("User '%s' unknown", name.c_str()), false);
  }
  if (!remote.empty()) return Respool(work, remote, true, domain);
  LogEvent(0, kLogRouting, "Resolved to user: %s", account.c_str());

  LogEvent(0, kLogRouting, "Resolving to account type: %s", TypeWord(type));
  RecipientOutcome outcome = RecipientOutcome::kHandled;
  switch (type) {
    case kAccountUser:
      if (!domain.empty()) {
        outcome = Bounce(work, "Secondary domain cannot contain user accounts.", false);
        break;
      }
      LogEvent(0, kLogRouting, "Resolved to account type: %s", TypeWord(type));
      return DeliverToMailbox(work, account, name, recipient, domain, DeliveryKey(work, index),
                              group);
    case kAccountForward: {
      std::string address;
      if (!GetForwardAddress(account, address, domain) || address.empty() || HasControl(address)) {
        outcome = Bounce(work, "Error getting proper forward address.", false);
        break;
      }
      outcome = Respool(work, address, true, domain);
      break;
    }
    case kAccountList:
    case kAccountResponder:
    case kAccountCustom: {
      const RouterHooks& hooks = RouterHandlers();
      SpecialHandler handler = type == kAccountList        ? hooks.list
                               : type == kAccountResponder ? hooks.responder
                                                           : hooks.custom;
      SpecialDelivery in;
      in.account = account;
      in.type = type;
      in.sender = work.envelope.sender;
      in.spoolPath = work.path;
      in.spoolFd = work.fd.get();
      in.messageOffset = work.envelope.messageOffset;
      in.domain = domain;
      in.domainShown = DomainShown(domain);
      in.recipient = recipient;
      in.isInFile = work.isInFile;
      SpecialResult out;
      if (handler) handler(in, out);
      if (!out.ok) {
        outcome = Bounce(work, out.reason + kSpecialFormatError, false);
        break;
      }
      if (out.reroute && !out.rerouteAddress.empty()) {
        outcome = Respool(work, out.rerouteAddress, true, domain);
      } else if (out.deferred) {
        LogEvent(0, kLogRouting, "Handler of %s not finished, will retry later", account.c_str());
        outcome = RecipientOutcome::kDeferred;
      } else {
        LogEvent(0, kLogRouting, "File '%s' routed.", work.path.c_str());
      }
      break;
    }
    default:
      outcome = Bounce(work, FormatText("User '%s' unknown", name.c_str()), false);
      break;
  }
  LogEvent(0, kLogRouting, "Resolved to account type: %s", TypeWord(type));
  return outcome;
}

bool CopyToIncoming(const std::string& sender, const std::string& address, int spoolFd,
                    const std::string& spoolPath, long long messageOffset, std::string& why,
                    bool submittedHere) {
  std::string newPath;
  bool systemError = false;
  if (!WriteSpoolCopy(sender, {address}, true, spoolFd, spoolPath, messageOffset, "", newPath,
                      systemError, why, submittedHere))
    return false;
  LogEvent(0, kLogRouting, "Copied file '%s' from file '%s'.", newPath.c_str(), spoolPath.c_str());
  return true;
}
