// The real server for list and responder tests: corvel95 on a free loopback
// port, configured with corvelreg (import, set, export), mail sent with swaks
// and smtplib, the administrator's corveladm, mailbox files read whole.
#pragma once

#include <stdio.h>

#include <regex>
#include <string>
#include <vector>

#include "platform/files.h"
#include "platform/registry.h"
#include "platform/tick.h"
#include "tests/core/test_home.h"
#include "tests/delivery/delivery_fixture.h"

// Decodes every message of a mailbox file: one line per message, its subject, a
// tab and the hex of the file it carries (plain text as is, uuencode, base64
// with or without MIME).
inline constexpr const char* kDecodeScript = R"(import base64, binascii, email, re, sys
data = open(sys.argv[1], 'rb').read()[:-2]  # the mailbox's CR LF after the last message
seps = list(re.finditer(rb'(?:^|\r\n\r\n)From \S+ [A-Z][a-z][a-z] [A-Z][a-z][a-z] [^\r\n]*\r\n', data))
for i, sep in enumerate(seps):
    m = data[sep.end():seps[i + 1].start() if i + 1 < len(seps) else len(data)]
    msg = email.message_from_bytes(m)
    head, body = m.split(b'\r\n\r\n', 1)
    if msg.is_multipart():
        out = msg.get_payload()[0].get_payload(decode=True)
    elif b'\r\nbegin 777 ' in b'\r\n' + body:
        lines = body.split(b'begin 777 ', 1)[1].split(b'\r\n')[1:]
        out = b''.join(binascii.a2b_uu(l) for l in lines[:lines.index(b' ')])
    elif body.endswith(b'====\r\n'):
        out = base64.b64decode(b''.join(body[:-6].split()))  # "====" ends it
    else:
        out = body.lstrip(b'\r\n')
    print(msg['Subject'] + '\t' + out.hex())
)";

inline constexpr uint32_t kListWaitMs = 20000;
inline constexpr const char* kListDomain = "mail.example.org";
inline constexpr const char* kCorvelKey = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Tollgrove\\Corvel";

inline std::string Hex(const std::string& bytes) {
  static const char* d = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) (out += d[c >> 4]) += d[c & 15];
  return out;
}

// A list's configuration and members as registry text. `members` are records.
inline std::string ListText(const std::string& config, const std::string& domainKey,
                     const std::string& values, const std::vector<std::string>& members) {
  std::string k = std::string(kCorvelKey) + domainKey + "\\ListsAndResponders\\" + config;
  std::string out = "[" + k + "\\Configuration]\r\n" + values + "\r\n[" + k + "\\Users]\r\n";
  char n[64];
  snprintf(n, sizeof n, "\"NumUsers\"=dword:%08zx\r\n\"ActualUsers\"=dword:%08zx\r\n",
           members.size(), members.size());
  out += n;
  for (size_t i = 0; i < members.size(); ++i)
    out += "\"User" + std::to_string(i + 1) + "\"=\"" + members[i] + "\"\r\n";
  return out + "\r\n";
}

class ListServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    port_ = FreeLoopbackPort();
    WriteLoopbackServerSettings(port_);
    RegCloseStore();
    Import(Configuration());
  }
  void TearDown() override {
    server_.Stop();
    if (HasFailure()) system(("tail -n 80 " + home_.dir + "maillog.txt").c_str());
  }
  // The test's registry text (without the .reg header line); imported before start.
  virtual std::string Configuration() { return ""; }

  void Start() { ASSERT_TRUE(server_.Start(home_.dir, port_)) << Read(home_.dir + "out.txt"); }

  // ---- Files -------------------------------------------------------------------
  std::string Path(const std::string& name) const { return home_.dir + name; }
  std::string Box(const std::string& user) const { return home_.dir + user + ".mbx"; }
  static std::string Read(const std::string& path) {
    std::string text;
    ReadWholeFile(path, text);
    return text;
  }
  void WriteFile(const std::string& name, const std::string& bytes) {
    UniqueFd fd(open(Path(name).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644));
    ASSERT_TRUE(fd.valid()) << name;
    ASSERT_TRUE(WriteAll(fd.get(), bytes.data(), bytes.size()));
  }
  std::vector<std::string> Spool(const std::string& pattern) const {
    std::vector<std::string> all;
    for (const std::string& f : ListFiles(home_.dir, pattern)) all.push_back(home_.dir + f);
    return all;
  }

  // ---- Programs ------------------------------------------------------------------
  static std::string Bin(const char* name) { return std::string(CORVEL_BIN_DIR) + "/" + name; }
  // Runs a shell command; returns its exit status, its standard output in `out`.
  int Run(const std::string& command, std::string* out = nullptr) {
    std::string file = Path("run.stdout");
    int rc = system((command + " >'" + file + "' 2>>'" + Path("run.stderr") + "'").c_str());
    if (out) *out = Read(file);
    return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
  }
  // corvelreg import of `body` (keys and values below the header line).
  void Import(const std::string& body) {
    if (body.empty()) return;
    WriteFile("import.reg", "Windows Registry Editor Version 5.00\r\n\r\n" + body);
    ASSERT_EQ(Run(Bin("corvelreg") + " --home " + home_.dir + " import " + Path("import.reg")), 0)
        << Read(Path("run.stderr"));
  }
  // corvelreg set KEY VALUE TYPE DATA; KEY below SOFTWARE\Tollgrove\Corvel.
  void Set(const std::string& key, const std::string& value, const char* type,
           const std::string& data) {
    std::string full = std::string(kCorvelKey) + (key.empty() ? "" : "\\" + key);
    ASSERT_EQ(Run(Bin("corvelreg") + " --home " + home_.dir + " set '" + full + "' '" + value +
                  "' " + type + " '" + data + "'"),
              0)
        << Read(Path("run.stderr"));
  }
  std::string Export(const std::string& key) {
    std::string out;
    Run(Bin("corvelreg") + " --home " + home_.dir + " export '" + kCorvelKey + "\\" + key + "'",
        &out);
    return out;
  }
  // corveladm with `args` (already quoted for the shell).
  int Adm(const std::string& args, std::string* out = nullptr) {
    return Run(Bin("corveladm") + " --home " + home_.dir + " " + args, out);
  }

  // ---- Clients -------------------------------------------------------------------
  // swaks with its own arguments (quoted for the shell); true when accepted.
  bool Swaks(const std::string& from, const std::string& to, const std::string& args) {
    return Run("swaks --silent 2 --server 127.0.0.1 --port " + std::to_string(port_) +
               " --from '" + from + "' --to '" + to + "' " + args) == 0;
  }
  // smtplib with the message bytes as given; true when accepted.
  bool Smtplib(const std::string& from, const std::string& to, const std::string& message) {
    WriteFile("message.eml", message);
    WriteFile("send.py",
              "import smtplib, sys\n"
              "s = smtplib.SMTP('127.0.0.1', " + std::to_string(port_) + ", timeout=30)\n"
              "r = s.sendmail(sys.argv[1], [sys.argv[2]], open(sys.argv[3], 'rb').read())\n"
              "s.quit()\n"
              "raise SystemExit(1 if r else 0)\n");
    return Run("python3 " + Path("send.py") + " '" + from + "' '" + to + "' " +
               Path("message.eml")) == 0;
  }

  // ---- Waiting -------------------------------------------------------------------
  bool WaitMessages(const std::string& user, size_t n, uint32_t ms = kListWaitMs) {
    return WaitForMailboxMessages(Box(user), n, ms);
  }
  // True once nothing waits in the incoming queue (and nothing is being written).
  bool WaitQueueEmpty(uint32_t ms = kListWaitMs) {
    uint32_t start = GetTickCount32();
    for (;;) {
      bool empty = true;
      for (const char* p : {"*.in", "*.inr", "*.mla", "*.wrm"}) empty = empty && Spool(p).empty();
      if (empty) return true;
      if (TickElapsed(GetTickCount32(), start) > ms) return false;
      SleepMs(50);
    }
  }
  bool LogHas(const std::string& text) {
    return Read(Path("maillog.txt")).find(text) != std::string::npos;
  }

  // The text with what depends on the clock or chance masked: separator and
  // Received dates, Date: values, Message-Id: values, MIME boundaries.
  static std::string Normalized(const std::string& text) {
    std::string out = std::regex_replace(
        text, std::regex("(\r\n|^)From ([^ \r\n]+) [A-Z][a-z][a-z] [A-Z][a-z][a-z] [ 0-9:]+\r\n"),
        "$1From $2 <date>\r\n");
    out = std::regex_replace(out, std::regex("\\); [A-Z][a-z][a-z], [^\r\n]+\r\n"), "); <date>\r\n");
    out = std::regex_replace(out, std::regex("\r\nDate: [^\r\n]+"), "\r\nDate: <date>");
    out = std::regex_replace(out, std::regex("\r\nMessage-Id: <[^\r\n]+>"), "\r\nMessage-Id: <id>");
    return std::regex_replace(out, std::regex("=_[0-9]+==_"), "=_TICK==_");
  }
  // The messages of a mailbox file, each from its separator line to the end of
  // its text (the mailbox's own CR LF after each message left out).
  static std::vector<std::string> Messages(const std::string& mailbox) {
    std::vector<std::string> out;
    std::regex separator("(^|\r\n\r\n)From [^ \r\n]+ [A-Z][a-z][a-z] [A-Z][a-z][a-z] ");
    std::vector<size_t> at;  // where each separator match begins
    for (auto it = std::sregex_iterator(mailbox.begin(), mailbox.end(), separator);
         it != std::sregex_iterator(); ++it)
      at.push_back(size_t(it->position()));
    for (size_t i = 0; i < at.size(); ++i) {
      size_t start = at[i] + (at[i] == 0 ? 0 : 4);
      size_t end = i + 1 < at.size() ? at[i + 1] : mailbox.size() - 2;
      out.push_back(mailbox.substr(start, end - start));
    }
    return out;
  }
  std::vector<std::string> Decoded(const std::string& user) {
    WriteFile("decode.py", kDecodeScript);
    std::string out;
    EXPECT_EQ(Run("python3 " + Path("decode.py") + " " + Box(user), &out), 0)
        << Read(Path("run.stderr"));
    std::vector<std::string> lines;
    for (size_t p = 0, e; p < out.size(); p = e + 1) {
      e = out.find('\n', p);
      lines.push_back(out.substr(p, e - p));
    }
    return lines;
  }
  // The user records of `names`, mailboxes in the home.
  std::string UserRecords(const std::vector<std::string>& names) const {
    std::string out = "[" + std::string(kCorvelKey) + "\\Users]\r\n";
    for (const std::string& n : names)
      out += "\"" + n + "\"=\"u;" + n + ";" + Box(n) + ";;;\"\r\n";
    return out + "\r\n";
  }

  TestHome home_;
  int port_ = 0;
  ServerProcess server_;
};
