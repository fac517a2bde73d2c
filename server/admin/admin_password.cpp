// The administrator password of the browser console: PBKDF2 from OpenSSL.
#include "server/admin/admin_password.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <cstdlib>
#include <vector>

#include "server/core/config.h"

namespace {

constexpr const char* kScheme = "pbkdf2-sha256";
constexpr int kIterations = 100000;  // about 0.05 s on this class of machine
constexpr long kMinIterations = 1000, kMaxIterations = 10000000;
constexpr size_t kSaltBytes = 16;
constexpr size_t kDigestBytes = 32;

std::string Hex(const unsigned char* p, size_t n) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  out.reserve(n * 2);
  for (size_t i = 0; i < n; ++i) {
    out += digits[p[i] >> 4];
    out += digits[p[i] & 15];
  }
  return out;
}

bool Unhex(const std::string& text, std::vector<unsigned char>& out) {
  if (text.empty() || text.size() % 2) return false;
  out.clear();
  for (size_t i = 0; i < text.size(); i += 2) {
    int v = 0;
    for (size_t j = i; j < i + 2; ++j) {
      char c = text[j];
      int d = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
      if (d < 0) return false;
      v = v * 16 + d;
    }
    out.push_back(static_cast<unsigned char>(v));
  }
  return true;
}

bool Derive(const std::string& password, const std::vector<unsigned char>& salt, int iterations,
            unsigned char* digest, size_t size) {
  return PKCS5_PBKDF2_HMAC(password.data(), int(password.size()), salt.data(), int(salt.size()),
                           iterations, EVP_sha256(), int(size), digest) == 1;
}

}  // namespace

bool HashAdminPassword(const std::string& password, std::string& stored, std::string& why) {
  if (password.size() < kAdminPasswordMin || password.size() > kAdminPasswordMax) {
    why = "the password must have " + std::to_string(kAdminPasswordMin) + " to " +
          std::to_string(kAdminPasswordMax) + " characters";
    return false;
  }
  std::vector<unsigned char> salt(kSaltBytes);
  unsigned char digest[kDigestBytes];
  if (RAND_bytes(salt.data(), int(salt.size())) != 1 ||
      !Derive(password, salt, kIterations, digest, sizeof digest)) {
    why = "no random salt or digest could be made";
    return false;
  }
  stored = std::string(kScheme) + "$" + std::to_string(kIterations) + "$" +
           Hex(salt.data(), salt.size()) + "$" + Hex(digest, sizeof digest);
  return true;
}

bool CheckAdminPassword(const std::string& password, const std::string& stored) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (;;) {
    size_t dollar = stored.find('$', start);
    parts.push_back(stored.substr(start, dollar - start));
    if (dollar == std::string::npos) break;
    start = dollar + 1;
  }
  if (parts.size() != 4 || parts[0] != kScheme) return false;
  char* end = nullptr;
  long iterations = strtol(parts[1].c_str(), &end, 10);
  if (parts[1].empty() || *end || iterations < kMinIterations || iterations > kMaxIterations)
    return false;
  std::vector<unsigned char> salt, want;
  if (!Unhex(parts[2], salt) || !Unhex(parts[3], want) || want.size() != kDigestBytes)
    return false;
  unsigned char got[kDigestBytes];
  if (!Derive(password, salt, int(iterations), got, sizeof got)) return false;
  return CRYPTO_memcmp(got, want.data(), kDigestBytes) == 0;
}

std::string ReadAdminPasswordHash() {
  return ConfigGetText("", kAdminPasswordValue, "", nullptr, nullptr, 400);
}

bool SetAdminPassword(const std::string& password, std::string& why) {
  std::string stored;
  if (!HashAdminPassword(password, stored, why)) return false;
  if (!ConfigSetString("", kAdminPasswordValue, stored.c_str())) {
    why = "the registry value cannot be written";
    return false;
  }
  return true;
}

std::string RandomHexToken(size_t n) {
  std::vector<unsigned char> bytes(n);
  if (RAND_bytes(bytes.data(), int(n)) != 1) return "";
  return Hex(bytes.data(), n);
}

bool EqualConstantTime(const std::string& a, const std::string& b) {
  return a.size() == b.size() && CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}
