// Stored passwords: the 24-character scrambled form of a user's password, keyed by
// the account name, and the administration rules for names and passwords. The
// form is shared with the maintenance library and every stored record, so it must
// stay bit for bit as it is.
#include <cstdint>

#include "server/accounts/accounts.h"
#include "server/accounts/accounts_internal.h"
#include "server/core/log.h"

namespace {

constexpr size_t kBlockBytes = 18;       // 16 password bytes, length, check
constexpr size_t kLengthByte = 16;
constexpr size_t kCheckByte = 17;
constexpr uint8_t kLengthBase = 96;      // byte 16 = 96 + length
constexpr uint8_t kCheckBase = 64;       // byte 17 = 64 + (xor & 63)
constexpr char kPadBase = 'Z';           // unused position i holds 'Z' - i
constexpr size_t kKeyChars = 30;
constexpr const char* kAdminForbidden = "@;:!,%<>[]()";

// The key: the name walked forward and back without repeating its end letters.
std::string BuildKey(const std::string& name) {
  std::string key;
  size_t n = name.size();
  for (size_t i = 0; i < kKeyChars; ++i) {
    if (n == 1) {
      key += name[0];
      continue;
    }
    size_t period = 2 * (n - 1);
    size_t p = i % period;
    key += name[p < n ? p : period - p];
  }
  return key;
}

uint8_t XorOf(const uint8_t* bytes, size_t count) {
  uint8_t x = 0;
  for (size_t i = 0; i < count; ++i) x ^= bytes[i];
  return x;
}

char EncodeSix(unsigned v) {
  if (v < 26) return char('a' + v);
  if (v < 52) return char('A' + (v - 26));
  if (v < 62) return char('0' + (v - 52));
  return v == 62 ? '+' : '-';
}

// Any character outside the alphabet reads as 63.
unsigned DecodeSix(char c) {
  if (c >= 'a' && c <= 'z') return unsigned(c - 'a');
  if (c >= 'A' && c <= 'Z') return unsigned(c - 'A') + 26;
  if (c >= '0' && c <= '9') return unsigned(c - '0') + 52;
  if (c == '+') return 62;
  return 63;
}

}  // namespace

bool ScramblePassword(const std::string& accountName, const std::string& clear,
                      std::string& out) {
  out.clear();
  if (accountName.empty() || clear.size() > kMaxPasswordChars) return false;
  uint8_t block[kBlockBytes];
  for (size_t i = 0; i < kMaxPasswordChars; ++i)
    block[i] = i < clear.size() ? uint8_t(clear[i]) : uint8_t(kPadBase - char(i));
  block[kLengthByte] = uint8_t(kLengthBase + clear.size());
  block[kCheckByte] =
      uint8_t(kCheckBase + ((XorOf(block, kMaxPasswordChars) ^ block[kLengthByte]) & 63));
  std::string key = BuildKey(accountName);
  for (size_t i = 0; i < kBlockBytes; ++i) block[i] ^= uint8_t(key[i]);
  for (size_t i = 0; i < kBlockBytes; i += 3) {
    unsigned b0 = block[i], b1 = block[i + 1], b2 = block[i + 2];
    out += EncodeSix(b0 & 63);
    out += EncodeSix(((b1 & 0xF0) >> 2) + (b0 >> 6));
    out += EncodeSix((b2 & 3) * 16 + (b1 & 15));
    out += EncodeSix(b2 >> 2);
  }
  return true;
}

bool UnscramblePassword(const std::string& accountName, const std::string& scrambled,
                        std::string& out) {
  out.clear();
  if (accountName.empty() || scrambled.size() != kScrambledPasswordChars) return false;
  uint8_t block[kBlockBytes];
  for (size_t g = 0; g < kBlockBytes / 3; ++g) {
    unsigned v0 = DecodeSix(scrambled[4 * g]), v1 = DecodeSix(scrambled[4 * g + 1]);
    unsigned v2 = DecodeSix(scrambled[4 * g + 2]), v3 = DecodeSix(scrambled[4 * g + 3]);
    block[3 * g] = uint8_t(v0 | ((v1 & 3) << 6));
    block[3 * g + 1] = uint8_t(((v1 >> 2) << 4) | (v2 & 15));
    block[3 * g + 2] = uint8_t((v2 >> 4) | (v3 << 2));
  }
  std::string key = BuildKey(accountName);
  for (size_t i = 0; i < kBlockBytes; ++i) block[i] ^= uint8_t(key[i]);
  if (block[kCheckByte] != uint8_t(kCheckBase + (XorOf(block, kCheckByte) & 63))) return false;
  // A length outside 0..16 cannot come from the scrambler: refuse it rather than
  // read past the password bytes.
  if (block[kLengthByte] < kLengthBase ||
      size_t(block[kLengthByte] - kLengthBase) > kMaxPasswordChars)
    return false;
  out.assign(reinterpret_cast<const char*>(block), block[kLengthByte] - kLengthBase);
  return true;
}

bool CheckPassword(const std::string& accountName, const std::string& clear,
                   const std::string& stored, const std::string& domain) {
  std::string finalName;
  if (!ResolveAccountName(accountName, finalName, domain)) return false;
  std::string scrambled;
  if (!ScramblePassword(LowerAscii(finalName), clear, scrambled)) return false;
  return scrambled == stored;
}

bool ValidateAccountName(const std::string& name, std::string& why) {
  if (name.empty() || name.size() > kMaxAdminNameChars) {
    why = FormatText("An account name has 1 to %zu characters.", kMaxAdminNameChars);
    return false;
  }
  for (char c : name) {
    if (std::string_view(kAdminForbidden).find(c) != std::string_view::npos) {
      why = FormatText("An account name may not contain any of \"%s\".", kAdminForbidden);
      return false;
    }
    if (static_cast<unsigned char>(c) < 32 || c == 127) {
      why = "An account name may not contain control characters.";
      return false;
    }
  }
  return true;
}

bool ValidatePassword(const std::string& password, std::string& why) {
  if (password.size() < kMinAdminPasswordChars || password.size() > kMaxPasswordChars) {
    why = FormatText("A password has %zu to %zu characters.", kMinAdminPasswordChars,
                     kMaxPasswordChars);
    return false;
  }
  for (char c : password) {
    if (c < 32 || c > 126) {
      why = "A password is made of printable characters (32 to 126).";
      return false;
    }
  }
  return true;
}
