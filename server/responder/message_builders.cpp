// Message builders: ready texts, files and listings, each committed as an
// incoming spool file.
#include "server/responder/message_builders.h"

#include <sys/stat.h>

#include "platform/errors.h"
#include "platform/tick.h"
#include "server/accounts/router.h"
#include "server/core/config.h"
#include "server/core/log.h"
#include "server/spool/headers.h"
#include "server/spool/spool.h"

namespace {

// Output is written once more than this is waiting.
constexpr size_t kWriteThreshold = 4096;
constexpr size_t kReadPiece = 16384;

// The failure words of the builders (the answer texts of the responder).
constexpr const char* kNoFileReference = "No file reference for '%s'.\r\n";
constexpr const char* kErrorOpening = "Error %d opening file %s\r\n";
constexpr const char* kNeedsWrapper =
    "Binary file '%s' needs wrapper.\r\nPlease use either 'mode=uuencode' or 'mode=mimebinhex'.\r\n";
constexpr const char* kProblemCreating = "Problem creating output file.\r\n";
constexpr const char* kProblemWriting = "Problem writing data to output file.\r\n";
constexpr const char* kProblemRenaming = "Problem renaming output file.\r\n";
constexpr const char* kCannotRead = "Cannot read from buffer\r\n";

constexpr const char* kMimePlain = "Mime-version: 1.0\r\nContent-type: text/plain; charset=us-ascii\r\n";
constexpr const char* kBoundaryFormat = "=====================_%ld==_";

// Peer or operator text inside one header line: no line break, no NUL.
std::string OneLine(std::string_view s) {
  std::string out(s);
  for (char& c : out)
    if (c == '\r' || c == '\n' || c == '\0') c = ' ';
  return out;
}

// A file name inside a quoted MIME parameter or the "begin" line.
std::string SafeFileName(const std::string& path) {
  std::string name = PathFileName(path);
  for (char& c : name)
    if (c == '"' || c == '\\' || static_cast<unsigned char>(c) < 32) c = '_';
  return name;
}

void Flush(MessageWriter& w) {
  if (w.buffer.empty()) return;
  if (!w.failed && !SpoolWrite(w.fd.get(), w.buffer)) w.failed = true;
  w.buffer.clear();
}

// The header of a file reply or listing.
std::string FileReplyHeader(const std::string& senderUser, const std::string& senderDomain,
                            const std::string& recipient, const std::string& subject) {
  const Settings& s = ServerSettings();
  return "From: " + senderUser + "@" + senderDomain + "\r\nTo: " + recipient +
         "\r\nX-Listprocessor-Version: " + s.productName + "(" + s.productVersion +
         ")\r\nSubject: " + OneLine(subject) + "\r\nAuto-Submitted: " + kAutoReplied + "\r\n";
}

// What stands between the header fields and the encoded file.
std::string BodyHead(FileMode mode, bool mime, const std::string& fileName) {
  switch (mode) {
    case FileMode::kUuencode:
      return std::string(mime ? kMimePlain : "\r\n") + "\r\nbegin 777 " + fileName + "\r\n";
    case FileMode::kBase64: {
      if (!mime) return "\r\n\r\n";
      std::string boundary = FormatText(kBoundaryFormat, long(GetTickCount32()));
      return "Mime-version: 1.0\r\nContent-Type: multipart/mixed; boundary=\"" + boundary +
             "\"\r\n\r\n--" + boundary +
             "\r\nContent-Type: application/octet-stream; name=\"" + fileName +
             "\"\r\nContent-Transfer-Encoding: base64\r\nContent-Disposition: attachment; "
             "filename=\"" + fileName + "\"\r\n\r\n";
    }
    default:
      return std::string(mime ? kMimePlain : "") + "\r\n";
  }
}

}  // namespace

// ---- Writer ------------------------------------------------------------------------

bool BeginMessage(MessageWriter& w, const std::string& envelopeFrom, const std::string& recipient,
                  std::string_view header, std::string& why) {
  std::string envelope;
  if (!FormatEnvelope(envelopeFrom, {recipient}, envelope, why, true)) return false;
  w.fd = CreateSpoolTemp(w.path, true);
  if (!w.fd.valid()) {
    why = kProblemCreating;
    return false;
  }
  w.failed = false;
  w.buffer = envelope;
  w.buffer.append(header);
  w.buffer.append(GeneratedHeaderLines(w.path));
  return true;
}

std::string GeneratedHeaderLines(const std::string& path, bool withDate) {
  MissingHeaderValues values;
  values.idName = path;
  std::string out;
  AppendMissingHeaders(out, kHeaderFrom | kHeaderTo | kHeaderSubject | (withDate ? 0u : uint32_t(kHeaderDate)),
                       values, ServerSettings().localNode);
  return out;
}

void WriteMessageText(MessageWriter& w, std::string_view text) {
  w.buffer.append(text);
  if (w.buffer.size() > kWriteThreshold) Flush(w);
}

bool FinishMessage(MessageWriter& w, std::string& why) {
  Flush(w);
  if (w.failed) {
    why = kProblemWriting;
    AbandonMessage(w);
    return false;
  }
  const Settings& s = ServerSettings();
  std::string commitWhy;
  if (!CloseAndCommitSpoolFile(w.fd, w.path, true, s.incomingDirectory, s.outgoingDirectory,
                               commitWhy)) {
    why = kProblemRenaming;
    return false;
  }
  RequestRouting();
  return true;
}

void AbandonMessage(MessageWriter& w) {
  w.buffer.clear();
  if (!w.fd.valid()) return;
  w.fd.reset();
  SpoolDelete(w.path);
}

bool EncodeOpenFile(int fd, FileMode mode, const std::function<bool(std::string_view)>& sink) {
  FileEncoder encoder;
  encoder.mode = mode;
  std::string piece(kReadPiece, '\0'), out;
  for (;;) {
    long n = ReadSome(fd, piece.data(), piece.size());
    if (n < 0) return false;
    if (n == 0) break;
    out.clear();
    EncodeFilePiece(encoder, std::string_view(piece.data(), size_t(n)), out);
    if (!sink(out)) return false;
  }
  out.clear();
  FinishFileEncoding(encoder, out);
  return sink(out);
}

// ---- Ready texts ---------------------------------------------------------------------

bool SendTextMessage(const std::string& text, const std::string& senderUser,
                     const std::string& domain, const std::string& recipient,
                     const std::string& subject, std::string* pathOut,
                     const char* autoSubmitted) {
  MessageWriter w;
  std::string why;
  bool begun;
  if (!senderUser.empty() && !recipient.empty()) {
    std::string from = senderUser + "@" + domain;
    std::string header = "From: " + from + "\r\nTo: " + recipient + "\r\n";
    if (!subject.empty()) header += "Subject: " + OneLine(subject) + "\r\n";
    header += std::string("Auto-Submitted: ") + autoSubmitted + "\r\n";
    begun = BeginMessage(w, from, recipient, header, why);
    WriteMessageText(w, "\r\n");
  } else {
    // The text brings its own envelope and header.
    w.fd = CreateSpoolTemp(w.path, true);
    begun = w.fd.valid();
  }
  if (!begun) {
    LogEvent(0, kLogRouting, "Unable to create response file: %s", OneLine(why).c_str());
    return false;
  }
  WriteMessageText(w, text);
  if (!FinishMessage(w, why)) {
    LogEvent(0, kLogRouting, "Unable to write response file: %s", OneLine(why).c_str());
    return false;
  }
  LogEvent(0, kLogRouting, "Responder response file sent '%s'.", w.path.c_str());
  if (pathOut) *pathOut = w.path;
  return true;
}

// ---- Files -----------------------------------------------------------------------------

bool SendFileReply(const FileReplyRequest& r, std::string& answer, std::string* pathOut) {
  const char* dom = r.domain.empty() ? nullptr : r.domain.c_str();
  std::string shownName = r.name.empty() ? r.path : r.name;
  std::string path = r.path;
  if (path.empty()) {
    path = ConfigGetText("Files", r.name.c_str(), "", dom, r.config.c_str());
    if (path.empty() || r.name.empty()) {
      answer += FormatText(kNoFileReference, VisibleText(shownName).c_str());
      return false;
    }
  }
  path = InUserDirectory(path);
  int err = 0;
  UniqueFd file = OpenShared(path, O_RDONLY, 0, &err);
  struct stat st {};
  if (file.valid() && (::fstat(file.get(), &st) != 0 || !S_ISREG(st.st_mode))) {
    err = kErrAccessDenied;
    file.reset();
  }
  if (!file.valid()) {
    answer += FormatText(kErrorOpening, err, VisibleText(shownName).c_str());
    return false;
  }

  std::string head(kTextCheckBytes, '\0');
  ssize_t got = ::pread(file.get(), head.data(), head.size(), 0);
  head.resize(got > 0 ? size_t(got) : 0);
  bool binary = LooksBinary(head);
  FileMode mode = r.mode;
  if (mode == FileMode::kPlain && binary) {
    answer += FormatText(kNeedsWrapper, VisibleText(shownName).c_str());
    return false;
  }
  if (mode == FileMode::kAuto) mode = binary ? FileMode::kBase64 : FileMode::kPlain;

  std::string subject = r.subject;
  if (subject.empty()) subject = "File - " + (r.description.empty() ? shownName : r.description);
  MessageWriter w;
  std::string why;
  std::string sender = r.senderUser + "@" + r.senderDomain;
  if (!BeginMessage(w, sender, r.recipient,
                    FileReplyHeader(r.senderUser, r.senderDomain, r.recipient, subject), why)) {
    answer += kProblemCreating;
    return false;
  }
  WriteMessageText(w, BodyHead(mode, r.mime, SafeFileName(path)));
  if (!EncodeOpenFile(file.get(), mode, [&](std::string_view text) {
        WriteMessageText(w, text);
        return true;
      })) {
    AbandonMessage(w);
    answer += kCannotRead;
    return false;
  }
  if (!FinishMessage(w, why)) {
    answer += why;
    return false;
  }
  LogEvent(0, kLogRouting, "Response file generated: %s", w.path.c_str());
  if (pathOut) *pathOut = w.path;
  return true;
}

// ---- Listings ---------------------------------------------------------------------------

bool BeginListingMessage(MessageWriter& w, const std::string& recipient,
                         const std::string& senderUser, const std::string& senderDomain,
                         const std::string& subject, std::string& answer) {
  std::string why;
  std::string header = FileReplyHeader(senderUser, senderDomain, recipient, subject);
  if (BeginMessage(w, senderUser + "@" + senderDomain, recipient, header, why)) {
    WriteMessageText(w, "\r\n");
    return true;
  }
  answer += kProblemCreating;
  return false;
}

bool FinishListingMessage(MessageWriter& w, std::string& answer) {
  std::string why;
  if (FinishMessage(w, why)) {
    LogEvent(0, kLogRouting, "Response file generated: %s", w.path.c_str());
    return true;
  }
  answer += why;
  return false;
}
