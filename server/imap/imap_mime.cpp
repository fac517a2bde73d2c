// The MIME side of FETCH: BODYSTRUCTURE / BODY and the numbered sections
// (BODY[1.2], BODY[2.MIME], BODY[3.HEADER] of an attached message).
//
// The parsing is mimetic's (Debian libmimetic-dev): a C++ library with no glib
// underneath, so no one-time allocations for the leak checker to excuse and no
// main loop to initialise; it keeps each leaf's body bytes as they are in the
// file and parses message/rfc822 parts into their own entity, which is what the
// numbered sections need. Its parser keeps its own entity stack, so deeply nested
// input costs heap, not stack; our walk below stops at kMaxMimeDepth.
#include <mimetic/mimetic.h>
#include <strings.h>

#include <cctype>
#include <sstream>

#include "server/imap/imap.h"

namespace {

// Deeper parts are described as opaque application/octet-stream.
constexpr int kMaxMimeDepth = 64;

std::string Lower(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = char(tolower(static_cast<unsigned char>(c)));
  return out;
}

std::string Upper(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = char(toupper(static_cast<unsigned char>(c)));
  return out;
}

// The value of the entity's header field `name`; `found` tells NIL.
std::string FieldValue(const mimetic::MimeEntity& e, const char* name, bool& found) {
  found = false;
  for (const mimetic::Field& f : e.header())
    if (strcasecmp(f.name().c_str(), name) == 0) {
      found = true;
      return f.value();
    }
  return std::string();
}

// The entity's header as lines, with the closing empty line.
std::string HeaderText(const mimetic::MimeEntity& e) {
  std::string out;
  for (const mimetic::Field& f : e.header()) out += f.name() + ": " + f.value() + "\r\n";
  return out + "\r\n";
}

// The whole entity written out: header, empty line and body.
std::string EntityText(const mimetic::MimeEntity& e) {
  std::ostringstream os;
  os << e;
  return os.str();
}

// The entity's body bytes: a leaf's as they are in the file, a multipart's or
// an attached message's as written out again.
std::string BodyText(const mimetic::MimeEntity& e) {
  if (e.body().parts().empty()) return std::string(e.body());
  std::string all = EntityText(e);
  size_t a = all.find("\r\n\r\n"), b = all.find("\n\n");
  size_t end = a != std::string::npos && (b == std::string::npos || a + 2 <= b) ? a + 4
               : b != std::string::npos                                        ? b + 2
                                                                               : all.size();
  return all.substr(end);
}

size_t CountLines(std::string_view s) {
  size_t n = 0;
  for (char c : s) n += c == '\n';
  if (!s.empty() && s.back() != '\n') ++n;
  return n;
}

std::string Quoted(std::string_view s) { return QuoteImapString(s); }

std::string ParamList(const mimetic::ContentType::ParamList& params) {
  if (params.empty()) return "NIL";
  std::string out = "(";
  for (const mimetic::FieldParam& p : params) {
    if (out.size() > 1) out += ' ';
    out += Quoted(Upper(p.name())) + " " + Quoted(p.value());
  }
  return out + ")";
}

std::string Disposition(const mimetic::MimeEntity& e) {
  bool found = false;
  FieldValue(e, "Content-Disposition", found);
  if (!found) return "NIL";
  const mimetic::ContentDisposition& d = e.header().contentDisposition();
  if (d.type().empty()) return "NIL";
  return "(" + Quoted(Upper(d.type())) + " " + ParamList(d.paramList()) + ")";
}

std::string NStringField(const mimetic::MimeEntity& e, const char* name) {
  bool found = false;
  std::string v = FieldValue(e, name, found);
  size_t b = v.find_first_not_of(" \t"), end = v.find_last_not_of(" \t\r\n");
  if (!found || b == std::string::npos) return "NIL";
  return Quoted(v.substr(b, end - b + 1));
}

void Describe(const mimetic::MimeEntity& e, bool extended, int depth, bool digest,
              std::string& out) {
  const mimetic::ContentType& ct = e.header().contentType();
  std::string type = Lower(ct.type()), subtype = Lower(ct.subtype());
  if (type.empty()) {
    type = digest ? "message" : "text";
    subtype = digest ? "rfc822" : "plain";
  }
  const mimetic::MimeEntityList& parts = e.body().parts();
  if (type == "multipart" && depth < kMaxMimeDepth) {
    out += '(';
    if (parts.empty()) out += "(\"TEXT\" \"PLAIN\" NIL NIL NIL \"7BIT\" 0 0)";
    for (const mimetic::MimeEntity* p : parts)
      Describe(*p, extended, depth + 1, subtype == "digest", out);
    out += ' ' + Quoted(Upper(subtype.empty() ? "mixed" : subtype));
    if (extended)
      out += ' ' + ParamList(ct.paramList()) + ' ' + Disposition(e) + ' ' +
             NStringField(e, "Content-Language") + ' ' + NStringField(e, "Content-Location");
    out += ')';
    return;
  }
  bool message = type == "message" && subtype == "rfc822" && parts.size() == 1 &&
                 depth < kMaxMimeDepth;
  if (type == "multipart" || (type == "message" && subtype == "rfc822" && !message)) {
    type = "application";
    subtype = "octet-stream";
  }
  std::string body = BodyText(e);
  std::string params = ParamList(ct.paramList());
  if (params == "NIL" && type == "text") params = "(\"CHARSET\" \"US-ASCII\")";
  std::string encoding = Upper(e.header().contentTransferEncoding().mechanism());
  if (encoding.empty()) encoding = "7BIT";
  out += "(" + Quoted(Upper(type)) + " " + Quoted(Upper(subtype)) + " " + params + " " +
         NStringField(e, "Content-ID") + " " + NStringField(e, "Content-Description") + " " +
         Quoted(encoding) + " " + std::to_string(body.size());
  if (message) {
    const mimetic::MimeEntity& inner = *parts.front();
    out += " " + FormatImapEnvelope(HeaderText(inner)) + " ";
    Describe(inner, extended, depth + 1, false, out);
    out += " " + std::to_string(CountLines(body));
  } else if (type == "text") {
    out += " " + std::to_string(CountLines(body));
  }
  if (extended)
    out += " " + NStringField(e, "Content-MD5") + " " + Disposition(e) + " " +
           NStringField(e, "Content-Language") + " " + NStringField(e, "Content-Location");
  out += ')';
}

// The entity a part path ("1", "2.1") names inside the message, or null.
const mimetic::MimeEntity* FindPart(const mimetic::MimeEntity& root,
                                    const std::vector<unsigned>& path) {
  const mimetic::MimeEntity* e = &root;
  for (unsigned n : path) {
    // An attached message stands for its own parts: 2.1 is the first part of
    // the message in part 2 (or its body when it is not multipart).
    const mimetic::ContentType& ct = e->header().contentType();
    if (Lower(ct.type()) == "message" && e->body().parts().size() == 1)
      e = e->body().parts().front();
    const mimetic::MimeEntityList& parts = e->body().parts();
    if (Lower(e->header().contentType().type()) != "multipart") {
      if (n != 1) return nullptr;
      continue;  // a single-part entity's part 1 is itself
    }
    if (n == 0 || n > parts.size()) return nullptr;
    auto it = parts.begin();
    std::advance(it, n - 1);
    e = *it;
  }
  return e;
}

}  // namespace

// mimetic reports some malformed structures by throwing (a boundary that ends
// inside another part's data made it throw std::length_error). Nothing it throws
// may leave this file: a message the parser cannot take is described as one
// opaque part of the size of its body, and its numbered sections are not found.
std::string FormatImapBodyStructure(const std::string& text, bool extended) {
  std::string out;
  try {
    mimetic::MimeEntity root(text.begin(), text.end());
    Describe(root, extended, 0, false, out);
    return out;
  } catch (...) {
  }
  size_t split = text.find("\r\n\r\n");
  size_t body = split == std::string::npos ? 0 : text.size() - split - 4;
  out = "(\"APPLICATION\" \"OCTET-STREAM\" NIL NIL NIL \"7BIT\" " + std::to_string(body);
  if (extended) out += " NIL NIL NIL NIL";
  return out + ")";
}

bool ParseMimeSection(const std::string& spec, std::vector<unsigned>& path, std::string& rest) {
  path.clear();
  size_t pos = 0;
  while (pos < spec.size() && isdigit(static_cast<unsigned char>(spec[pos]))) {
    unsigned long n = 0;
    size_t start = pos;
    while (pos < spec.size() && isdigit(static_cast<unsigned char>(spec[pos])) && pos - start < 9)
      n = n * 10 + unsigned(spec[pos++] - '0');
    if (n == 0 || (pos < spec.size() && isdigit(static_cast<unsigned char>(spec[pos]))))
      return false;
    path.push_back(unsigned(n));
    if (pos == spec.size()) break;
    if (spec[pos] != '.') return false;
    ++pos;
  }
  if (path.empty() || path.size() > 64 || spec.back() == '.') return false;
  rest = spec.substr(pos);
  return rest == "" || rest == "MIME" || rest == "HEADER" || rest == "TEXT" ||
         rest == "HEADER.FIELDS" || rest == "HEADER.FIELDS.NOT";
}

namespace {

bool ExtractParsedSection(const std::string& text, const std::vector<unsigned>& path,
                          const std::string& rest, std::string& out) {
  mimetic::MimeEntity root(text.begin(), text.end());
  const mimetic::MimeEntity* e = FindPart(root, path);
  if (!e) return false;
  if (rest == "MIME") {
    out = HeaderText(*e);
    return true;
  }
  if (rest.empty()) {
    out = BodyText(*e);
    return true;
  }
  // HEADER and TEXT are of an attached message only.
  if (Lower(e->header().contentType().type()) != "message" || e->body().parts().size() != 1)
    return false;
  const mimetic::MimeEntity& inner = *e->body().parts().front();
  out = rest == "TEXT" ? BodyText(inner) : HeaderText(inner);
  return true;
}

}  // namespace

bool ExtractMimeSection(const std::string& text, const std::vector<unsigned>& path,
                        const std::string& rest, std::string& out) {
  out.clear();
  try {
    return ExtractParsedSection(text, path, rest, out);
  } catch (...) {  // see FormatImapBodyStructure
    out.clear();
    return false;
  }
}
