// Resolver benchmark: lookups answered from the record cache through the public
// request/fetch calls, and answers parsed (and parsed and cached). Prints its
// figures; the targets are 200,000 cached lookups and 100,000 parsed answers per
// second. Everything stays on 127.0.0.1: one fake name server fills the cache.
//
//   mx_bench [iterations]
#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "server/core/log.h"
#include "server/mx/dns_packet.h"
#include "server/mx/mx_cache.h"
#include "server/mx/mx_resolver.h"
#include "tests/mx/dns_test_util.h"
#include "server/core/program_options.h"

using namespace mxtest;

namespace {

double Seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

Bytes TypicalAnswer(uint16_t id) {
  return BuildAnswer(id, kAnswerFlags, "mx3.bench.test", kDnsTypeMx,
                     {{"mx3.bench.test", kDnsTypeMx, 3600, "20 c.mx3.bench.test"},
                      {"mx3.bench.test", kDnsTypeMx, 3600, "10 a.mx3.bench.test"},
                      {"mx3.bench.test", kDnsTypeMx, 3600, "10 b.mx3.bench.test"}},
                     {{"a.mx3.bench.test", kDnsTypeA, 3600, "127.0.0.11"},
                      {"b.mx3.bench.test", kDnsTypeA, 3600, "127.0.0.12"},
                      {"c.mx3.bench.test", kDnsTypeA, 3600, "127.0.0.13"}});
}

}  // namespace

constexpr const char* kUsage =
    "usage: mx_bench [ITERATIONS]\n"
    "prints cached lookups and parsed answers per second (default 500000\niterations); stays on 127.0.0.1.\n";

int main(int argc, char** argv) {
  if (int rc = AnswerHelpOrVersion(argc, argv, "mx_bench", kUsage); rc >= 0) return rc;
  long iterations = argc > 1 ? std::atol(argv[1]) : 500000;
  if (iterations <= 0) iterations = 500000;
  SetLogOptions(0, 0);
  SetWindowEchoToStdout(false);

  // 1. Cached lookups: submit, poll, fetch, levels 0..2 in turn.
  FakeServer server([](const SeenQuery& q) {
    Bytes p = TypicalAnswer(q.id);
    return std::vector<Reply>{{p}};
  });
  MxOptions options;
  options.domainServer = server.Address();
  std::string why;
  if (!MxStartupWith(options, why)) {
    std::fprintf(stderr, "mx_bench: %s\n", why.c_str());
    return 1;
  }
  if (Resolve("mx3.bench.test", 0).code != 0) {
    std::fprintf(stderr, "mx_bench: the fake name server did not answer\n");
    return 1;
  }
  long failures = 0;
  auto start = std::chrono::steady_clock::now();
  for (long i = 0; i < iterations; ++i) {
    int h = nSmtpMx_RequestRemoteId("mx3.bench.test", int(i % 3), 0);
    if (h < 0 || !nSmtpMx_QueryCompletion(h) || Fetch(h).code != 0) ++failures;
  }
  double cachedSeconds = Seconds(start);
  MxShutdown();

  // 2. Parsing a typical answer (3 MX, 3 glue A, compressed).
  Bytes answer = TypicalAnswer(0x4242);
  long parsedOk = 0;
  start = std::chrono::steady_clock::now();
  for (long i = 0; i < iterations; ++i) {
    DnsResponse r;
    if (ParseResponse(answer.data(), answer.size(), r) && r.records.size() == 6) ++parsedOk;
  }
  double parseSeconds = Seconds(start);

  // 3. Parsing and storing it in a cache.
  MxCache cache;
  start = std::chrono::steady_clock::now();
  for (long i = 0; i < iterations; ++i) {
    DnsResponse r;
    ParseResponse(answer.data(), answer.size(), r);
    ApplyResponse(cache, r, "mx3.bench.test", 1000 + i / 1000);
  }
  double applySeconds = Seconds(start);

  double cachedRate = double(iterations) / cachedSeconds;
  double parseRate = double(iterations) / parseSeconds;
  double applyRate = double(iterations) / applySeconds;
  std::printf("mx_bench: %ld iterations\n", iterations);
  std::printf("cached lookups (submit+poll+fetch): %.0f per second (target 200000)%s\n",
              cachedRate, failures ? " FAILURES" : "");
  std::printf("answers parsed:                     %.0f per second (target 100000)\n", parseRate);
  std::printf("answers parsed and cached:          %.0f per second\n", applyRate);
  bool ok = failures == 0 && parsedOk == iterations && cachedRate >= 200000 && parseRate >= 100000;
  std::printf("mx_bench: %s\n", ok ? "targets met" : "TARGETS MISSED");
  return ok ? 0 : 1;
}
