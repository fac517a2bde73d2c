#include "server/mx/dns_packet.h"

#include <cstring>
#include <iterator>

namespace {

constexpr const char* kDnsCodeNames[] = {
    "NoError",  "FormatError", "ServerFailure", "NameError", "NotImplemented", "Refused",
    "Unknown6", "Unknown7",    "Unknown8",      "Unknown9",  "Unknown10",      "Unknown11",
    "Unknown12", "Unknown13",  "Unknown14",     "Unknown15",
};
static_assert(std::size(kDnsCodeNames) == 16);

constexpr size_t kMaxWireName = 255;
constexpr size_t kMaxLabel = 63;
constexpr uint32_t kRecordFixedSize = 10;  // type, class, ttl, data length

// A cursor over the packet with a sticky error, as every parser here keeps one.
struct Reader {
  const uint8_t* data;
  size_t length;
  size_t pos;
  const char* err = nullptr;
};

uint16_t ReadU16(Reader& r, const char* whenShort) {
  if (r.err) return 0;
  if (r.length - r.pos < 2) {
    r.err = whenShort;
    return 0;
  }
  uint16_t v = uint16_t(r.data[r.pos] << 8 | r.data[r.pos + 1]);
  r.pos += 2;
  return v;
}

uint32_t ReadU32(Reader& r, const char* whenShort) {
  uint32_t hi = ReadU16(r, whenShort);
  uint32_t lo = ReadU16(r, whenShort);
  return hi << 16 | lo;
}

void ReadName(Reader& r, std::string& name) {
  name.clear();
  if (r.err) return;
  const char* why = nullptr;
  size_t next = DecodeName(r.data, r.length, r.pos, name, why);
  if (!next) {
    r.err = why;
    return;
  }
  r.pos = next;
}

bool AllowedNameByte(uint8_t c) { return c > 0x20 && c < 0x7f && c != '.'; }

bool ReadRecord(Reader& r, DnsSection section, DnsResponse& out) {
  DnsRecord rec;
  rec.section = section;
  ReadName(r, rec.owner);
  rec.type = ReadU16(r, kDnsErrShortRecord);
  uint16_t klass = ReadU16(r, kDnsErrShortRecord);
  rec.ttl = ReadU32(r, kDnsErrShortRecord);
  uint16_t dataLength = ReadU16(r, kDnsErrShortRecord);
  if (r.err) return false;
  if (r.length - r.pos < dataLength) {
    r.err = kDnsErrShortData;
    return false;
  }
  // RFC 2181: a time-to-live with the top bit set is read as zero.
  if (rec.ttl & 0x80000000u) rec.ttl = 0;
  size_t end = r.pos + dataLength;
  bool keep = klass == kDnsClassIn;
  if (keep && rec.type == kDnsTypeA) {
    if (dataLength != 4) {
      r.err = kDnsErrBadData;
      return false;
    }
    std::memcpy(&rec.address, r.data + r.pos, 4);
  } else if (keep && (rec.type == kDnsTypeCname || rec.type == kDnsTypeMx)) {
    // The name inside must end inside the data; a sub-reader limited to the
    // record's data enforces that while pointers may still reach back.
    Reader sub{r.data, end, r.pos};
    if (rec.type == kDnsTypeMx) rec.preference = ReadU16(sub, kDnsErrBadData);
    ReadName(sub, rec.target);
    if (!sub.err && sub.pos != end) sub.err = kDnsErrBadData;
    if (sub.err) {
      r.err = sub.err;
      return false;
    }
  } else {
    keep = false;
  }
  r.pos = end;
  if (keep) out.records.push_back(std::move(rec));
  return true;
}

}  // namespace

const char* DnsCodeName(int code) {
  if (code < 0 || code >= int(std::size(kDnsCodeNames))) return "Unknown";
  return kDnsCodeNames[code];
}

int BuildQuery(uint16_t id, std::string_view name, uint16_t type, uint8_t* out, size_t size) {
  if (!name.empty() && name.back() == '.') name.remove_suffix(1);
  if (name.empty() || name.size() > kMaxDnsName) return -1;
  size_t total = kDnsHeaderSize + name.size() + 2 + 4;
  if (total > size || total > kMaxQueryPacket) return -1;
  const uint16_t header[6] = {id, kDnsFlagRecursionDesired, 1, 0, 0, 0};
  size_t pos = 0;
  for (uint16_t v : header) {
    out[pos++] = uint8_t(v >> 8);
    out[pos++] = uint8_t(v);
  }
  size_t start = 0;
  while (start <= name.size()) {
    size_t dot = name.find('.', start);
    if (dot == std::string_view::npos) dot = name.size();
    size_t len = dot - start;
    if (len == 0 || len > kMaxLabel) return -1;
    for (size_t i = start; i < dot; ++i)
      if (!AllowedNameByte(uint8_t(name[i]))) return -1;
    out[pos++] = uint8_t(len);
    std::memcpy(out + pos, name.data() + start, len);
    pos += len;
    start = dot + 1;
  }
  out[pos++] = 0;
  out[pos++] = uint8_t(type >> 8);
  out[pos++] = uint8_t(type);
  out[pos++] = 0;
  out[pos++] = uint8_t(kDnsClassIn);
  return int(pos);
}

size_t DecodeName(const uint8_t* data, size_t length, size_t offset, std::string& name,
                  const char*& why) {
  name.clear();
  size_t pos = offset;
  size_t after = 0;      // where the caller continues: past the first pointer
  size_t wire = 0;       // wire length of the name so far, for the 255 limit
  size_t limit = offset; // a pointer must point before the label that holds it
  for (;;) {
    if (pos >= length) {
      why = kDnsErrNameBounds;
      return 0;
    }
    uint8_t len = data[pos];
    if ((len & 0xC0) == 0xC0) {
      if (length - pos < 2) {
        why = kDnsErrNameBounds;
        return 0;
      }
      size_t target = size_t(len & 0x3F) << 8 | data[pos + 1];
      // Only backwards: each jump lands strictly before the last, so a chain of
      // pointers ends and can never loop.
      if (target >= limit) {
        why = kDnsErrNamePointer;
        return 0;
      }
      if (!after) after = pos + 2;
      pos = target;
      limit = target;
      continue;
    }
    if (len & 0xC0) {
      why = kDnsErrNameLabel;
      return 0;
    }
    wire += 1 + len;
    if (wire > kMaxWireName) {
      why = kDnsErrNameLength;
      return 0;
    }
    if (len == 0) break;
    if (length - pos - 1 < len) {
      why = kDnsErrNameBounds;
      return 0;
    }
    if (!name.empty()) name += '.';
    for (size_t i = 0; i < len; ++i) {
      uint8_t c = data[pos + 1 + i];
      if (!AllowedNameByte(c)) {
        why = kDnsErrNameByte;
        return 0;
      }
      name += char(c);
    }
    pos += 1 + len;
  }
  return after ? after : pos + 1;
}

bool ParseDnsHeader(const uint8_t* data, size_t length, DnsHeader& header) {
  Reader r{data, length, 0};
  if (length < kDnsHeaderSize) return false;
  header.id = ReadU16(r, kDnsErrShortHeader);
  header.flags = ReadU16(r, kDnsErrShortHeader);
  header.questions = ReadU16(r, kDnsErrShortHeader);
  header.answers = ReadU16(r, kDnsErrShortHeader);
  header.authorities = ReadU16(r, kDnsErrShortHeader);
  header.additionals = ReadU16(r, kDnsErrShortHeader);
  return true;
}

bool ParseResponse(const uint8_t* data, size_t length, DnsResponse& out) {
  out = DnsResponse{};
  if (!ParseDnsHeader(data, length, out.header)) {
    out.error = kDnsErrShortHeader;
    return false;
  }
  Reader r{data, length, kDnsHeaderSize};
  for (unsigned i = 0; i < out.header.questions && !r.err; ++i) {
    std::string qname;
    ReadName(r, qname);
    uint16_t qtype = ReadU16(r, kDnsErrShortQuestion);
    uint16_t qclass = ReadU16(r, kDnsErrShortQuestion);
    if (i == 0 && !r.err) {
      out.questionName = std::move(qname);
      out.questionType = qtype;
      out.questionClass = qclass;
    }
  }
  const struct {
    DnsSection section;
    uint16_t count;
  } sections[] = {
      {DnsSection::kAnswer, out.header.answers},
      {DnsSection::kAuthority, out.header.authorities},
      {DnsSection::kAdditional, out.header.additionals},
  };
  for (const auto& s : sections) {
    for (unsigned i = 0; i < s.count && !r.err; ++i) {
      // A record needs at least a root name byte and its fixed part.
      if (length - r.pos < 1 + kRecordFixedSize) {
        r.err = kDnsErrShortRecord;
        break;
      }
      ReadRecord(r, s.section, out);
    }
  }
  out.error = r.err;
  return !r.err;
}

bool SameDnsName(std::string_view a, std::string_view b) {
  if (!a.empty() && a.back() == '.') a.remove_suffix(1);
  if (!b.empty() && b.back() == '.') b.remove_suffix(1);
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = char(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = char(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

std::string DnsNameKey(std::string_view name) {
  if (!name.empty() && name.back() == '.') name.remove_suffix(1);
  std::string key(name);
  for (char& c : key)
    if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
  return key;
}
