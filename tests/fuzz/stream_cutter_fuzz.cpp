// libFuzzer target for the client's receive buffer, guarded by its lock as the client has it. The
// input is a script: a set-up byte (bit 1: the initial buffer is refused), then opcodes whose low
// three bits pick 0-2 a read (2-byte length, bytes), 3 a message framed by the real header writer
// (kind, flags: bit 0 wrong magic, bit 1 length in bytes not words; 3-byte length,
// 3-byte read size, id), 4-5 a cut, 6 the next allocation fails, 7 the
// handling that many (1 byte) from now fails. Bit 3 defers a read's cut. A
// plain model of the cutting rules runs alongside; they must agree exactly.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "platform/fault_injection.h"
#include "protocol/message.h"
#include "protocol/stream_cutter.h"

namespace {

using pel::kHeaderSize;
using pel::kMaxDeclaredPayload;

void Check(bool ok, const char* what) {
  if (!ok) std::fprintf(stderr, "stream cutter invariant broken: %s\n", what), std::abort();
}

enum Event { kBusiness, kSync, kOther, kWrongMagic, kOversize, kDiscard };

struct Expected {
  Event event;
  uint32_t value;          // kind, magic or length, as the event reports it
  const uint8_t* message;  // a delivery's whole message in the model's bytes
};

// Handlings (business and sync calls) are numbered over the whole input; the
// one numbered failAt returns non-zero.
uint64_t g_handled = 0, g_failAt = UINT64_MAX;
std::vector<uint8_t> g_model;  // the bytes the cutter must hold
std::vector<Expected> g_expected;
uint64_t g_peakUsed = 0;
bool g_allocationArmed = false;
pel::Mutex g_lock;  // the client's lock around its buffer

// The cutting rules written the slow, obvious way: fills g_expected and the
// result the cut must give, and returns the bytes it consumes.
size_t ModelCut(pel::StreamCutter::CutResult& want) {
  g_expected.clear();
  uint64_t handling = g_handled;
  size_t off = 0;
  while (g_model.size() - off >= kHeaderSize) {
    const pel::MessageHeader h = pel::ReadHeader(&g_model[off]);
    if (h.kind == pel::kKindBusiness && h.magic != pel::kMagic) {
      g_expected.push_back({kWrongMagic, h.magic, nullptr});
    } else if (h.length > kMaxDeclaredPayload) {
      g_expected.push_back({kOversize, h.length, nullptr});
    } else if (g_model.size() - off < kHeaderSize + size_t{h.length}) {
      break;
    } else {
      const bool handled = h.kind == pel::kKindBusiness || h.kind == pel::kKindSync;
      const Event e = !handled ? kOther : h.kind == pel::kKindBusiness ? kBusiness : kSync;
      g_expected.push_back({e, handled ? h.length : h.kind, &g_model[off]});
      off += kHeaderSize + h.length;
      want.skipped += !handled;
      // A failing handler's message does not count as delivered.
      if (!handled || handling++ != g_failAt) {
        want.delivered += handled;
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
struct CheckingSink : pel::MessageSink {
  size_t next = 0;

  const Expected& Take(Event event, uint32_t value) {
    // The cutter promises never to call out with its lock held.
    Check(g_lock.try_lock(), "sink called with the buffer lock held");
    g_lock.unlock();
    Check(next < g_expected.size(), "unexpected extra report");
    const Expected& e = g_expected[next++];
    Check(e.event == event && e.value == value, "report differs");
    return e;
  }
  int Deliver(Event event, const uint8_t* m, uint32_t size) {
    const bool same = std::memcmp(m, Take(event, size).message, kHeaderSize + size_t{size}) == 0;
    Check(same, "delivered bytes differ from the stream");
    return g_handled++ == g_failAt ? 1 : 0;
  }
  int OnBusinessMessage(const uint8_t* m, uint32_t n) override { return Deliver(kBusiness, m, n); }
  int OnSyncMessage(const uint8_t* m, uint32_t n) override { return Deliver(kSync, m, n); }
  void OnOtherKind(uint32_t kind) override { Take(kOther, kind); }
  void OnWrongMagic(uint32_t magic) override { Take(kWrongMagic, magic); }
  void OnOversizeLength(uint32_t length) override { Take(kOversize, length); }
  void OnDiscard() override { Take(kDiscard, 0); }
};

void CheckSizes(const pel::StreamCutter& cutter) {
  const uint32_t used = cutter.used();
  Check(used == g_model.size(), "held bytes differ from the model");
  g_peakUsed = std::max<uint64_t>(g_peakUsed, used);
  const uint64_t bound = std::max<uint64_t>(cutter.kInitialCapacity, 2 * g_peakUsed + 8192);
  Check(cutter.capacity() <= bound, "buffer grew beyond twice its content");
}

void Append(pel::StreamCutter& cutter, const uint8_t* p, uint32_t n) {
  const bool ok = cutter.Append(p, n);
  const bool failed = g_allocationArmed && pel::fault::Fired();
  g_allocationArmed = g_allocationArmed && !failed;
  // Only a failed growth may refuse bytes; the buffer is emptied then.
  Check(ok != failed, "append outcome differs from its allocation");
  if (!ok) g_model.clear();
  if (ok) g_model.insert(g_model.end(), p, p + n);
  CheckSizes(cutter);
}

void Cut(pel::StreamCutter& cutter, CheckingSink& sink) {
  pel::StreamCutter::CutResult want;
  const size_t consumed = ModelCut(want);
  sink.next = 0;
  const pel::StreamCutter::CutResult r = cutter.Cut(sink);
  Check(sink.next == g_expected.size(), "cutter reported fewer events");
  Check(r.delivered == want.delivered && r.skipped == want.skipped && r.discarded == want.discarded,
        "cut result differs");
  g_model.erase(g_model.begin(), g_model.begin() + static_cast<std::ptrdiff_t>(consumed));
  CheckSizes(cutter);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // PEL_FUZZ_BODY_LIMIT caps framed payloads for a run that must make many
  // executions quickly: megabyte messages copy for milliseconds.
  static const char* limitText = std::getenv("PEL_FUZZ_BODY_LIMIT");
  static const uint32_t bodyLimit =
      limitText != nullptr ? std::strtoul(limitText, nullptr, 10) : kMaxDeclaredPayload;
  // Framed payload bytes, distinct per 4 KiB page so a delivery shifted by
  // pages or by a few bytes shows.
  static std::vector<uint8_t> pages = [] {
    std::vector<uint8_t> b(kHeaderSize + kMaxDeclaredPayload + 4096);
    for (size_t i = 0; i < b.size(); ++i) b[i] = static_cast<uint8_t>((i >> 12) * 37 + i % 8);
    return b;
  }();

  size_t pos = 0;
  auto le = [&](int bytes) {
    uint32_t v = 0;
    for (int i = 0; i < bytes; ++i, ++pos) v |= pos < size ? uint32_t{data[pos]} << (8 * i) : 0;
    return v;
  };
  const uint32_t setup = le(1);
  // Fresh pages for a megabyte buffer per input cost more than the input: an
  // emptied cutter that has not grown stands in for a new one.
  static std::unique_ptr<pel::StreamCutter> kept;
  if (kept == nullptr || kept->capacity() != kept->kInitialCapacity) {
    kept.reset();
    kept.reset(new pel::StreamCutter(&g_lock));
  }
  std::unique_ptr<pel::StreamCutter> refused;
  pel::fault::FailAllocation(1);
  if (setup & 2) refused.reset(new pel::StreamCutter(&g_lock));
  pel::fault::FailAllocation(0);
  pel::StreamCutter& cutter = refused != nullptr ? *refused : *kept;
  cutter.Clear();
  Check(cutter.valid() == ((setup & 2) == 0), "initial allocation outcome");
  CheckingSink sink;
  g_model.clear();
  g_handled = g_peakUsed = 0;
  g_failAt = UINT64_MAX;
  g_allocationArmed = false;
  size_t framed = 0;  // one input frames at most about the largest message
  while (pos < size) {
    const uint32_t op = le(1);
    const bool cut = (op & 8) == 0;
    if ((op & 7) <= 2) {
      const uint32_t n =
          std::min<uint32_t>(le(2), static_cast<uint32_t>(size - std::min(pos, size)));
      // Reads of 0 bytes never reach the cutter: the client drops them.
      if (n != 0) Append(cutter, data + pos, n);
      if (n != 0 && cut) Cut(cutter, sink);
      pos += n;
    } else if ((op & 7) == 3) {
      const uint32_t kind = le(1) % 4, flags = le(1);
      uint32_t length = le(3) * ((flags & 2) ? 1 : 4);
      if (length <= kMaxDeclaredPayload && length > bodyLimit) length %= bodyLimit + 1;
      // A length past the limit is refused on its header: send only a little.
      const size_t total = kHeaderSize + (length > kMaxDeclaredPayload ? 4096 : length);
      // Small reads are covered by plain reads; here at most 16 per message.
      const size_t step =
          std::min<size_t>(std::max<size_t>(le(3) * 2 + 1, total / 16), pel::kReadSize);
      if ((framed += total) > kHeaderSize + pel::kMaxServerPayload + 4096) break;
      pel::WriteHeader(pages.data(), le(1), kind, length);
      if (flags & 1) pages[0] ^= 0x5A;
      for (size_t off = 0; off < total; off += step) {
        Append(cutter, &pages[off], static_cast<uint32_t>(std::min(step, total - off)));
        if (cut) Cut(cutter, sink);
      }
    } else if ((op & 7) <= 5) {
      Cut(cutter, sink);
    } else if ((op & 7) == 6) {
      pel::fault::FailAllocation(1);
      g_allocationArmed = true;
    } else {
      g_failAt = g_handled + le(1);
    }
  }
  pel::fault::FailAllocation(0);
  return 0;
}
