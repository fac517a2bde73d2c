/* libbasekit32.so: profile, string, memory and buffer helpers with C linkage,
 * bound by name (ELF has no ordinals). The library exports these names and no
 * others.
 *
 * Types keep the widths of the 32-bit originals: "long" values are int32_t,
 * colours are 0x00BBGGRR in a uint32_t. Window, dialog and device-context
 * handles are opaque pointers: there is no desktop, so every window and dialog
 * item is missing and the window and painting helpers check their arguments and
 * return what the originals return without drawing anything.
 *
 * Profile calls read and write through the platform's private-profile calls; the
 * ones without "Private" use "win.ini" (<home>/win.ini). Each call uses its own
 * buffer, so they are safe from any thread. */
#ifndef CORVEL_BASEKIT32_H
#define CORVEL_BASEKIT32_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef void* BkWindow;
typedef void* BkDc;
typedef void* BkHandle;
typedef struct BkRect {
  int32_t left, top, right, bottom;
} BkRect;

/* Library exit hook: does nothing, returns 1. */
int WEP(int exitType);

/* Message pump: nothing to dispatch; each returns 0. */
int bkNewYield(void);
int bkYield(BkWindow window);
int bkYieldEx(void);

/* Window helpers (no windows exist: results as for a missing window or item). */
int bkCentreWindow(BkWindow window);
int bkSetMainWindowTitle(BkWindow window, const char* title, int flag, const char* name);
int bkVisibleDlgItem(BkWindow dialog, int id, int show);
int bkEnableDlgItem(BkWindow dialog, int id, int enable);
BkWindow bkSetDlgItemFocus(BkWindow dialog, int id);

/* Number parsing: leading decimal digits, no sign, no blanks. */
int16_t bkAToI(const char* text);
const char* bkAToIEx(const char* text, int ignored, int16_t* out);
const char* bkAToLEx(const char* text, int ignored, int32_t* out);

/* Profile values. */
int GetPrivateProfileBoolean(const char* section, const char* key, int def, const char* file);
int GetPrivateProfileIntRange(const char* section, const char* key, int def, int min, int max,
                              const char* file);
uint32_t GetPrivateProfileRgb(const char* section, const char* key, uint32_t def, const char* file);
int32_t GetPrivateProfileLong(const char* section, const char* key, int32_t def, const char* file);
int32_t GetPrivateProfileLongRange(const char* section, const char* key, int32_t def, int32_t min,
                                   int32_t max, const char* file);
int GetProfileBoolean(const char* section, const char* key, int def);
int GetProfileIntRange(const char* section, const char* key, int def, int min, int max);
uint32_t GetProfileRgb(const char* section, const char* key, uint32_t def);
int32_t GetProfileLong(const char* section, const char* key, int32_t def);
int32_t GetProfileLongRange(const char* section, const char* key, int32_t def, int32_t min,
                            int32_t max);
int WritePrivateProfileBoolean(const char* section, const char* key, int value, const char* file);
int WritePrivateProfileInt(const char* section, const char* key, int value, const char* file);
int WritePrivateProfileLong(const char* section, const char* key, int32_t value, const char* file);
int WritePrivateProfileRgb(const char* section, const char* key, uint32_t value, const char* file);
int WriteProfileBoolean(const char* section, const char* key, int value);
int WriteProfileInt(const char* section, const char* key, int value);
int WriteProfileLong(const char* section, const char* key, int32_t value);
int WriteProfileRgb(const char* section, const char* key, uint32_t value);

/* Memory. Counts are signed; a negative count copies or compares nothing. The
 * comparisons of the l family return second minus first (reversed sign). */
void* lmemcpy(void* dst, const void* src, int32_t n);
void* lmemset(void* p, int byte, int32_t n);
void* lmemmove(void* dst, const void* src, int32_t n);
int lmemcmp(const void* a, const void* b, int32_t n);
void* hmemset(void* p, int byte, int32_t n);
void* hmemmove(void* dst, const void* src, int32_t n);
int hmemcmp(const void* a, const void* b, int32_t n);

/* Strings. */
char* lstrend(const char* s);
char* lstrecpy(char* dst, const char* src);
char* hstrcpy(char* dst, const char* src);
int hstrcmp(const char* a, const char* b);
int32_t hstrlen(const char* s);
int hstrcmpi(const char* a, const char* b);
char* lstrncpy(char* dst, const char* src, int32_t n);
int lstrncmp(const char* a, const char* b, int32_t n);
int lstrncmpi(const char* a, const char* b, int32_t n);
char* hstrncpy(char* dst, const char* src, int32_t n);
char* lstrchr(const char* s, int c);
char* lstrrscan(const char* s, const char* set);
char* lstrscan(const char* s, const char* set);
char* lstrrchr(const char* s, int c);

/* Buffers: a block with a pointer-sized header holding its own handle; callers
 * get the address just after the header. */
void* AllocateBuffer(uint32_t size, uint32_t flags);
BkHandle FreeBuffer(void* p);
void* ReAllocateBuffer(void* p, uint32_t size, uint32_t flags);
BkHandle GetAllocateBufferHandle(const void* p);
void* GetAllocateBufferPointer(BkHandle block);

/* Painting and scrolling. */
int bkPaintRecessedRect(BkDc dc, const BkRect* rect, int depth, int raised);
int bkPaint3DText(BkDc dc, int x, int y, const char* text, uint32_t colour, uint32_t shadow);
int bkHandleScroll(BkWindow window, int bar, int* position, int min, int max, int lineUp,
                   int lineDown, int pageUp, int pageDown, uint32_t code);

#ifdef __cplusplus
}
#endif

#endif
