// The browser console's administrator password. It is stored only as a salted
// PBKDF2-HMAC-SHA256 digest, never in the scrambled form the accounts use (which
// turns back into clear text), in the root key's value HttpAdminPassword:
//   "pbkdf2-sha256$<iterations>$<salt, hex>$<digest, hex>"
// There is no default: without a stored digest the console does not start.
#pragma once

#include <string>

inline constexpr const char* kAdminPasswordValue = "HttpAdminPassword";
inline constexpr size_t kAdminPasswordMin = 8;
inline constexpr size_t kAdminPasswordMax = 256;

// The stored form of `password` with a fresh random salt; false with `why` when
// the password is too short or too long, or no randomness could be had.
bool HashAdminPassword(const std::string& password, std::string& stored, std::string& why);
// True when `password` matches the stored form; false for a mismatch and for a
// stored form that is malformed (a damaged value never lets anybody in).
bool CheckAdminPassword(const std::string& password, const std::string& stored);

// The stored digest from the registry ("" when none is set).
std::string ReadAdminPasswordHash();
// Hashes and stores a new password; false with `why`.
bool SetAdminPassword(const std::string& password, std::string& why);

// `n` random bytes as lower-case hex (session and CSRF tokens); "" on failure.
std::string RandomHexToken(size_t n);
// Compares two texts in time that depends only on their lengths.
bool EqualConstantTime(const std::string& a, const std::string& b);
