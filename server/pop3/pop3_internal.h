// Shared between the POP3 files: the process-wide open-session count.
#pragma once

// Adds `delta` to the open-session count.
void AddOpenSession(int delta);
