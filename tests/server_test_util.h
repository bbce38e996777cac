// Shared by the server tests: a server with recorded callbacks on a pipe name
// of its own, and the white-box counters to compare before and after.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "pel_ipc.h"
#include "platform/diag.h"
#include "support/callback_recorder.h"
#include "support/helpers.h"
#include "support/raw_pipe.h"

namespace server_test {

struct Counts {
  int64_t connections, iocpKeys, messages, pipeHandles, servers;
  static Counts Now() {
    auto& c = pel::diag::Live();
    return {c.connections.load(), c.iocpKeys.load(), c.messages.load(), c.pipeHandles.load(),
            c.servers.load()};
  }
  bool operator==(const Counts& o) const {
    return connections == o.connections && iocpKeys == o.iocpKeys && messages == o.messages &&
           pipeHandles == o.pipeHandles && servers == o.servers;
  }
};

inline std::ostream& operator<<(std::ostream& os, const Counts& c) {
  return os << "{connections " << c.connections << ", iocpKeys " << c.iocpKeys << ", messages "
            << c.messages << ", pipeHandles " << c.pipeHandles << ", servers " << c.servers << "}";
}

// Waits until the counters are back at a snapshot (releases finish on workers).
inline bool BackTo(const Counts& before, uint32_t timeoutMs = 5000) {
  return pel_test::WaitUntil([&] { return Counts::Now() == before; }, timeoutMs);
}

inline uint32_t U32(const std::vector<uint8_t>& bytes, size_t offset) {
  uint32_t v = 0;
  std::memcpy(&v, &bytes[offset], 4);
  return v;
}

inline std::vector<uint8_t> Bytes(const std::string& text) {
  return std::vector<uint8_t>(text.begin(), text.end());
}

// A started server with recorded callbacks; destroyed at the end of the test.
class ServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    before = Counts::Now();
    name = pel_test::UniquePipeName("srv");
    table = rec.Table();
    server = PEL_CreateIpcServer(&table);
    ASSERT_NE(server, nullptr);
    ASSERT_EQ(PEL_StartIpcServer(server, name.c_str()), 0);
  }
  void TearDown() override {
    if (server != nullptr) PEL_DestroyIpcServer(server);
    server = nullptr;
    // A destroyed server leaves no record, context, message or pipe behind.
    EXPECT_TRUE(BackTo(before)) << Counts::Now() << " instead of " << before;
  }
  void Destroy() {
    PEL_DestroyIpcServer(server);
    server = nullptr;
  }

  // Opens a raw client and completes the handshake; returns its id.
  uint32_t Connect(pel_test::RawPipeClient& client) {
    if (!client.Open(name)) return 0xFFFFFFFF;
    client.SetMessageMode();
    return client.Handshake();
  }

  Counts before{};
  std::string name;
  pel_test::CallbackRecorder rec;
  PelIpcCallback table{};
  PelIpcServerHandle server = nullptr;
};

}  // namespace server_test
