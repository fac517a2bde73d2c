// Fuzzes the POP3 server's reading of one command line as a session reads it:
// the line as the network layer hands it over, the command word and its token,
// USER's name, APOP's name and digest (and the digest computed for them), the
// message numbers and TOP's line count, and the replies that echo the peer's
// text. The same bytes also go through the pieces that handle stored messages
// for a client (line stuffing, the Status header of a rewrite), which carry
// strangers' mail.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "server/pop3/pop3_words.h"
#include "server/smtp/smtp_words.h"

namespace {

bool Inside(std::string_view part, std::string_view whole) {
  if (part.empty()) return true;
  return part.data() >= whole.data() && part.data() + part.size() <= whole.data() + whole.size();
}

void CheckReply(int code, std::string_view text) {
  std::string out;
  Pop3ReplyArgs args;
  args.text = text;
  args.second = text;
  args.first = 1;
  args.number = 2;
  if (!ComposePop3Reply(code, kFormPlain, args, out)) __builtin_trap();
  if (out.size() < 2 || out.compare(out.size() - 2, 2, "\r\n") != 0) __builtin_trap();
  if (out.find_first_of("\r\n") != out.size() - 2) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view all(reinterpret_cast<const char*>(data), size);
  // What NetReadLine gives the session: up to the LF, without CRs, at most
  // 2047 bytes.
  std::string line;
  for (size_t i = 0; i < size && data[i] != '\n' && line.size() < 2047; ++i)
    if (data[i] != '\r') line += char(data[i]);

  SmtpCommandLine parts = SplitSmtpLine(line);
  Pop3Token token = FindPop3Token(parts.word);
  if (token != kPopTokUnknown && parts.word.empty()) __builtin_trap();
  std::string_view argument = parts.argument;
  if (!Inside(argument, line)) __builtin_trap();

  std::string_view name, digest;
  if (SplitApopArgument(argument, name, digest)) {
    if (name.empty() || !Inside(name, argument) || !Inside(digest, argument)) __builtin_trap();
    if (name.find_first_of(" \t") != std::string_view::npos) __builtin_trap();
    std::string stamp = MakeApopStamp(uint16_t(size), uint32_t(size * 7919), "mail.example.com");
    std::string computed = ComputeApopDigest(stamp, digest);
    if (computed.size() != 32) __builtin_trap();
  }
  std::string_view user = FirstWord(argument);
  if (!Inside(user, argument)) __builtin_trap();
  CheckReply(kPopWelcome, user);
  CheckReply(kPopNeverHeard, user);

  long long number = ParseMessageNumber(argument);
  if (number < 0) __builtin_trap();
  std::string_view second = SecondArgument(argument);
  if (!Inside(second, argument)) __builtin_trap();
  if (ParseLineCount(second) < 0) __builtin_trap();

  // Stored message text on its way to a client.
  std::string wire;
  AppendMessageLine(line, wire);
  if (wire.size() < line.size() + 2) __builtin_trap();
  IsQuotedFromLine(line);
  std::string block(all.substr(0, 16384));
  ApplyStatusHeader(block, (size & 1) != 0);
  if (block.find("Status: ") == std::string::npos) __builtin_trap();
  return 0;
}
