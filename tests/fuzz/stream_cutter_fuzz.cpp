// libFuzzer target for the client's receive buffer. The input is a small
// script of reads, cuts, clears, forced allocation failures and failing
// handlers; every step is mirrored in a plain reference model of the cutting
// rules, and the cutter must agree with it byte for byte.
//
// Input layout: one set-up byte (bit 0: guard the buffer with a lock, bit 1:
// the initial allocation fails), then operations, each an opcode byte whose
// low three bits select:
//   0-2  read: 2-byte length, then that many bytes as one read
//   3    extra cut
//   4    clear
//   5    large message: kind, flags, 3-byte length, 3-byte read size, id;
//        framed with the real header writer and fed in reads of that size
//   6    the next allocation fails
//   7    1 byte: the delivery that many handlings from now returns non-zero
// Bit 3 of a read's or a large message's opcode defers the cut after it.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

#include "platform/fault_injection.h"
#include "protocol/message.h"
#include "protocol/stream_cutter.h"

namespace {

using pel::kHeaderSize;
using pel::kMaxDeclaredPayload;

[[noreturn]] void Fail(const char* what, uint64_t a = 0, uint64_t b = 0) {
  std::fprintf(stderr, "stream cutter invariant broken: %s (%llu, %llu)\n", what,
               static_cast<unsigned long long>(a), static_cast<unsigned long long>(b));
  std::abort();
}

void Check(bool ok, const char* what, uint64_t a = 0, uint64_t b = 0) {
  if (!ok) Fail(what, a, b);
}

enum class Event { kBusiness, kSync, kOther, kWrongMagic, kOversize, kDiscard };

struct Expected {
  Event event;
  uint32_t value;          // kind, magic or length, as the event reports it
  const uint8_t* message;  // whole message in the model's buffer
  uint32_t payloadSize;
};

// Handlings (business and sync calls) are numbered over the whole input; the
// one numbered failAt returns non-zero, in the model and in the sink alike.
struct Schedule {
  uint64_t handled = 0;
  uint64_t failAt = UINT64_MAX;
  int Next() { return handled++ == failAt ? 1 : 0; }
};

// The cutting rules written the slow, obvious way.
class Model {
 public:
  // The byte store outlives the input: fresh pages for megabytes of model
  // cost more than the cutting under test.
  Model() : m_bytes(Store()) { m_bytes.clear(); }
  void Append(const uint8_t* p, size_t n) { m_bytes.insert(m_bytes.end(), p, p + n); }
  void Clear() { m_bytes.clear(); }
  size_t size() const { return m_bytes.size(); }

  // Fills out with what the cutter must report. The pointers stay valid until
  // Commit(), which removes what was consumed.
  void Cut(Schedule& schedule, std::vector<Expected>& out) {
    out.clear();
    m_consumed = 0;
    m_discard = false;
    size_t off = 0;
    while (m_bytes.size() - off >= kHeaderSize) {
      const pel::MessageHeader h = pel::ReadHeader(m_bytes.data() + off);
      const uint8_t* front = m_bytes.data() + off;
      if (h.kind == pel::kKindBusiness && h.magic != pel::kMagic) {
        out.push_back({Event::kWrongMagic, h.magic, nullptr, 0});
        return Discard(out);
      }
      if (h.length > kMaxDeclaredPayload) {
        out.push_back({Event::kOversize, h.length, nullptr, 0});
        return Discard(out);
      }
      if (m_bytes.size() - off < kHeaderSize + static_cast<size_t>(h.length)) break;
      if (h.kind == pel::kKindBusiness || h.kind == pel::kKindSync) {
        out.push_back({h.kind == pel::kKindBusiness ? Event::kBusiness : Event::kSync, h.kind,
                       front, h.length});
        if (schedule.Next() != 0) return Discard(out);
      } else {
        out.push_back({Event::kOther, h.kind, nullptr, 0});
      }
      off += kHeaderSize + h.length;
    }
    m_consumed = off;
  }

  void Commit() {
    if (m_discard) {
      m_bytes.clear();
    } else {
      m_bytes.erase(m_bytes.begin(), m_bytes.begin() + static_cast<std::ptrdiff_t>(m_consumed));
    }
  }

 private:
  void Discard(std::vector<Expected>& out) {
    out.push_back({Event::kDiscard, 0, nullptr, 0});
    m_discard = true;
  }

  static std::vector<uint8_t>& Store() {
    static std::vector<uint8_t> bytes;
    return bytes;
  }

  std::vector<uint8_t>& m_bytes;
  size_t m_consumed = 0;
  bool m_discard = false;
};

// Checks every report of the cutter against the model's list as it comes.
class CheckingSink : public pel::MessageSink {
 public:
  CheckingSink(pel::Mutex* lock, Schedule& schedule) : m_lock(lock), m_schedule(schedule) {}

  void Expect(const std::vector<Expected>* expected) {
    m_expected = expected;
    m_next = 0;
  }
  size_t seen() const { return m_next; }

  int OnBusinessMessage(const uint8_t* message, uint32_t payloadSize) override {
    const Expected& e = Take(Event::kBusiness);
    const pel::MessageHeader h = pel::ReadHeader(message);
    Check(h.magic == pel::kMagic, "business message delivered with a wrong magic", h.magic);
    Check(h.kind == pel::kKindBusiness, "business call for another kind", h.kind);
    return Delivered(e, message, payloadSize, h);
  }

  int OnSyncMessage(const uint8_t* message, uint32_t payloadSize) override {
    const Expected& e = Take(Event::kSync);
    const pel::MessageHeader h = pel::ReadHeader(message);
    Check(h.kind == pel::kKindSync, "sync call for another kind", h.kind);
    return Delivered(e, message, payloadSize, h);
  }

  void OnOtherKind(uint32_t kind) override {
    const Expected& e = Take(Event::kOther);
    Check(e.value == kind, "skipped kind differs", e.value, kind);
    Check(kind != pel::kKindBusiness && kind != pel::kKindSync, "kind 1/2 skipped", kind);
  }

  void OnWrongMagic(uint32_t magic) override {
    const Expected& e = Take(Event::kWrongMagic);
    Check(e.value == magic && magic != pel::kMagic, "wrong-magic report differs", e.value, magic);
  }

  void OnOversizeLength(uint32_t length) override {
    const Expected& e = Take(Event::kOversize);
    Check(e.value == length && length > kMaxDeclaredPayload, "oversize report differs", e.value,
          length);
  }

  void OnDiscard() override { Take(Event::kDiscard); }

 private:
  const Expected& Take(Event event) {
    // The cutter promises never to call out with its lock held.
    if (m_lock != nullptr) {
      Check(m_lock->try_lock(), "sink called with the buffer lock held");
      m_lock->unlock();
    }
    Check(m_expected != nullptr && m_next < m_expected->size(), "unexpected extra report",
          static_cast<uint64_t>(event), m_next);
    const Expected& e = (*m_expected)[m_next++];
    Check(e.event == event, "report out of order", static_cast<uint64_t>(e.event),
          static_cast<uint64_t>(event));
    return e;
  }

  int Delivered(const Expected& e, const uint8_t* message, uint32_t payloadSize,
                const pel::MessageHeader& h) {
    Check(payloadSize == h.length, "payload size differs from the length field", payloadSize,
          h.length);
    Check(payloadSize == e.payloadSize, "payload size differs from the model", payloadSize,
          e.payloadSize);
    Check(std::memcmp(message, e.message, kHeaderSize + static_cast<size_t>(payloadSize)) == 0,
          "delivered bytes differ from the stream", payloadSize);
    return m_schedule.Next();
  }

  pel::Mutex* m_lock;
  Schedule& m_schedule;
  const std::vector<Expected>* m_expected = nullptr;
  size_t m_next = 0;
};

class Reader {
 public:
  Reader(const uint8_t* data, size_t size) : m_data(data), m_size(size) {}
  bool empty() const { return m_pos >= m_size; }
  uint32_t Byte() { return m_pos < m_size ? m_data[m_pos++] : 0; }
  uint32_t Le(int bytes) {
    uint32_t v = 0;
    for (int i = 0; i < bytes; ++i) v |= Byte() << (8 * i);
    return v;
  }
  const uint8_t* Take(size_t& n) {
    if (n > m_size - m_pos) n = m_size - m_pos;
    const uint8_t* p = m_data + m_pos;
    m_pos += n;
    return p;
  }

 private:
  const uint8_t* m_data;
  size_t m_size;
  size_t m_pos = 0;
};

// Large messages are the expensive part of an input; one input may build
// just enough for the largest server message, so the run keeps its pace.
constexpr size_t kSyntheticBudget = kHeaderSize + pel::kMaxServerPayload + 4096;

struct Harness {
  pel::Mutex lock;
  Schedule schedule;
  Model model;
  std::vector<Expected> expected;
  pel::StreamCutter* cutter = nullptr;
  CheckingSink* sink = nullptr;
  uint64_t sinceCut = 0;  // bytes appended since the last cut
  uint64_t peakUsed = 0;  // largest buffer content seen
  size_t synthetic = 0;
  bool allocationArmed = false;

  void CheckSizes() {
    const uint32_t used = cutter->used();
    Check(used == model.size(), "held bytes differ from the model", used, model.size());
    // One partial message stays after a cut; appends since then come on top.
    Check(used <= kHeaderSize + kMaxDeclaredPayload - 1 + sinceCut,
          "buffer holds more than one message plus the reads since the last cut", used, sinceCut);
    if (used > peakUsed) peakUsed = used;
    const uint64_t bound =
        std::max<uint64_t>(pel::StreamCutter::kInitialCapacity, 2 * peakUsed + 8192);
    Check(cutter->capacity() <= bound, "buffer grew beyond twice its content", cutter->capacity(),
          bound);
  }

  void Append(const uint8_t* p, uint32_t n) {
    const bool armed = allocationArmed;
    const bool ok = cutter->Append(p, n);
    const bool fired = armed && pel::fault::Fired();
    if (fired) allocationArmed = false;
    if (ok) {
      Check(!fired, "append succeeded although its allocation failed");
      model.Append(p, n);
      sinceCut += n;
    } else {
      // Only a failed growth may refuse bytes; the buffer is emptied then.
      Check(fired, "append failed without an allocation failure", n);
      model.Clear();
      sinceCut = 0;
    }
    CheckSizes();
  }

  void Cut() {
    model.Cut(schedule, expected);
    const uint64_t before = schedule.handled;
    // The model consumed the schedule already; replay it for the cutter.
    schedule.handled = before - CountHandlings(expected);
    sink->Expect(&expected);
    const pel::StreamCutter::CutResult r = cutter->Cut(*sink);
    Check(sink->seen() == expected.size(), "cutter reported fewer events than the model",
          sink->seen(), expected.size());
    Check(schedule.handled == before, "handlings differ", schedule.handled, before);
    const bool discard = !expected.empty() && expected.back().event == Event::kDiscard;
    Check(r.discarded == discard, "discard flag differs", r.discarded, discard);
    uint32_t delivered = 0, skipped = 0;
    for (const Expected& e : expected) {
      if (e.event == Event::kOther) ++skipped;
      if (e.event == Event::kBusiness || e.event == Event::kSync) ++delivered;
    }
    // A failing handler's message does not count as delivered.
    if (discard && expected.size() >= 2) {
      const Event last = expected[expected.size() - 2].event;
      if (last == Event::kBusiness || last == Event::kSync) --delivered;
    }
    Check(r.delivered == delivered, "delivered count differs", r.delivered, delivered);
    Check(r.skipped == skipped, "skipped count differs", r.skipped, skipped);
    sink->Expect(nullptr);
    model.Commit();
    sinceCut = 0;
    CheckSizes();
  }

  static uint64_t CountHandlings(const std::vector<Expected>& list) {
    uint64_t n = 0;
    for (const Expected& e : list) {
      if (e.event == Event::kBusiness || e.event == Event::kSync) ++n;
    }
    return n;
  }

  // Payload bytes of large messages: distinct per 4 KiB page, so a delivery
  // shifted by any multiple of a page or by a few bytes shows. Made once.
  static uint8_t* LargeBuffer() {
    static std::vector<uint8_t> bytes = [] {
      std::vector<uint8_t> b(kHeaderSize + kMaxDeclaredPayload + 4096);
      for (size_t page = 0; page < b.size(); page += 4096) {
        std::memset(b.data() + page, static_cast<int>((page >> 12) * 37 + 11),
                    std::min<size_t>(4096, b.size() - page));
        for (size_t i = page; i < page + 8 && i < b.size(); ++i) b[i] = static_cast<uint8_t>(i);
      }
      return b;
    }();
    return bytes.data();
  }

  // PEL_FUZZ_BODY_LIMIT caps the payload of large messages for a run that
  // must reach many executions quickly; megabyte messages copy for
  // milliseconds. The same run always applies the same cap.
  static uint32_t BodyLimit() {
    static const uint32_t limit = [] {
      const char* v = std::getenv("PEL_FUZZ_BODY_LIMIT");
      return v != nullptr ? static_cast<uint32_t>(std::strtoul(v, nullptr, 10))
                          : kMaxDeclaredPayload;
    }();
    return limit;
  }

  void LargeMessage(Reader& in, bool deferCut) {
    const uint32_t kind = in.Byte() % 4;
    const uint32_t flags = in.Byte();
    uint32_t length = in.Le(3) * ((flags & 2) ? 1 : 4);
    if (length <= kMaxDeclaredPayload && length > BodyLimit()) length %= BodyLimit() + 1;
    uint32_t readSize = in.Le(3) * 2 + 1;
    const uint32_t connId = in.Byte();
    if (readSize > pel::kReadSize) readSize = pel::kReadSize;
    // A length past the limit is refused on its header: send only a little.
    const size_t body = length > kMaxDeclaredPayload ? 4096 : length;
    const size_t total = kHeaderSize + body;
    if (synthetic + total > kSyntheticBudget) return;
    synthetic += total;
    // Small reads are covered by plain read operations; here at most 16.
    readSize = std::max<uint32_t>(readSize, static_cast<uint32_t>(total / 16));
    uint8_t* bytes = LargeBuffer();
    pel::WriteHeader(bytes, connId, kind, length);
    if (flags & 1) bytes[0] ^= 0x5A;  // wrong magic
    for (size_t off = 0; off < total; off += readSize) {
      const uint32_t n = static_cast<uint32_t>(std::min<size_t>(readSize, total - off));
      Append(bytes + off, n);
      if (!deferCut) Cut();
    }
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Reader in(data, size);
  const uint32_t setup = in.Byte();
  Harness h;
  if (setup & 2) pel::fault::FailAllocation(1);
  pel::StreamCutter cutter((setup & 1) ? &h.lock : nullptr);
  pel::fault::FailAllocation(0);
  Check(cutter.valid() == ((setup & 2) == 0), "initial allocation outcome");
  CheckingSink sink((setup & 1) ? &h.lock : nullptr, h.schedule);
  h.cutter = &cutter;
  h.sink = &sink;
  h.CheckSizes();

  while (!in.empty()) {
    const uint32_t op = in.Byte();
    const bool deferCut = (op & 8) != 0;
    switch (op & 7) {
      case 0:
      case 1:
      case 2: {
        size_t n = in.Le(2);
        const uint8_t* p = in.Take(n);
        // Reads of 0 bytes never reach the cutter: the client drops them.
        if (n == 0) break;
        h.Append(p, static_cast<uint32_t>(n));
        if (!deferCut) h.Cut();
        break;
      }
      case 3:
        h.Cut();
        break;
      case 4:
        cutter.Clear();
        h.model.Clear();
        h.sinceCut = 0;
        h.CheckSizes();
        break;
      case 5:
        h.LargeMessage(in, deferCut);
        break;
      case 6:
        pel::fault::FailAllocation(1);
        h.allocationArmed = true;
        break;
      case 7:
        h.schedule.failAt = h.schedule.handled + in.Byte();
        break;
    }
  }
  pel::fault::FailAllocation(0);
  return 0;
}
