// MD5 (RFC 1321), written from the RFC's description.
#include "server/pop3/md5.h"

#include <algorithm>
#include <cstring>

namespace {

// Per-round shift amounts and the sine-derived constants of RFC 1321 3.4.
constexpr uint32_t kShift[64] = {
    7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22,
    5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20,
    4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23,
    6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21,
};
constexpr uint32_t kSine[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613,
    0xfd469501, 0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193,
    0xa679438e, 0x49b40821, 0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d,
    0x02441453, 0xd8a1e681, 0xe7d3fbc8, 0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed,
    0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a, 0xfffa3942, 0x8771f681, 0x6d9d6122,
    0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70, 0x289b7ec6, 0xeaa127fa,
    0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665, 0xf4292244,
    0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb,
    0xeb86d391,
};

uint32_t RotateLeft(uint32_t x, uint32_t n) { return (x << n) | (x >> (32 - n)); }

void Transform(uint32_t state[4], const uint8_t block[64]) {
  uint32_t x[16];
  for (int i = 0; i < 16; ++i)
    x[i] = uint32_t(block[i * 4]) | uint32_t(block[i * 4 + 1]) << 8 |
           uint32_t(block[i * 4 + 2]) << 16 | uint32_t(block[i * 4 + 3]) << 24;
  uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
  for (int i = 0; i < 64; ++i) {
    uint32_t f;
    int g;
    if (i < 16) {
      f = (b & c) | (~b & d);
      g = i;
    } else if (i < 32) {
      f = (b & d) | (c & ~d);
      g = (5 * i + 1) % 16;
    } else if (i < 48) {
      f = b ^ c ^ d;
      g = (3 * i + 5) % 16;
    } else {
      f = c ^ (b | ~d);
      g = (7 * i) % 16;
    }
    uint32_t next = d;
    d = c;
    c = b;
    b = b + RotateLeft(a + f + kSine[i] + x[g], kShift[i]);
    a = next;
  }
  state[0] += a;
  state[1] += b;
  state[2] += c;
  state[3] += d;
}

}  // namespace

void Md5Init(Md5Context& c) { c = Md5Context(); }

void Md5Update(Md5Context& c, const void* data, size_t length) {
  const uint8_t* p = static_cast<const uint8_t*>(data);
  c.bytes += length;
  while (length > 0) {
    size_t take = std::min(length, sizeof c.block - c.fill);
    memcpy(c.block + c.fill, p, take);
    c.fill += take;
    p += take;
    length -= take;
    if (c.fill == sizeof c.block) {
      Transform(c.state, c.block);
      c.fill = 0;
    }
  }
}

void Md5Final(Md5Context& c, uint8_t out[kMd5DigestBytes]) {
  uint64_t bits = c.bytes * 8;
  static const uint8_t kPad[64] = {0x80};
  size_t padLength = c.fill < 56 ? 56 - c.fill : 120 - c.fill;
  Md5Update(c, kPad, padLength);
  uint8_t length[8];
  for (int i = 0; i < 8; ++i) length[i] = uint8_t(bits >> (8 * i));
  Md5Update(c, length, sizeof length);
  for (int i = 0; i < 4; ++i)
    for (int j = 0; j < 4; ++j) out[i * 4 + j] = uint8_t(c.state[i] >> (8 * j));
}

std::string Md5DigestText(const uint8_t digest[kMd5DigestBytes]) {
  static const char kHex[] = "0123456789abcdef";
  std::string text;
  text.reserve(kMd5DigestBytes * 2);
  for (size_t i = 0; i < kMd5DigestBytes; ++i) {
    text += kHex[digest[i] >> 4];
    text += kHex[digest[i] & 0x0f];
  }
  return text;
}

std::string Md5Hex(std::string_view data) {
  Md5Context c;
  Md5Update(c, data.data(), data.size());
  uint8_t digest[kMd5DigestBytes];
  Md5Final(c, digest);
  return Md5DigestText(digest);
}
