// The server exports' argument checks, and the log records a host can rely on.
#include <cstring>

#include "support/fixtures.h"
#include "support/log_capture.h"

using pel_test::CapturedRecord;
using pel_test::Cb;
using pel_test::LogCapture;
using pel_test::RawPipeClient;

namespace {

// The log exists once the first server of the process ran its Init.
LogCapture* Log() {
  static bool made = false;
  if (!made) {
    made = true;
    pel_test::CallbackRecorder rec;
    PelIpcCallback table = rec.Table();
    PEL_DestroyIpcServer(PEL_CreateIpcServer(&table));
  }
  return LogCapture::Attach();
}

// Records of one thread, in order.
std::vector<CapturedRecord> OfThread(LogCapture* log, uint32_t thread) {
  std::vector<CapturedRecord> out;
  for (auto& r : log->Records())
    if (r.threadId == thread) out.push_back(r);
  return out;
}

uint32_t Me() { return static_cast<uint32_t>(GetCurrentThreadId()); }

class Exports : public ::testing::Test {
 protected:
  void SetUp() override {
    log = Log();
    if (log == nullptr) GTEST_SKIP() << "no logger in this build";
    log->Clear();
  }
  LogCapture* log = nullptr;
};

TEST_F(Exports, NullHandlesAndArguments) {
  const uint8_t b = 1;
  EXPECT_EQ(PEL_StartIpcServer(nullptr, "x"), 1);
  EXPECT_EQ(PEL_CloseIpcServer(nullptr), 1);
  EXPECT_EQ(PEL_IpcServerCloseConnection(nullptr, 0), 1);
  EXPECT_EQ(PEL_IpcServerSendData(nullptr, 0, false, &b, 1), 1);
  PEL_DestroyIpcServer(nullptr);
  const auto records = OfThread(log, Me());
  std::vector<std::string> seen;
  for (const auto& r : records) seen.push_back(r.function + "|" + r.message);
  const std::vector<std::string> expected = {
      "PEL_StartIpcServer|Enter!",
      "PEL_StartIpcServer|>>>>server is NULL!<<<<",
      "PEL_CloseIpcServer|Enter!",
      "PEL_CloseIpcServer|>>>>server is NULL!<<<<",
      "PEL_IpcServerCloseConnection|Enter!",
      "PEL_IpcServerCloseConnection|>>>>server is NULL!<<<<",
      "PEL_IpcServerSendData|>>>>server is NULL!<<<<",
      "PEL_DestroyIpcServer|>>>>server is NULL!<<<<",
  };
  EXPECT_EQ(seen, expected);
  for (const auto& r : records)
    EXPECT_EQ(r.severity, r.message == "Enter!" ? pellog::info : pellog::error) << r.message;
}

TEST_F(Exports, CreateRefusesMissingTableOrCallback) {
  EXPECT_EQ(PEL_CreateIpcServer(nullptr), nullptr);
  EXPECT_TRUE(log->Contains("PEL_CreateIpcServer", ">>>>callback is NULL!<<<<"));
  pel_test::CallbackRecorder rec;
  const pel_test::Live before = pel_test::Live::Now();
  for (int missing = 0; missing < 4; ++missing) {
    PelIpcCallback table = rec.Table();
    if (missing == 0) table.OnConnect = nullptr;
    if (missing == 1) table.OnSend = nullptr;
    if (missing == 2) table.OnRecv = nullptr;
    if (missing == 3) table.OnClose = nullptr;
    log->Clear();
    EXPECT_EQ(PEL_CreateIpcServer(&table), nullptr) << missing;
    const auto records = OfThread(log, Me());
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].function, "PEL_CreateIpcServer");
    EXPECT_EQ(records[0].severity, pellog::error);
  }
  EXPECT_TRUE(pel_test::Live::Now() == before);
}

TEST_F(Exports, StartNeedsAName) {
  pel_test::CallbackRecorder rec;
  PelIpcCallback table = rec.Table();
  PelIpcServerHandle server = PEL_CreateIpcServer(&table);
  ASSERT_NE(server, nullptr);
  log->Clear();
  EXPECT_EQ(PEL_StartIpcServer(server, nullptr), 1);
  const auto records = OfThread(log, Me());
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[1].message, ">>>>socket name is NULL!<<<<");
  PEL_DestroyIpcServer(server);
}

TEST_F(Exports, SendDataArgumentRecords) {
  pel_test::CallbackRecorder rec;
  PelIpcCallback table = rec.Table();
  PelIpcServerHandle server = PEL_CreateIpcServer(&table);
  ASSERT_NE(server, nullptr);
  const uint8_t b = 1;
  std::vector<uint8_t> big(5242881);
  log->Clear();
  EXPECT_EQ(PEL_IpcServerSendData(server, 0, false, nullptr, 1), 1);
  EXPECT_EQ(PEL_IpcServerSendData(server, 0, false, &b, 0), 1);
  EXPECT_EQ(PEL_IpcServerSendData(server, 0, false, &b, -5), 1);
  EXPECT_EQ(PEL_IpcServerSendData(server, 0, false, big.data(), 5242881), 1);
  EXPECT_EQ(PEL_IpcServerSendData(server, 3, true, &b, 1), 20);
  const auto records = OfThread(log, Me());
  std::vector<std::string> seen;
  for (const auto& r : records) seen.push_back(r.function + "|" + r.message);
  const std::vector<std::string> expected = {
      "PEL_IpcServerSendData|>>>>data is NULL!<<<<",
      "PEL_IpcServerSendData|>>>>data_size less than 1!<<<<",
      "PEL_IpcServerSendData|>>>>data_size less than 1!<<<<",
      "PelNamedPipeServer::SendData|>>>>Data size[5242881] is larger than IPC buffer "
      "size[5242880]!<<<<\n",
      "PelNamedPipeServer::PostIocpWrite|>>>>GetConnection failed!<<<<\n",
      "PelNamedPipeServer::SendData|Send message to client[3] failed! err:9!\n",
  };
  EXPECT_EQ(seen, expected);
  PEL_DestroyIpcServer(server);
}

TEST_F(Exports, StartLogsEveryInstanceWithQualifiedNames) {
  pel_test::CallbackRecorder rec;
  PelIpcCallback table = rec.Table();
  PelIpcServerHandle server = PEL_CreateIpcServer(&table);
  ASSERT_NE(server, nullptr);
  const std::string name = pel_test::UniquePipeName("log");
  log->Clear();
  ASSERT_EQ(PEL_StartIpcServer(server, name.c_str()), 0);
  // Start runs on this thread, so its records are in order here.
  std::vector<std::string> outline;
  for (const auto& r : OfThread(log, Me())) {
    if (r.function == "PelNamedPipeServer::PostIocpConnect") continue;
    outline.push_back(r.function + "|" + r.message);
  }
  std::vector<std::string> expected = {
      "PEL_StartIpcServer|Enter!", "PelNamedPipeServer::Start|Enter!",
      "PelNamedPipeServer::Start|pipe name:" + pel_test::FullPipePath(name)};
  for (int32_t i = 0; i < pel_test::ServerWorkerCount(); ++i)
    expected.push_back("PelNamedPipeServer::Start|[" + std::to_string(i) + "]PostIocpConnect!");
  expected.push_back("PelNamedPipeServer::Start|Leave!");
  expected.push_back("PEL_StartIpcServer|Leave!");
  EXPECT_EQ(outline, expected);
  EXPECT_EQ(log->Count("PelNamedPipeServer::PostIocpConnect", "Post a connect request! Count:1"),
            static_cast<size_t>(pel_test::ServerWorkerCount()));
  PEL_DestroyIpcServer(server);
}

TEST_F(Exports, CreateAndDestroyWithoutStart) {
  pel_test::CallbackRecorder rec;
  PelIpcCallback table = rec.Table();
  PelIpcServerHandle server = PEL_CreateIpcServer(&table);
  ASSERT_NE(server, nullptr);
  EXPECT_TRUE(
      log->Contains("PelNamedPipeServer::Init",
                    "worker thread count:" + std::to_string(pel_test::ServerWorkerCount())));
  EXPECT_TRUE(log->Contains("InitLog", ">>>>>>>>Already initialized plog!\n"));
  log->Clear();
  PEL_DestroyIpcServer(server);
  EXPECT_EQ(log->Count("PelNamedPipeServer::WorkThread", "Receive  exit request!"),
            static_cast<size_t>(pel_test::ServerWorkerCount()));
  EXPECT_EQ(log->Count("PelNamedPipeServer::WorkThread", "Leave!"),
            static_cast<size_t>(pel_test::ServerWorkerCount()));
  for (const auto& r : log->Records()) EXPECT_NE(r.severity, pellog::error) << r.message;
  EXPECT_TRUE(log->Contains("PelNamedPipeServer::Uninit", "Leave!"));
}

TEST_F(Exports, CallbackTableIsCopied) {
  pel_test::CallbackRecorder rec;
  PelIpcCallback* table = new PelIpcCallback(rec.Table());
  PelIpcServerHandle server = PEL_CreateIpcServer(table);
  ASSERT_NE(server, nullptr);
  std::memset(table, 0, sizeof *table);
  delete table;
  const std::string name = pel_test::UniquePipeName("copy");
  ASSERT_EQ(PEL_StartIpcServer(server, name.c_str()), 0);
  RawPipeClient client;
  ASSERT_TRUE(client.Open(name));
  ASSERT_EQ(client.Handshake(), 0u);
  EXPECT_TRUE(rec.WaitFor(Cb::Connect, 1));
  client.Close();
  EXPECT_TRUE(rec.WaitFor(Cb::Close, 1));
  PEL_DestroyIpcServer(server);
}

TEST_F(Exports, ClosingRecords) {
  pel_test::CallbackRecorder rec;
  PelIpcCallback table = rec.Table();
  PelIpcServerHandle server = PEL_CreateIpcServer(&table);
  ASSERT_NE(server, nullptr);
  const std::string name = pel_test::UniquePipeName("closelog");
  ASSERT_EQ(PEL_StartIpcServer(server, name.c_str()), 0);
  RawPipeClient a, b;
  ASSERT_TRUE(a.Open(name));
  ASSERT_EQ(a.Handshake(), 0u);
  ASSERT_TRUE(b.Open(name));
  ASSERT_EQ(b.Handshake(), 1u);
  ASSERT_TRUE(rec.WaitFor(Cb::Connect, 2));

  // Closed by the host: cancelled, and released without a table entry left.
  log->Clear();
  ASSERT_EQ(PEL_IpcServerCloseConnection(server, 0), 0);
  ASSERT_EQ(PEL_IpcServerCloseConnection(server, 0), 9);
  ASSERT_TRUE(rec.WaitFor(Cb::Close, 1, 5000, 0));
  EXPECT_TRUE(log->Contains("", "] success!"));
  EXPECT_EQ(log->Count("", "CancelAllIocp for pipe["), 1u);
  EXPECT_EQ(log->Count("PelNamedPipeServer::CloseSingleConnection", "connection NOT found!"), 1u);
  EXPECT_TRUE(pel_test::WaitUntil(
      [&] { return log->Contains("", "All iocp finished, remove and delete connection[0]["); },
      5000));
  EXPECT_EQ(log->Count("", "RemoveConnection: connection id[0] removed!"), 0u);

  // Gone by itself: the broken pipe is seen by the pending read, or by the
  // next read request when the client left before it was posted; then the
  // release removes the entry.
  log->Clear();
  b.Close();
  ASSERT_TRUE(rec.WaitFor(Cb::Close, 1, 5000, 1));
  std::vector<std::string> order;
  for (const auto& r : log->Records()) {
    if (r.message == ">>>>Pipe is Broken!!!<<<<\n" ||
        r.message == ">>>>ReadFile failed! err:109! Connection[1] is closing...<<<<\n") {
      order.push_back("broken");
    } else if (r.message == "RemoveConnection: connection id[1] removed!") {
      order.push_back("removed");
    } else if (r.message.find("All iocp finished, remove and delete connection[1][") == 0) {
      order.push_back("release");
    }
  }
  const std::vector<std::string> expected = {"broken", "release", "removed"};
  EXPECT_EQ(order, expected);
  PEL_DestroyIpcServer(server);
}

}  // namespace
