// Names the calling thread (shown by ps -L, top -H and perf), so a profile of the
// server tells the network threads, the periodic worker and the flush pool apart.
#pragma once

// Names longer than 15 characters are cut.
void NameThisThread(const char* name);
