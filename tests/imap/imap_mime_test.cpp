// BODYSTRUCTURE and the numbered sections over nested MIME, checked against the
// RFC 3501 body grammar, and malformed MIME that must still get an answer.
#include <gtest/gtest.h>

#include <cctype>

#include "server/imap/imap.h"

namespace {

// A nested message: mixed( alternative(text, html), attached message (mixed of
// text and an image), a PDF whose file name is encoded ).
std::string Nested() {
  return "From: Ann <ann@example.org>\r\n"
         "To: bob@example.org\r\n"
         "Subject: nested\r\n"
         "MIME-Version: 1.0\r\n"
         "Content-Type: multipart/mixed; boundary=\"outer\"\r\n"
         "\r\n"
         "preamble\r\n"
         "--outer\r\n"
         "Content-Type: multipart/alternative; boundary=alt\r\n"
         "\r\n"
         "--alt\r\n"
         "Content-Type: text/plain; charset=utf-8\r\n"
         "\r\n"
         "plain line one\r\n"
         "plain line two\r\n"
         "--alt\r\n"
         "Content-Type: text/html; charset=utf-8\r\n"
         "Content-Transfer-Encoding: quoted-printable\r\n"
         "\r\n"
         "<p>html</p>\r\n"
         "--alt--\r\n"
         "--outer\r\n"
         "Content-Type: message/rfc822\r\n"
         "Content-Description: forwarded\r\n"
         "\r\n"
         "From: carl@example.org\r\n"
         "Subject: inner\r\n"
         "Content-Type: multipart/mixed; boundary=in\r\n"
         "\r\n"
         "--in\r\n"
         "Content-Type: text/plain\r\n"
         "\r\n"
         "inner text"
         "--in\r\n"
         "Content-Type: image/png; name=dot.png\r\n"
         "Content-Transfer-Encoding: base64\r\n"
         "Content-ID: <dot@x>\r\n"
         "\r\n"
         "iVBORw0KGgo="
         "--in--\r\n"
         "--outer\r\n"
         "Content-Type: application/pdf\r\n"
         "Content-Disposition: attachment; filename=\"=?UTF-8?B?w6lsw6h2ZS5wZGY=?=\"\r\n"
         "Content-Transfer-Encoding: base64\r\n"
         "\r\n"
         "JVBERi0="
         "--outer--\r\n";
}

// A recursive-descent check of RFC 3501's `body` production (the extension
// data included), over a BODYSTRUCTURE string with no literals.
struct Grammar {
  std::string_view s;
  size_t p = 0;
  bool Lit(std::string_view t) {
    if (s.substr(p, t.size()) != t) return false;
    p += t.size();
    return true;
  }
  bool Sp() { return Lit(" "); }
  bool Quoted() {
    if (!Lit("\"")) return false;
    while (p < s.size() && s[p] != '"') p += s[p] == '\\' ? 2 : 1;
    return Lit("\"");
  }
  bool NString() { return Lit("NIL") || Quoted(); }
  bool Number() {
    size_t b = p;
    while (p < s.size() && isdigit(static_cast<unsigned char>(s[p]))) ++p;
    return p > b;
  }
  bool Params() {
    if (Lit("NIL")) return true;
    if (!Lit("(") || !Quoted() || !Sp() || !Quoted()) return false;
    while (Sp())
      if (!Quoted() || !Sp() || !Quoted()) return false;
    return Lit(")");
  }
  bool Disposition() {
    return Lit("NIL") || (Lit("(") && Quoted() && Sp() && Params() && Lit(")"));
  }
  bool Address() {
    return Lit("(") && NString() && Sp() && NString() && Sp() && NString() && Sp() &&
           NString() && Lit(")");
  }
  bool Addresses() {
    if (Lit("NIL")) return true;
    if (!Lit("(")) return false;
    while (!Lit(")"))
      if (!Address()) return false;
    return true;
  }
  bool Envelope() {
    if (!Lit("(") || !NString() || !Sp() || !NString()) return false;
    for (int i = 0; i < 6; ++i)
      if (!Sp() || !Addresses()) return false;
    return Sp() && NString() && Sp() && NString() && Lit(")");
  }
  bool Extension() {  // body-fld-md5 or body-fld-param, then dsp, lang, loc
    return Sp() && Disposition() && Sp() && NString() && Sp() && NString();
  }
  bool Body() {
    if (!Lit("(")) return false;
    if (s.substr(p, 1) == "(") {
      while (s.substr(p, 1) == "(")
        if (!Body()) return false;
      if (!Sp() || !Quoted()) return false;
      if (Sp() && !(Params() && Extension())) return false;
      return Lit(")");
    }
    size_t typeAt = p;
    if (!Quoted() || !Sp() || !Quoted() || !Sp() || !Params() || !Sp() || !NString() || !Sp() ||
        !NString() || !Sp() || !Quoted() || !Sp() || !Number())
      return false;
    std::string_view type = s.substr(typeAt, p - typeAt);
    if (type.rfind("\"MESSAGE\" \"RFC822\"", 0) == 0) {
      if (!Sp() || !Envelope() || !Sp() || !Body() || !Sp() || !Number()) return false;
    } else if (type.rfind("\"TEXT\"", 0) == 0) {
      if (!Sp() || !Number()) return false;
    }
    if (Sp() && !(NString() && Extension())) return false;
    return Lit(")");
  }
  bool Whole() { return Body() && p == s.size(); }
};

bool Grammatical(const std::string& structure) {
  Grammar g{structure};
  return g.Whole();
}

std::string Section(const std::string& text, const std::string& spec) {
  std::vector<unsigned> path;
  std::string rest, out;
  if (!ParseMimeSection(spec, path, rest)) return "(bad)";
  if (!ExtractMimeSection(text, path, rest, out)) return "(none)";
  return out;
}

TEST(ImapMime, NestedStructureFollowsTheGrammarAndNumbersTheParts) {
  std::string text = Nested();
  std::string structure = FormatImapBodyStructure(text, true);
  EXPECT_EQ(
      structure,
      "(((\"TEXT\" \"PLAIN\" (\"CHARSET\" \"utf-8\") NIL NIL \"7BIT\" 30 2 NIL NIL NIL NIL)"
      "(\"TEXT\" \"HTML\" (\"CHARSET\" \"utf-8\") NIL NIL \"QUOTED-PRINTABLE\" 11 1 NIL NIL NIL "
      "NIL) \"ALTERNATIVE\" (\"BOUNDARY\" \"alt\") NIL NIL NIL)"
      "(\"MESSAGE\" \"RFC822\" NIL NIL \"forwarded\" \"7BIT\" 261 (NIL \"inner\" "
      "((NIL NIL \"carl\" \"example.org\")) ((NIL NIL \"carl\" \"example.org\")) "
      "((NIL NIL \"carl\" \"example.org\")) NIL NIL NIL NIL NIL) "
      "((\"TEXT\" \"PLAIN\" (\"CHARSET\" \"US-ASCII\") NIL NIL \"7BIT\" 10 1 NIL NIL NIL NIL)"
      "(\"IMAGE\" \"PNG\" (\"NAME\" \"dot.png\") \"<dot@x>\" NIL \"BASE64\" 12 NIL NIL NIL NIL) "
      "\"MIXED\" (\"BOUNDARY\" \"in\") NIL NIL NIL) 15 NIL NIL NIL NIL)"
      "(\"APPLICATION\" \"PDF\" NIL NIL NIL \"BASE64\" 8 NIL (\"ATTACHMENT\" "
      "(\"FILENAME\" \"=?UTF-8?B?w6lsw6h2ZS5wZGY=?=\")) NIL NIL) "
      "\"MIXED\" (\"BOUNDARY\" \"outer\") NIL NIL NIL)")
      << structure;
  EXPECT_TRUE(Grammatical(structure)) << structure;
  std::string body = FormatImapBodyStructure(text, false);
  EXPECT_TRUE(Grammatical(body)) << body;
  EXPECT_EQ(body.find("BOUNDARY"), std::string::npos) << body;

  // The line break before a boundary belongs to the boundary.
  EXPECT_EQ(Section(text, "1.1"), "plain line one\r\nplain line two");
  EXPECT_EQ(Section(text, "1.2"), "<p>html</p>");
  EXPECT_EQ(Section(text, "1.2.MIME"),
            "Content-Type: text/html; charset=\"utf-8\"\r\n"
            "Content-Transfer-Encoding: quoted-printable\r\n\r\n");
  EXPECT_EQ(Section(text, "2.HEADER").find("Subject: inner\r\n") != std::string::npos, true);
  EXPECT_EQ(Section(text, "2.1"), "inner text");
  EXPECT_EQ(Section(text, "2.2"), "iVBORw0KGgo=");
  EXPECT_EQ(Section(text, "3"), "JVBERi0=");
  EXPECT_EQ(Section(text, "4"), "(none)");
  EXPECT_EQ(Section(text, "1.3"), "(none)");
  EXPECT_EQ(Section(text, "3.HEADER"), "(none)");  // not an attached message
  for (const char* bad : {"0", "1.", "1..2", "1.FOO", "x", "99999999999"})
    EXPECT_EQ(Section(text, bad), "(bad)") << bad;
}

TEST(ImapMime, MalformedMimeStillGetsAGrammaticalAnswer) {
  std::vector<std::string> inputs;
  // No closing boundary.
  inputs.push_back(
      "Content-Type: multipart/mixed; boundary=b\r\n\r\n--b\r\nContent-Type: text/plain\r\n\r\n"
      "cut short");
  // A thousand nested multiparts.
  std::string deep;
  for (int i = 0; i < 1000; ++i)
    deep += "Content-Type: multipart/mixed; boundary=b" + std::to_string(i) + "\r\n\r\n--b" +
            std::to_string(i) + "\r\n";
  deep += "Content-Type: text/plain\r\n\r\nbottom\r\n";
  for (int i = 999; i >= 0; --i) deep += "--b" + std::to_string(i) + "--\r\n";
  inputs.push_back(deep);
  // A 64 KB header line, and a multipart with no parts at all.
  inputs.push_back("Subject: " + std::string(65536, 'x') + "\r\nContent-Type: text/plain\r\n\r\nb\r\n");
  inputs.push_back("Content-Type: multipart/mixed; boundary=b\r\n\r\nno parts here\r\n");
  inputs.push_back("Content-Type: message/rfc822\r\n\r\n");
  inputs.push_back("");
  for (const std::string& in : inputs) {
    std::string s = FormatImapBodyStructure(in, true);
    EXPECT_TRUE(Grammatical(s)) << s.substr(0, 300);
    EXPECT_TRUE(Grammatical(FormatImapBodyStructure(in, false)));
    std::string out;
    ExtractMimeSection(in, {1}, "", out);
    ExtractMimeSection(in, {1, 1, 1}, "MIME", out);
  }
}

// A message that made the MIME parser throw (found by the fuzz target): still an
// answer, and no section, instead of an exception out of the FETCH code.
TEST(ImapMime, AMessageTheParserThrowsOnIsOnePart) {
  const std::string text(
      "From: a@b\r\nContent-Type: multipart/mixe\n\x00""\x00""\x00""k\x00""\x00""\x00""\x00""ar"
      "y=o\r\n\r\n--o\r\xff""\x00""ont\r\nCon\x01""From: a@b\r\nContent-Type: multipart/mi char"
      "set=utf-8ication/pdf\r\nContent-Disposition: attachmentB filename*=UTF-8''%C3%A9.pdf\r\n"
      "\r\nJVBE: a@b--\r\n\n\r\n--a\r\nContent-Type: text\xda""plain; charset=utf-8\r\n\r\nx\r"
      "\n--a--\r\n--o\r\nConme*=U\n--a--\r\n--o\r\nContent-Type: messa\n",
      320);
  std::string s = FormatImapBodyStructure(text, true);
  EXPECT_TRUE(Grammatical(s)) << s;
  EXPECT_TRUE(Grammatical(FormatImapBodyStructure(text, false)));
  std::string out;
  ExtractMimeSection(text, {1}, "", out);
  ExtractMimeSection(text, {2, 1}, "MIME", out);
}

}  // namespace
