// libFuzzer target for the client's receive buffer, guarded by a lock as the client guards it. The
// input is a script of opcodes; the low two bits pick 0 a read (2-byte size, the bytes; size 0 cuts
// only), 1 a message framed by the real header writer (kind byte, its bit 2 spoiling the magic;
// 3-byte length, 3-byte read size), 2 the next allocation fails, 3 the handling that many (1 byte)
// ahead fails. Bit 2 holds a read's cut back. A plain model of the cutting rules must agree.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <tuple>
#include <vector>

#include "platform/fault_injection.h"
#include "protocol/message.h"
#include "protocol/stream_cutter.h"

namespace {

using namespace pel;

void Check(bool ok, const char* what) {
  if (!ok) std::fprintf(stderr, "stream cutter invariant broken: %s\n", what), std::abort();
}

// A report: its event (a delivered kind or one of these), the kind, magic or length it carries,
// and a delivery's bytes in the model.
enum : uint32_t { kOther = 16, kWrongMagic, kOversize, kDiscard };
using Report = std::tuple<uint32_t, uint32_t, const uint8_t*>;

// Handlings (business and sync calls) are numbered per input; the one numbered g_failAt fails.
uint64_t g_handled = 0, g_failAt = UINT64_MAX, g_peakUsed = 0;
std::vector<uint8_t> g_model;  // the bytes the cutter must hold
std::vector<Report> g_expected;
Mutex g_lock;  // the client's lock around its buffer

// The cutting rules the slow, obvious way: fills g_expected and want; returns the bytes cut.
size_t ModelCut(StreamCutter::CutResult& want) {
  g_expected.clear();
  size_t off = 0;
  for (uint64_t handling = g_handled; g_model.size() - off >= kHeaderSize;) {
    const MessageHeader h = ReadHeader(&g_model[off]);
    const bool handled = h.kind == kKindBusiness || h.kind == kKindSync;
    if (h.kind == kKindBusiness && h.magic != kMagic) {
      g_expected.push_back({kWrongMagic, h.magic, nullptr});
    } else if (h.length > kMaxDeclaredPayload) {
      g_expected.push_back({kOversize, h.length, nullptr});
    } else if (g_model.size() - off < kHeaderSize + size_t{h.length}) {
      break;
    } else {
      g_expected.push_back({handled ? h.kind : kOther, handled ? h.length : h.kind, &g_model[off]});
      off += kHeaderSize + h.length;
      // A failing handler's message does not count as delivered.
      if (!handled || handling++ != g_failAt) {
        want.skipped += !handled, want.delivered += handled;
        continue;
      }
    }
    g_expected.push_back({kDiscard, 0, nullptr});
    want.discarded = true;
    return g_model.size();
  }
  return off;
}

// Checks every report of the cutter against the model's list as it comes.
struct CheckingSink : MessageSink {
  size_t next = 0;

  int Take(uint32_t event, uint32_t value, const uint8_t* message = nullptr) {
    // The cutter promises never to call out with its lock held.
    Check(g_lock.try_lock(), "sink called with the buffer lock held");
    g_lock.unlock();
    Check(next < g_expected.size(), "unexpected extra report");
    const auto& [expectedEvent, expectedValue, bytes] = g_expected[next++];
    Check(expectedEvent == event && expectedValue == value, "report differs");
    Check(message == nullptr || std::memcmp(message, bytes, kHeaderSize + size_t{value}) == 0,
          "delivered bytes differ from the stream");
    return message != nullptr && g_handled++ == g_failAt;
  }
  int OnBusinessMessage(const uint8_t* m, uint32_t n) override { return Take(kKindBusiness, n, m); }
  int OnSyncMessage(const uint8_t* m, uint32_t n) override { return Take(kKindSync, n, m); }
  void OnOtherKind(uint32_t kind) override { Take(kOther, kind); }
  void OnWrongMagic(uint32_t magic) override { Take(kWrongMagic, magic); }
  void OnOversizeLength(uint32_t length) override { Take(kOversize, length); }
  void OnDiscard() override { Take(kDiscard, 0); }
};

// One read and, unless held back, a cut. The client never appends a read of 0 bytes.
void Read(StreamCutter& cutter, const uint8_t* p, uint32_t n, bool cut) {
  const bool ok = n == 0 || cutter.Append(p, n), failed = fault::Fired();
  if (failed) fault::FailAllocation(0);
  // Only a failed growth may refuse bytes; the buffer is emptied then.
  Check(ok != failed, "append outcome differs from its allocation");
  ok ? void(g_model.insert(g_model.end(), p, p + n)) : g_model.clear();
  g_peakUsed = std::max<uint64_t>(g_peakUsed, g_model.size());
  const uint64_t bound = std::max<uint64_t>(cutter.kInitialCapacity, 2 * g_peakUsed + 8192);
  Check(cutter.capacity() <= bound, "buffer grew beyond twice its content");
  StreamCutter::CutResult want, got;
  const size_t consumed = cut ? ModelCut(want) : 0;
  CheckingSink sink;
  if (cut) got = cutter.Cut(sink);
  Check(sink.next == (cut ? g_expected.size() : 0) && got.delivered == want.delivered &&
            got.skipped == want.skipped && got.discarded == want.discarded,
        "cut reports or result differ");
  g_model.erase(g_model.begin(), g_model.begin() + static_cast<std::ptrdiff_t>(consumed));
  Check(cutter.used() == g_model.size(), "held bytes differ from the model");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // PEL_FUZZ_QUICK keeps the pass that must make many executions quick: what it frames stays far
  // within the first buffer, as megabyte copies and growth take milliseconds.
  static const uint32_t bodyLimit = std::getenv("PEL_FUZZ_QUICK") ? 65536 : kMaxDeclaredPayload;
  // Framed payload bytes, distinct per 4 KiB page so a delivery shifted by pages or bytes shows.
  static std::vector<uint8_t> pages = [] {
    std::vector<uint8_t> b(kHeaderSize + kMaxDeclaredPayload + 4096);
    for (size_t i = 0; i < b.size(); ++i) b[i] = static_cast<uint8_t>((i >> 12) * 37 + i % 8);
    return b;
  }();
  // Fresh pages for a megabyte buffer per input cost more than the input: an emptied cutter that
  // has not grown stands in for a new one. (The allocation fault walk refuses the first buffer.)
  static std::optional<StreamCutter> cutter;
  if (!cutter || cutter->capacity() != cutter->kInitialCapacity) cutter.emplace(&g_lock);
  cutter->Clear();
  g_model.clear();
  g_handled = g_peakUsed = 0, g_failAt = UINT64_MAX;

  size_t pos = 0, framed = 0;  // one input frames at most about its largest message
  auto le = [&](int bytes) {
    uint32_t v = 0;
    for (int i = 0; i < bytes; ++i, ++pos) v |= pos < size ? uint32_t{data[pos]} << (8 * i) : 0;
    return v;
  };
  while (pos < size) {
    const uint32_t op = le(1), cut = (op & 4) == 0;
    if ((op & 3) == 0) {
      const uint32_t n = std::min<size_t>(le(2), size - std::min(pos, size));
      Read(*cutter, data + pos, n, cut);
      pos += n;
    } else if ((op & 3) == 1) {
      uint32_t kind = le(1), length = le(3);
      if (length > bodyLimit && length < kMaxDeclaredPayload) length %= bodyLimit + 1;
      // Past the limit only a part is sent: the cutter waits for the rest or refuses the header.
      const size_t total = kHeaderSize + (length > bodyLimit ? 4096 : length);
      // Small reads are covered by plain reads; here at most 16 per message.
      const size_t step = std::min<size_t>(std::max<size_t>(le(3) * 2 + 1, total / 16), kReadSize);
      if ((framed += total) > kHeaderSize + bodyLimit + 4096) break;
      WriteHeader(pages.data(), 0, kind & 3, length);
      if (kind & 4) pages[0] ^= 0x5A;
      for (size_t off = 0; off < total; off += step)
        Read(*cutter, &pages[off], static_cast<uint32_t>(std::min(step, total - off)), cut);
    } else if ((op & 3) == 2) {
      fault::FailAllocation(1);
    } else {
      g_failAt = g_handled + le(1);
    }
  }
  fault::FailAllocation(0);
  return 0;
}
