// The fuzz target's body over deterministic mutations of real answers, so the
// parser's hostile-input checks run with every unit-test run (and under the
// sanitizers in the sanitizer build); the libFuzzer program explores further.
#include <gtest/gtest.h>

#include <random>

#include "tests/mx/dns_fuzz_target.h"
#include "tests/mx/dns_test_util.h"

using namespace mxtest;

namespace {

std::vector<Bytes> Seeds() {
  return {
      BuildAnswer(7, kAnswerFlags, "mx3.test", kDnsTypeMx,
                  {{"mx3.test", kDnsTypeMx, 3600, "20 c.mx3.test"},
                   {"mx3.test", kDnsTypeMx, 3600, "10 a.mx3.test"}},
                  {{"a.mx3.test", kDnsTypeA, 60, "127.0.0.11"}}),
      BuildAnswer(8, kAnswerFlags, "chain.test", kDnsTypeMx,
                  {{"chain.test", kDnsTypeCname, 60, "chain2.test"},
                   {"chain2.test", kDnsTypeCname, 60, "chain.test"},
                   {"chain2.test", kDnsTypeMx, 60, "5 m.chain2.test"}}),
      BuildAnswer(9, uint16_t(kAnswerFlags | kDnsNameError), "none.test", kDnsTypeMx, {}),
  };
}

TEST(DnsFuzzSmoke, MutatedAnswersNeverEscapeThePacket) {
  std::mt19937 random(20261208);
  for (const Bytes& seed : Seeds()) {
    FuzzDnsAnswer(seed.data(), seed.size());
    for (int i = 0; i < 4000; ++i) {
      Bytes p = seed;
      int edits = 1 + int(random() % 4);
      for (int e = 0; e < edits; ++e) {
        switch (random() % 4) {
          case 0:  // flip a byte
            p[random() % p.size()] = uint8_t(random());
            break;
          case 1:  // a pointer somewhere
            if (p.size() > 2) {
              size_t at = random() % (p.size() - 1);
              p[at] = uint8_t(0xC0 | (random() & 1));
              p[at + 1] = uint8_t(random());
            }
            break;
          case 2:  // cut
            p.resize(random() % (p.size() + 1));
            break;
          case 3:  // a count raised
            if (p.size() >= 12) p[5 + 2 * (random() % 4)] = uint8_t(random());
            break;
        }
        if (p.empty()) break;
      }
      FuzzDnsAnswer(p.data(), p.size());
    }
  }
}

}  // namespace
