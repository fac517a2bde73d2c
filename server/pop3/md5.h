// MD5 message digest (RFC 1321), kept within the server: APOP compares a digest
// of the greeting's time stamp and the account's password, and maildrop ids of
// messages without a usable Message-id are derived from one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

struct Md5Context {
  uint32_t state[4] = {0x67452301u, 0xefcdab89u, 0x98badcfeu, 0x10325476u};
  uint64_t bytes = 0;       // total input length
  uint8_t block[64] = {};   // input not yet processed
  size_t fill = 0;
};

inline constexpr size_t kMd5DigestBytes = 16;

// Starts a fresh digest.
void Md5Init(Md5Context& c);
// Adds `length` bytes of input.
void Md5Update(Md5Context& c, const void* data, size_t length);
// Pads, writes the 16 digest bytes to `out` and leaves `c` unusable until Md5Init.
void Md5Final(Md5Context& c, uint8_t out[kMd5DigestBytes]);

// The digest of `data` as 32 lower-case hexadecimal digits.
std::string Md5Hex(std::string_view data);
// The 16 bytes as 32 lower-case hexadecimal digits ("%02x" each).
std::string Md5DigestText(const uint8_t digest[kMd5DigestBytes]);
