// libbasekit32.so, part one: profile values, number parsing, the message pump,
// window and dialog helpers, painting and scrolling.
#include "basekit/basekit32.h"

#include <strings.h>

#include <algorithm>
#include <cstdio>

#include "platform/profile.h"

namespace {

// Profile reads look at no more than this many characters of a value. Each call
// has its own buffer of this size: one buffer shared by every caller would let two
// threads overwrite each other's value.
constexpr int kProfileScratch = 20;

struct Scratch {
  char text[kProfileScratch + 1] = {};
};

Scratch ReadScratch(const char* section, const char* key, const char* file) {
  Scratch s;
  GetPrivateProfileString(section, key, "", s.text, int(sizeof s.text), file);
  return s;
}

bool IsBlank(char c) { return c == ' ' || c == '\t'; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

int ParseBoolean(const char* text, int def) {
  if (!::strcasecmp(text, "true") || !::strcasecmp(text, "yes")) return 1;
  if (!::strcasecmp(text, "false") || !::strcasecmp(text, "no")) return 0;
  if (text[0] == '0' || text[0] == '1') {
    const char* p = text + 1;
    while (IsBlank(*p)) ++p;
    if (*p == 0) return text[0] - '0';
  }
  return def;
}

// Digits accumulate in unsigned arithmetic, wrapping like the 32-bit original.
const char* AccumulateDigits(const char* p, uint32_t& v) {
  v = 0;
  while (IsDigit(*p)) v = v * 10u + uint32_t(*p++ - '0');
  return p;
}

int32_t ParseLong(const char* text, int32_t def) {
  while (IsBlank(*text)) ++text;
  if (!IsDigit(*text)) return def;
  uint32_t v = 0;
  AccumulateDigits(text, v);
  return int32_t(v);
}

// One number of an RGB triple: blanks, an optional sign, digits.
const char* ParseColourPart(const char* p, uint32_t& v) {
  while (IsBlank(*p)) ++p;
  bool negative = *p == '-';
  if (*p == '-' || *p == '+') ++p;
  if (!IsDigit(*p)) {
    v = 0;
    return p;
  }
  p = AccumulateDigits(p, v);
  if (negative) v = 0u - v;
  return p;
}

uint32_t ParseRgb(const char* text, uint32_t def) {
  if (!*text) return def;
  uint32_t r = 0, g = 0, b = 0;
  const char* p = ParseColourPart(text, r);
  p = ParseColourPart(p, g);
  ParseColourPart(p, b);
  return (r & 0xff) | ((g & 0xff) << 8) | ((b & 0xff) << 16);
}

template <typename T>
T Clamp(T v, T min, T max) {
  if (v < min) v = min;
  if (v > max) v = max;
  return v;
}

int WriteText(const char* section, const char* key, const char* text, const char* file) {
  return WritePrivateProfileString(section, key, text, file) ? 1 : 0;
}

int WriteRgb(const char* section, const char* key, uint32_t value, const char* file) {
  char text[32];
  std::snprintf(text, sizeof text, "%d %d %d", int(value & 0xff), int((value >> 8) & 0xff),
                int((value >> 16) & 0xff));
  return WriteText(section, key, text, file);
}

// Scroll codes (the low word of `code`).
enum ScrollCode : uint32_t {
  kLineUp = 0, kLineDown = 1, kPageUp = 2, kPageDown = 3,
  kThumbPosition = 4, kThumbTrack = 5, kTop = 6, kBottom = 7,
};

}  // namespace

extern "C" {

int WEP(int) { return 1; }

int bkNewYield(void) { return 0; }
int bkYield(BkWindow) { return 0; }
int bkYieldEx(void) { return 0; }

// There is no desktop: every window handle is an invalid window, and the helpers
// answer as the originals do for one.
int bkCentreWindow(BkWindow) { return 0; }
int bkSetMainWindowTitle(BkWindow, const char*, int, const char*) { return 0; }
int bkVisibleDlgItem(BkWindow, int, int) { return 0; }
int bkEnableDlgItem(BkWindow, int, int) { return 0; }
BkWindow bkSetDlgItemFocus(BkWindow, int) { return nullptr; }

int16_t bkAToI(const char* text) {
  if (!text) return 0;
  uint16_t v = 0;
  while (IsDigit(*text)) v = uint16_t(v * 10u + uint16_t(*text++ - '0'));
  return int16_t(v);
}

const char* bkAToLEx(const char* text, int, int32_t* out) {
  if (!text || !out) return nullptr;
  uint32_t v = 0;
  const char* end = AccumulateDigits(text, v);
  *out = int32_t(v);
  return end;
}

const char* bkAToIEx(const char* text, int ignored, int16_t* out) {
  if (!out) return nullptr;
  int32_t v = 0;
  const char* end = bkAToLEx(text, ignored, &v);
  if (end) *out = int16_t(uint16_t(uint32_t(v) & 0xffff));
  return end;
}

int GetPrivateProfileBoolean(const char* section, const char* key, int def, const char* file) {
  return ParseBoolean(ReadScratch(section, key, file).text, def);
}

int GetPrivateProfileIntRange(const char* section, const char* key, int def, int min, int max,
                              const char* file) {
  return Clamp(GetPrivateProfileInt(section, key, def, file), min, max);
}

uint32_t GetPrivateProfileRgb(const char* section, const char* key, uint32_t def, const char* file) {
  return ParseRgb(ReadScratch(section, key, file).text, def);
}

int32_t GetPrivateProfileLong(const char* section, const char* key, int32_t def, const char* file) {
  return ParseLong(ReadScratch(section, key, file).text, def);
}

int32_t GetPrivateProfileLongRange(const char* section, const char* key, int32_t def, int32_t min,
                                   int32_t max, const char* file) {
  return Clamp(GetPrivateProfileLong(section, key, def, file), min, max);
}

int GetProfileBoolean(const char* section, const char* key, int def) {
  return GetPrivateProfileBoolean(section, key, def, kWinIni);
}

int GetProfileIntRange(const char* section, const char* key, int def, int min, int max) {
  return GetPrivateProfileIntRange(section, key, def, min, max, kWinIni);
}

uint32_t GetProfileRgb(const char* section, const char* key, uint32_t def) {
  return GetPrivateProfileRgb(section, key, def, kWinIni);
}

int32_t GetProfileLong(const char* section, const char* key, int32_t def) {
  return GetPrivateProfileLong(section, key, def, kWinIni);
}

int32_t GetProfileLongRange(const char* section, const char* key, int32_t def, int32_t min,
                            int32_t max) {
  return GetPrivateProfileLongRange(section, key, def, min, max, kWinIni);
}

int WritePrivateProfileBoolean(const char* section, const char* key, int value, const char* file) {
  return WriteText(section, key, value ? "True" : "False", file);
}

int WritePrivateProfileInt(const char* section, const char* key, int value, const char* file) {
  char text[16];
  std::snprintf(text, sizeof text, "%d", value);
  return WriteText(section, key, text, file);
}

int WritePrivateProfileLong(const char* section, const char* key, int32_t value, const char* file) {
  char text[16];
  std::snprintf(text, sizeof text, "%ld", long(value));
  return WriteText(section, key, text, file);
}

int WritePrivateProfileRgb(const char* section, const char* key, uint32_t value, const char* file) {
  return WriteRgb(section, key, value, file);
}

int WriteProfileBoolean(const char* section, const char* key, int value) {
  return WritePrivateProfileBoolean(section, key, value, kWinIni);
}

int WriteProfileInt(const char* section, const char* key, int value) {
  return WritePrivateProfileInt(section, key, value, kWinIni);
}

int WriteProfileLong(const char* section, const char* key, int32_t value) {
  return WritePrivateProfileLong(section, key, value, kWinIni);
}

int WriteProfileRgb(const char* section, const char* key, uint32_t value) {
  return WriteRgb(section, key, value, kWinIni);
}

int bkPaintRecessedRect(BkDc dc, const BkRect* rect, int depth, int) {
  return (!dc || !rect || depth < 0) ? 0 : 1;
}

int bkPaint3DText(BkDc dc, int, int, const char* text, uint32_t, uint32_t) {
  return (!dc || !text) ? 0 : 1;
}

int bkHandleScroll(BkWindow, int, int* position, int min, int max, int lineUp, int lineDown,
                   int pageUp, int pageDown, uint32_t code) {
  if (!position) return 0;
  int64_t pos = *position;  // wide, so a step never overflows before the clamp
  int64_t next = pos;
  switch (code & 0xffff) {
    case kLineUp: next = pos - lineUp; break;
    case kLineDown: next = pos + lineDown; break;
    case kPageUp: next = pos - pageUp; break;
    case kPageDown: next = pos + pageDown; break;
    case kThumbPosition:
    case kThumbTrack: next = int64_t((code >> 16) & 0xffff); break;
    case kTop: next = min; break;
    case kBottom: next = max; break;
    default: break;
  }
  next = Clamp<int64_t>(next, min, max);
  if (next == pos) return 0;
  *position = int(next);  // the bar itself has nothing to repaint
  return 1;
}

}  // extern "C"
