// DKIM verification and the Authentication-Results header.
#include "server/mailauth/auth_check.h"

#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>

#include "server/core/config.h"
#include "server/mailauth/opendkim_c.h"

namespace {

constexpr size_t kReadBlock = 65536;
constexpr size_t kBTagLength = 8;

// The library asks for DNS through these callbacks; they answer at once from a
// query made within the budget of the verification running on this thread.
thread_local AuthDnsBudget* tBudget = nullptr;

struct PendingQuery {
  int status = DKIM_DNS_ERROR;
  size_t bytes = 0;
};
thread_local std::vector<std::unique_ptr<PendingQuery>>* tQueries = nullptr;

int StartQuery(void*, int type, unsigned char* query, unsigned char* buf, size_t buflen,
               void** qh) {
  if (tBudget == nullptr || tQueries == nullptr) return DKIM_DNS_ERROR;
  auto q = std::make_unique<PendingQuery>();
  std::string packet;
  AuthDnsResult r = QueryAuthDns(*tBudget, reinterpret_cast<const char*>(query), uint16_t(type), packet);
  if (r == AuthDnsResult::kAnswer) {
    size_t n = std::min(packet.size(), buflen);
    memcpy(buf, packet.data(), n);
    q->bytes = n;
    q->status = DKIM_DNS_SUCCESS;
  } else {
    q->status = r == AuthDnsResult::kTimeout ? DKIM_DNS_EXPIRED : DKIM_DNS_ERROR;
  }
  *qh = q.get();
  tQueries->push_back(std::move(q));
  return 0;
}

int CancelQuery(void*, void*) { return 0; }

int WaitReply(void*, void* qh, struct timeval*, size_t* bytes, int* error, int* dnssec) {
  auto* q = static_cast<PendingQuery*>(qh);
  if (bytes) *bytes = q->bytes;
  if (error) *error = 0;
  if (dnssec) *dnssec = DKIM_DNSSEC_UNKNOWN;
  return q->status;
}

DKIM_LIB* VerifyingLibrary() {
  static DKIM_LIB* lib = [] {
    DKIM_LIB* l = dkim_init(nullptr, nullptr);
    if (l == nullptr) return l;
    dkim_dns_set_init(l, nullptr);
    dkim_dns_set_close(l, nullptr);
    static int service = 0;
    dkim_dns_set_query_service(l, &service);
    dkim_dns_set_query_start(l, StartQuery);
    dkim_dns_set_query_cancel(l, CancelQuery);
    dkim_dns_set_query_waitreply(l, WaitReply);
    return l;
  }();
  return lib;
}

struct DkimFree {
  void operator()(DKIM* d) const { dkim_free(d); }
};

std::string Text(const unsigned char* p) { return p ? std::string(reinterpret_cast<const char*>(p)) : ""; }

// Keeps what goes into the header to printable characters without the ones that
// would end a field, a comment or a value.
std::string Clean(std::string s, size_t max = 255) {
  std::string out;
  for (char c : s) {
    if (out.size() >= max) break;
    unsigned char u = static_cast<unsigned char>(c);
    if (u > 32 && u < 127 && c != ';' && c != '(' && c != ')' && c != '"' && c != '\\') out += c;
  }
  return out;
}

DkimOutcome Judge(DKIM* d, DKIM_SIGINFO* sig) {
  DkimOutcome o;
  o.domain = Text(dkim_sig_getdomain(sig));
  o.selector = Text(dkim_sig_getselector(sig));
  unsigned char b[kBTagLength + 1] = {0};
  size_t blen = sizeof b;
  if (dkim_get_sigsubstring(d, sig, reinterpret_cast<char*>(b), &blen) == DKIM_STAT_OK)
    o.bTag = std::string(reinterpret_cast<char*>(b), std::min(blen, kBTagLength));
  unsigned int flags = dkim_sig_getflags(sig);
  int bh = dkim_sig_getbh(sig);
  int err = dkim_sig_geterror(sig);
  if ((flags & DKIM_SIGFLAG_PASSED) != 0 && bh == DKIM_SIGBH_MATCH) {
    o.result = "pass";
    return o;
  }
  switch (err) {
    case DKIM_SIGERROR_KEYFAIL:
      o.result = "temperror";
      o.reason = "key lookup failed";
      break;
    case DKIM_SIGERROR_NOKEY:
      o.result = "permerror";
      o.reason = "no key";
      break;
    case DKIM_SIGERROR_OK:
    case DKIM_SIGERROR_BADSIG:
      o.result = "fail";
      o.reason = bh == DKIM_SIGBH_MISMATCH ? "body hash mismatch" : "bad signature";
      break;
    case DKIM_SIGERROR_EXPIRED:
      o.result = "fail";
      o.reason = "signature expired";
      break;
    default:
      o.result = "permerror";
      o.reason = dkim_sig_geterrorstr(err) ? dkim_sig_geterrorstr(err) : "bad signature";
      break;
  }
  if (bh == DKIM_SIGBH_MISMATCH && err == DKIM_SIGERROR_OK) o.reason = "body hash mismatch";
  return o;
}

template <typename Reader>
std::vector<DkimOutcome> Verify(Reader read, AuthDnsBudget& budget) {
  std::vector<DkimOutcome> out;
  DKIM_LIB* lib = VerifyingLibrary();
  if (lib == nullptr) {
    out.push_back({"temperror", "verifier unavailable", "", "", ""});
    return out;
  }
  std::vector<std::unique_ptr<PendingQuery>> queries;
  tBudget = &budget;
  tQueries = &queries;
  struct Reset {
    ~Reset() {
      tBudget = nullptr;
      tQueries = nullptr;
    }
  } reset;
  DKIM_STAT status = DKIM_STAT_OK;
  std::unique_ptr<DKIM, DkimFree> d(
      dkim_verify(lib, reinterpret_cast<const unsigned char*>("corvel"), nullptr, &status));
  if (!d) {
    out.push_back({"temperror", "verifier unavailable", "", "", ""});
    return out;
  }
  std::string block(kReadBlock, '\0');
  DKIM_STAT st = DKIM_STAT_OK;
  for (;;) {
    long n = read(block.data(), block.size());
    if (n <= 0) break;
    st = dkim_chunk(d.get(), reinterpret_cast<u_char*>(block.data()), size_t(n));
    if (st != DKIM_STAT_OK) break;
  }
  if (st == DKIM_STAT_OK) st = dkim_chunk(d.get(), nullptr, 0);
  if (st == DKIM_STAT_OK) st = dkim_eom(d.get(), nullptr);
  DKIM_SIGINFO** sigs = nullptr;
  int count = 0;
  if (dkim_getsiglist(d.get(), &sigs, &count) == DKIM_STAT_OK && sigs != nullptr)
    for (int i = 0; i < count; ++i) out.push_back(Judge(d.get(), sigs[i]));
  if (out.empty() && st != DKIM_STAT_OK && st != DKIM_STAT_NOSIG)
    out.push_back({"permerror", "unreadable signature", "", "", ""});
  return out;
}

}  // namespace

AuthCheckSettings ReadAuthCheckSettings() {
  AuthCheckSettings s;
  s.check = GetGeneralBool("AuthCheckIncoming");
  s.rejectDmarc = GetGeneralBool("AuthRejectDmarc");
  s.tempfailDns = GetGeneralBool("AuthTempfailDns");
  return s;
}

std::vector<DkimOutcome> VerifyDkimSignatures(int fd, long long offset, AuthDnsBudget& budget) {
  long long pos = offset;
  return Verify(
      [&](char* buf, size_t size) -> long {
        ssize_t got;
        do {
          got = ::pread(fd, buf, size, off_t(pos));
        } while (got < 0 && errno == EINTR);
        if (got > 0) pos += got;
        return long(got);
      },
      budget);
}

std::vector<DkimOutcome> VerifyDkimText(std::string_view message, AuthDnsBudget& budget) {
  size_t pos = 0;
  return Verify(
      [&](char* buf, size_t size) -> long {
        size_t n = std::min(size, message.size() - pos);
        memcpy(buf, message.data() + pos, n);
        pos += n;
        return long(n);
      },
      budget);
}

std::string FormatAuthResults(const std::string& authservId, const AuthReport& report) {
  std::vector<std::string> parts;
  if (report.spfChecked) {
    const SpfOutcome& o = report.spf;
    std::string id = Clean(o.identity);
    parts.push_back("spf=" + Clean(o.result, 20) +
                    (id.empty() ? "" : (o.fromHelo ? " smtp.helo=" : " smtp.mailfrom=") + id));
  }
  if (report.dkim.empty()) parts.push_back("dkim=none");
  for (const DkimOutcome& o : report.dkim) {
    std::string part = "dkim=" + Clean(o.result, 20);
    std::string reason = o.reason;
    for (char& c : reason)
      if (c == '(' || c == ')' || c == '\\' || static_cast<unsigned char>(c) < 32) c = ' ';
    if (!reason.empty()) part += " (" + reason + ")";
    std::string domain = Clean(o.domain), selector = Clean(o.selector), b = Clean(o.bTag, 8);
    if (!domain.empty()) part += " header.d=" + domain;
    if (!selector.empty()) part += " header.s=" + selector;
    if (!b.empty()) part += " header.b=" + b;
    parts.push_back(part);
  }
  if (report.dmarcChecked) {
    const DmarcOutcome& o = report.dmarc;
    std::string part = "dmarc=" + Clean(o.result, 20);
    if (!o.policy.empty() && o.result == "fail") part += " (p=" + Clean(o.policy, 20) + ")";
    std::string from = Clean(o.fromDomain);
    if (!from.empty()) part += " header.from=" + from;
    parts.push_back(part);
  }
  std::string out = "Authentication-Results: " + authservId + ";";
  if (parts.size() == 1) return out + " " + parts[0] + "\r\n";
  for (size_t i = 0; i < parts.size(); ++i)
    out += "\r\n\t" + parts[i] + (i + 1 < parts.size() ? ";" : "");
  return out + "\r\n";
}

AuthVerdict JudgeAuthReport(const AuthReport& report, const AuthCheckSettings& settings,
                            std::string& why) {
  if (settings.rejectDmarc && report.dmarcChecked && report.dmarc.result == "fail" &&
      report.dmarc.policy == "reject") {
    why = "DMARC policy of " + Clean(report.dmarc.fromDomain) + " rejects this message.";
    return AuthVerdict::kRefuse;
  }
  if (settings.tempfailDns) {
    bool temporary = (report.spfChecked && report.spf.result == "temperror") ||
                     (report.dmarcChecked && report.dmarc.result == "temperror");
    for (const DkimOutcome& d : report.dkim)
      if (d.result == "temperror") temporary = true;
    if (temporary) {
      why = "DNS lookups for the message's checks failed; try again later.";
      return AuthVerdict::kLater;
    }
  }
  return AuthVerdict::kAccept;
}

bool IsOurAuthResults(std::string_view value, const std::string& authservId) {
  // The authserv-id is the first token, after blanks and comments.
  size_t i = 0;
  for (;;) {
    while (i < value.size() && std::isspace(static_cast<unsigned char>(value[i]))) ++i;
    if (i < value.size() && value[i] == '(') {
      int depth = 0;
      for (; i < value.size(); ++i) {
        if (value[i] == '(') ++depth;
        if (value[i] == ')' && --depth == 0) {
          ++i;
          break;
        }
      }
      continue;
    }
    break;
  }
  size_t end = i;
  while (end < value.size() && !std::isspace(static_cast<unsigned char>(value[end])) &&
         value[end] != ';' && value[end] != '(')
    ++end;
  std::string_view id = value.substr(i, end - i);
  return !id.empty() && id.size() == authservId.size() &&
         strncasecmp(id.data(), authservId.data(), id.size()) == 0;
}
