// Shared by the reliability tests (hostile peers, allocation faults, close
// races, soak): every white-box counter at once, and a server of ours that
// echoes what it receives.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ostream>
#include <string>
#include <vector>

#include "pel_ipc.h"
#include "platform/diag.h"
#include "support/callback_recorder.h"
#include "support/helpers.h"
#include "support/raw_pipe.h"

namespace reliability {

// Everything the library keeps alive: records, contexts, messages, pipe
// handles, servers and clients.
struct Live {
  int64_t connections, iocpKeys, messages, pipeHandles, servers, clients;

  static Live Now() {
    auto& c = pel::diag::Live();
    return {c.connections.load(), c.iocpKeys.load(), c.messages.load(),
            c.pipeHandles.load(), c.servers.load(),  c.clients.load()};
  }
  bool operator==(const Live& o) const {
    return connections == o.connections && iocpKeys == o.iocpKeys && messages == o.messages &&
           pipeHandles == o.pipeHandles && servers == o.servers && clients == o.clients;
  }
  bool operator!=(const Live& o) const { return !(*this == o); }
};

inline std::ostream& operator<<(std::ostream& os, const Live& c) {
  return os << "{connections " << c.connections << ", iocpKeys " << c.iocpKeys << ", messages "
            << c.messages << ", pipeHandles " << c.pipeHandles << ", servers " << c.servers
            << ", clients " << c.clients << "}";
}

// Releases finish on worker threads shortly after the call that caused them.
inline bool BackTo(const Live& start, uint32_t timeoutMs = 5000) {
  return pel_test::WaitUntil([&] { return Live::Now() == start; }, timeoutMs);
}

inline std::vector<uint8_t> Bytes(const std::string& text) {
  return std::vector<uint8_t>(text.begin(), text.end());
}

inline uint32_t U32At(const std::vector<uint8_t>& bytes, size_t offset) {
  uint32_t v = 0;
  std::memcpy(&v, bytes.data() + offset, 4);
  return v;
}

// A started server of ours whose host sends every received payload back.
class EchoServer {
 public:
  explicit EchoServer(const std::string& tag) : name(pel_test::UniquePipeName(tag)) {
    table = events.Table();
    events.onRecv = [this](uint32_t id, const uint8_t* data, uint32_t size) -> int32_t {
      if (size == 0 || !echo) return 0;
      return PEL_IpcServerSendData(handle, id, false, data, static_cast<int32_t>(size));
    };
    handle = PEL_CreateIpcServer(&table);
    if (handle != nullptr) started = PEL_StartIpcServer(handle, name.c_str()) == PEL_OK;
  }
  ~EchoServer() { Destroy(); }
  EchoServer(const EchoServer&) = delete;
  EchoServer& operator=(const EchoServer&) = delete;

  void Destroy() {
    if (handle != nullptr) PEL_DestroyIpcServer(handle);
    handle = nullptr;
  }

  std::string name;
  pel_test::CallbackRecorder events;
  PelIpcCallback table{};
  PelIpcServerHandle handle = nullptr;
  bool started = false;
  bool echo = true;
};

// A raw client of the echo server that completed its handshake.
struct RawPeer {
  pel_test::RawPipeClient pipe;
  uint32_t id = 0xFFFFFFFF;

  bool Connect(const std::string& name) {
    id = pipe.Connect(name);
    return id != 0xFFFFFFFF;
  }
  // Sends text and expects it back, framed as a business message for id.
  bool Echoes(const std::string& text) {
    if (!pipe.Write(pel_test::MakeMessage(id, 2, text))) return false;
    std::vector<uint8_t> back;
    if (!pipe.Read(back, 0x10000)) return false;
    return back == pel_test::MakeMessage(id, 2, text);
  }
};

// Rounds of a race test: PEL_RACE_ROUNDS when set (longer runs), else fallback.
inline uint32_t Rounds(uint32_t fallback) {
  return pel_test::EnvNumber("PEL_RACE_ROUNDS", fallback);
}

// Lets two or more threads leave a starting line together.
class Gate {
 public:
  explicit Gate(int parties) : m_waiting(parties) {}
  void Arrive() {
    m_waiting.fetch_sub(1);
    while (m_waiting.load() > 0) {
      // Spinning keeps the start within microseconds.
    }
  }

 private:
  std::atomic<int> m_waiting;
};

inline void SpinMicroseconds(uint32_t us) {
  LARGE_INTEGER frequency, now, end;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&end);
  end.QuadPart += frequency.QuadPart * us / 1000000;
  do {
    QueryPerformanceCounter(&now);
  } while (now.QuadPart < end.QuadPart);
}

inline size_t CountFor(const std::vector<pel_test::CallbackEvent>& events, pel_test::Cb kind,
                       uint32_t id) {
  size_t n = 0;
  for (const auto& e : events) n += e.kind == kind && e.id == id;
  return n;
}

}  // namespace reliability
