// libFuzzer target for the resolver's answer parser, cache and walk. Built and run
// by tests/mx/fuzz/run_fuzz.sh (clang, -fsanitize=fuzzer,address,undefined).
#include <cstdarg>

#include "server/core/log.h"
#include "tests/mx/dns_fuzz_target.h"

// The cache logs what it stores; the fuzzer does not need the log.
void LogEvent(int, uint32_t, LogMsg, ...) {}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return FuzzDnsAnswer(data, size);
}
