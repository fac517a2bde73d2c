#include "server/mx/mx_cache.h"

#include <gtest/gtest.h>

#include "server/mx/mx_resolver.h"
#include "tests/mx/dns_test_util.h"

using namespace mxtest;

namespace {

constexpr int64_t kNow = 1000000;

DnsResponse Parsed(const Bytes& p) {
  DnsResponse r;
  EXPECT_TRUE(ParseResponse(p.data(), p.size(), r)) << r.error;
  return r;
}

uint32_t Ip(const char* dotted) {
  in_addr a{};
  inet_pton(AF_INET, dotted, &a);
  return a.s_addr;
}

// mx3.test: MX 20 c, 10 a, 10 b (in that order), glue for all three.
void LoadThreeExchangers(MxCache& cache) {
  Bytes p = BuildAnswer(1, kAnswerFlags, "mx3.test", kDnsTypeMx,
                        {{"mx3.test", kDnsTypeMx, 3600, "20 c.mx3.test"},
                         {"mx3.test", kDnsTypeMx, 3600, "10 a.mx3.test"},
                         {"mx3.test", kDnsTypeMx, 3600, "10 b.mx3.test"}},
                        {{"a.mx3.test", kDnsTypeA, 3600, "127.0.0.11"},
                         {"b.mx3.test", kDnsTypeA, 3600, "127.0.0.12"},
                         {"c.mx3.test", kDnsTypeA, 3600, "127.0.0.13"}});
  EXPECT_EQ(ApplyResponse(cache, Parsed(p), "mx3.test", kNow), 3);
}

TEST(MxCache, ExchangersSortByPreferenceKeepingArrivalOrderOfTies) {
  MxCache cache;
  LoadThreeExchangers(cache);
  const MxCacheRecord* rec = FindCacheRecord(cache, "MX3.test");
  ASSERT_NE(rec, nullptr);
  ASSERT_EQ(rec->exchangers.size(), 3u);
  EXPECT_EQ(rec->exchangers[0].host, "a.mx3.test");
  EXPECT_EQ(rec->exchangers[1].host, "b.mx3.test");
  EXPECT_EQ(rec->exchangers[2].host, "c.mx3.test");
}

TEST(MxCache, MailWalkGivesEachLevelThenOutOfBounds) {
  MxCache cache;
  LoadThreeExchangers(cache);
  const struct {
    int level;
    WalkStep step;
    const char* host;
    int error;
  } cases[] = {
      {0, WalkStep::kResult, "a.mx3.test", 0},
      {1, WalkStep::kResult, "b.mx3.test", 0},
      {2, WalkStep::kResult, "c.mx3.test", 0},
      {3, WalkStep::kError, nullptr, -7},
      {-1, WalkStep::kError, nullptr, -7},
  };
  for (const auto& c : cases) {
    WalkOutcome o = WalkForMail(cache, "mx3.test", c.level);
    EXPECT_EQ(o.step, c.step) << c.level;
    if (c.host) {
      EXPECT_EQ(o.resultName, c.host) << c.level;
    }
    if (c.step == WalkStep::kError) {
      EXPECT_EQ(o.error, c.error) << c.level;
    }
  }
}

TEST(MxCache, WalkAsksForWhatIsMissing) {
  MxCache cache;
  WalkOutcome o = WalkForMail(cache, "new.test", 0);
  EXPECT_EQ(o.step, WalkStep::kNeedQuery);
  EXPECT_EQ(o.type, kDnsTypeMx);
  EXPECT_EQ(o.name, "new.test");
  // An MX answer without glue: the exchanger's address is asked for next.
  Bytes p = BuildAnswer(1, kAnswerFlags, "new.test", kDnsTypeMx,
                        {{"new.test", kDnsTypeMx, 60, "10 mail.elsewhere.test"}});
  ApplyResponse(cache, Parsed(p), "new.test", kNow);
  o = WalkForMail(cache, "new.test", 0);
  EXPECT_EQ(o.step, WalkStep::kNeedQuery);
  EXPECT_EQ(o.type, kDnsTypeA);
  EXPECT_EQ(o.name, "mail.elsewhere.test");
  // An address the cache holds only as glue is not taken for the domain's mail
  // destination: its MX records are asked for first.
  AddSimpleRecord(cache, "glue.test", "", Ip("10.0.0.1"), 60, kNow);
  o = WalkForMail(cache, "glue.test", 0);
  EXPECT_EQ(o.step, WalkStep::kNeedQuery);
  EXPECT_EQ(o.type, kDnsTypeMx);
}

TEST(MxCache, AddressFallbackServesLevelZeroOnly) {
  MxCache cache;
  AddSimpleRecord(cache, "aonly.test", "", Ip("127.0.0.20"), 60, kNow);
  MarkNegativeAnswer(cache, "aonly.test", kDnsTypeMx, kNow);
  EXPECT_EQ(WalkForMail(cache, "aonly.test", 0).step, WalkStep::kNoExchangers);
  WalkOutcome o = WalkForAddress(cache, "aonly.test", 0);
  ASSERT_EQ(o.step, WalkStep::kResult);
  ASSERT_EQ(o.resultAddresses.size(), 1u);
  EXPECT_EQ(o.resultAddresses[0], Ip("127.0.0.20"));
  o = WalkForAddress(cache, "aonly.test", 1);
  EXPECT_EQ(o.step, WalkStep::kError);
  EXPECT_EQ(o.error, -7);
}

TEST(MxCache, CnameChainIsFollowedAndLoopsGiveCyclic) {
  MxCache cache;
  LoadThreeExchangers(cache);
  AddSimpleRecord(cache, "alias1.test", "alias2.test", 0, 60, kNow);
  AddSimpleRecord(cache, "alias2.test", "mx3.test", 0, 60, kNow);
  WalkOutcome o = WalkForMail(cache, "alias1.test", 1);
  ASSERT_EQ(o.step, WalkStep::kResult);
  EXPECT_EQ(o.resultName, "b.mx3.test");

  AddSimpleRecord(cache, "loop1.test", "loop2.test", 0, 60, kNow);
  AddSimpleRecord(cache, "loop2.test", "LOOP1.test", 0, 60, kNow);
  o = WalkForMail(cache, "loop1.test", 0);
  EXPECT_EQ(o.step, WalkStep::kError);
  EXPECT_EQ(o.error, -8);
  o = WalkForAddress(cache, "loop2.test", 0);
  EXPECT_EQ(o.step, WalkStep::kError);
  EXPECT_EQ(o.error, -8);

  // An exchanger whose name loops.
  AddSimpleRecord(cache, "x1.test", "x2.test", 0, 60, kNow);
  AddSimpleRecord(cache, "x2.test", "x1.test", 0, 60, kNow);
  Bytes p = BuildAnswer(1, kAnswerFlags, "viaxloop.test", kDnsTypeMx,
                        {{"viaxloop.test", kDnsTypeMx, 60, "1 x1.test"}});
  ApplyResponse(cache, Parsed(p), "viaxloop.test", kNow);
  o = WalkForMail(cache, "viaxloop.test", 0);
  EXPECT_EQ(o.error, -8);
}

TEST(MxCache, DomainThatIsItsOwnExchangerIsNoLoop) {
  MxCache cache;
  Bytes p = BuildAnswer(1, kAnswerFlags, "self.test", kDnsTypeMx,
                        {{"self.test", kDnsTypeMx, 60, "10 self.test"}},
                        {{"self.test", kDnsTypeA, 60, "127.0.0.30"}});
  ApplyResponse(cache, Parsed(p), "self.test", kNow);
  WalkOutcome o = WalkForMail(cache, "self.test", 0);
  ASSERT_EQ(o.step, WalkStep::kResult);
  EXPECT_EQ(o.resultName, "self.test");
}

TEST(MxCache, LongChainsStopWithCyclic) {
  MxCache cache;
  for (int i = 0; i < 40; ++i)
    AddSimpleRecord(cache, "c" + std::to_string(i) + ".test", "c" + std::to_string(i + 1) + ".test",
                    0, 60, kNow);
  EXPECT_EQ(WalkForMail(cache, "c0.test", 0).error, -8);
}

TEST(MxCache, TimeToLiveIsRaisedTo300AndRecordsExpireAfterIt) {
  MxCache cache;
  Bytes p = BuildAnswer(1, kAnswerFlags, "short.test", kDnsTypeA,
                        {{"short.test", kDnsTypeA, 10, "127.0.0.40"}});
  ApplyResponse(cache, Parsed(p), "short.test", kNow);
  const MxCacheRecord* rec = FindCacheRecord(cache, "short.test");
  ASSERT_NE(rec, nullptr);
  EXPECT_EQ(rec->ttl, 300);
  EXPECT_EQ(ExpireCacheRecords(cache, kNow + 10), 0);
  EXPECT_EQ(ExpireCacheRecords(cache, kNow + 300), 0);
  EXPECT_EQ(ExpireCacheRecords(cache, kNow + 301), 1);
  EXPECT_EQ(FindCacheRecord(cache, "short.test"), nullptr);
}

TEST(MxCache, FreshAnswerDoesNotOutliveAnEarlierShorterOne) {
  MxCacheRecord rec;
  RefreshRecordTtl(rec, 400, kNow);
  EXPECT_EQ(rec.ttl, 400);
  RefreshRecordTtl(rec, 100000, kNow + 50);
  EXPECT_EQ(rec.ttl, 350);
  EXPECT_EQ(rec.storedAt, kNow + 50);
}

TEST(MxCache, TrimRemovesOldestFirst) {
  MxCache cache;
  for (int i = 0; i < 60; ++i)
    AddSimpleRecord(cache, "n" + std::to_string(i) + ".test", "", Ip("127.0.0.1"), 60, kNow);
  EXPECT_EQ(TrimCache(cache, -1), 0);
  EXPECT_EQ(TrimCache(cache, 50), 10);
  EXPECT_EQ(cache.records.size(), 50u);
  EXPECT_EQ(FindCacheRecord(cache, "n9.test"), nullptr);
  EXPECT_NE(FindCacheRecord(cache, "n10.test"), nullptr);
  EXPECT_EQ(cache.byName.size(), 50u);
}

TEST(MxCache, AddressesAreUniqueAndCappedAt32) {
  MxCache cache;
  for (int i = 0; i < 40; ++i) {
    std::string a = "10.0.0." + std::to_string(i);
    AddSimpleRecord(cache, "many.test", "", Ip(a.c_str()), 60, kNow);
    AddSimpleRecord(cache, "many.test", "", Ip(a.c_str()), 60, kNow);
  }
  EXPECT_EQ(FindCacheRecord(cache, "many.test")->addresses.size(), 32u);
}

// Records a server adds that have nothing to do with the question are not cached:
// an answer cannot plant an address for another domain.
TEST(MxCache, UnrelatedRecordsInAnAnswerAreIgnored) {
  MxCache cache;
  Bytes p = BuildAnswer(1, kAnswerFlags, "asked.test", kDnsTypeMx,
                        {{"asked.test", kDnsTypeMx, 60, "10 mail.asked.test"},
                         {"bank.test", kDnsTypeMx, 60, "10 evil.test"},
                         {"other.test", kDnsTypeA, 60, "6.6.6.6"}},
                        {{"mail.asked.test", kDnsTypeA, 60, "127.0.0.50"},
                         {"www.bank.test", kDnsTypeA, 60, "6.6.6.7"}});
  EXPECT_EQ(ApplyResponse(cache, Parsed(p), "asked.test", kNow), 1);
  EXPECT_NE(FindCacheRecord(cache, "mail.asked.test"), nullptr);
  EXPECT_EQ(FindCacheRecord(cache, "bank.test"), nullptr);
  EXPECT_EQ(FindCacheRecord(cache, "other.test"), nullptr);
  EXPECT_EQ(FindCacheRecord(cache, "www.bank.test"), nullptr);
}

TEST(MxCache, CnameTargetInTheSameAnswerIsTaken) {
  MxCache cache;
  Bytes p = BuildAnswer(1, kAnswerFlags, "alias.test", kDnsTypeMx,
                        {{"alias.test", kDnsTypeCname, 60, "real.test"},
                         {"real.test", kDnsTypeMx, 60, "10 mx.real.test"}},
                        {{"mx.real.test", kDnsTypeA, 60, "127.0.0.60"}});
  EXPECT_EQ(ApplyResponse(cache, Parsed(p), "alias.test", kNow), 2);
  WalkOutcome o = WalkForMail(cache, "alias.test", 0);
  ASSERT_EQ(o.step, WalkStep::kResult);
  EXPECT_EQ(o.resultName, "mx.real.test");
}

TEST(MxCache, ParentAliasIsNotAnAddressFallback) {
  MxCache cache;
  AddSimpleRecord(cache, "host.sub.test", "sub.test", 0, 300, kNow);
  TouchCacheRecord(cache, "host.sub.test").parentAlias = true;
  AddSimpleRecord(cache, "sub.test", "", Ip("127.0.0.70"), 60, kNow);
  EXPECT_EQ(WalkForAddress(cache, "host.sub.test", 0).step, WalkStep::kNoAddress);
  EXPECT_EQ(WalkForMail(cache, "host.sub.test", 0).step, WalkStep::kNeedQuery);
}

TEST(MxThreshold, StoredValueIsClamped) {
  const struct {
    long stored, threshold;
  } cases[] = {{-1, -1}, {0, 50}, {10, 50}, {50, 50}, {51, 51}, {399, 399}, {400, 400}, {5000, 400}};
  for (const auto& c : cases) EXPECT_EQ(EffectiveMxThreshold(c.stored), c.threshold) << c.stored;
}

TEST(ResolverErrorText, EveryCodeHasItsTextAndPermanentFlag) {
  const struct {
    int code;
    const char* text;
    bool permanent;
  } cases[] = {
      {0, "No error", false},
      {-1, "System error", false},
      {-2, "Not found", false},
      {-3, "Server error", false},
      {-4, "Not finished with request", false},
      {-5, "Request expired", false},
      {-6, "Request not found", false},
      {-7, "Out of bounds for MX record", true},
      {-8, "Cyclic resolution detected", true},
      {-9, "Server failure occured", false},
      {-10, "Exception occured servicing request.", false},
  };
  for (const auto& c : cases) {
    char text[64];
    bool permanent = !c.permanent;
    ASSERT_TRUE(ResolverErrorText(c.code, text, sizeof text, permanent)) << c.code;
    EXPECT_STREQ(text, c.text);
    EXPECT_EQ(permanent, c.permanent) << c.code;
  }
  char text[8];
  bool permanent = true;
  EXPECT_FALSE(ResolverErrorText(1, text, sizeof text, permanent));
  EXPECT_FALSE(permanent);
  EXPECT_FALSE(ResolverErrorText(-11, text, sizeof text, permanent));
  ASSERT_TRUE(ResolverErrorText(-7, text, sizeof text, permanent));
  EXPECT_STREQ(text, "Out of ");  // cut to the buffer
}

}  // namespace
