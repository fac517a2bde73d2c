// The address normaliser and the host test: every address text the server meets
// (SMTP commands, envelopes, header lines) is reduced here to a bare address,
// with the display name it carried and whether it is ours.
#include <atomic>
#include <string>

#include "server/core/config.h"
#include "server/spool/headers.h"
#include "server/spool/text.h"

using namespace spool_text;

namespace {

// The part of a host name from its first '.', or "".
std::string_view DomainSuffix(std::string_view host) {
  size_t dot = host.find('.');
  return dot == std::string_view::npos ? std::string_view() : host.substr(dot);
}
std::string_view FirstLabel(std::string_view host) { return host.substr(0, host.find('.')); }

// The first `target` outside double-quoted strings and parenthesised comments.
size_t FindTopLevel(std::string_view s, char target) {
  bool quoted = false;
  int depth = 0;
  for (size_t i = 0; i < s.size(); ++i) {
    char c = s[i];
    if (quoted) {
      if (c == '\\') ++i;
      else if (c == '"') quoted = false;
      continue;
    }
    if (depth > 0) {
      if (c == '(') ++depth;
      else if (c == ')') --depth;
      continue;
    }
    if (c == target) return i;
    if (c == '"') quoted = true;
    else if (c == '(') depth = 1;
  }
  return std::string_view::npos;
}

// The index of the bracket closing the one at `open` ('(' or '<'), counting
// nesting; npos when it is never closed.
size_t FindClosing(std::string_view s, size_t open) {
  char o = s[open];
  char c = o == '(' ? ')' : '>';
  int depth = 0;
  for (size_t i = open; i < s.size(); ++i) {
    if (s[i] == o) ++depth;
    else if (s[i] == c && --depth == 0) return i;
  }
  return std::string_view::npos;
}

// Removes each parenthesised comment (nesting counts) with the blanks around it.
std::string RemoveComments(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] != '(') {
      out += s[i];
      continue;
    }
    size_t close = FindClosing(s, i);
    while (!out.empty() && IsBlank(out.back())) out.pop_back();
    i = close == std::string_view::npos ? s.size() : close;
    while (i + 1 < s.size() && IsBlank(s[i + 1])) ++i;
  }
  return out;
}

bool ParseAddressLiteral(std::string_view name, std::string& dotted) {
  if (name.size() < 9 || name.front() != '[' || name.back() != ']') return false;
  std::string_view in = name.substr(1, name.size() - 2);
  dotted.clear();
  for (int part = 0; part < 4; ++part) {
    size_t digits = 0;
    unsigned value = 0;
    while (digits < in.size() && std::isdigit((unsigned char)in[digits]) && digits < 3) {
      value = value * 10 + unsigned(in[digits] - '0');
      ++digits;
    }
    if (digits == 0 || value > 255) return false;
    in.remove_prefix(digits);
    dotted += std::to_string(value);
    if (part < 3) {
      if (in.empty() || in.front() != '.') return false;
      in.remove_prefix(1);
      dotted += '.';
    }
  }
  return in.empty();
}

bool Contains(std::string_view s, char c) { return s.find(c) != std::string_view::npos; }

// True when `domain` matches an entry of the ';'-separated incoming aliases.
bool MatchesIncomingAlias(std::string_view domain, const HostIdentity& id) {
  std::string_view aliases = id.incomingAliases;
  while (!aliases.empty()) {
    size_t semi = aliases.find(';');
    std::string_view entry = Trim(aliases.substr(0, semi));
    aliases = semi == std::string_view::npos ? std::string_view() : aliases.substr(semi + 1);
    if (!entry.empty() && MatchDomainPattern(entry, domain)) return true;
  }
  return false;
}

}  // namespace

HostIdentity ServerHostIdentity() {
  const Settings& s = ServerSettings();
  HostIdentity id;
  id.host = s.localNode;
  id.hostAddress = s.localIp;
  id.outgoingAlias = s.outgoingAlias;
  id.incomingAliases = s.incomingAlias;
  return id;
}

bool IsThisHost(std::string_view name, const HostIdentity& id) {
  if (name.empty()) return false;
  if (!id.host.empty() && EqualsNoCase(name, id.host)) return true;
  if (!id.outgoingAlias.empty() && EqualsNoCase(name, id.outgoingAlias)) return true;
  if (!Contains(name, '.')) {
    if (!id.host.empty() && EqualsNoCase(name, FirstLabel(id.host))) return true;
    if (!id.outgoingAlias.empty() && EqualsNoCase(name, FirstLabel(id.outgoingAlias)))
      return true;
  }
  std::string dotted;
  // The whole address must match: "[10.0.0.1]" is not the host 10.0.0.12.
  if (ParseAddressLiteral(name, dotted)) return !id.hostAddress.empty() && dotted == id.hostAddress;
  return false;
}

bool MatchDomainPattern(std::string_view pattern, std::string_view domain) {
  size_t star = pattern.find('*');
  if (star == std::string_view::npos) return EqualsNoCase(pattern, domain);
  std::string_view prefix = pattern.substr(0, star);
  std::string_view suffix = pattern.substr(star + 1);
  return domain.size() >= prefix.size() + suffix.size() && StartsWithNoCase(domain, prefix) &&
         EndsWithNoCase(domain, suffix);
}

bool NormalizeAddress(std::string_view text, const HostIdentity& id,
                      const NormalizeOptions& options, NormalizedAddress& out) {
  out.address.clear();  // keeps the capacity of a caller that loops
  out.name.clear();
  out.isLocal = false;
  if (text.size() > kMaxAddressText) return false;
  const bool bare = text.find_first_of("@%!") == std::string_view::npos;
  std::string result;
  std::string name;
  bool isLocal = false;

  if (bare && text.find_first_of("<(") == std::string_view::npos) {
    result.assign(text);
    isLocal = true;
  } else {
    std::string work(text);
    // A comment after the address stands for the display name: "a@b (Name)"
    // becomes "Name<a@b>".
    if (FindTopLevel(work, '<') == std::string::npos) {
      size_t open = FindTopLevel(work, '(');
      if (open != std::string::npos) {
        size_t close = FindClosing(work, open);
        size_t end = close == std::string::npos ? work.size() : close;
        std::string comment = work.substr(open + 1, end - open - 1);
        for (char& c : comment) {
          if (c == '<') c = '{';
          else if (c == '>') c = '}';
        }
        // The address is what is left around the comment (a comment inside an
        // address, "mary(x)@host", leaves "mary@host").
        std::string address(TrimRight(std::string_view(work).substr(0, open)));
        if (close != std::string::npos) address += work.substr(close + 1);
        std::string_view bareAddress = Trim(address);
        if (!bareAddress.empty()) work = comment + "<" + std::string(bareAddress) + ">";
      }
    }
    const std::string_view suffix = DomainSuffix(id.host);
    // Every round shortens the text or appends the suffix once; more rounds
    // than this means two rules undo each other.
    const size_t maxRounds = 2 * work.size() + 16;
    size_t round = 0;
    for (;; ++round) {
      if (round > maxRounds) return false;
      size_t lt = FindTopLevel(work, '<');
      if (lt != std::string::npos) {
        size_t gt = FindClosing(work, lt);
        size_t end = gt == std::string::npos ? work.size() : gt;
        std::string display(Trim(std::string_view(work).substr(0, lt)));
        if (gt != std::string::npos) display += work.substr(gt + 1);
        if (!Trim(display).empty()) name = std::string(Trim(display));
        work = work.substr(lt + 1, end - lt - 1);
        continue;
      }
      if (!work.empty() && work[0] == '@') {
        size_t stop = work.find_first_of(",:");
        std::string_view routeHost =
            std::string_view(work).substr(1, (stop == std::string::npos ? work.size() : stop) - 1);
        if (IsThisHost(routeHost, id)) {
          size_t colon = work.find(':');
          if (colon == std::string::npos) return false;
          work.erase(0, colon + 1);
          continue;
        }
        if (!Contains(routeHost, '.') && !suffix.empty() && !routeHost.empty()) {
          work.insert(1 + routeHost.size(), suffix);
          continue;
        }
        break;  // a route through another host: not ours
      }
      size_t at = work.rfind('@');
      if (at != std::string::npos) {
        if (work.back() == '.') {
          work.pop_back();
          continue;
        }
        std::string_view domain = std::string_view(work).substr(at + 1);
        if (domain.empty()) return false;
        if (IsThisHost(domain, id)) {
          work.erase(at);
          size_t last = work.find_last_of("@!%<(");
          if (last != std::string::npos) {
            if (work[last] == '@') return false;
            if (work[last] == '%') work[last] = '@';
          }
          continue;
        }
        if (!Contains(domain, '.') && !suffix.empty()) {
          // A short name the administrator listed among the incoming aliases
          // is ours as written ("localhost"); the suffix is for short names of
          // other hosts, and would keep such an alias from ever matching.
          if (options.mapDomains && MatchesIncomingAlias(domain, id)) break;
          work += suffix;
          continue;
        }
        break;  // a remote domain
      }
      size_t bang = work.find('!');
      if (bang != std::string::npos) {
        std::string_view bangHost = std::string_view(work).substr(0, bang);
        if (IsThisHost(bangHost, id)) {
          work.erase(0, bang + 1);
          continue;
        }
        if (!options.routeHost.empty() && !Contains(bangHost, '.')) {
          work = "@" + options.routeHost + ":" + work;
          continue;
        }
        break;  // a path through another host
      }
      isLocal = true;  // no domain left
      break;
    }
    if (Trim(work).empty()) return false;
    if (options.strip && (!options.stripOnlyLocal || isLocal)) {
      size_t lt = work.find('<');
      if (lt != std::string::npos) {
        size_t gt = work.find('>', lt + 1);
        work = work.substr(lt + 1, (gt == std::string::npos ? work.size() : gt) - lt - 1);
      }
      result = work.find('(') == std::string::npos ? std::move(work) : RemoveComments(work);
    } else {
      result.assign(text);
    }
  }

  const std::string& ourDomain = id.outgoingAlias.empty() ? id.host : id.outgoingAlias;
  if (result.find_first_of("!@") == std::string::npos) {
    if (bare && !options.defaultDomain.empty()) {
      result += "@";
      result += options.defaultDomain;
      isLocal = false;
    } else if (options.qualify) {
      result += "@";
      result += ourDomain;
    }
  }

  size_t at = result.rfind('@');
  if (at != std::string::npos) {
    std::string_view domain = std::string_view(result).substr(at + 1);
    if (options.mapDomains) {
      if (MatchesIncomingAlias(domain, id)) {
        result.replace(at + 1, std::string::npos, ourDomain);
        isLocal = true;
      }
    } else if (!id.outgoingAlias.empty() && EqualsNoCase(domain, id.host)) {
      result.replace(at + 1, std::string::npos, id.outgoingAlias);
    }
  }

  out.address.assign(Trim(result));
  if (!name.empty()) out.name.assign(Trim(name));
  out.isLocal = isLocal;
  return true;
}


namespace {
std::atomic<LocalAccountLookup> gLocalAccountLookup{nullptr};
}  // namespace

void SetLocalAccountLookup(LocalAccountLookup lookup) { gLocalAccountLookup.store(lookup); }

bool LookUpLocalAccount(const std::string& address, const std::string& domain,
                        LocalAccountInfo& out) {
  LocalAccountLookup lookup = gLocalAccountLookup.load();
  out = LocalAccountInfo{};
  return lookup && lookup(address, domain, out);
}
