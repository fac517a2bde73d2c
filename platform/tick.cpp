#include "platform/tick.h"

#include <time.h>

uint32_t GetTickCount32() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  uint64_t ms = uint64_t(ts.tv_sec) * 1000u + uint64_t(ts.tv_nsec) / 1000000u;
  return uint32_t(ms);
}

uint32_t TickElapsed(uint32_t now, uint32_t last) {
  if (last > now) return now - last - 1;  // wrapped: unsigned arithmetic, one less
  return now - last;
}

void SleepMs(uint32_t ms) {
  timespec ts{time_t(ms / 1000), long(ms % 1000) * 1000000L};
  while (nanosleep(&ts, &ts) != 0) {
  }
}
