// The client when memory runs out: each allocation failure is a result code
// or a logged loss, never a crash or a leak, and the client goes on working.
#include <gtest/gtest.h>

#include <thread>

#include "platform/fault_injection.h"
#include "support/fixtures.h"
#include "support/log_capture.h"

using pel_test::Cb;
using pel_test::Client;
using pel_test::ConnectRaw;
using pel_test::FreshLog;
using pel_test::RawServer;
using pel_test::Text;

namespace {

// Lets the first client of the process set up the log before any test
// counts allocations.
struct LogReady : ::testing::Environment {
  void SetUp() override { Client warmUp; }
};
const auto* const kLogReady = ::testing::AddGlobalTestEnvironment(new LogReady);

}  // namespace

TEST(ClientFaults, CreateReturnsNullWhenTheObjectOrItsBufferCannotBeMade) {
  const auto start = pel_test::Live::Now();
  pel_test::CallbackRecorder events;
  PelIpcCallback table = events.Table();
  for (uint64_t nth : {1, 2}) {
    pel::fault::FailAllocation(nth);
    EXPECT_EQ(PEL_CreateIpcClient(&table), nullptr) << nth;
    EXPECT_TRUE(pel::fault::Fired()) << nth;
    EXPECT_EQ(pel_test::Live::Now(), start) << nth;
  }
  pel::fault::FailAllocation(0);
}

TEST(ClientFaults, ConnectWithoutMemoryForTheRecordGives10AndClosesThePipe) {
  Client client;
  RawServer server;
  const auto before = pel_test::Live::Now();
  auto* log = FreshLog();
  pel::fault::FailAllocation(1);
  EXPECT_EQ(PEL_AsyncConnectIpcClient(client.handle, server.name.c_str()), PEL_ERR_NO_MEMORY);
  EXPECT_TRUE(pel::fault::Fired());
  EXPECT_TRUE(
      log->Contains("PelNamedPipeClient::PostIocpConnect", "Alloc memory for iocp_key failed!"));
  EXPECT_EQ(pel_test::Live::Now(), before);
  EXPECT_FALSE(PEL_IsIpcClientConnected(client.handle));

  RawServer next;
  EXPECT_TRUE(ConnectRaw(client, next));
}

TEST(ClientFaults, SendWithoutMemoryGives10AndTheNextSendWorks) {
  Client client;
  RawServer server;
  ASSERT_TRUE(ConnectRaw(client, server));
  auto* log = FreshLog();
  pel::fault::FailAllocation(1);
  EXPECT_EQ(client.Send(Text("lost")), PEL_ERR_NO_MEMORY);
  EXPECT_TRUE(log->Contains("PelNamedPipeClient::SendData", "Alloc memory for msg failed!!!\n"));
  ASSERT_EQ(client.Send(Text("kept")), PEL_OK);
  uint32_t kind;
  std::vector<uint8_t> payload;
  ASSERT_TRUE(server.ReadMessage(kind, payload));
  EXPECT_EQ(payload, Text("kept"));
}

TEST(ClientFaults, AReceiveBufferThatCannotGrowIsEmptiedAndReadingGoesOn) {
  Client client;
  RawServer server;
  ASSERT_TRUE(ConnectRaw(client, server));
  auto* log = FreshLog();
  pel::fault::FailAllocation(1);
  // More than the 1 MiB buffer holds; bytes of 0x02 are never a valid header.
  ASSERT_TRUE(server.Send(2, std::vector<uint8_t>(2 * 1048576, 0x02)));
  ASSERT_TRUE(pel_test::WaitUntil([&] { return pel::fault::Fired(); }, 5000));
  EXPECT_TRUE(pel_test::WaitUntil([&] { return log->Contains("", "Grow receive buffer"); }, 5000));
  EXPECT_EQ(client.impl()->ReceiveCapacity(), 1048576u);
  ASSERT_TRUE(server.Send(2, Text("after")));
  ASSERT_TRUE(client.events.WaitFor(Cb::Recv, 1));
  EXPECT_EQ(client.events.Payloads(7), (std::vector<std::vector<uint8_t>>{Text("after")}));
  EXPECT_TRUE(PEL_IsIpcClientConnected(client.handle));
}

TEST(ClientFaults, AnAnswerThatCannotBeStoredLetsTheCallTimeOut) {
  Client client;
  RawServer server;
  ASSERT_TRUE(ConnectRaw(client, server));
  auto* log = FreshLog();
  pel_test::ScopedThread answer([&] {
    uint32_t kind;
    std::vector<uint8_t> request;
    if (server.ReadMessage(kind, request)) server.Send(1, Text("unstorable"));
  });
  // The request is the first allocation, the stored answer the second.
  pel::fault::FailAllocation(2);
  const uint8_t request[] = {'?'};
  uint8_t buffer[64];
  uint32_t size = sizeof buffer;
  EXPECT_EQ(PEL_IpcClientSyncCall(client.handle, request, 1, buffer, &size), PEL_ERR_TIMEOUT);
  answer.join();
  EXPECT_TRUE(pel::fault::Fired());
  EXPECT_TRUE(log->Contains("", "Allocate memory for sync message failed!!\n"));
  EXPECT_TRUE(log->Contains("", ">>>>Handle ipc message failed! Clear all buffer!!!<<<<\n"));
  ASSERT_TRUE(server.Send(2, Text("still reading")));
  EXPECT_TRUE(client.events.WaitFor(Cb::Recv, 1));
}
