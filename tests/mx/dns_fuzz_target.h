// The body of the resolver's fuzz target, shared by the libFuzzer program
// (tests/mx/fuzz/) and the mutation smoke test that runs with the unit tests.
// Whatever the bytes: the parser stays inside them, every name it returns obeys
// the limits, and the cache and the walk cope with what it found.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "server/mx/dns_packet.h"
#include "server/mx/mx_cache.h"

inline void CheckFuzzName(const std::string& name) {
  if (name.size() > kMaxDnsName + 2) std::abort();
  for (char c : name)
    if (uint8_t(c) <= 0x20 || uint8_t(c) >= 0x7f) std::abort();
}

inline int FuzzDnsAnswer(const uint8_t* data, size_t size) {
  DnsResponse response;
  bool whole = ParseResponse(data, size, response);
  if (whole != (response.error == nullptr)) std::abort();
  CheckFuzzName(response.questionName);
  for (const DnsRecord& rr : response.records) {
    CheckFuzzName(rr.owner);
    CheckFuzzName(rr.target);
    if (rr.ttl & 0x80000000u) std::abort();
  }
  // Every offset as the start of a name.
  for (size_t offset = 0; offset < size && offset < 512; ++offset) {
    std::string name;
    const char* why = nullptr;
    size_t next = DecodeName(data, size, offset, name, why);
    if (next > size) std::abort();
    if (next) CheckFuzzName(name);
  }
  // The cache and both walks over whatever was found.
  MxCache cache;
  ApplyResponse(cache, response, response.questionName, 1000);
  for (int level = -1; level < 3; ++level) {
    WalkForMail(cache, response.questionName, level);
    WalkForAddress(cache, response.questionName, level);
  }
  ExpireCacheRecords(cache, 1000 + 100000);
  TrimCache(cache, 0);
  return 0;
}
