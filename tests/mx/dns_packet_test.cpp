#include "server/mx/dns_packet.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "tests/mx/dns_test_util.h"

using namespace mxtest;

namespace {

TEST(BuildQuery, LaysOutHeaderQuestionTypeAndClass) {
  uint8_t packet[kMaxQueryPacket];
  int n = BuildQuery(0xBEEF, "mail.Example.org", kDnsTypeMx, packet, sizeof packet);
  ASSERT_EQ(n, int(18 + std::strlen("mail.Example.org")));
  const uint8_t expected[] = {0xBE, 0xEF, 0x01, 0x00, 0, 1, 0, 0, 0, 0, 0, 0,
                              4, 'm', 'a', 'i', 'l', 7, 'E', 'x', 'a', 'm', 'p', 'l', 'e',
                              3, 'o', 'r', 'g', 0, 0, 15, 0, 1};
  ASSERT_EQ(size_t(n), sizeof expected);
  EXPECT_EQ(0, std::memcmp(packet, expected, sizeof expected));
}

TEST(BuildQuery, RejectsNamesNoQueryCanCarry) {
  uint8_t packet[kMaxQueryPacket];
  const std::string label63(63, 'a');
  const struct {
    std::string name;
    int length;  // -1 = rejected
  } cases[] = {
      {"example.org", 29},
      {"example.org.", 29},  // one final dot is the root, not an empty label
      {"", -1},
      {".", -1},
      {"a..b", -1},
      {".a", -1},
      {label63 + ".org", int(18 + 67)},
      {label63 + "a.org", -1},
      {std::string(190, 'a'), -1},  // over the 200-byte packet
      {"bad name.org", -1},
      {std::string("ctl\x01.org"), -1},
      {std::string("a\x7f.org"), -1},
  };
  for (const auto& c : cases)
    EXPECT_EQ(BuildQuery(1, c.name, kDnsTypeA, packet, sizeof packet), c.length) << c.name;
  EXPECT_EQ(BuildQuery(1, "example.org", kDnsTypeA, packet, 20), -1) << "buffer too small";
}

TEST(ParseResponse, ReadsCompressedMxAnswerWithGlue) {
  Bytes p = BuildAnswer(7, kAnswerFlags, "corvel.test", kDnsTypeMx,
                        {{"corvel.test", kDnsTypeMx, 3600, "20 c.corvel.test"},
                         {"corvel.test", kDnsTypeMx, 3600, "10 a.corvel.test"}},
                        {{"a.corvel.test", kDnsTypeA, 60, "127.0.0.11"}});
  DnsResponse r;
  ASSERT_TRUE(ParseResponse(p.data(), p.size(), r)) << r.error;
  EXPECT_EQ(r.header.id, 7);
  EXPECT_EQ(r.questionName, "corvel.test");
  EXPECT_EQ(r.questionType, kDnsTypeMx);
  ASSERT_EQ(r.records.size(), 3u);
  EXPECT_EQ(r.records[0].target, "c.corvel.test");
  EXPECT_EQ(r.records[0].preference, 20);
  EXPECT_EQ(r.records[1].owner, "corvel.test");
  EXPECT_EQ(r.records[2].section, DnsSection::kAdditional);
  EXPECT_EQ(r.records[2].owner, "a.corvel.test");
  EXPECT_EQ(r.records[2].address, htonl(0x7F00000B));
  EXPECT_EQ(r.records[2].ttl, 60u);
  // The same packet without compression reads the same.
  Bytes flat = BuildAnswer(7, kAnswerFlags, "corvel.test", kDnsTypeMx,
                           {{"corvel.test", kDnsTypeMx, 3600, "20 c.corvel.test"},
                            {"corvel.test", kDnsTypeMx, 3600, "10 a.corvel.test"}},
                           {{"a.corvel.test", kDnsTypeA, 60, "127.0.0.11"}}, false);
  ASSERT_GT(flat.size(), p.size());
  DnsResponse r2;
  ASSERT_TRUE(ParseResponse(flat.data(), flat.size(), r2));
  ASSERT_EQ(r2.records.size(), 3u);
  EXPECT_EQ(r2.records[0].target, r.records[0].target);
  EXPECT_EQ(r2.records[2].owner, r.records[2].owner);
}

TEST(ParseResponse, SkipsOtherTypesAndClassesButKeepsGoing) {
  Bytes p = BuildAnswer(1, kAnswerFlags, "x.test", kDnsTypeMx,
                        {{"x.test", 16 /*TXT*/, 60, "\x05hello"},
                         {"x.test", kDnsTypeMx, 60, "5 m.x.test"}},
                        {}, true, {{"x.test", kDnsTypeNs, 60, "ns.x.test"}});
  DnsResponse r;
  ASSERT_TRUE(ParseResponse(p.data(), p.size(), r)) << r.error;
  ASSERT_EQ(r.records.size(), 1u);
  EXPECT_EQ(r.records[0].type, kDnsTypeMx);
}

TEST(ParseResponse, TimeToLiveWithTopBitReadsAsZero) {
  Bytes p = BuildAnswer(1, kAnswerFlags, "x.test", kDnsTypeA,
                        {{"x.test", kDnsTypeA, 0x80000010u, "1.2.3.4"}});
  DnsResponse r;
  ASSERT_TRUE(ParseResponse(p.data(), p.size(), r));
  ASSERT_EQ(r.records.size(), 1u);
  EXPECT_EQ(r.records[0].ttl, 0u);
}

// Every prefix of a good answer must parse to an error (or to what it holds)
// without reading past its end; AddressSanitizer watches the reads.
TEST(ParseResponse, EveryTruncationStopsCleanly) {
  Bytes p = BuildAnswer(9, kAnswerFlags, "corvel.test", kDnsTypeMx,
                        {{"corvel.test", kDnsTypeCname, 60, "alias.corvel.test"},
                         {"alias.corvel.test", kDnsTypeMx, 60, "10 a.corvel.test"}},
                        {{"a.corvel.test", kDnsTypeA, 60, "127.0.0.11"}});
  for (size_t n = 0; n < p.size(); ++n) {
    Bytes cut(p.begin(), p.begin() + long(n));
    DnsResponse r;
    EXPECT_FALSE(ParseResponse(cut.data(), cut.size(), r)) << n;
    EXPECT_NE(r.error, nullptr) << n;
    EXPECT_LE(r.records.size(), 3u);
  }
  DnsResponse whole;
  EXPECT_TRUE(ParseResponse(p.data(), p.size(), whole));
  EXPECT_EQ(whole.records.size(), 3u);
}

TEST(ParseResponse, KeepsRecordsReadBeforeAFault) {
  Bytes p = BuildAnswer(9, kAnswerFlags, "x.test", kDnsTypeA,
                        {{"x.test", kDnsTypeA, 60, "1.1.1.1"}, {"x.test", kDnsTypeA, 60, "2.2.2.2"}});
  p.resize(p.size() - 2);  // cut into the second address
  DnsResponse r;
  EXPECT_FALSE(ParseResponse(p.data(), p.size(), r));
  ASSERT_EQ(r.records.size(), 1u);
  EXPECT_STREQ(r.error, "record data cut short");
}

// Hand-made packets: header + question "x.test" A, then one answer whose owner
// or data is hostile.
Bytes Hostile(const Bytes& answerTail) {
  Bytes p = {0, 1, 0x81, 0x80, 0, 1, 0, 1, 0, 0, 0, 0,
             1, 'x', 4, 't', 'e', 's', 't', 0, 0, 1, 0, 1};
  p.insert(p.end(), answerTail.begin(), answerTail.end());
  return p;
}

TEST(ParseResponse, HostileNamesAndDataGiveTheirError) {
  const Bytes aTail = {0, 1, 0, 1, 0, 0, 0, 60, 0, 4, 1, 2, 3, 4};
  auto withOwner = [&](Bytes owner) {
    owner.insert(owner.end(), aTail.begin(), aTail.end());
    return Hostile(owner);
  };
  Bytes longName;
  for (int i = 0; i < 5; ++i) {
    longName.push_back(60);
    longName.insert(longName.end(), 60, 'a');
  }
  longName.push_back(0);
  const struct {
    const char* what;
    Bytes packet;
    const char* error;
  } cases[] = {
      {"pointer to itself", withOwner({0xC0, 24}), "compression pointer does not point backwards"},
      {"pointer forwards", withOwner({0xC0, 200}), "compression pointer does not point backwards"},
      {"pointer cut in half in the question",
       Bytes{0, 1, 0x81, 0x80, 0, 1, 0, 0, 0, 0, 0, 0, 0xC0}, "name runs past the end of the packet"},
      {"label past the end", Hostile({20, 'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h', 'i', 'j', 'k'}),
       "name runs past the end of the packet"},
      {"reserved label type 0x40", withOwner({0x41, 'a', 0}), "label type not supported"},
      {"reserved label type 0x80", withOwner({0x81, 'a', 0}), "label type not supported"},
      {"dot inside a label", withOwner({3, 'a', '.', 'b', 0}),
       "name holds a byte not allowed in a host name"},
      {"zero byte inside a label", withOwner({2, 'a', 0, 0}),
       "name holds a byte not allowed in a host name"},
      {"name over 255 bytes", withOwner(longName), "name longer than 255 bytes"},
      {"A with 5 bytes", Hostile({0xC0, 12, 0, 1, 0, 1, 0, 0, 0, 60, 0, 5, 1, 2, 3, 4, 5}),
       "record data does not match its type"},
      {"data length beyond packet", Hostile({0xC0, 12, 0, 1, 0, 1, 0, 0, 0, 60, 0, 40, 1, 2}),
       "record data cut short"},
      {"MX name runs out of its data",
       Hostile({0xC0, 12, 0, 15, 0, 1, 0, 0, 0, 60, 0, 4, 0, 10, 3, 'a', 'b', 'c', 0}),
       "name runs past the end of the packet"},
      {"MX data longer than its name",
       Hostile({0xC0, 12, 0, 15, 0, 1, 0, 0, 0, 60, 0, 6, 0, 10, 0xC0, 12, 9, 9}),
       "record data does not match its type"},
      {"record header cut", Hostile({0xC0, 12, 0, 1, 0, 1, 0}), "record header cut short"},
  };
  for (const auto& c : cases) {
    DnsResponse r;
    EXPECT_FALSE(ParseResponse(c.packet.data(), c.packet.size(), r)) << c.what;
    ASSERT_NE(r.error, nullptr) << c.what;
    EXPECT_STREQ(r.error, c.error) << c.what;
    EXPECT_TRUE(r.records.empty()) << c.what;
  }
}

// A chain of backward pointers is fine; pointers that could loop are refused.
TEST(DecodeName, FollowsBackwardChainsAndRefusesLoops) {
  // 0: "b" "test" 0 ; 7: "a" -> 0 ; 11: -> 7
  const uint8_t p[] = {1, 'b', 4, 't', 'e', 's', 't', 0, 1, 'a', 0xC0, 0, 0xC0, 8};
  std::string name;
  const char* why = nullptr;
  EXPECT_EQ(DecodeName(p, sizeof p, 12, name, why), 14u);
  EXPECT_EQ(name, "a.b.test");
  EXPECT_EQ(DecodeName(p, sizeof p, 8, name, why), 12u);
  EXPECT_EQ(name, "a.b.test");
  // Two pointers pointing at each other.
  const uint8_t loop[] = {0xC0, 2, 0xC0, 0};
  EXPECT_EQ(DecodeName(loop, sizeof loop, 2, name, why), 0u);
  EXPECT_STREQ(why, "compression pointer does not point backwards");
  EXPECT_EQ(DecodeName(loop, sizeof loop, 0, name, why), 0u);
  // The root name.
  const uint8_t root[] = {0};
  EXPECT_EQ(DecodeName(root, 1, 0, name, why), 1u);
  EXPECT_EQ(name, "");
}

TEST(ParseDnsHeader, ShortPacketsAreRefused) {
  const uint8_t p[12] = {0x12, 0x34, 0x81, 0x83, 0, 1, 0, 0, 0, 0, 0, 0};
  DnsHeader h;
  for (size_t n = 0; n < 12; ++n) EXPECT_FALSE(ParseDnsHeader(p, n, h)) << n;
  ASSERT_TRUE(ParseDnsHeader(p, 12, h));
  EXPECT_EQ(h.id, 0x1234);
  EXPECT_EQ(h.code(), kDnsNameError);
}

TEST(DnsCodeName, NamesAllSixteenCodes) {
  const char* names[] = {"NoError",   "FormatError", "ServerFailure", "NameError",
                         "NotImplemented", "Refused", "Unknown6",     "Unknown7",
                         "Unknown8",  "Unknown9",    "Unknown10",     "Unknown11",
                         "Unknown12", "Unknown13",   "Unknown14",     "Unknown15"};
  for (int code = 0; code < 16; ++code) EXPECT_STREQ(DnsCodeName(code), names[code]);
}

TEST(DnsNames, CompareWithoutCaseAndFinalDot) {
  EXPECT_TRUE(SameDnsName("Mail.Example.ORG.", "mail.example.org"));
  EXPECT_FALSE(SameDnsName("mail.example.org", "mail.example.or"));
  EXPECT_EQ(DnsNameKey("A.B.c."), "a.b.c");
}

}  // namespace
