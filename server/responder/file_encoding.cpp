// Plain, uuencode and base64 encoding of files, piece by piece.
#include "server/responder/file_encoding.h"

#include <algorithm>

namespace {

constexpr char kBase64Alphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr char kUuOffset = 32;

unsigned char Byte(std::string_view s, size_t i) {
  return i < s.size() ? static_cast<unsigned char>(s[i]) : 0;
}

// One uuencode line: the length character, then each 3 bytes (the last group
// padded with zero bytes) as 4 characters of 6 bits + 32.
void UuencodeLine(std::string_view bytes, std::string& out) {
  out += char(kUuOffset + int(bytes.size()));
  for (size_t i = 0; i < bytes.size(); i += 3) {
    unsigned b0 = Byte(bytes, i), b1 = Byte(bytes, i + 1), b2 = Byte(bytes, i + 2);
    out += char(kUuOffset + (b0 >> 2));
    out += char(kUuOffset + (((b0 & 0x03) << 4) | (b1 >> 4)));
    out += char(kUuOffset + (((b1 & 0x0f) << 2) | (b2 >> 6)));
    out += char(kUuOffset + (b2 & 0x3f));
  }
  out += "\r\n";
}

// One base64 line; a short last group is padded with '='.
void Base64Line(std::string_view bytes, std::string& out) {
  for (size_t i = 0; i < bytes.size(); i += 3) {
    unsigned b0 = Byte(bytes, i), b1 = Byte(bytes, i + 1), b2 = Byte(bytes, i + 2);
    size_t left = bytes.size() - i;
    out += kBase64Alphabet[b0 >> 2];
    out += kBase64Alphabet[((b0 & 0x03) << 4) | (b1 >> 4)];
    out += left > 1 ? kBase64Alphabet[((b1 & 0x0f) << 2) | (b2 >> 6)] : '=';
    out += left > 2 ? kBase64Alphabet[b2 & 0x3f] : '=';
  }
  out += "\r\n";
}

// Plain text with bare LF made CR LF; a CR at the end of a piece is remembered
// so that a CR LF split between two pieces stays one line end.
void PlainText(FileEncoder& e, std::string_view text, std::string& out) {
  for (char c : text) {
    if (c == '\n' && !e.lastWasCr) out += '\r';
    out += c;
    e.lastWasCr = c == '\r';
  }
}

}  // namespace

bool LooksBinary(std::string_view head) {
  for (size_t i = 0; i < head.size() && i < kTextCheckBytes; ++i) {
    unsigned char c = static_cast<unsigned char>(head[i]);
    if (c >= 0x80) return true;
    if (c < 32 && c != '\t' && c != '\n' && c != '\r' && c != kEndOfFileMark) return true;
  }
  return false;
}

void EncodeFilePiece(FileEncoder& e, std::string_view piece, std::string& out) {
  if (e.mode == FileMode::kPlain || e.mode == FileMode::kAuto) {
    // A 0x1A is held back until we know whether the file ends with it.
    std::string text = std::move(e.carry);
    e.carry.clear();
    text.append(piece);
    if (!text.empty() && text.back() == kEndOfFileMark) {
      e.carry = std::string(1, kEndOfFileMark);
      text.pop_back();
    }
    PlainText(e, text, out);
    return;
  }
  size_t lineBytes = e.mode == FileMode::kUuencode ? kUuencodeLineBytes : kBase64LineBytes;
  std::string_view data = piece;
  if (!e.carry.empty()) {
    size_t take = std::min(lineBytes - e.carry.size(), data.size());
    e.carry.append(data.substr(0, take));
    data.remove_prefix(take);
    if (e.carry.size() < lineBytes) return;
    e.mode == FileMode::kUuencode ? UuencodeLine(e.carry, out) : Base64Line(e.carry, out);
    e.carry.clear();
  }
  while (data.size() >= lineBytes) {
    std::string_view line = data.substr(0, lineBytes);
    e.mode == FileMode::kUuencode ? UuencodeLine(line, out) : Base64Line(line, out);
    data.remove_prefix(lineBytes);
  }
  e.carry.assign(data);
}

void FinishFileEncoding(FileEncoder& e, std::string& out) {
  switch (e.mode) {
    case FileMode::kAuto:
    case FileMode::kPlain:
      e.carry.clear();  // only a final 0x1A can be left: it is dropped
      break;
    case FileMode::kUuencode:
      if (!e.carry.empty()) UuencodeLine(e.carry, out);
      out += kUuencodeEnd;
      break;
    case FileMode::kBase64:
      if (!e.carry.empty()) Base64Line(e.carry, out);
      out += kBase64End;
      break;
  }
  e.carry.clear();
}
