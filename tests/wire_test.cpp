// The bytes on the wire and the client's stream-cutting rules, fed directly.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/message.h"
#include "protocol/stream_cutter.h"
#include "support/fixtures.h"

using Bytes = std::vector<uint8_t>;

namespace {

Bytes Of(std::initializer_list<int> list) { return Bytes(list.begin(), list.end()); }

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const auto& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

Bytes Msg(uint32_t kind, const std::string& payload, uint32_t magic = pel::kMagic) {
  return pel_test::MakeMessage(0, kind, Bytes(payload.begin(), payload.end()), magic);
}

// A message whose length field claims more than follows (body bytes only).
Bytes Declaring(uint32_t kind, uint32_t length, size_t body, uint32_t magic = pel::kMagic) {
  Bytes m = pel_test::MakeMessage(0, kind, Bytes(body, 0), magic);
  std::memcpy(&m[12], &length, 4);
  return m;
}

// Short payloads show as text; long ones by a digest, so a shifted or torn
// delivery still shows.
std::string Show(const uint8_t* p, size_t n) {
  const std::string_view text(reinterpret_cast<const char*>(p), n);
  return n <= 16 ? std::string(text) : "#" + std::to_string(std::hash<std::string_view>{}(text));
}
std::string Show(const Bytes& b) { return Show(b.data(), b.size()); }

// Writes what the cutter hands on into one line of events.
struct Sink : pel::MessageSink {
  std::string events;
  int failSync = 0;

  void Add(const std::string& e) { events += (events.empty() ? "" : " ") + e; }
  int OnBusinessMessage(const uint8_t* m, uint32_t size) override {
    Add("biz:" + Show(m + 32, size));
    return 0;
  }
  int OnSyncMessage(const uint8_t* m, uint32_t size) override {
    Add("sync:" + Show(m + 32, size));
    return failSync;
  }
  void OnOtherKind(uint32_t kind) override { Add("other:" + std::to_string(kind)); }
  void OnWrongMagic(uint32_t) override { Add("magic"); }
  void OnOversizeLength(uint32_t len) override { Add("oversize:" + std::to_string(len)); }
  void OnDiscard() override { Add("discard"); }
};

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

}  // namespace

TEST(Wire, HeadersAndMessagesByteForByte) {
  const Bytes thousand = pel_test::Pattern(1000, 3);
  const struct {
    uint32_t connId, kind;
    Bytes payload, head;  // the first 16 bytes; 16 zero bytes follow
  } rows[] = {
      {0, pel::kKindHello, {}, Of({0x43, 0x50, 0x49, 0x50, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0})},
      {0, pel::kKindBusiness, pel_test::Text("abc"),
       Of({0x43, 0x50, 0x49, 0x50, 0, 0, 0, 0, 2, 0, 0, 0, 3, 0, 0, 0})},
      {0x01020304, pel::kKindSync, thousand,
       Of({0x43, 0x50, 0x49, 0x50, 4, 3, 2, 1, 1, 0, 0, 0, 0xE8, 3, 0, 0})},
  };
  for (const auto& r : rows) {
    const Bytes expected = Cat({r.head, Bytes(16, 0), r.payload});
    const auto size = static_cast<uint32_t>(r.payload.size());
    uint8_t* m = pel::BuildMessage(r.connId, r.kind, r.payload.data(), size);
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(Bytes(m, m + expected.size()), expected) << r.kind;
    pel::DeleteMessage(m);
    // The header writer leaves no stale bytes in a reused buffer.
    uint8_t header[32];
    std::memset(header, 0xAA, sizeof header);
    pel::WriteHeader(header, r.connId, r.kind, size);
    EXPECT_EQ(Bytes(header, header + 32), Bytes(expected.begin(), expected.begin() + 32));
    const pel::MessageHeader h = pel::ReadHeader(expected.data());
    EXPECT_EQ(h.magic, pel::kMagic);
    EXPECT_EQ(h.connId, r.connId);
    EXPECT_EQ(h.kind, r.kind);
    EXPECT_EQ(h.length, size);
  }
}

// Each row is one stream fed in reads: the reads end at the split points and
// are fed `chunk` bytes at a time, with a cut after every piece. After each
// split's read the events show "|<bytes held>", plus "c<capacity>" when the
// buffer grew.
struct CutterRow {
  const char* name;
  Bytes stream;
  std::vector<size_t> splits;
  std::string expected;
  size_t chunk = 0;  // 0: each read in one piece
  int failSync = 0;
};

TEST(Wire, StreamCutterRows) {
  const Bytes third = Msg(2, "third-message");
  const Bytes largest = pel_test::MakeMessage(3, 2, pel_test::Pattern(pel::kMaxServerPayload, 9));
  const Bytes bigPayload(largest.begin() + 32, largest.end());
  Bytes many;
  std::string manyExpected;
  for (int i = 0; i < 200; ++i) {
    many = Cat({many, Msg(2, std::to_string(i))});
    manyExpected += "biz:" + std::to_string(i) + " ";
  }
  const CutterRow rows[] = {
      {"two and ten bytes of a third",
       Cat({Msg(2, "one"), Msg(2, "two!"), third}),
       {35 + 36 + 10},
       "biz:one biz:two! |10 biz:third-message |0"},
      {"header split across reads", Msg(2, "payload"), {7, 31}, "|7 |31 biz:payload |0"},
      {"wrong magic clears all, later messages flow",
       Cat({Msg(2, "good"), Msg(2, "bad", 0x12345678), Msg(2, "lost"), Msg(2, "later")}),
       {36 + 35 + 36},
       "biz:good magic discard |0 biz:later |0"},
      {"wrong magic seen on the header alone",
       Declaring(2, 4000, 0, 0xDEADBEEF),
       {},
       "magic discard |0"},
      {"sync skips the magic test", Msg(1, "answer", 0), {}, "sync:answer |0"},
      {"other kinds skipped",
       Cat({Msg(0, ""), Msg(7, "xyz"), Msg(2, "after"), Msg(1, "s")}),
       {},
       "other:0 other:7 biz:after sync:s |0"},
      {"oversize length is an error, not a wait",
       Cat({Msg(2, "first"), Declaring(2, pel::kMaxDeclaredPayload + 1, 0), Msg(2, "behind"),
            Declaring(1, pel::kMaxDeclaredPayload, 0)}),
       {37 + 32 + 38},
       "biz:first oversize:5242881 discard |0 |32"},
      {"failing handler discards what is behind",
       Cat({Msg(1, "reply"), Msg(2, "behind")}),
       {},
       "sync:reply discard |0",
       0,
       10},
      {"many messages 13 bytes at a time", many, {}, manyExpected + "|0", 13},
      // Growth from 1 MiB by a full 5 MiB read: twice the read, rounded to 8 KiB.
      {"largest server message in two reads",
       largest,
       {pel::kReadSize},
       "|5242880c10493952 biz:" + Show(bigPayload) + " |0"},
      {"growth doubles when the read fits",
       Declaring(2, 5000000, 1400000 - 32),
       {700000},
       "|700000 |1400000c2097152"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    pel::StreamCutter c;
    Sink s;
    s.failSync = row.failSync;
    uint32_t capacity = c.capacity();
    std::vector<size_t> ends = row.splits;
    ends.push_back(row.stream.size());
    size_t at = 0;
    for (size_t end : ends) {
      while (at < end) {
        const size_t n = row.chunk == 0 ? end - at : std::min(row.chunk, end - at);
        ASSERT_TRUE(c.Append(row.stream.data() + at, static_cast<uint32_t>(n)));
        at += n;
        const size_t from = s.events.size();
        const auto r = c.Cut(s);
        const std::string cut = s.events.substr(from);
        // A failing handler's message is not counted as delivered.
        EXPECT_EQ(r.delivered, Count(cut, "biz:") + Count(cut, "sync:") -
                                   (row.failSync != 0 && Count(cut, "sync:") > 0));
        EXPECT_EQ(r.skipped, Count(cut, "other:"));
        EXPECT_EQ(r.discarded, Count(cut, "discard") == 1);
      }
      s.Add("|" + std::to_string(c.used()));
      if (c.capacity() != capacity) s.events += "c" + std::to_string(capacity = c.capacity());
    }
    EXPECT_EQ(s.events, row.expected);
  }
}
