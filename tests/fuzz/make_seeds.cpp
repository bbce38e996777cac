// Writes the starting corpus of the stream cutter fuzzer: scripts (in the
// layout described in stream_cutter_fuzz.cpp) that feed real messages, built
// by the library's own message builder, in the ways a pipe delivers them.
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "protocol/message.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Message(uint32_t kind, const std::string& payload, uint32_t connId = 0) {
  const uint32_t n = static_cast<uint32_t>(payload.size());
  uint8_t* m = pel::BuildMessage(connId, kind, reinterpret_cast<const uint8_t*>(payload.data()), n);
  Bytes out(m, m + pel::kHeaderSize + n);
  pel::DeleteMessage(m);
  return out;
}

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

class Script {
 public:
  explicit Script(uint8_t setup) { m_bytes.push_back(setup); }
  Script& Read(const Bytes& data, size_t from = 0, size_t to = SIZE_MAX, bool deferCut = false) {
    if (to > data.size()) to = data.size();
    const size_t n = to - from;
    m_bytes.push_back(deferCut ? 8 : 0);
    m_bytes.push_back(static_cast<uint8_t>(n));
    m_bytes.push_back(static_cast<uint8_t>(n >> 8));
    m_bytes.insert(m_bytes.end(), data.begin() + static_cast<std::ptrdiff_t>(from),
                   data.begin() + static_cast<std::ptrdiff_t>(to));
    return *this;
  }
  Script& Cut() { return Op(3); }
  Script& Clear() { return Op(4); }
  Script& FailNextAllocation() { return Op(6); }
  Script& FailHandling(uint8_t inHowMany) { return Op(7).Op(inHowMany); }
  // length in units of 4 bytes unless exactBytes; readSize is 2*units+1.
  Script& Large(uint8_t kind, bool wrongMagic, bool exactBytes, uint32_t length, uint32_t readUnits,
                uint8_t connId = 0) {
    Op(5).Op(kind).Op(static_cast<uint8_t>((wrongMagic ? 1 : 0) | (exactBytes ? 2 : 0)));
    Le3(exactBytes ? length : length / 4);
    Le3(readUnits);
    return Op(connId);
  }
  void Save(const std::string& dir, const std::string& name) const {
    const std::string path = dir + "/" + name;
    FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) {
      std::perror(path.c_str());
      std::exit(1);
    }
    std::fwrite(m_bytes.data(), 1, m_bytes.size(), f);
    std::fclose(f);
  }

 private:
  Script& Op(uint8_t b) {
    m_bytes.push_back(b);
    return *this;
  }
  void Le3(uint32_t v) {
    Op(static_cast<uint8_t>(v)).Op(static_cast<uint8_t>(v >> 8)).Op(static_cast<uint8_t>(v >> 16));
  }
  Bytes m_bytes;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s SEED_DIR\n", argv[0]);
    return 2;
  }
  const std::string dir = argv[1];
  const Bytes hello = Message(pel::kKindHello, "", 7);
  const Bytes abc = Message(pel::kKindBusiness, "abc");
  const Bytes sync = Message(pel::kKindSync, "answer of a synchronous call");
  const Bytes empty = Message(pel::kKindBusiness, "");
  Bytes badMagic = Message(pel::kKindBusiness, "bad");
  badMagic[0] ^= 0xFF;
  Bytes huge = Message(pel::kKindBusiness, "");
  huge[12] = 0xFF, huge[13] = 0xFF, huge[14] = 0xFF, huge[15] = 0x7F;
  Bytes other = Message(7, "x");

  Script(0).Read(Cat({hello, abc})).Save(dir, "hello_then_abc");
  const Bytes three = Cat({abc, Message(pel::kKindBusiness, "second"), sync});
  Script(0)
      .Read(three, 0, abc.size() + 38 + 10)
      .Read(three, abc.size() + 38 + 10)
      .Save(dir, "two_and_ten_bytes");
  Script(1).Read(abc, 0, 5).Read(abc, 5, 20).Read(abc, 20).Save(dir, "split_header_locked");
  Script(0).Read(Cat({sync, other, abc, empty})).Save(dir, "sync_other_business");
  Script(0).Read(Cat({badMagic, abc})).Read(abc).Save(dir, "wrong_magic_then_good");
  Script(0).Read(Cat({abc, huge, abc})).Read(abc).Save(dir, "huge_length_field");
  Script(0).FailHandling(1).Read(Cat({abc, sync, abc})).Read(abc).Save(dir, "failing_handler");
  Script(2).Read(abc).Save(dir, "no_initial_buffer");
  {
    Script s(0);
    const Bytes stream = Cat({abc, sync, empty, other, abc});
    for (size_t i = 0; i < stream.size(); ++i) s.Read(stream, i, i + 1);
    s.Save(dir, "byte_by_byte");
  }
  {
    Script s(0);
    const Bytes stream = Cat({abc, sync, abc});
    for (size_t i = 0; i < stream.size(); i += 7) s.Read(stream, i, i + 7, true);
    s.Cut().Save(dir, "deferred_cuts");
  }
  // The largest server payload does not fit one 5 MiB read: two reads.
  Script(0)
      .Large(pel::kKindBusiness, false, false, pel::kMaxServerPayload, 0xFFFFFF)
      .Read(abc)
      .Save(dir, "largest_server_message");
  Script(1).Large(pel::kKindSync, false, true, 3 << 20, 0x40000).Save(dir, "large_sync_pieces");
  Script(0)
      .FailNextAllocation()
      .Large(pel::kKindBusiness, false, false, 2 << 20, 0x7FFFF)
      .Read(abc)
      .Save(dir, "growth_fails");
  Script(0)
      .Large(pel::kKindBusiness, true, true, 1000, 100)
      .Read(abc)
      .Clear()
      .Read(sync)
      .Save(dir, "large_wrong_magic_clear");
  Script(0)
      .Large(pel::kKindBusiness, false, true, pel::kMaxDeclaredPayload + 1, 10)
      .Save(dir, "one_past_the_limit");
  return 0;
}
