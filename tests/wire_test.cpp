// The client's stream-cutting rules, fed directly. (The framing's bytes are checked on real pipes
// by the server and client programs, against the tools' own framing, the HELLO byte by byte.)

#include <string_view>
#include <tuple>

#include "protocol/message.h"
#include "protocol/stream_cutter.h"
#include "support/fixtures.h"

using namespace pel::test;

namespace {

Bytes Msg(uint32_t kind, const std::string& body, int64_t len = -1, uint32_t magic = pel::kMagic) {
  Bytes m = MakeMessage(0, kind, Text(body), magic);
  if (len >= 0) std::memcpy(&m[12], &len, 4);
  return m;
}

// A message's payload as text when short, else as a digest: a shifted or torn one still shows.
std::string Show(const uint8_t* m, size_t n) {
  const std::string_view text(reinterpret_cast<const char*>(m + 32), n);
  return n <= 16 ? std::string(text) : "#" + std::to_string(std::hash<std::string_view>{}(text));
}

// What the cutter hands on, as one line of events; a sync message "fail" makes its handler fail.
struct Sink : pel::MessageSink {
  std::string events;

  void Add(const std::string& e) { events += (events.empty() ? "" : " ") + e; }
  int On(const std::string& e) { return Add(e), e == "sync:fail" ? PEL_ERR_NO_MEMORY : 0; }
  int OnBusinessMessage(const uint8_t* m, uint32_t n) override { return On("biz:" + Show(m, n)); }
  int OnSyncMessage(const uint8_t* m, uint32_t n) override { return On("sync:" + Show(m, n)); }
  void OnOtherKind(uint32_t kind) override { Add("other:" + std::to_string(kind)); }
  void OnWrongMagic(uint32_t) override { Add("magic"); }
  void OnOversizeLength(uint32_t len) override { Add("oversize:" + std::to_string(len)); }
  void OnDiscard() override { Add("discard"); }
};

}  // namespace

// Each row is one stream fed in reads that end at the split points, with a cut after each. Then the
// events show "|<bytes held>", plus "c<capacity>" when the buffer grew.
TEST(Wire, StreamCutterRows) {
  const Bytes largest = MakeMessage(3, 2, Pattern(pel::kMaxServerPayload, 9));
  const std::string shown = Show(largest.data(), pel::kMaxServerPayload);
  for (const auto& [stream, splits, expected] :
       std::vector<std::tuple<Bytes, std::vector<size_t>, std::string>>{
           // Two messages and ten bytes of a third in one read, then all but one of its header.
           {Cat(Msg(2, "one"), Msg(2, "two!"), Msg(2, "third-message")),
            {35 + 36 + 10, 35 + 36 + 31},
            "biz:one biz:two! |10 |31 biz:third-message |0"},
           // A wrong magic (whatever length it claims) clears all; later messages flow.
           {Cat(Msg(2, "good"), Msg(2, "bad", 4000, 0xDEADBEEF), Msg(2, "lost"), Msg(2, "later")),
            {36 + 35 + 36},
            "biz:good magic discard |0 biz:later |0"},
           // Sync messages skip the magic test; other kinds are skipped.
           {Cat(Msg(1, "answer", -1, 0), Msg(0, ""), Msg(7, "xyz"), Msg(2, "after"), Msg(1, "s")),
            {},
            "sync:answer other:0 other:7 biz:after sync:s |0"},
           // An oversize length is an error, not a wait; the largest legal one waits.
           {Cat(Msg(2, "first"), Msg(2, "", pel::kMaxDeclaredPayload + 1), Msg(2, "behind"),
                Msg(1, "", pel::kMaxDeclaredPayload)),
            {37 + 32 + 38},
            "biz:first oversize:5242881 discard |0 |32"},
           {Cat(Msg(1, "fail"), Msg(2, "behind")), {}, "sync:fail discard |0"},
           // Growth from 1 MiB: by a 5 MiB read to twice that in 8 KiB units, else to twice.
           {largest, {pel::kReadSize}, "|5242880c10493952 biz:" + shown + " |0"},
           {Msg(2, std::string(1400000 - 32, '\0'), 5000000), {700000}, "|700000 |1400000c2097152"},
       }) {
    pel::StreamCutter c;
    Sink s;
    uint32_t capacity = c.capacity();
    for (size_t i = 0, from = 0, to = 0; i <= splits.size(); from = to, ++i) {
      to = i < splits.size() ? splits[i] : stream.size();
      ASSERT_TRUE(c.Append(&stream[from], static_cast<uint32_t>(to - from))) << expected;
      c.Cut(s), s.Add("|" + std::to_string(c.used()));
      if (c.capacity() != capacity) s.events += "c" + std::to_string(capacity = c.capacity());
    }
    EXPECT_EQ(s.events, expected);
  }
}
