// libbasekit32.so, part two: memory, strings and buffers.
#include <malloc.h>

#include <cstdlib>
#include <cstring>

#include "basekit/basekit32.h"

namespace {

// A buffer's header holds its own block handle. The original's 4-byte word cannot
// hold a 64-bit handle, so the header is pointer-sized; the 3 spare bytes after
// the caller's size are kept.
constexpr size_t kHeader = sizeof(void*);
constexpr size_t kSpare = 3;
constexpr uint32_t kZeroInit = 0x0040;  // GMEM_ZEROINIT

char* Base(const void* p) { return static_cast<char*>(const_cast<void*>(p)) - kHeader; }

void* StoreHeader(void* block) {
  std::memcpy(block, &block, kHeader);
  return static_cast<char*>(block) + kHeader;
}

void* HeaderHandle(const void* p) {
  void* handle = nullptr;
  std::memcpy(&handle, Base(p), kHeader);
  return handle;
}

char Lower(char c) { return (c >= 'A' && c <= 'Z') ? char(c + 32) : c; }

int SignedDiff(char later, char earlier) { return int((signed char)later) - int((signed char)earlier); }

}  // namespace

extern "C" {

void* lmemcpy(void* dst, const void* src, int32_t n) {
  if (n <= 0) return dst;
  if (!dst || !src) return nullptr;
  return std::memcpy(dst, src, size_t(n));
}

void* lmemset(void* p, int byte, int32_t n) {
  if (n < 0) return nullptr;
  if (n == 0) return p;
  if (!p) return nullptr;
  return std::memset(p, byte, size_t(n));
}

void* lmemmove(void* dst, const void* src, int32_t n) {
  if (n <= 0) return dst;
  if (!dst || !src) return nullptr;
  return std::memmove(dst, src, size_t(n));
}

int lmemcmp(const void* a, const void* b, int32_t n) {
  if (n <= 0 || !a || !b) return 0;
  const unsigned char* x = static_cast<const unsigned char*>(a);
  const unsigned char* y = static_cast<const unsigned char*>(b);
  for (int32_t i = 0; i < n; ++i)
    if (x[i] != y[i]) return int(y[i]) - int(x[i]);
  return 0;
}

void* hmemset(void* p, int byte, int32_t n) { return lmemset(p, byte, n); }
void* hmemmove(void* dst, const void* src, int32_t n) { return lmemmove(dst, src, n); }

int hmemcmp(const void* a, const void* b, int32_t n) { return -lmemcmp(a, b, n); }

char* lstrend(const char* s) { return s ? const_cast<char*>(s + std::strlen(s)) : nullptr; }

char* lstrecpy(char* dst, const char* src) {
  if (!dst || !src) return nullptr;
  size_t n = std::strlen(src);
  std::memmove(dst, src, n + 1);
  return dst + n;
}

char* hstrcpy(char* dst, const char* src) {
  if (!dst || !src) return nullptr;
  std::memmove(dst, src, std::strlen(src) + 1);
  return dst;
}

// A null string compares as an empty one.
int hstrcmp(const char* a, const char* b) {
  if (!a) a = "";
  if (!b) b = "";
  while (*a && *a == *b) ++a, ++b;
  return SignedDiff(*a, *b);
}

int hstrcmpi(const char* a, const char* b) {
  if (!a) a = "";
  if (!b) b = "";
  while (*a && Lower(*a) == Lower(*b)) ++a, ++b;
  return SignedDiff(Lower(*a), Lower(*b));
}

int32_t hstrlen(const char* s) { return s ? int32_t(std::strlen(s)) : 0; }

char* lstrncpy(char* dst, const char* src, int32_t n) {
  if (!dst || !src) return nullptr;
  int32_t i = 0;
  for (; i < n && src[i]; ++i) dst[i] = src[i];
  if (i < n) dst[i] = 0;  // a source of n or more characters leaves dst unterminated
  return dst + i;
}

int lstrncmp(const char* a, const char* b, int32_t n) {
  if (!a) a = "";
  if (!b) b = "";
  for (int32_t i = 0; i < n; ++i) {
    if (a[i] != b[i]) return SignedDiff(b[i], a[i]);
    if (!a[i]) break;
  }
  return 0;
}

int lstrncmpi(const char* a, const char* b, int32_t n) {
  if (!a) a = "";
  if (!b) b = "";
  for (int32_t i = 0; i < n; ++i) {
    char x = Lower(a[i]), y = Lower(b[i]);
    if (x != y) return SignedDiff(y, x);
    if (!x) break;
  }
  return 0;
}

char* hstrncpy(char* dst, const char* src, int32_t n) {
  if (!dst || !src) return nullptr;
  for (int64_t i = 0; i < int64_t(n) + 2; ++i) {
    dst[i] = src[i];
    if (!src[i]) break;
  }
  return dst;
}

char* lstrchr(const char* s, int c) {
  if (!s) return nullptr;
  for (; *s; ++s)
    if (*s == char(c)) return const_cast<char*>(s);
  return nullptr;
}

char* lstrrchr(const char* s, int c) {
  const char* last = nullptr;
  if (!s) return nullptr;
  for (; *s; ++s)
    if (*s == char(c)) last = s;
  return const_cast<char*>(last);
}

char* lstrscan(const char* s, const char* set) {
  if (!s || !set) return nullptr;
  for (; *s; ++s)
    if (std::strchr(set, *s)) return const_cast<char*>(s);
  return nullptr;
}

char* lstrrscan(const char* s, const char* set) {
  const char* last = nullptr;
  if (!s || !set) return nullptr;
  for (; *s; ++s)
    if (std::strchr(set, *s)) last = s;
  return const_cast<char*>(last);
}

void* AllocateBuffer(uint32_t size, uint32_t flags) {
  size_t total = size_t(size) + kHeader + kSpare;
  void* block = (flags & kZeroInit) ? std::calloc(1, total) : std::malloc(total);
  return block ? StoreHeader(block) : nullptr;
}

// Returns null when freed (or for no buffer), else the handle it could not free.
BkHandle FreeBuffer(void* p) {
  if (!p) return nullptr;
  void* handle = HeaderHandle(p);
  if (!handle) return nullptr;
  if (handle != Base(p)) return handle;  // not a buffer of ours: left alone
  std::free(handle);
  return nullptr;
}

void* ReAllocateBuffer(void* p, uint32_t size, uint32_t flags) {
  if (!p) return AllocateBuffer(size, flags);
  void* block = HeaderHandle(p);
  if (block != Base(p)) return nullptr;
  size_t oldSize = ::malloc_usable_size(block);
  size_t total = size_t(size) + kHeader + kSpare;
  void* grown = std::realloc(block, total);
  if (!grown) return nullptr;  // the old buffer stays valid
  if ((flags & kZeroInit) && total > oldSize)
    std::memset(static_cast<char*>(grown) + oldSize, 0, total - oldSize);
  return StoreHeader(grown);
}

BkHandle GetAllocateBufferHandle(const void* p) { return p ? HeaderHandle(p) : nullptr; }

void* GetAllocateBufferPointer(BkHandle block) {
  return block ? static_cast<char*>(block) + kHeader : nullptr;
}

}  // extern "C"
