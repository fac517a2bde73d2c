// The resolver against a scripted fake name server on a loopback port: the
// answers a real server gives, and the hostile ones it never would.
#include "server/mx/mx_resolver.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <set>

#include "server/core/log.h"
#include "server/mx/mx_transport.h"
#include "tests/mx/dns_test_util.h"

using namespace mxtest;

namespace {

std::atomic<int64_t> gClock{1000000};
int64_t TestClock() { return gClock.load(); }

// One name and type the fake zone answers; type 0 answers every type.
struct ZoneEntry {
  std::string name;
  uint16_t type = 0;
  int code = kDnsNoError;
  std::vector<Rr> answers;
  std::vector<Rr> additionals = {};
};

// A negative answer carries the zone's SOA in the authority section, as real
// servers send it.
const std::vector<Rr> kSoa = {{"test", kDnsTypeSoa, 60, std::string(22, '\0')}};

Bytes ZoneAnswer(const std::vector<ZoneEntry>& zone, const SeenQuery& q) {
  for (const ZoneEntry& e : zone) {
    if (!SameDnsName(e.name, q.name) || (e.type && e.type != q.type)) continue;
    uint16_t flags = uint16_t(kAnswerFlags | e.code);
    return BuildAnswer(q.id, flags, q.name, q.type, e.answers, e.additionals, true,
                       e.answers.empty() ? kSoa : std::vector<Rr>{});
  }
  return BuildAnswer(q.id, uint16_t(kAnswerFlags | kDnsNameError), q.name, q.type, {}, {}, true,
                     kSoa);
}

Script Zone(std::vector<ZoneEntry> zone) {
  return [zone](const SeenQuery& q) { return std::vector<Reply>{{ZoneAnswer(zone, q)}}; };
}

const std::vector<ZoneEntry> kZone = {
    {"mx3.test", kDnsTypeMx, 0,
     {{"mx3.test", kDnsTypeMx, 3600, "20 c.mx3.test"},
      {"mx3.test", kDnsTypeMx, 3600, "10 a.mx3.test"},
      {"mx3.test", kDnsTypeMx, 3600, "10 b.mx3.test"}},
     {{"a.mx3.test", kDnsTypeA, 3600, "127.0.0.11"},
      {"b.mx3.test", kDnsTypeA, 3600, "127.0.0.12"}}},
    {"c.mx3.test", kDnsTypeA, 0, {{"c.mx3.test", kDnsTypeA, 3600, "127.0.0.13"}}},
    {"c.mx3.test", kDnsTypeMx, 0, {}},
    {"aonly.test", kDnsTypeA, 0,
     {{"aonly.test", kDnsTypeA, 10, "127.0.0.20"}, {"aonly.test", kDnsTypeA, 10, "127.0.0.21"}}},
    {"aonly.test", kDnsTypeMx, 0, {}},
    {"sub.test", kDnsTypeMx, 0,
     {{"sub.test", kDnsTypeMx, 60, "5 mail.sub.test"}},
     {{"mail.sub.test", kDnsTypeA, 60, "127.0.0.31"}}},
    {"loop1.test", 0, 0, {{"loop1.test", kDnsTypeCname, 60, "loop2.test"}}},
    {"loop2.test", 0, 0, {{"loop2.test", kDnsTypeCname, 60, "loop1.test"}}},
    {"chain.test", 0, 0, {{"chain.test", kDnsTypeCname, 60, "chain2.test"}}},
    {"chain2.test", 0, 0, {{"chain2.test", kDnsTypeCname, 60, "mx3.test"}}},
    {"nohost.test", kDnsTypeMx, 0, {{"nohost.test", kDnsTypeMx, 60, "10 gone.test"}}},
    {"servfail.test", 0, kDnsServerFailure, {}},
    {"refused.test", 0, 5, {}},
};

class Resolver : public ::testing::Test {
 protected:
  void SetUp() override {
    SetLogOptions(kLogMxDebug, 0);
    SetWindowEchoToStdout(false);
  }
  void TearDown() override { MxShutdown(); }

  void Start(const std::string& servers, uint32_t timeoutMs = 5000, bool subnets = true,
             long limit = -1) {
    MxOptions o;
    o.domainServer = servers;
    o.requestTimeoutMs = timeoutMs;
    o.evaluateSubnets = subnets;
    o.limitMxRecords = limit;
    o.clockSeconds = &TestClock;
    std::string why;
    ASSERT_TRUE(MxStartupWith(o, why)) << why;
  }

  static bool Logged(const std::string& text) {
    for (const std::string& line : WindowLogLines())
      if (line.find(text) != std::string::npos) return true;
    return false;
  }
};

TEST_F(Resolver, LevelsFollowPreferenceAndComeFromTheCacheAfterTheFirstAnswer) {
  FakeServer server(Zone(kZone));
  Start(server.Address());
  Fetched f = Resolve("mx3.test", 0);
  ASSERT_EQ(f.code, 0);
  EXPECT_EQ(f.level, 0);
  EXPECT_EQ(f.host, "a.mx3.test");
  EXPECT_EQ(f.addresses, "127.0.0.11;");
  size_t queries = server.Seen().size();
  EXPECT_EQ(queries, 1u);
  f = Resolve("MX3.test.", 1);
  ASSERT_EQ(f.code, 0);
  EXPECT_EQ(f.host, "b.mx3.test");
  EXPECT_EQ(server.Seen().size(), queries) << "level 1 must come from the cache";
  // The 20 came without glue: its address is asked for.
  f = Resolve("mx3.test", 2);
  ASSERT_EQ(f.code, 0);
  EXPECT_EQ(f.host, "c.mx3.test");
  EXPECT_EQ(f.addresses, "127.0.0.13;");
  ASSERT_EQ(server.Seen().size(), queries + 1);
  EXPECT_EQ(server.Seen().back().name, "c.mx3.test");
  EXPECT_EQ(server.Seen().back().type, kDnsTypeA);
  EXPECT_EQ(Resolve("mx3.test", 3).code, -7);
  EXPECT_EQ(CountMxRequests(), 0);
}

TEST_F(Resolver, QueriesLeaveFromEphemeralPortsWithUnpredictableIds) {
  FakeServer server(Zone(kZone));
  Start(server.Address());
  for (const char* name : {"mx3.test", "sub.test", "aonly.test", "chain.test"})
    Resolve(name, 0);
  std::vector<SeenQuery> seen = server.Seen();
  ASSERT_GE(seen.size(), 5u);
  std::set<uint16_t> ports, ids;
  for (const SeenQuery& q : seen) {
    uint16_t port = ntohs(q.from.sin_port);
    EXPECT_NE(port, 54);
    EXPECT_GE(port, 1024);
    ports.insert(port);
    ids.insert(q.id);
  }
  EXPECT_GT(ports.size(), 1u) << "each query gets its own socket";
  // Counted-up ids (1, 2, 3, ...) would be trivially forged.
  std::vector<uint16_t> counted;
  for (size_t i = 0; i < seen.size(); ++i) counted.push_back(uint16_t(i + 1));
  std::vector<uint16_t> got;
  for (const SeenQuery& q : seen) got.push_back(q.id);
  EXPECT_NE(got, counted);
  EXPECT_EQ(CountMxQueries(), 0) << "every query socket is closed once answered";
}

TEST_F(Resolver, NameWithOnlyAnAddressFallsBackToItAtLevelZero) {
  FakeServer server(Zone(kZone));
  Start(server.Address());
  Fetched f = Resolve("aonly.test", 0);
  ASSERT_EQ(f.code, 0);
  EXPECT_EQ(f.host, "aonly.test");
  EXPECT_EQ(f.addresses, "127.0.0.20;127.0.0.21;");
  EXPECT_TRUE(Logged("MX-> downgrading to A record search"));
  EXPECT_TRUE(Logged("MX response: NoError(0) for request to"));
  EXPECT_EQ(Resolve("aonly.test", 1).code, -7);
  // The answer's time-to-live of 10 s is kept 300 s.
  EXPECT_EQ(MxCachedTtl("aonly.test"), 300);
}

TEST_F(Resolver, ShortTimeToLiveIsKept300SecondsThenExpires) {
  FakeServer server(Zone(kZone));
  Start(server.Address());
  ASSERT_EQ(Resolve("aonly.test", 0).code, 0);
  size_t queries = server.Seen().size();
  gClock += 299;
  MxHousekeeping();
  ASSERT_EQ(Resolve("aonly.test", 0).code, 0);
  EXPECT_EQ(server.Seen().size(), queries) << "still cached after 299 s";
  gClock += 2;
  MxHousekeeping();
  EXPECT_EQ(MxCachedTtl("aonly.test"), -2);
  ASSERT_EQ(Resolve("aonly.test", 0).code, 0);
  EXPECT_GT(server.Seen().size(), queries) << "asked again after expiry";
}

TEST_F(Resolver, ParentDomainsAreSearchedUntilOneAnswers) {
  FakeServer server(Zone(kZone));
  Start(server.Address());
  Fetched f = Resolve("x.y.sub.test", 0);
  ASSERT_EQ(f.code, 0);
  EXPECT_EQ(f.host, "mail.sub.test");
  std::vector<std::pair<std::string, uint16_t>> asked;
  for (const SeenQuery& q : server.Seen()) asked.emplace_back(q.name, q.type);
  std::vector<std::pair<std::string, uint16_t>> expected = {
      {"x.y.sub.test", kDnsTypeMx}, {"x.y.sub.test", kDnsTypeA},
      {"y.sub.test", kDnsTypeMx}, {"sub.test", kDnsTypeMx}};
  EXPECT_EQ(asked, expected);
  EXPECT_TRUE(Logged("MX-> Submitting request for subnet"));
  // The way down is cached: the same name again needs no query.
  size_t queries = server.Seen().size();
  EXPECT_EQ(Resolve("x.y.sub.test", 0).code, 0);
  EXPECT_EQ(server.Seen().size(), queries);
}

TEST_F(Resolver, ParentSearchEndsWithNotFoundBeforeTheTopLevel) {
  FakeServer server(Zone(kZone));
  Start(server.Address());
  EXPECT_EQ(Resolve("a.b.none.test", 0).code, -2);
  std::vector<std::string> names;
  for (const SeenQuery& q : server.Seen()) names.push_back(q.name);
  EXPECT_EQ(names, (std::vector<std::string>{"a.b.none.test", "a.b.none.test", "b.none.test",
                                             "none.test"}));
  EXPECT_TRUE(Logged("MX-> Subnet processing exhausted"));
  EXPECT_TRUE(Logged("MX response: NameError(3)"));
}

TEST_F(Resolver, WithoutSubnetEvaluationAMissingNameIsNotFound) {
  FakeServer server(Zone(kZone));
  Start(server.Address(), 5000, false);
  EXPECT_EQ(Resolve("x.y.sub.test", 0).code, -2);
  EXPECT_EQ(server.Seen().size(), 2u);
}

TEST_F(Resolver, ServerFailureIsNotNameError) {
  FakeServer server(Zone(kZone));
  Start(server.Address());
  const struct {
    const char* name;
    int code;
  } cases[] = {
      {"servfail.test", -9},  // ServerFailure: try another server
      {"refused.test", -3},   // any other code
      {"nohost.test", -2},    // the exchanger does not exist
      {"loop1.test", -8},     // CNAME loop
  };
  for (const auto& c : cases) EXPECT_EQ(Resolve(c.name, 0).code, c.code) << c.name;
}

TEST_F(Resolver, CnameChainLeadsToTheExchangers) {
  FakeServer server(Zone(kZone));
  Start(server.Address());
  Fetched f = Resolve("chain.test", 1);
  ASSERT_EQ(f.code, 0);
  EXPECT_EQ(f.host, "b.mx3.test");
}

TEST_F(Resolver, CnameWithoutItsTargetsDataIsFollowedByAQueryForTheTarget) {
  std::vector<ZoneEntry> zone = kZone;
  zone.push_back({"bare.test", 0, 0, {{"bare.test", kDnsTypeCname, 60, "mx3.test"}}});
  FakeServer server(Zone(zone));
  Start(server.Address());
  Fetched f = Resolve("bare.test", 0);
  ASSERT_EQ(f.code, 0);
  EXPECT_EQ(f.host, "a.mx3.test");
  std::vector<std::string> names;
  for (const SeenQuery& q : server.Seen()) names.push_back(q.name);
  EXPECT_EQ(names, (std::vector<std::string>{"bare.test", "mx3.test"}));
}

// A server that answers an MX question with the name's address only must not
// make the resolver ask the same question again and again.
TEST_F(Resolver, AnswerWithNothingForTheQuestionCountsAsNoData) {
  std::vector<ZoneEntry> zone = {
      {"odd.test", kDnsTypeMx, 0, {{"odd.test", kDnsTypeA, 60, "127.0.0.77"}}},
  };
  FakeServer server(Zone(zone));
  Start(server.Address());
  Fetched f = Resolve("odd.test", 0);
  ASSERT_EQ(f.code, 0);
  EXPECT_EQ(f.addresses, "127.0.0.77;");
  EXPECT_EQ(server.Seen().size(), 1u);
}

TEST_F(Resolver, SilentServerExpiresTheRequest) {
  FakeServer server([](const SeenQuery&) { return std::vector<Reply>{}; });
  Start(server.Address(), 150);
  int h = nSmtpMx_RequestRemoteId("mx3.test", 0, 0);
  ASSERT_GT(h, 0);
  EXPECT_FALSE(nSmtpMx_QueryCompletion(h));
  int level;
  char host[64], addrs[64];
  EXPECT_EQ(nSmtpMx_GetMxRequest(h, level, host, sizeof host, addrs, sizeof addrs), -4);
  MxHousekeeping();
  EXPECT_FALSE(nSmtpMx_QueryCompletion(h)) << "not before the time-out";
  std::this_thread::sleep_for(std::chrono::milliseconds(250));
  MxHousekeeping();
  EXPECT_TRUE(nSmtpMx_QueryCompletion(h));
  EXPECT_EQ(Fetch(h).code, -5);
  EXPECT_EQ(CountMxQueries(), 0);
}

// Each scripted attack answers first with the hostile packet; with `thenTruth` the
// real answer follows, which must still be taken.
struct Attack {
  const char* what;
  std::function<Reply(const SeenQuery&, const FakeServer&)> forge;
  const char* logged;
};

Reply Real(const SeenQuery& q) { return Reply{ZoneAnswer(kZone, q)}; }

std::vector<Attack> Attacks() {
  return {
      {"wrong id",
       [](const SeenQuery& q, const FakeServer&) {
         SeenQuery other = q;
         other.id = uint16_t(q.id + 1);
         return Reply{BuildAnswer(other.id, kAnswerFlags, q.name, q.type,
                                  {{q.name, kDnsTypeMx, 60, "1 evil.test"}},
                                  {{"evil.test", kDnsTypeA, 60, "127.6.6.6"}})};
       },
       "MX-> Unable to find matching response: id-"},
      {"wrong source port",
       [](const SeenQuery& q, const FakeServer&) {
         Reply r{BuildAnswer(q.id, kAnswerFlags, q.name, q.type,
                             {{q.name, kDnsTypeMx, 60, "1 evil.test"}},
                             {{"evil.test", kDnsTypeA, 60, "127.6.6.6"}})};
         r.fromOtherPort = true;
         return r;
       },
       "MX-> Response from unexpected sender 127.0.0.1:"},
      {"other question",
       [](const SeenQuery& q, const FakeServer&) {
         return Reply{BuildAnswer(q.id, kAnswerFlags, "evil.test", q.type,
                                  {{"evil.test", kDnsTypeMx, 60, "1 evil.test"}},
                                  {{"evil.test", kDnsTypeA, 60, "127.6.6.6"}})};
       },
       "MX-> Response question does not match query dropped"},
      {"query instead of answer",
       [](const SeenQuery& q, const FakeServer&) {
         return Reply{BuildAnswer(q.id, kDnsFlagRecursionDesired, q.name, q.type,
                                  {{q.name, kDnsTypeMx, 60, "1 evil.test"}})};
       },
       "MX-> Packet is not an answer dropped"},
      {"packet too small",
       [](const SeenQuery& q, const FakeServer&) {
         return Reply{Bytes{uint8_t(q.id >> 8), uint8_t(q.id), 0x81}};
       },
       "MX-> Packet size = 3, too small"},
      {"truncated answer",
       [](const SeenQuery& q, const FakeServer&) {
         Bytes p = BuildAnswer(q.id, kAnswerFlags, q.name, q.type,
                               {{q.name, kDnsTypeMx, 60, "1 evil.test"}});
         p.resize(p.size() - 6);
         return Reply{p};
       },
       "MX-> Deleting unused record"},
      {"compression loop",
       [](const SeenQuery& q, const FakeServer&) {
         Bytes p = BuildAnswer(q.id, kAnswerFlags, q.name, q.type, {});
         p[7] = 1;  // one answer: a name that points at itself
         size_t at = p.size();
         p.push_back(uint8_t(0xC0 | (at >> 8)));
         p.push_back(uint8_t(at));
         Bytes tail = {0, 15, 0, 1, 0, 0, 0, 60, 0, 4, 0, 1, 0xC0, 12};
         p.insert(p.end(), tail.begin(), tail.end());
         return Reply{p};
       },
       "MX-> Critical error getting name for item"},
  };
}

TEST_F(Resolver, HostileAnswersAreDroppedAndTheRealAnswerStillCounts) {
  for (const Attack& attack : Attacks()) {
    FakeServer server([&](const SeenQuery& q) {
      return std::vector<Reply>{attack.forge(q, server), Real(q)};
    });
    Start(server.Address());
    Fetched f = Resolve("mx3.test", 0);
    EXPECT_EQ(f.code, 0) << attack.what;
    EXPECT_EQ(f.host, "a.mx3.test") << attack.what;
    EXPECT_EQ(f.addresses, "127.0.0.11;") << attack.what;
    EXPECT_TRUE(Logged(attack.logged)) << attack.what;
    MxShutdown();
  }
}

TEST_F(Resolver, HostileAnswersAloneEndInTimeOutNotInAForgedResult) {
  for (const Attack& attack : Attacks()) {
    FakeServer server([&](const SeenQuery& q) {
      return std::vector<Reply>{attack.forge(q, server)};
    });
    Start(server.Address(), 200);
    int h = nSmtpMx_RequestRemoteId("mx3.test", 0, 0);
    ASSERT_GT(h, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    MxHousekeeping();
    Fetched f = Fetch(h);
    EXPECT_EQ(f.code, -5) << attack.what;
    EXPECT_EQ(MxCachedTtl("evil.test"), -2) << attack.what;
    MxShutdown();
  }
}

TEST_F(Resolver, AnswerFromAnotherAddressWithTheRightPortIsDropped) {
  // The forger sits on 127.0.0.2 with the server's own port number.
  uint16_t port = 0;
  std::atomic<int> forger{-1};
  std::atomic<bool> sent{false};
  FakeServer server([&](const SeenQuery& q) {
    Bytes p = BuildAnswer(q.id, kAnswerFlags, q.name, q.type,
                          {{q.name, kDnsTypeMx, 60, "1 evil.test"}},
                          {{"evil.test", kDnsTypeA, 60, "127.6.6.6"}});
    sendto(forger, p.data(), p.size(), 0, reinterpret_cast<const sockaddr*>(&q.from),
           sizeof q.from);
    sent = true;
    return std::vector<Reply>{};
  });
  port = server.port;
  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in a = Loopback(port);
  a.sin_addr.s_addr = htonl(0x7F000002);
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  forger = fd;
  Start(server.Address(), 200);
  int h = nSmtpMx_RequestRemoteId("mx3.test", 0, 0);
  ASSERT_GT(h, 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  MxHousekeeping();
  EXPECT_TRUE(sent);
  EXPECT_EQ(Fetch(h).code, -5);
  EXPECT_TRUE(Logged("MX-> Response from unexpected sender 127.0.0.2"));
  close(forger);
}

TEST_F(Resolver, HandlesAndServerIndexes) {
  FakeServer server(Zone(kZone));
  Start(server.Address() + "; 127.0.0.1:9 ;" + server.Address());
  EXPECT_EQ(MxLevelCount(), 3);
  EXPECT_EQ(nSmtpMx_RequestRemoteId("mx3.test", 0, 3), -3);
  EXPECT_EQ(nSmtpMx_RequestRemoteId("mx3.test", 0, -1), -3);
  EXPECT_EQ(nSmtpMx_RequestRemoteId("bad..name", 0, 0), -2);
  EXPECT_EQ(Resolve("mx3.test", 0, 2).code, 0);
  // Unknown and already fetched handles.
  EXPECT_TRUE(nSmtpMx_QueryCompletion(31999));
  EXPECT_EQ(Fetch(31999).code, -6);
  int h = nSmtpMx_RequestRemoteId("mx3.test", 0, 0);
  ASSERT_TRUE(WaitDone(h));
  EXPECT_EQ(Fetch(h).code, 0);
  EXPECT_EQ(Fetch(h).code, -6);
  EXPECT_TRUE(nSmtpMx_QueryCompletion(h));
  EXPECT_TRUE(Logged("MX->Request not found."));
}

TEST_F(Resolver, HandlesWrapToOneAfter32001) {
  FakeServer server(Zone(kZone));
  Start(server.Address());
  SetLogOptions(0, 0);  // 32000 lookups: keep the window quiet
  ASSERT_EQ(Resolve("mx3.test", 0).code, 0);  // handle 1, fills the cache
  int last = 1;
  for (int i = 2; i <= 32001; ++i) {
    int h = nSmtpMx_RequestRemoteId("mx3.test", 0, 0);
    ASSERT_EQ(h, i);
    ASSERT_EQ(Fetch(h).code, 0);
    last = h;
  }
  EXPECT_EQ(last, 32001);
  int h = nSmtpMx_RequestRemoteId("mx3.test", 0, 0);
  EXPECT_EQ(h, 1);
  Fetch(h);
}

TEST_F(Resolver, WrappedHandleSkipsOneStillInUse) {
  FakeServer server([](const SeenQuery& q) {
    if (q.name == "silent.test") return std::vector<Reply>{};
    return std::vector<Reply>{Real(q)};
  });
  Start(server.Address());
  SetLogOptions(0, 0);
  int outstanding = nSmtpMx_RequestRemoteId("silent.test", 0, 0);
  ASSERT_EQ(outstanding, 1);
  for (int i = 2; i <= 32001; ++i) {
    int h = nSmtpMx_RequestRemoteId("mx3.test", 0, 0);
    ASSERT_EQ(h, i);
    ASSERT_TRUE(WaitDone(h));
    ASSERT_EQ(Fetch(h).code, 0);
  }
  int h = nSmtpMx_RequestRemoteId("mx3.test", 0, 0);
  EXPECT_EQ(h, 2) << "handle 1 is still outstanding";
  EXPECT_FALSE(nSmtpMx_QueryCompletion(outstanding));
}

TEST_F(Resolver, CacheIsTrimmedToTheThresholdAfterEachFetch) {
  std::vector<ZoneEntry> zone;
  for (int i = 0; i < 40; ++i) {
    std::string d = "d" + std::to_string(i) + ".test";
    zone.push_back({d, kDnsTypeMx, 0, {{d, kDnsTypeMx, 600, "10 mx." + d}},
                    {{"mx." + d, kDnsTypeA, 600, "127.0.1." + std::to_string(i)}}});
  }
  FakeServer server(Zone(zone));
  Start(server.Address(), 5000, true, 10);  // below 51: the threshold is 50
  for (int i = 0; i < 40; ++i)
    ASSERT_EQ(Resolve("d" + std::to_string(i) + ".test", 0).code, 0) << i;
  EXPECT_EQ(CountMxCacheRecords(), 50);
}

TEST_F(Resolver, NotStartedRefusesRequests) {
  MxShutdown();
  EXPECT_EQ(nSmtpMx_RequestRemoteId("mx3.test", 0, 0), -1);
}

// The configuration checker writes a dotted DomainServer in brackets.
TEST_F(Resolver, BracketedServerAddressIsUsed) {
  FakeServer server(Zone(kZone));
  Start("[127.0.0.1]:" + std::to_string(server.port));
  EXPECT_EQ(Resolve("mx3.test", 0).code, 0);
  MxShutdown();
  Start("[not.an.address]:" + std::to_string(server.port) + ";[127.0.0.1");
  EXPECT_EQ(nSmtpMx_RequestRemoteId("mx3.test", 0, 0), -1);
  EXPECT_EQ(nSmtpMx_RequestRemoteId("mx3.test", 0, 1), -1);
}

TEST_F(Resolver, BadServerEntryGivesSystemError) {
  Start("127.0.0.1:99999;127.0.0.1:;");
  EXPECT_EQ(nSmtpMx_RequestRemoteId("mx3.test", 0, 0), -1);
  EXPECT_EQ(nSmtpMx_RequestRemoteId("mx3.test", 0, 1), -1);
  EXPECT_EQ(nSmtpMx_RequestRemoteId("mx3.test", 0, 2), -1);
  EXPECT_TRUE(Logged("MXsend->"));
}

}  // namespace
