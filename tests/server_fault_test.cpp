// Allocation failures anywhere in a server's life: every one is reported and
// nothing stays allocated once the server is destroyed.
#include "platform/fault_injection.h"
#include "support/fixtures.h"
#include "support/log_capture.h"

using pel_test::BackTo;
using pel_test::Cb;
using pel_test::Live;
using pel_test::RawPipeClient;

namespace {

uint64_t Allocations() { return pel::fault::AllocationCount(); }

// One server's whole life with a client that talks; returns the number of
// allocations it made. failAt > 0 makes that allocation fail.
uint64_t Life(uint64_t failAt, pel_test::CallbackRecorder& rec, bool* fired = nullptr) {
  const uint64_t start = Allocations();
  const std::string name = pel_test::UniquePipeName("fault");
  rec.onRecv = nullptr;
  PelIpcCallback table = rec.Table();
  pel::fault::FailAllocation(failAt);
  PelIpcServerHandle server = PEL_CreateIpcServer(&table);
  if (server != nullptr) {
    rec.onRecv = [server](uint32_t id, const uint8_t* data, uint32_t size) {
      return PEL_IpcServerSendData(server, id, false, data, static_cast<int32_t>(size));
    };
    PEL_StartIpcServer(server, name.c_str());
    RawPipeClient client;
    if (client.Open(name, 300)) {
      client.SetMessageMode();
      const uint32_t id = client.Handshake(500);
      if (id != 0xFFFFFFFF && client.Write(pel_test::MakeMessage(id, 2, "ping"), 500)) {
        std::vector<uint8_t> echo;
        client.Read(echo, 0x1000, 500);
      }
    }
    client.Close();
    rec.WaitFor(Cb::Close, 1, 500);
    PEL_DestroyIpcServer(server);
  }
  if (fired != nullptr) *fired = pel::fault::Fired();
  pel::fault::FailAllocation(0);
  return Allocations() - start;
}

TEST(ServerFaults, EveryAllocationOfALifeMayFail) {
  pel_test::CallbackRecorder rec;
  const Live before = Live::Now();
  const uint64_t total = Life(0, rec);
  ASSERT_TRUE(BackTo(before)) << Live::Now();
  ASSERT_EQ(rec.Count(Cb::Recv), 1u);
  ASSERT_GT(total, 10u);
  for (uint64_t n = 1; n <= total; ++n) {
    rec.Clear();
    bool fired = false;
    Life(n, rec, &fired);
    EXPECT_TRUE(fired) << n;
    EXPECT_TRUE(BackTo(before, 3000)) << "failing allocation " << n << ": " << Live::Now();
    // However it ended, a connection the host heard of was also closed.
    EXPECT_LE(rec.Count(Cb::Connect), rec.Count(Cb::Close)) << n;
  }
}

TEST(ServerFaults, WorkerTableFailureFailsTheCreate) {
  pel_test::CallbackRecorder rec;
  PelIpcCallback table = rec.Table();
  PEL_DestroyIpcServer(PEL_CreateIpcServer(&table));  // the log exists from here on
  pel_test::LogCapture* log = pel_test::LogCapture::Attach();
  const Live before = Live::Now();
  // The object first, its worker table second.
  pel::fault::FailAllocation(2);
  EXPECT_EQ(PEL_CreateIpcServer(&table), nullptr);
  EXPECT_TRUE(pel::fault::Fired());
  EXPECT_TRUE(Live::Now() == before);
  if (log != nullptr) {
    EXPECT_TRUE(log->Contains("PelNamedPipeServer::Init", "] alloc memory for workers failed!\n"));
    EXPECT_TRUE(log->Contains("PEL_CreateIpcServer", ">>>>init server failed!<<<<"));
  }
  pel::fault::FailAllocation(1);
  EXPECT_EQ(PEL_CreateIpcServer(&table), nullptr);
  EXPECT_TRUE(Live::Now() == before);
}

TEST(ServerFaults, SendReportsMemoryFailures) {
  pel_test::CallbackRecorder rec;
  PelIpcCallback table = rec.Table();
  PelIpcServerHandle server = PEL_CreateIpcServer(&table);
  ASSERT_NE(server, nullptr);
  const std::string name = pel_test::UniquePipeName("sendfault");
  ASSERT_EQ(PEL_StartIpcServer(server, name.c_str()), 0);
  RawPipeClient client;
  ASSERT_TRUE(client.Open(name));
  ASSERT_EQ(client.Handshake(), 0u);
  ASSERT_TRUE(rec.WaitFor(Cb::Connect, 1));
  const uint8_t b = 9;
  pel::fault::FailAllocation(1);  // the message
  EXPECT_EQ(PEL_IpcServerSendData(server, 0, false, &b, 1), 10);
  pel::fault::FailAllocation(2);  // the write's context
  EXPECT_EQ(PEL_IpcServerSendData(server, 0, false, &b, 1), 20);
  // Nothing went out, and the connection still works.
  EXPECT_EQ(PEL_IpcServerSendData(server, 0, false, &b, 1), 0);
  std::vector<uint8_t> m;
  ASSERT_TRUE(client.Read(m));
  EXPECT_EQ(m.size(), 33u);
  DWORD avail = 1;
  ASSERT_TRUE(PeekNamedPipe(client.handle(), nullptr, 0, nullptr, &avail, nullptr));
  EXPECT_EQ(avail, 0u);
  PEL_DestroyIpcServer(server);
}

}  // namespace
