// DKIM signing of the mail this server sends on (RFC 6376, RFC 8463). The outgoing
// queue signs a message just before it leaves, after every header change the
// server makes on the way, so our own relaying never breaks the signature.
//
// Keys live per domain in <home>/dkim/<domain>/ (directory 0700, keys 0600): the
// file "selector" names the selector in force, "<selector>.rsa.pem" its 2048-bit
// RSA key and, when ed25519 signing is on, "<selector>.ed25519.pem", published
// under the selector "<selector>-ed" (one key record per name). A domain's
// keys are made on first use; a rotation makes a new selector and leaves the old
// keys in place (the old DNS record stays valid for mail still in transit).
//
// Which mail is ours: only what we submitted ourselves, which the spool envelope
// marks (taken from RelayNetworks or an authenticated session, or made here:
// bounces, notices, list posts, responder answers). Mail from outside that a
// local user forwards on is never signed, even when its sender claims one of our
// domains. A marked message is signed for the From: header's domain when that is
// ours (the host name, the outgoing alias or a secondary domain), else for the
// envelope sender's when ours; a marked message of neither goes unsigned.
//
// The library (libopendkim) does the canonicalisation, hashing and signing; this
// module finds the keys, feeds it the spool file and returns the header lines.
#pragma once

#include <string>
#include <string_view>
#include <vector>

// The signing values of the general-values table.
struct DkimSettings {
  bool sign = false;      // DkimSign: sign what leaves
  bool ed25519 = false;   // DkimEd25519: a second, ed25519-sha256 signature
};
DkimSettings ReadDkimSettings();

// One domain's keys in force.
struct DkimKeys {
  std::string domain;     // lower case
  std::string selector;
  std::string rsaPem;     // PKCS#8 PEM
  std::string ed25519Pem; // empty when none was asked for
};
// The selector the ed25519 key of `selector` is published under.
std::string Ed25519Selector(const std::string& selector);

// True when `domain` is a plain host name we may use as a directory name: labels
// of letters, digits, '-' and '_', separated by single dots, at most 253 bytes.
bool IsDkimDomainName(std::string_view domain);

// The directory of the keys: `home` (ending in '/') + "dkim/".
std::string DkimDirectory(const std::string& home);

// Reads the keys in force for `domain`; with `create` a domain without keys gets
// them now (and an ed25519 key is added to the selector in force when `ed25519`
// asks for one it lacks). False with `why` when there are none or they cannot be
// read or made.
bool LoadDkimKeys(const std::string& home, const std::string& domain, bool create, bool ed25519,
                  DkimKeys& out, std::string& why);
// Makes a new selector for `domain` with new keys and puts it in force.
bool RotateDkimKeys(const std::string& home, const std::string& domain, bool ed25519,
                    DkimKeys& out, std::string& why);
// The domains that have a key directory, sorted.
std::vector<std::string> ListDkimDomains(const std::string& home);

// The DNS records to publish for `keys`: one line per key,
// "<selector>._domainkey.<domain>. IN TXT \"v=DKIM1; k=rsa; p=...\"" (long
// values split into quoted strings of at most 255 bytes). False with `why` when a
// key cannot be read.
bool FormatDkimRecords(const DkimKeys& keys, std::vector<std::string>& lines, std::string& why);
// The TXT value alone of one key ("v=DKIM1; k=rsa; p=...").
bool DkimPublicRecord(const std::string& pem, bool ed25519, std::string& record,
                      std::string& why);

// The domain a message is signed for: the From: header's domain when ours, else
// the envelope sender's when ours; empty when the message is not ours to sign.
// `isOurs` tells whether a domain is one of ours.
std::string ChooseSigningDomain(std::string_view sender, std::string_view fromHeader,
                                bool (*isOurs)(std::string_view domain));
// The domain of an address or of a From: header value ("Name <a@b.c>", "a@b.c"),
// lower case; empty when there is none.
std::string AddressDomain(std::string_view text);
// True when `domain` is this server's: the host, the outgoing alias or a
// secondary domain.
bool IsOwnDomain(std::string_view domain);

// Signs the message in `fd` from `offset` to its end (CRLF lines, as spooled)
// with `keys`: returns the header lines to put in front of it, each ending in
// CRLF (one per key). False with `why` when it cannot be signed.
bool SignDkimMessage(int fd, long long offset, const DkimKeys& keys, std::string& headers,
                     std::string& why);
// The same for a message held in memory.
bool SignDkimText(std::string_view message, const DkimKeys& keys, std::string& headers,
                  std::string& why);

// What the outgoing queue calls: with `submittedHere` (the envelope's mark) finds
// the domain to sign for, loads (or makes) the keys and signs. Returns the header lines, or empty
// when nothing is to be signed; a message that should be signed but cannot be
// gets one log line (after `logPrefix`) and goes unsigned.
std::string SignOutgoingMessage(int fd, long long offset, const std::string& sender,
                                bool submittedHere, const std::string& logPrefix);
