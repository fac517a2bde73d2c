// DKIM keys and signing (libopendkim for the signature, OpenSSL for the keys).
#include "server/mailauth/dkim_sign.h"

#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <memory>
#include <mutex>
#include <set>

#include "platform/files.h"
#include "server/accounts/accounts.h"
#include "server/core/config.h"
#include "server/core/log.h"
#include "server/mailauth/opendkim_c.h"
#include "server/spool/headers.h"

namespace {

constexpr const char* kSelectorFile = "selector";
constexpr const char* kRsaSuffix = ".rsa.pem";
constexpr const char* kEd25519Suffix = ".ed25519.pem";
constexpr const char* kFirstSelector = "corvel1";
constexpr const char* kSelectorStem = "corvel";
constexpr int kRsaBits = 2048;
constexpr size_t kMaxSelector = 63;
constexpr size_t kMaxKeyFile = 16384;
constexpr size_t kTxtChunk = 255;
constexpr size_t kReadBlock = 65536;
// Only the head of a message is searched for its From: field.
constexpr size_t kHeaderScan = 65536;

// The header fields signed when present (RFC 6376 5.4.1's list, the list
// headers of RFC 2369 and 2919 among them).
const char* const kSignedHeaders[] = {
    "from", "to", "cc", "subject", "date", "message-id", "reply-to", "sender",
    "in-reply-to", "references", "mime-version", "content-type",
    "content-transfer-encoding", "list-id", "list-help", "list-unsubscribe",
    "list-subscribe", "list-post", "list-owner", "list-archive", nullptr};

// Key making and rotation of one process go one at a time; between processes
// (the server and corveladm) the selector file is replaced by a rename.
std::mutex& KeyLock() {
  static std::mutex m;
  return m;
}

struct PkeyFree {
  void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};
struct BioFree {
  void operator()(BIO* b) const { BIO_free(b); }
};
using Pkey = std::unique_ptr<EVP_PKEY, PkeyFree>;
using Bio = std::unique_ptr<BIO, BioFree>;

std::string Lower(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = char(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

std::string Trim(std::string_view s) {
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.remove_suffix(1);
  return std::string(s);
}

bool IsSelectorName(std::string_view s) {
  if (s.empty() || s.size() > kMaxSelector) return false;
  for (char c : s)
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-') return false;
  return true;
}

std::string DomainDirectory(const std::string& home, const std::string& domain) {
  return DkimDirectory(home) + domain + "/";
}

std::string MakeKeyPem(bool ed25519, std::string& why) {
  Pkey key(ed25519 ? EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519")
                   : EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", size_t(kRsaBits)));
  if (!key) {
    why = "the key could not be made";
    return {};
  }
  Bio bio(BIO_new(BIO_s_mem()));
  if (!bio || !PEM_write_bio_PrivateKey(bio.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr)) {
    why = "the key could not be written";
    return {};
  }
  char* data = nullptr;
  long n = BIO_get_mem_data(bio.get(), &data);
  return std::string(data, size_t(n));
}

// Writes `text` to `path` (which must not exist yet) with mode 0600, on stable
// storage before it returns.
bool WritePrivate(const std::string& path, const std::string& text, std::string& why) {
  std::string temp = path + ".tmp";
  ::unlink(temp.c_str());
  if (!CreatePrivateFile(temp, 0600, &why)) return false;
  UniqueFd fd = OpenShared(temp, O_WRONLY);
  bool ok = fd.valid() && WriteAll(fd.get(), text.data(), text.size()) && SyncFile(fd.get());
  fd.reset();
  if (!ok) {
    ::unlink(temp.c_str());
    why = "cannot write " + temp;
    return false;
  }
  if (RenameReplace(temp, path) != 0) {
    ::unlink(temp.c_str());
    why = "cannot rename " + temp;
    return false;
  }
  SyncParentDirectory(path);
  return true;
}

bool ReadKeyFile(const std::string& path, std::string& out) {
  return ReadRegularFile(path, kMaxKeyFile, out) && !out.empty();
}

// Makes the keys of `selector` that are missing and puts the selector in force.
bool MakeSelector(const std::string& dir, const std::string& selector, bool ed25519,
                  std::string& why) {
  std::string rsaPath = dir + selector + kRsaSuffix;
  if (!FileExists(rsaPath)) {
    std::string pem = MakeKeyPem(false, why);
    if (pem.empty() || !WritePrivate(rsaPath, pem, why)) return false;
  }
  std::string edPath = dir + selector + kEd25519Suffix;
  if (ed25519 && !FileExists(edPath)) {
    std::string pem = MakeKeyPem(true, why);
    if (pem.empty() || !WritePrivate(edPath, pem, why)) return false;
  }
  return WritePrivate(dir + kSelectorFile, selector + "\n", why);
}

bool ReadSelector(const std::string& dir, std::string& selector) {
  std::string text;
  if (!ReadRegularFile(dir + kSelectorFile, 256, text)) return false;
  selector = Trim(text);
  return IsSelectorName(selector);
}

bool ReadKeys(const std::string& dir, const std::string& domain, bool ed25519, DkimKeys& out,
              std::string& why) {
  out = DkimKeys();
  out.domain = domain;
  if (!ReadSelector(dir, out.selector)) {
    why = "no DKIM key for " + domain;
    return false;
  }
  if (!ReadKeyFile(dir + out.selector + kRsaSuffix, out.rsaPem)) {
    why = "cannot read the DKIM key " + dir + out.selector + kRsaSuffix;
    return false;
  }
  if (ed25519 && !ReadKeyFile(dir + out.selector + kEd25519Suffix, out.ed25519Pem)) {
    why = "cannot read the DKIM key " + dir + out.selector + kEd25519Suffix;
    return false;
  }
  return true;
}

std::string Base64(const unsigned char* data, size_t n) {
  std::string out(4 * ((n + 2) / 3) + 1, '\0');
  int len = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()), data, int(n));
  out.resize(size_t(std::max(len, 0)));
  return out;
}

DKIM_LIB* SigningLibrary() {
  static DKIM_LIB* lib = [] {
    DKIM_LIB* l = dkim_init(nullptr, nullptr);
    if (l != nullptr) {
      dkim_options(l, DKIM_OP_SETOPT, DKIM_OPTS_SIGNHDRS, const_cast<char**>(kSignedHeaders),
                   sizeof(char**));
    }
    return l;
  }();
  return lib;
}

struct DkimFree {
  void operator()(DKIM* d) const { dkim_free(d); }
};
using DkimHandle = std::unique_ptr<DKIM, DkimFree>;

// The keys already found readable, by their text. The library takes the PEM text
// and decodes it itself for every message; decoding it here as well, to keep a
// key it cannot read from reaching it, would double the most costly step of
// signing (OpenSSL's decoders cost more than the RSA signature itself). So each
// key text is decoded here once per process. Bounded: a full set starts afresh.
constexpr size_t kMaxCheckedKeys = 64;

std::mutex& CheckedKeysLock() {
  static std::mutex m;
  return m;
}
std::set<std::string>& CheckedKeys() {
  static std::set<std::string> keys;
  return keys;
}

// True when `pem` holds a private key of type `wanted` (EVP_PKEY_RSA or
// EVP_PKEY_ED25519).
bool IsReadableKey(const std::string& pem, int wanted) {
  std::string tagged = std::to_string(wanted) + ":" + pem;
  {
    std::lock_guard<std::mutex> g(CheckedKeysLock());
    if (CheckedKeys().count(tagged) != 0) return true;
  }
  Bio bio(BIO_new_mem_buf(pem.data(), int(pem.size())));
  Pkey key(bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr) : nullptr);
  if (!key || EVP_PKEY_id(key.get()) != wanted) return false;
  std::lock_guard<std::mutex> g(CheckedKeysLock());
  if (CheckedKeys().size() >= kMaxCheckedKeys) CheckedKeys().clear();
  CheckedKeys().insert(std::move(tagged));
  return true;
}

// Feeds the message to every handle through `read` (which fills a block and
// returns its size, 0 at the end, -1 on failure) and collects the headers.
template <typename Reader>
bool SignWith(const DkimKeys& keys, Reader read, std::string& headers, std::string& why) {
  DKIM_LIB* lib = SigningLibrary();
  if (lib == nullptr) {
    why = "the DKIM library could not start";
    return false;
  }
  struct Job {
    const std::string* pem;
    dkim_alg_t alg;
    std::string selector;
  };
  std::vector<Job> jobs{{&keys.rsaPem, DKIM_SIGN_RSASHA256, keys.selector}};
  if (!keys.ed25519Pem.empty())
    jobs.push_back({&keys.ed25519Pem, DKIM_SIGN_ED25519SHA256, Ed25519Selector(keys.selector)});
  std::vector<DkimHandle> handles;
  for (const Job& j : jobs) {
    // The library leaks what it took for a key it cannot read: such a key never
    // reaches it.
    int wanted = j.alg == DKIM_SIGN_ED25519SHA256 ? EVP_PKEY_ED25519 : EVP_PKEY_RSA;
    if (!IsReadableKey(*j.pem, wanted)) {
      why = std::string("the ") + (wanted == EVP_PKEY_RSA ? "RSA" : "ed25519") +
            " key of selector " + j.selector + " cannot be read";
      return false;
    }
    DKIM_STAT status = DKIM_STAT_OK;
    DKIM* d = dkim_sign(lib, reinterpret_cast<const unsigned char*>("corvel"), nullptr,
                        reinterpret_cast<dkim_sigkey_t>(const_cast<char*>(j.pem->c_str())),
                        reinterpret_cast<const unsigned char*>(j.selector.c_str()),
                        reinterpret_cast<const unsigned char*>(keys.domain.c_str()),
                        DKIM_CANON_RELAXED, DKIM_CANON_RELAXED, j.alg, -1, &status);
    if (d == nullptr) {
      why = std::string("the signer did not start: ") + dkim_getresultstr(status);
      return false;
    }
    handles.emplace_back(d);
  }
  std::string block(kReadBlock, '\0');
  for (;;) {
    long n = read(block.data(), block.size());
    if (n < 0) {
      why = "the message could not be read";
      return false;
    }
    if (n == 0) break;
    for (DkimHandle& h : handles) {
      DKIM_STAT st = dkim_chunk(h.get(), reinterpret_cast<u_char*>(block.data()), size_t(n));
      if (st != DKIM_STAT_OK) {
        const char* e = dkim_geterror(h.get());
        why = std::string("the message could not be signed: ") + (e ? e : dkim_getresultstr(st));
        return false;
      }
    }
  }
  std::string out;
  for (DkimHandle& h : handles) {
    DKIM_STAT st = dkim_chunk(h.get(), nullptr, 0);
    if (st == DKIM_STAT_OK) st = dkim_eom(h.get(), nullptr);
    unsigned char* value = nullptr;
    size_t len = 0;
    constexpr const char* kName = "DKIM-Signature: ";
    if (st == DKIM_STAT_OK) st = dkim_getsighdr_d(h.get(), strlen(kName), &value, &len);
    if (st != DKIM_STAT_OK) {
      const char* e = dkim_geterror(h.get());
      why = std::string("the message could not be signed: ") + (e && *e ? e : dkim_getresultstr(st));
      return false;
    }
    std::string text(reinterpret_cast<char*>(value), len);
    // The library folds with bare LF; the spool and the wire want CRLF.
    std::string line = kName;
    for (char c : text) {
      if (c == '\r') continue;
      if (c == '\n') line += '\r';
      line += c;
    }
    out += line + "\r\n";
  }
  headers = std::move(out);
  return true;
}

}  // namespace

DkimSettings ReadDkimSettings() {
  DkimSettings s;
  s.sign = GetGeneralBool("DkimSign");
  s.ed25519 = GetGeneralBool("DkimEd25519");
  return s;
}

bool IsDkimDomainName(std::string_view domain) {
  if (domain.empty() || domain.size() > 253) return false;
  size_t label = 0;
  for (size_t i = 0; i < domain.size(); ++i) {
    char c = domain[i];
    if (c == '.') {
      if (label == 0) return false;
      label = 0;
      continue;
    }
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '_') return false;
    if (++label > 63) return false;
  }
  return label != 0;
}

std::string DkimDirectory(const std::string& home) { return home + "dkim/"; }

std::string Ed25519Selector(const std::string& selector) { return selector + "-ed"; }

bool LoadDkimKeys(const std::string& home, const std::string& domainIn, bool create, bool ed25519,
                  DkimKeys& out, std::string& why) {
  std::string domain = Lower(domainIn);
  if (!IsDkimDomainName(domain)) {
    why = "not a domain name: " + domainIn;
    return false;
  }
  std::string dir = DomainDirectory(home, domain);
  if (ReadKeys(dir, domain, ed25519, out, why)) return true;
  if (!create) return false;
  std::lock_guard<std::mutex> g(KeyLock());
  if (ReadKeys(dir, domain, ed25519, out, why)) return true;
  if (!MakeDirectories(dir, 0700, &why)) return false;
  std::string selector;
  if (!ReadSelector(dir, selector)) selector = kFirstSelector;
  if (!MakeSelector(dir, selector, ed25519, why)) return false;
  LogEvent(0, kLogAlways, "DKIM: made the key of selector %s for %s", selector.c_str(),
           domain.c_str());
  return ReadKeys(dir, domain, ed25519, out, why);
}

bool RotateDkimKeys(const std::string& home, const std::string& domainIn, bool ed25519,
                    DkimKeys& out, std::string& why) {
  std::string domain = Lower(domainIn);
  if (!IsDkimDomainName(domain)) {
    why = "not a domain name: " + domainIn;
    return false;
  }
  std::lock_guard<std::mutex> g(KeyLock());
  std::string dir = DomainDirectory(home, domain);
  if (!MakeDirectories(dir, 0700, &why)) return false;
  // The next free number after the selectors made so far.
  long next = 1;
  std::vector<DirectoryEntry> entries;
  ListDirectory(dir, "*", entries);
  size_t stem = strlen(kSelectorStem);
  for (const DirectoryEntry& e : entries) {
    if (e.name.compare(0, stem, kSelectorStem) != 0) continue;
    long n = std::strtol(e.name.c_str() + stem, nullptr, 10);
    next = std::max(next, n + 1);
  }
  std::string selector = kSelectorStem + std::to_string(next);
  if (!MakeSelector(dir, selector, ed25519, why)) return false;
  return ReadKeys(dir, domain, ed25519, out, why);
}

std::vector<std::string> ListDkimDomains(const std::string& home) {
  std::vector<std::string> out;
  std::vector<DirectoryEntry> entries;
  if (!ListDirectory(DkimDirectory(home), "*", entries)) return out;
  for (const DirectoryEntry& e : entries)
    if (e.isDirectory && IsDkimDomainName(e.name)) out.push_back(e.name);
  std::sort(out.begin(), out.end());
  return out;
}

bool DkimPublicRecord(const std::string& pem, bool ed25519, std::string& record,
                      std::string& why) {
  Bio bio(BIO_new_mem_buf(pem.data(), int(pem.size())));
  Pkey key(bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr) : nullptr);
  if (!key) {
    why = "the key cannot be read";
    return false;
  }
  std::string p;
  if (ed25519) {
    unsigned char raw[64];
    size_t n = sizeof raw;
    if (EVP_PKEY_get_raw_public_key(key.get(), raw, &n) != 1) {
      why = "the ed25519 key has no public half";
      return false;
    }
    p = Base64(raw, n);
  } else {
    unsigned char* der = nullptr;
    int n = i2d_PUBKEY(key.get(), &der);
    if (n <= 0) {
      why = "the RSA key has no public half";
      return false;
    }
    p = Base64(der, size_t(n));
    OPENSSL_free(der);
  }
  record = std::string("v=DKIM1; k=") + (ed25519 ? "ed25519" : "rsa") + "; p=" + p;
  return true;
}

bool FormatDkimRecords(const DkimKeys& keys, std::vector<std::string>& lines, std::string& why) {
  lines.clear();
  std::vector<std::pair<const std::string*, bool>> all{{&keys.rsaPem, false}};
  if (!keys.ed25519Pem.empty()) all.push_back({&keys.ed25519Pem, true});
  for (auto& [pem, ed] : all) {
    std::string record;
    if (!DkimPublicRecord(*pem, ed, record, why)) return false;
    std::string selector = ed ? Ed25519Selector(keys.selector) : keys.selector;
    std::string line = selector + "._domainkey." + keys.domain + ". IN TXT (";
    for (size_t i = 0; i < record.size(); i += kTxtChunk)
      line += " \"" + record.substr(i, kTxtChunk) + "\"";
    lines.push_back(line + " )");
  }
  return true;
}

std::string AddressDomain(std::string_view text) {
  size_t open = text.rfind('<');
  if (open != std::string_view::npos) {
    text.remove_prefix(open + 1);
    size_t close = text.find('>');
    if (close != std::string_view::npos) text = text.substr(0, close);
  }
  size_t at = text.rfind('@');
  if (at == std::string_view::npos) return {};
  std::string_view d = text.substr(at + 1);
  size_t end = 0;
  while (end < d.size() && !std::isspace(static_cast<unsigned char>(d[end])) && d[end] != '>' &&
         d[end] != ',' && d[end] != ';' && d[end] != '(')
    ++end;
  return Lower(d.substr(0, end));
}

std::string ChooseSigningDomain(std::string_view sender, std::string_view fromHeader,
                                bool (*isOurs)(std::string_view domain)) {
  std::string envelope = AddressDomain(sender);
  if (envelope.empty() || !isOurs(envelope)) return {};
  std::string from = AddressDomain(fromHeader);
  if (!from.empty() && isOurs(from)) return from;
  return envelope;
}

bool IsOwnDomain(std::string_view domain) {
  if (domain.empty()) return false;
  HostIdentity id = ServerHostIdentity();
  if (domain.find('.') != std::string_view::npos && IsThisHost(domain, id)) return true;
  for (const SecondaryDomain& d : SecondaryDomains())
    if (d.name.size() == domain.size() &&
        strncasecmp(d.name.c_str(), domain.data(), domain.size()) == 0)
      return true;
  return false;
}

bool SignDkimMessage(int fd, long long offset, const DkimKeys& keys, std::string& headers,
                     std::string& why) {
  long long pos = offset;
  auto read = [&](char* buf, size_t size) -> long {
    ssize_t got;
    do {
      got = ::pread(fd, buf, size, off_t(pos));
    } while (got < 0 && errno == EINTR);
    if (got > 0) pos += got;
    return long(got);
  };
  return SignWith(keys, read, headers, why);
}

bool SignDkimText(std::string_view message, const DkimKeys& keys, std::string& headers,
                  std::string& why) {
  size_t pos = 0;
  auto read = [&](char* buf, size_t size) -> long {
    size_t n = std::min(size, message.size() - pos);
    memcpy(buf, message.data() + pos, n);
    pos += n;
    return long(n);
  };
  return SignWith(keys, read, headers, why);
}

std::string SignOutgoingMessage(int fd, long long offset, const std::string& sender,
                                bool submittedHere, const std::string& logPrefix) {
  DkimSettings settings = ReadDkimSettings();
  if (!settings.sign || !submittedHere) return {};
  std::string head(kHeaderScan, '\0');
  ssize_t got;
  do {
    got = ::pread(fd, head.data(), head.size(), off_t(offset));
  } while (got < 0 && errno == EINTR);
  head.resize(size_t(std::max<ssize_t>(got, 0)));
  std::string from;
  FindHeaderField(head, head.size() < kHeaderScan, "From:", from);
  std::string domain = ChooseSigningDomain(sender, from, IsOwnDomain);
  if (domain.empty()) return {};
  DkimKeys keys;
  std::string why, headers;
  if (!LoadDkimKeys(ServerSettings().homeDirectory, domain, true, settings.ed25519, keys, why) ||
      !SignDkimMessage(fd, offset, keys, headers, why)) {
    LogEvent(0, kLogAlways, "%sDKIM: sent unsigned (%s): %s", logPrefix.c_str(), domain.c_str(),
             why.c_str());
    return {};
  }
  return headers;
}
