// The 32-bit millisecond tick counter (CLOCK_MONOTONIC cut to 32 bits; it wraps
// after 49.7 days) and elapsed-time arithmetic on it.
#pragma once

#include <cstdint>

uint32_t GetTickCount32();

// Milliseconds from `last` to `now`. When the counter has wrapped (last > now)
// one more millisecond is subtracted, as the periodic worker has always counted.
uint32_t TickElapsed(uint32_t now, uint32_t last);

// Sleeps the calling thread.
void SleepMs(uint32_t ms);
