// SPF (libspf2) and DMARC (libopendmarc) for the checks on incoming mail. Both
// libraries get their DNS answers from this server's own queries (auth_dns.h):
// SPF through a resolver layer of ours, DMARC by handing it the policy record.
#include <arpa/inet.h>
#include <arpa/nameser.h>
#include <netdb.h>
#include <netinet/in.h>
#include <strings.h>

#include <cctype>
#include <cstring>
#include <memory>
#include <mutex>

extern "C" {
#include <spf2/spf.h>
#include <spf2/spf_dns.h>
}
#include <opendmarc/dmarc.h>

#include "server/mailauth/auth_check.h"
#include "server/mx/dns_packet.h"

namespace {

thread_local AuthDnsBudget* tSpfBudget = nullptr;
// Whether a lookup of the check running on this thread met a DNS failure.
thread_local bool tSpfDnsFailed = false;

bool Store(SPF_dns_rr_t* rr, int index, const void* data, size_t length, bool text) {
  if (SPF_dns_rr_buf_realloc(rr, index, length + (text ? 1 : 0)) != SPF_E_SUCCESS) return false;
  memcpy(rr->rr[index], data, length);
  if (text) reinterpret_cast<char*>(rr->rr[index])[length] = '\0';
  return true;
}

// Our resolver layer: one query through the message's budget, the answer records
// of the asked type turned into libspf2's form.
SPF_dns_rr_t* Lookup(SPF_dns_server_t* server, const char* domain, ns_type type, int) {
  std::string packet;
  AuthDnsResult r = tSpfBudget ? QueryAuthDns(*tSpfBudget, domain, uint16_t(type), packet)
                               : AuthDnsResult::kError;
  if (r == AuthDnsResult::kError) return SPF_dns_rr_new_init(server, domain, type, 0, NO_RECOVERY);
  if (r != AuthDnsResult::kAnswer) {
    tSpfDnsFailed = true;
    return SPF_dns_rr_new_init(server, domain, type, 0, TRY_AGAIN);
  }
  const uint8_t* data = reinterpret_cast<const uint8_t*>(packet.data());
  size_t length = packet.size();
  int rcode = data[3] & 0x0F;
  if (rcode == kDnsNameError) return SPF_dns_rr_new_nxdomain(server, domain);
  if (rcode != 0) {
    tSpfDnsFailed = true;
    return SPF_dns_rr_new_init(server, domain, type, 0, TRY_AGAIN);
  }
  SPF_dns_rr_t* rr = SPF_dns_rr_new_init(server, domain, type, 0, NETDB_SUCCESS);
  if (rr == nullptr) return nullptr;
  uint16_t qd = ReadDns16(data + 4), an = ReadDns16(data + 6);
  size_t pos = 12;
  bool broken = false;
  for (uint16_t i = 0; i < qd && !broken; ++i) {
    pos = SkipDnsName(data, length, pos);
    if (pos == 0 || pos + 4 > length) broken = true;
    else pos += 4;
  }
  int count = 0;
  for (uint16_t i = 0; i < an && !broken; ++i) {
    pos = SkipDnsName(data, length, pos);
    if (pos == 0 || pos + 10 > length) {
      broken = true;
      break;
    }
    uint16_t rtype = ReadDns16(data + pos);
    uint32_t ttl = ReadDns32(data + pos + 4);
    uint16_t rdlen = ReadDns16(data + pos + 8);
    pos += 10;
    if (pos + rdlen > length) {
      broken = true;
      break;
    }
    if (rtype == uint16_t(type)) {
      bool ok = true;
      std::string name;
      const char* why = nullptr;
      switch (type) {
        case ns_t_a:
          ok = rdlen == 4 && Store(rr, count, data + pos, 4, false);
          break;
        case ns_t_aaaa:
          ok = rdlen == 16 && Store(rr, count, data + pos, 16, false);
          break;
        case ns_t_mx:
          ok = rdlen > 2 && DecodeName(data, pos + rdlen, pos + 2, name, why) != 0 &&
               Store(rr, count, name.data(), name.size(), true);
          break;
        case ns_t_ptr:
          ok = DecodeName(data, pos + rdlen, pos, name, why) != 0 &&
               Store(rr, count, name.data(), name.size(), true);
          break;
        case ns_t_txt: {
          std::string joined;
          size_t p = pos, end = pos + rdlen;
          while (ok && p < end) {
            size_t n = data[p++];
            if (p + n > end) ok = false;
            else joined.append(reinterpret_cast<const char*>(data + p), n);
            p += n;
          }
          ok = ok && Store(rr, count, joined.data(), joined.size(), true);
          break;
        }
        default:
          ok = false;
      }
      if (ok) {
        ++count;
        rr->ttl = ttl;
      }
    }
    pos += rdlen;
  }
  if (broken && count == 0) {
    SPF_dns_rr_free(rr);
    return SPF_dns_rr_new_init(server, domain, type, 0, NO_RECOVERY);
  }
  rr->num_rr = count;
  if (count == 0) rr->herrno = NO_DATA;
  return rr;
}

// Our resolver layer, shared by every check (a null destroy keeps the library
// from freeing it with a server).
SPF_dns_server_t* ResolverLayer() {
  static SPF_dns_server_t layer = [] {
    SPF_dns_server_t l;
    memset(&l, 0, sizeof l);
    l.lookup = Lookup;
    l.name = "corvel";
    return l;
  }();
  return &layer;
}

struct SpfServerFree {
  void operator()(SPF_server_t* s) const { SPF_server_free(s); }
};

std::string Lower(std::string s) {
  for (char& c : s) c = char(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

// The organizational domain by the plain rule: the last two labels.
std::string OrganizationalDomain(const std::string& domain) {
  size_t last = domain.rfind('.');
  if (last == std::string::npos || last == 0) return domain;
  size_t before = domain.rfind('.', last - 1);
  return before == std::string::npos ? domain : domain.substr(before + 1);
}

// The DMARC record of `domain` ("v=DMARC1" first), or empty; `temporary` when the
// DNS did not answer.
std::string FindDmarcRecord(AuthDnsBudget& budget, const std::string& domain, bool& temporary) {
  std::string packet;
  AuthDnsResult r = QueryAuthDns(budget, "_dmarc." + domain, kDnsTypeTxtRecord, packet);
  if (r != AuthDnsResult::kAnswer) {
    temporary = r == AuthDnsResult::kTimeout;
    return {};
  }
  std::vector<std::string> txt;
  int rcode = 0;
  if (!ReadTxtAnswers(packet, txt, rcode)) return {};
  if (rcode != 0 && rcode != kDnsNameError) temporary = true;
  for (const std::string& t : txt)
    if (t.size() >= 8 && strncasecmp(t.c_str(), "v=DMARC1", 8) == 0) return t;
  return {};
}

}  // namespace

SpfOutcome CheckSpf(const std::string& clientIp, const std::string& helo,
                    const std::string& mailFrom, AuthDnsBudget& budget) {
  SpfOutcome o;
  o.fromHelo = mailFrom.empty();
  o.identity = o.fromHelo ? helo : mailFrom;
  o.domain = Lower(o.fromHelo ? helo : mailFrom.substr(mailFrom.rfind('@') + 1));
  // A server of its own for each check, so checks of several sessions go on side
  // by side (the lookups block the session's thread).
  std::unique_ptr<SPF_server_t, SpfServerFree> server(SPF_server_new_dns(ResolverLayer(), 0));
  if (!server) {
    o.result = "temperror";
    return o;
  }
  SPF_request_t* req = SPF_request_new(server.get());
  if (req == nullptr) {
    o.result = "temperror";
    return o;
  }
  tSpfBudget = &budget;
  tSpfDnsFailed = false;
  SPF_response_t* response = nullptr;
  bool ok = SPF_request_set_ipv4_str(req, clientIp.c_str()) == SPF_E_SUCCESS &&
            SPF_request_set_helo_dom(req, helo.c_str()) == SPF_E_SUCCESS &&
            (mailFrom.empty() || SPF_request_set_env_from(req, mailFrom.c_str()) == 0);
  if (ok) SPF_request_query_mailfrom(req, &response);
  tSpfBudget = nullptr;
  o.result = "permerror";
  if (response != nullptr) {
    switch (SPF_response_result(response)) {
      case SPF_RESULT_PASS: o.result = "pass"; break;
      case SPF_RESULT_FAIL: o.result = "fail"; break;
      case SPF_RESULT_SOFTFAIL: o.result = "softfail"; break;
      case SPF_RESULT_NEUTRAL: o.result = "neutral"; break;
      case SPF_RESULT_NONE: o.result = "none"; break;
      case SPF_RESULT_TEMPERROR: o.result = "temperror"; break;
      default: o.result = "permerror"; break;
    }
    SPF_response_free(response);
  }
  // The library reports a lookup that timed out or failed as a permanent error;
  // it is a temporary one (RFC 7208 2.6.6), and the client may try again.
  if (tSpfDnsFailed && (o.result == "permerror" || o.result == "none")) o.result = "temperror";
  SPF_request_free(req);
  return o;
}

DmarcOutcome CheckDmarc(const std::string& clientIp, const std::string& fromDomain,
                        const SpfOutcome& spf, const std::vector<DkimOutcome>& dkim,
                        AuthDnsBudget& budget) {
  DmarcOutcome o;
  o.fromDomain = Lower(fromDomain);
  if (o.fromDomain.empty()) {
    o.result = "none";
    return o;
  }
  bool temporary = false;
  std::string org = OrganizationalDomain(o.fromDomain);
  std::string record = FindDmarcRecord(budget, o.fromDomain, temporary);
  if (record.empty() && !temporary && org != o.fromDomain)
    record = FindDmarcRecord(budget, org, temporary);
  if (record.empty()) {
    o.result = temporary ? "temperror" : "none";
    return o;
  }
  static std::once_flag once;
  static OPENDMARC_LIB_T lib;
  std::call_once(once, [] {
    memset(&lib, 0, sizeof lib);
    lib.tld_type = OPENDMARC_TLD_TYPE_NONE;
    opendmarc_policy_library_init(&lib);
  });
  DMARC_POLICY_T* p = opendmarc_policy_connect_init(
      reinterpret_cast<u_char*>(const_cast<char*>(clientIp.c_str())), DMARC_POLICY_IP_TYPE_IPV4);
  if (p == nullptr) {
    o.result = "temperror";
    return o;
  }
  auto u = [](const std::string& s) { return reinterpret_cast<u_char*>(const_cast<char*>(s.c_str())); };
  if (opendmarc_policy_store_from_domain(p, u(o.fromDomain)) != DMARC_PARSE_OKAY ||
      opendmarc_policy_store_dmarc(p, u(record), u(o.fromDomain), u(org)) != DMARC_PARSE_OKAY) {
    opendmarc_policy_connect_shutdown(p);
    o.result = "permerror";
    return o;
  }
  for (const DkimOutcome& d : dkim) {
    if (d.domain.empty()) continue;
    int outcome = d.result == "pass"        ? DMARC_POLICY_DKIM_OUTCOME_PASS
                  : d.result == "temperror" ? DMARC_POLICY_DKIM_OUTCOME_TMPFAIL
                                            : DMARC_POLICY_DKIM_OUTCOME_FAIL;
    std::string human = d.result;
    opendmarc_policy_store_dkim(p, u(d.domain), u(d.selector), outcome, u(human));
  }
  if (!spf.domain.empty()) {
    int outcome = spf.result == "pass"        ? DMARC_POLICY_SPF_OUTCOME_PASS
                  : spf.result == "temperror" ? DMARC_POLICY_SPF_OUTCOME_TMPFAIL
                  : spf.result == "none"      ? DMARC_POLICY_SPF_OUTCOME_NONE
                                              : DMARC_POLICY_SPF_OUTCOME_FAIL;
    std::string human = spf.result;
    opendmarc_policy_store_spf(p, u(spf.domain), outcome,
                               spf.fromHelo ? DMARC_POLICY_SPF_ORIGIN_HELO
                                            : DMARC_POLICY_SPF_ORIGIN_MAILFROM,
                               u(human));
  }
  int policy = opendmarc_get_policy_to_enforce(p);
  int pTag = 0;
  opendmarc_policy_fetch_p(p, &pTag);
  o.policy = pTag == DMARC_RECORD_P_REJECT       ? "reject"
             : pTag == DMARC_RECORD_P_QUARANTINE ? "quarantine"
                                                 : "none";
  o.result = policy == DMARC_POLICY_PASS ? "pass" : "fail";
  if (policy == DMARC_POLICY_ABSENT) o.result = "none";
  opendmarc_policy_connect_shutdown(p);
  return o;
}
