// DNS wire format for the resolver: the query packet it sends and the parser for
// the answers it gets back. Pure functions over bytes; nothing here touches the
// network, the cache or the clock, so every bounds check can be tested alone.
//
// Answers come from the network, so the parser trusts nothing: every read checks
// the remaining length, compression pointers may only point backwards (which
// rules out pointer loops), names are limited to 255 wire bytes, and a label may
// not carry bytes that would make the dotted text ambiguous ('.', controls).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// Record types and the class the resolver asks for.
enum DnsType : uint16_t {
  kDnsTypeA = 1,
  kDnsTypeNs = 2,
  kDnsTypeCname = 5,
  kDnsTypeSoa = 6,
  kDnsTypeMx = 15,
};
inline constexpr uint16_t kDnsClassIn = 1;

// Header flag bits.
inline constexpr uint16_t kDnsFlagResponse = 0x8000;
inline constexpr uint16_t kDnsFlagAuthoritative = 0x0400;
inline constexpr uint16_t kDnsFlagTruncated = 0x0200;
inline constexpr uint16_t kDnsFlagRecursionDesired = 0x0100;
inline constexpr uint16_t kDnsOpcodeMask = 0x7800;
inline constexpr uint16_t kDnsCodeMask = 0x000F;

// Response codes the resolver acts on.
enum DnsCode : int {
  kDnsNoError = 0,
  kDnsFormatError = 1,
  kDnsServerFailure = 2,
  kDnsNameError = 3,
};

inline constexpr size_t kDnsHeaderSize = 12;
// The query packet is at most this long (18 + the name's text length).
inline constexpr size_t kMaxQueryPacket = 200;
// Longest dotted name the resolver handles (a 255-byte wire name).
inline constexpr size_t kMaxDnsName = 253;
// Bytes read from one datagram.
inline constexpr size_t kMaxDatagram = 4096;

// Parse faults: the sticky error of a DnsResponse is one of these pointers.
inline constexpr const char* kDnsErrShortHeader = "packet shorter than a header";
inline constexpr const char* kDnsErrShortQuestion = "question cut short";
inline constexpr const char* kDnsErrShortRecord = "record header cut short";
inline constexpr const char* kDnsErrShortData = "record data cut short";
inline constexpr const char* kDnsErrBadData = "record data does not match its type";
// Faults of a name (DecodeName's `why`).
inline constexpr const char* kDnsErrNameBounds = "name runs past the end of the packet";
inline constexpr const char* kDnsErrNamePointer = "compression pointer does not point backwards";
inline constexpr const char* kDnsErrNameLength = "name longer than 255 bytes";
inline constexpr const char* kDnsErrNameLabel = "label type not supported";
inline constexpr const char* kDnsErrNameByte = "name holds a byte not allowed in a host name";

// The name of a response code for log lines ("NoError" ... "Unknown15").
const char* DnsCodeName(int code);

// Writes the query for `name` (dotted, an optional final '.' is ignored) and
// record type `type` into `out`. Returns the packet length, or -1 when the name is
// empty, has an empty label, one longer than 63 bytes or a byte not allowed in a
// host name (controls, blanks), or the packet would not
// fit `size` or kMaxQueryPacket.
int BuildQuery(uint16_t id, std::string_view name, uint16_t type, uint8_t* out, size_t size);

struct DnsHeader {
  uint16_t id = 0;
  uint16_t flags = 0;
  uint16_t questions = 0;
  uint16_t answers = 0;
  uint16_t authorities = 0;
  uint16_t additionals = 0;
  int code() const { return flags & kDnsCodeMask; }
};

enum class DnsSection : uint8_t { kAnswer, kAuthority, kAdditional };

// One resource record of a kind the resolver uses (A, CNAME, MX); others are
// skipped by the parser and never appear here.
struct DnsRecord {
  DnsSection section = DnsSection::kAnswer;
  std::string owner;
  uint16_t type = 0;
  uint32_t ttl = 0;          // as sent; values with the top bit set read as 0
  uint32_t address = 0;      // A: the IPv4 address in network byte order
  std::string target;        // CNAME: the canonical name; MX: the exchanger
  uint16_t preference = 0;   // MX
};

struct DnsResponse {
  DnsHeader header;
  std::string questionName;  // the first question (empty when none)
  uint16_t questionType = 0;
  uint16_t questionClass = 0;
  std::vector<DnsRecord> records;  // in packet order
  // Sticky parse error: null when the whole packet was read. When set, the
  // records read before the fault are still in `records`.
  const char* error = nullptr;
};

// Reads only the header. False when the packet is shorter than a header.
bool ParseDnsHeader(const uint8_t* data, size_t length, DnsHeader& header);

// Reads a whole response. Returns true when the packet was read to its last
// record; false with `out.error` set at the first fault (truncated header,
// question or record, bad name, pointer loop, record data shorter than its type
// needs).
bool ParseResponse(const uint8_t* data, size_t length, DnsResponse& out);

// Decodes the possibly compressed name at `offset`, for tests and the parser.
// Returns the offset just past the name in the packet (past the first pointer
// when compressed), or 0 with `why` set on a fault.
size_t DecodeName(const uint8_t* data, size_t length, size_t offset, std::string& name,
                  const char*& why);

// Case-insensitive comparison of two names, ignoring one final '.'.
bool SameDnsName(std::string_view a, std::string_view b);
// Lower-case copy without a final '.' (the cache key of a name).
std::string DnsNameKey(std::string_view name);
