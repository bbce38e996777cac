// The bytes on the wire and the client's stream-cutting rules, fed directly.

#include <string_view>

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
  return pel::test::MakeMessage(0, kind, Bytes(payload.begin(), payload.end()), magic);
}

// A message whose length field claims more than follows (body bytes only).
Bytes Declaring(uint32_t kind, uint32_t length, size_t body, uint32_t magic = pel::kMagic) {
  Bytes m = pel::test::MakeMessage(0, kind, Bytes(body, 0), magic);
  std::memcpy(&m[12], &length, 4);
  return m;
}

// Short payloads show as text; long ones by a digest, so a shifted or torn
// delivery still shows.
std::string Show(const uint8_t* p, size_t n) {
  const std::string_view text(reinterpret_cast<const char*>(p), n);
  return n <= 16 ? std::string(text) : "#" + std::to_string(std::hash<std::string_view>{}(text));
}

// Writes what the cutter hands on into one line of events, and counts as a
// cut result would. A sync message "fail" makes its handler fail.
struct Sink : pel::MessageSink {
  std::string events;
  pel::StreamCutter::CutResult seen;

  void Add(const std::string& e) { events += (events.empty() ? "" : " ") + e; }
  int Handle(const char* kind, const uint8_t* m, uint32_t size) {
    Add(kind + Show(m + 32, size));
    const bool fail = Show(m + 32, size) == "fail" && kind[0] == 's';
    seen.delivered += !fail;
    return fail ? PEL_ERR_NO_MEMORY : 0;
  }
  int OnBusinessMessage(const uint8_t* m, uint32_t n) override { return Handle("biz:", m, n); }
  int OnSyncMessage(const uint8_t* m, uint32_t n) override { return Handle("sync:", m, n); }
  void OnOtherKind(uint32_t kind) override { Add("other:" + std::to_string(kind)), ++seen.skipped; }
  void OnWrongMagic(uint32_t) override { Add("magic"); }
  void OnOversizeLength(uint32_t len) override { Add("oversize:" + std::to_string(len)); }
  void OnDiscard() override { Add("discard"), seen.discarded = true; }
};

}  // namespace

TEST(Wire, HeadersAndMessagesByteForByte) {
  const struct {
    uint32_t connId, kind;
    Bytes payload, head;  // the first 16 bytes; 16 zero bytes follow
  } rows[] = {
      {0, pel::kKindHello, {}, Of({0x43, 0x50, 0x49, 0x50, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0})},
      {0, pel::kKindBusiness, pel::test::Text("abc"),
       Of({0x43, 0x50, 0x49, 0x50, 0, 0, 0, 0, 2, 0, 0, 0, 3, 0, 0, 0})},
      {0x01020304, pel::kKindSync, pel::test::Pattern(1000, 3),
       Of({0x43, 0x50, 0x49, 0x50, 4, 3, 2, 1, 1, 0, 0, 0, 0xE8, 3, 0, 0})},
  };
  for (const auto& r : rows) {
    const Bytes expected = Cat({r.head, Bytes(16, 0), r.payload});
    const auto size = static_cast<uint32_t>(r.payload.size());
    uint8_t* m = pel::BuildMessage(r.connId, r.kind, r.payload.data(), size);
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(Bytes(m, m + expected.size()), expected) << r.kind;
    pel::DeleteMessage(m);
  }
}

// Each row is one stream fed in reads that end at the split points, with a
// cut after each. Then the events show "|<bytes held>", plus "c<capacity>"
// when the buffer grew.
TEST(Wire, StreamCutterRows) {
  const Bytes largest = pel::test::MakeMessage(3, 2, pel::test::Pattern(pel::kMaxServerPayload, 9));
  const struct {
    Bytes stream;
    std::vector<size_t> splits;
    std::string expected;
  } rows[] = {
      // Two messages and ten bytes of a third in one read.
      {Cat({Msg(2, "one"), Msg(2, "two!"), Msg(2, "third-message")}),
       {35 + 36 + 10},
       "biz:one biz:two! |10 biz:third-message |0"},
      {Msg(2, "payload"), {7, 31}, "|7 |31 biz:payload |0"},
      // A wrong magic clears all; later messages flow. It shows on the header.
      {Cat({Msg(2, "good"), Msg(2, "bad", 0x12345678), Msg(2, "lost"), Msg(2, "later")}),
       {36 + 35 + 36},
       "biz:good magic discard |0 biz:later |0"},
      {Declaring(2, 4000, 0, 0xDEADBEEF), {}, "magic discard |0"},
      // Sync messages skip the magic test; other kinds are skipped.
      {Cat({Msg(1, "answer", 0), Msg(0, ""), Msg(7, "xyz"), Msg(2, "after"), Msg(1, "s")}),
       {},
       "sync:answer other:0 other:7 biz:after sync:s |0"},
      // An oversize length is an error, not a wait; the largest legal one waits.
      {Cat({Msg(2, "first"), Declaring(2, pel::kMaxDeclaredPayload + 1, 0), Msg(2, "behind"),
            Declaring(1, pel::kMaxDeclaredPayload, 0)}),
       {37 + 32 + 38},
       "biz:first oversize:5242881 discard |0 |32"},
      {Cat({Msg(1, "fail"), Msg(2, "behind")}), {}, "sync:fail discard |0"},
      // Growth from 1 MiB by a full 5 MiB read: twice the read, rounded to 8
      // KiB; by a read that fits: twice the capacity.
      {largest,
       {pel::kReadSize},
       "|5242880c10493952 biz:" + Show(&largest[32], pel::kMaxServerPayload) + " |0"},
      {Declaring(2, 5000000, 1400000 - 32), {700000}, "|700000 |1400000c2097152"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.expected);
    pel::StreamCutter c;
    Sink s;
    uint32_t capacity = c.capacity();
    std::vector<size_t> ends = row.splits;
    ends.push_back(row.stream.size());
    for (size_t i = 0; i < ends.size(); ++i) {
      const size_t from = i == 0 ? 0 : ends[i - 1];
      ASSERT_TRUE(c.Append(&row.stream[from], static_cast<uint32_t>(ends[i] - from)));
      s.seen = {};
      const auto r = c.Cut(s);
      EXPECT_TRUE(r.delivered == s.seen.delivered && r.skipped == s.seen.skipped &&
                  r.discarded == s.seen.discarded);
      s.Add("|" + std::to_string(c.used()));
      if (c.capacity() != capacity) s.events += "c" + std::to_string(capacity = c.capacity());
    }
    EXPECT_EQ(s.events, row.expected);
  }
}
