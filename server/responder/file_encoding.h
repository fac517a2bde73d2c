// The encodings of files sent by mail (responder files, list resources, welcome
// texts): plain text, uuencode and base64. Each encoder takes the file in pieces
// of any size and keeps what does not fill a line for the next piece, so a file
// is never held in memory whole.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// Bytes one output line carries.
inline constexpr size_t kUuencodeLineBytes = 45;
inline constexpr size_t kBase64LineBytes = 57;  // 76 characters
// What ends an encoded file after its last line.
inline constexpr const char* kUuencodeEnd = " \r\nend\r\n";
inline constexpr const char* kBase64End = "====\r\n";
// Bytes looked at by the text check.
inline constexpr size_t kTextCheckBytes = 512;
// The end-of-file mark of old text files, dropped at the very end of a file.
inline constexpr char kEndOfFileMark = 0x1A;

enum class FileMode { kAuto, kPlain, kUuencode, kBase64 };

// True when `head` (the first bytes of a file) shows a binary file: a byte of
// 0x80 or above, NUL, or a control character other than TAB, LF, CR and 0x1A.
bool LooksBinary(std::string_view head);

// One file being encoded. Feed the pieces in order, then finish.
struct FileEncoder {
  FileMode mode = FileMode::kPlain;  // kAuto is resolved by the caller
  std::string carry;                 // bytes waiting for a full line (or a held 0x1A)
  bool lastWasCr = false;            // plain: the previous piece ended in CR
};

// Appends the encoded form of `piece` to `out`. Plain text has bare LF line ends
// made CR LF (the files of this host end lines with LF; mail wants CR LF) and a
// 0x1A at the end of the file dropped.
void EncodeFilePiece(FileEncoder& e, std::string_view piece, std::string& out);
// Appends what is left and the encoding's end lines.
void FinishFileEncoding(FileEncoder& e, std::string& out);
