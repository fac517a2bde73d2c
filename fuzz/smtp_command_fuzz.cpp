// Fuzzes the SMTP server's reading of one command line, in the order a session
// reads it: the line as the network layer hands it over (cut at LF, CRs
// dropped, refused when it holds a NUL), the command word and its token, MAIL's
// and RCPT's angle address and MAIL's SIZE= parameter, HELP's topic, and the
// replies that echo the peer's text. Every piece must lie inside the line, and
// no reply may carry a line end the peer smuggled in.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "server/smtp/smtp_words.h"

namespace {

bool Inside(std::string_view part, std::string_view whole) {
  if (part.empty()) return true;
  return part.data() >= whole.data() && part.data() + part.size() <= whole.data() + whole.size();
}

void CheckReply(int code, std::string_view text, std::string_view second) {
  SmtpReplyArgs args;
  args.text = text;
  args.second = second;
  args.host = "mail.example.com";
  std::string out;
  if (!ComposeSmtpLine(code, args, out)) __builtin_trap();
  MaskTo7Bit(out);
  if (out.find_first_of("\r\n") != std::string::npos) __builtin_trap();
  for (char c : out)
    if (static_cast<unsigned char>(c) > 0x7f) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // What NetReadLine gives the session: up to the LF, without CRs, at most
  // 2047 bytes; the session refuses a line holding a NUL before parsing it.
  std::string line;
  for (size_t i = 0; i < size && data[i] != '\n' && line.size() < 2047; ++i)
    if (data[i] != '\r') line += char(data[i]);
  if (line.find('\0') != std::string::npos) return 0;

  for (bool client : {false, true}) {
    SmtpCommandLine parts = SplitSmtpLine(line, client);
    if (!Inside(parts.word, line) || !Inside(parts.argument, line)) __builtin_trap();
    if (parts.word.size() + parts.argument.size() > line.size()) __builtin_trap();
  }
  SmtpCommandLine parts = SplitSmtpLine(line);
  SmtpToken token = FindSmtpToken(parts.word);
  if (token == kTokDot && parts.word != ".") __builtin_trap();

  std::string_view address, rest;
  if (ExtractAngleAddress(parts.argument, address, rest)) {
    if (!Inside(address, parts.argument) || !Inside(rest, parts.argument)) __builtin_trap();
    if (address.find('>') != std::string_view::npos) __builtin_trap();
    long value = -1;
    if (ParseSizeParameter(rest, value) && value < 0) __builtin_trap();
    // The replies that echo what the peer sent.
    CheckReply(kReplyBadMailbox, address, {});
    CheckReply(kReplyNoSuchUser, address, {});
    CheckReply(kReplyWillForward, address, rest);
    CheckReply(kReplyOk, address, {});
    CheckReply(kCmdRcpt, address, {});
  }
  long value = -1;
  if (ParseSizeParameter(parts.argument, value) && value < 0) __builtin_trap();
  std::string_view word = FirstWord(parts.argument);
  if (!Inside(word, parts.argument)) __builtin_trap();
  FindHelpTopic(parts.argument);
  CheckReply(kReplyNoList, parts.argument, {});
  CheckReply(kReplyHelo, word, parts.argument);

  std::string_view dataLine = line;
  if (!UnstuffDataLine(dataLine) && dataLine.size() + 1 < line.size()) __builtin_trap();
  return 0;
}
