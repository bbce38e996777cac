// Wire bytes and the client's stream-cutting rules, fed directly.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "protocol/message.h"
#include "protocol/stream_cutter.h"
#include "support/raw_pipe.h"

using pel::StreamCutter;

namespace {

std::vector<uint8_t> Bytes(std::initializer_list<int> list) {
  std::vector<uint8_t> v;
  for (int b : list) v.push_back(static_cast<uint8_t>(b));
  return v;
}

// Records what the cutter hands on, in order.
struct Sink : pel::MessageSink {
  std::vector<std::string> events;
  std::vector<std::vector<uint8_t>> payloads;
  int failBusiness = 0;
  int failSync = 0;

  int OnBusinessMessage(const uint8_t* m, uint32_t size) override {
    events.push_back("biz:" + std::to_string(size));
    payloads.emplace_back(m + 32, m + 32 + size);
    return failBusiness;
  }
  int OnSyncMessage(const uint8_t* m, uint32_t size) override {
    events.push_back("sync:" + std::to_string(size));
    payloads.emplace_back(m + 32, m + 32 + size);
    return failSync;
  }
  void OnOtherKind(uint32_t kind) override { events.push_back("other:" + std::to_string(kind)); }
  void OnWrongMagic(uint32_t) override { events.push_back("magic"); }
  void OnOversizeLength(uint32_t len) override {
    events.push_back("oversize:" + std::to_string(len));
  }
  void OnDiscard() override { events.push_back("discard"); }
};

std::vector<uint8_t> Msg(uint32_t kind, const std::string& payload, uint32_t magic = pel::kMagic) {
  return pel_test::MakeMessage(0, kind, std::vector<uint8_t>(payload.begin(), payload.end()),
                               magic);
}

std::vector<uint8_t> Cat(std::initializer_list<std::vector<uint8_t>> parts) {
  std::vector<uint8_t> all;
  for (const auto& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

void Feed(StreamCutter& c, const std::vector<uint8_t>& bytes, size_t from, size_t to) {
  ASSERT_TRUE(c.Append(bytes.data() + from, static_cast<uint32_t>(to - from)));
}

}  // namespace

TEST(MessageFormat, HelloToFirstConnectionIsThirtyTwoKnownBytes) {
  uint8_t hello[32];
  std::memset(hello, 0xAA, sizeof hello);
  pel::WriteHeader(hello, 0, pel::kKindHello, 0);
  std::vector<uint8_t> expected =
      Bytes({0x43, 0x50, 0x49, 0x50, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
  expected.resize(32, 0);
  EXPECT_EQ(std::vector<uint8_t>(hello, hello + 32), expected);
}

TEST(MessageFormat, BusinessMessageAbcIs35Bytes) {
  const uint8_t abc[] = {'a', 'b', 'c'};
  uint8_t* m = pel::BuildMessage(0, pel::kKindBusiness, abc, 3);
  ASSERT_NE(m, nullptr);
  std::vector<uint8_t> expected =
      Bytes({0x43, 0x50, 0x49, 0x50, 0, 0, 0, 0, 2, 0, 0, 0, 3, 0, 0, 0});
  expected.resize(32, 0);
  expected.push_back(0x61);
  expected.push_back(0x62);
  expected.push_back(0x63);
  EXPECT_EQ(std::vector<uint8_t>(m, m + 35), expected);
  pel::DeleteMessage(m);
}

TEST(MessageFormat, BuiltMessageCarriesIdAndZeroedReserve) {
  std::vector<uint8_t> payload(1000, 0x5A);
  uint8_t* m = pel::BuildMessage(0x01020304, pel::kKindSync, payload.data(), 1000);
  ASSERT_NE(m, nullptr);
  pel::MessageHeader h = pel::ReadHeader(m);
  EXPECT_EQ(h.magic, pel::kMagic);
  EXPECT_EQ(h.connId, 0x01020304u);
  EXPECT_EQ(h.kind, 1u);
  EXPECT_EQ(h.length, 1000u);
  for (int i = 16; i < 32; ++i) EXPECT_EQ(m[i], 0) << i;
  EXPECT_EQ(std::vector<uint8_t>(m + 32, m + 1032), payload);
  pel::DeleteMessage(m);
}

TEST(MessageFormat, LimitsAreTheWireConstants) {
  EXPECT_EQ(pel::kMaxServerPayload, 5242880u);
  EXPECT_EQ(pel::kMaxClientPayload, 716800u);
  EXPECT_EQ(pel::kReadSize, 5242880u);
  // The largest server payload one client read can carry whole.
  EXPECT_EQ(pel::kReadSize - pel::kHeaderSize, 5242848u);
}

TEST(StreamCutter, TwoMessagesAndTenBytesOfAThirdInOneRead) {
  StreamCutter c;
  Sink s;
  auto third = Msg(2, "third-message");
  auto read =
      Cat({Msg(2, "one"), Msg(2, "two!"), std::vector<uint8_t>(third.begin(), third.begin() + 10)});
  Feed(c, read, 0, read.size());
  auto r = c.Cut(s);
  EXPECT_EQ(r.delivered, 2u);
  EXPECT_EQ(s.events, (std::vector<std::string>{"biz:3", "biz:4"}));
  EXPECT_EQ(c.used(), 10u);
  // The rest of the third arrives: delivered once, in full.
  Feed(c, third, 10, third.size());
  c.Cut(s);
  ASSERT_EQ(s.payloads.size(), 3u);
  EXPECT_EQ(std::string(s.payloads[2].begin(), s.payloads[2].end()), "third-message");
  EXPECT_EQ(c.used(), 0u);
}

TEST(StreamCutter, HeaderSplitAcrossReads) {
  StreamCutter c;
  Sink s;
  auto m = Msg(2, "payload");
  Feed(c, m, 0, 7);
  c.Cut(s);
  Feed(c, m, 7, 31);
  c.Cut(s);
  EXPECT_TRUE(s.events.empty());
  EXPECT_EQ(c.used(), 31u);
  Feed(c, m, 31, m.size());
  c.Cut(s);
  EXPECT_EQ(s.events, (std::vector<std::string>{"biz:7"}));
  EXPECT_EQ(c.used(), 0u);
}

TEST(StreamCutter, LargestServerMessageArrivesInTwoReadsAndGrowsTheBuffer) {
  StreamCutter c;
  Sink s;
  std::vector<uint8_t> payload(pel::kMaxServerPayload);
  for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<uint8_t>(i * 7);
  auto m = pel_test::MakeMessage(3, 2, payload);
  ASSERT_EQ(m.size(), 5242912u);
  Feed(c, m, 0, pel::kReadSize);
  // Growth from 1 MiB by a full 5 MiB read: twice the read, rounded to 8 KiB.
  EXPECT_EQ(c.capacity(), 10493952u);
  c.Cut(s);
  EXPECT_TRUE(s.events.empty());
  Feed(c, m, pel::kReadSize, m.size());
  c.Cut(s);
  ASSERT_EQ(s.events, (std::vector<std::string>{"biz:5242880"}));
  EXPECT_TRUE(s.payloads[0] == payload);
}

TEST(StreamCutter, GrowthDoublesWhenTheReadFitsTheCapacity) {
  StreamCutter c;
  Sink s;
  std::vector<uint8_t> chunk(700000, 1);
  auto hdr = pel_test::MakeMessage(0, 2, std::vector<uint8_t>(5000000, 1));
  Feed(c, hdr, 0, 700000);
  Feed(c, hdr, 700000, 1400000);
  EXPECT_EQ(c.capacity(), 2u * 1048576u);
}

TEST(StreamCutter, WrongMagicOnBusinessClearsEverythingAndLaterMessagesFlow) {
  StreamCutter c;
  Sink s;
  auto read = Cat({Msg(2, "good"), Msg(2, "bad", 0x12345678), Msg(2, "lost")});
  Feed(c, read, 0, read.size());
  auto r = c.Cut(s);
  EXPECT_TRUE(r.discarded);
  EXPECT_EQ(s.events, (std::vector<std::string>{"biz:4", "magic", "discard"}));
  EXPECT_EQ(c.used(), 0u);
  auto later = Msg(2, "later");
  Feed(c, later, 0, later.size());
  c.Cut(s);
  EXPECT_EQ(s.events.back(), "biz:5");
}

TEST(StreamCutter, WrongMagicIsSeenOnTheHeaderAlone) {
  StreamCutter c;
  Sink s;
  auto bad = pel_test::MakeMessage(0, 2, std::vector<uint8_t>(4000, 0), 0xDEADBEEF);
  Feed(c, bad, 0, 32);
  c.Cut(s);
  EXPECT_EQ(s.events, (std::vector<std::string>{"magic", "discard"}));
}

TEST(StreamCutter, SyncMessagesSkipTheMagicTest) {
  StreamCutter c;
  Sink s;
  auto read = Msg(1, "answer", 0);
  Feed(c, read, 0, read.size());
  c.Cut(s);
  EXPECT_EQ(s.events, (std::vector<std::string>{"sync:6"}));
}

TEST(StreamCutter, OtherKindsAreSkippedAndLaterMessagesDelivered) {
  StreamCutter c;
  Sink s;
  auto read = Cat({Msg(0, ""), Msg(7, "xyz"), Msg(2, "after"), Msg(1, "s")});
  Feed(c, read, 0, read.size());
  auto r = c.Cut(s);
  EXPECT_EQ(r.skipped, 2u);
  EXPECT_EQ(s.events, (std::vector<std::string>{"other:0", "other:7", "biz:5", "sync:1"}));
  EXPECT_EQ(c.used(), 0u);
}

TEST(StreamCutter, OversizeLengthFieldIsAProtocolErrorNotAWait) {
  StreamCutter c;
  Sink s;
  auto huge = pel_test::MakeMessage(0, 2, std::vector<uint8_t>());
  const uint32_t len = pel::kMaxDeclaredPayload + 1;
  std::memcpy(&huge[12], &len, 4);
  auto read = Cat({Msg(2, "first"), huge, Msg(2, "behind")});
  Feed(c, read, 0, read.size());
  c.Cut(s);
  EXPECT_EQ(s.events, (std::vector<std::string>{"biz:5", "oversize:5242881", "discard"}));
  EXPECT_EQ(c.used(), 0u);
  // The largest legal declaration still waits for its bytes.
  auto max = pel_test::MakeMessage(0, 1, std::vector<uint8_t>());
  const uint32_t maxLen = pel::kMaxDeclaredPayload;
  std::memcpy(&max[12], &maxLen, 4);
  Feed(c, max, 0, 32);
  c.Cut(s);
  EXPECT_EQ(c.used(), 32u);
}

TEST(StreamCutter, FailingHandlerDiscardsWhatIsBehind) {
  StreamCutter c;
  Sink s;
  s.failSync = 10;
  auto read = Cat({Msg(1, "reply"), Msg(2, "behind")});
  Feed(c, read, 0, read.size());
  c.Cut(s);
  EXPECT_EQ(s.events, (std::vector<std::string>{"sync:5", "discard"}));
  EXPECT_EQ(c.used(), 0u);
}

TEST(StreamCutter, ManyMessagesByteByByteKeepOrder) {
  StreamCutter c;
  Sink s;
  std::vector<uint8_t> all;
  for (int i = 0; i < 200; ++i) {
    auto m = Msg(2, std::to_string(i));
    all.insert(all.end(), m.begin(), m.end());
  }
  for (size_t i = 0; i < all.size(); i += 13) {
    Feed(c, all, i, std::min(all.size(), i + 13));
    c.Cut(s);
  }
  ASSERT_EQ(s.payloads.size(), 200u);
  for (int i = 0; i < 200; ++i)
    EXPECT_EQ(std::string(s.payloads[i].begin(), s.payloads[i].end()), std::to_string(i));
}
