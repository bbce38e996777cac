// The fourteen exports as a host calls them: each refused call returns its code and writes exactly
// its records on the calling thread, refusals as errors and the Enter!/Leave! trace as information.

#include "support/fixtures.h"

using namespace pel::test;

// One row: the result (a creation's is whether it was refused), the call, the records it writes.
static int32_t Code(int32_t result) { return result; }
static int32_t Code(const void* made) { return made == nullptr ? PEL_ERR_INVALID_ARG : PEL_OK; }
#define ROW(code, c, ...) Check(#c, {std::to_string(code), __VA_ARGS__}, [&] { return Code(c); })

TEST(Exports, EveryRefusedCallReturnsItsCodeAndWritesItsRecords) {
  CallbackRecorder rec;
  PelIpcCallback table = rec.Table();
  PelIpcClientHandle client = PEL_CreateIpcClient(&table);  // sets up the log
  LogCapture* log = FreshLog();
  PelIpcServerHandle server = PEL_CreateIpcServer(&table);
  ASSERT_TRUE(server != nullptr && client != nullptr &&
              log->Contains("InitLog", ">>>>>>>>Already initialized plog!\n") &&
              log->Contains("PelNamedPipeServer::Init",
                            "worker thread count:" + std::to_string(ServerWorkerCount())));
  const Live before = Live::Now();
  uint8_t b = 1, answer[8];
  uint32_t size = sizeof answer;
  const std::string in = "Enter!", out = "Leave!", srvNull = ">>>>server is NULL!<<<<",
                    cliNull = ">>>>client is NULL!<<<<", noName = ">>>>socket name is NULL!<<<<",
                    noData = ">>>>data is NULL!<<<<", noSize = ">>>>data_size less than 1!<<<<";
  const int32_t bad = PEL_ERR_INVALID_ARG;
  auto Check = [&](std::string c, std::vector<std::string> expected, auto run) {
    const std::string exported = c.substr(c.find("PEL_"), c.find('(', 1) - c.find("PEL_"));
    log->Clear();
    // The result and this thread's records, '!' on one not at error (Enter!/Leave!: at info).
    std::vector<std::string> seen = {std::to_string(run())};
    for (const auto& r : log->Records()) {
      const auto severity = r.message == in || r.message == out ? pel::log::info : pel::log::error;
      if (r.threadId == GetCurrentThreadId())
        seen.push_back((r.severity == severity ? "" : "!") +
                       (r.function != exported ? r.function + "|" : "") + r.message);
    }
    EXPECT_EQ(seen, expected) << c;
  };
  ROW(bad, PEL_CreateIpcServer(nullptr), ">>>>callback is NULL!<<<<");
  ROW(PEL_OK, (PEL_DestroyIpcServer(nullptr), PEL_OK), srvNull);
  ROW(bad, PEL_StartIpcServer(nullptr, "x"), in, srvNull);
  ROW(bad, PEL_StartIpcServer(server, nullptr), in, noName);
  ROW(bad, PEL_CloseIpcServer(nullptr), in, srvNull);
  ROW(bad, PEL_IpcServerCloseConnection(nullptr, 0), in, srvNull);
  ROW(PEL_ERR_NO_CONNECTION, PEL_IpcServerCloseConnection(server, 7), in,
      "PelNamedPipeServer::CloseSingleConnection|Enter!",
      "PelNamedPipeServer::CloseSingleConnection|connection NOT found!", out);
  ROW(bad, PEL_IpcServerSendData(nullptr, 0, false, &b, 1), srvNull);
  ROW(bad, PEL_IpcServerSendData(server, 0, false, nullptr, 1), noData);
  for (int32_t n : {0, -5}) ROW(bad, PEL_IpcServerSendData(server, 0, false, &b, n), noSize);
  ROW(bad, PEL_IpcServerSendData(server, 0, false, &b, PEL_IPC_MAX_SERVER_PAYLOAD + 1),
      "PelNamedPipeServer::SendData|>>>>Data size[5242881] is larger than IPC buffer "
      "size[5242880]!<<<<\n");
  ROW(PEL_ERR_WRITE, PEL_IpcServerSendData(server, 3, true, &b, 1),
      "PelNamedPipeServer::PostIocpWrite|>>>>GetConnection failed!<<<<\n",
      "PelNamedPipeServer::SendData|Send message to client[3] failed! err:9!\n");
  ROW(bad, PEL_CreateIpcClient(nullptr), in, ">>>>callback is NULL!<<<<");
  ROW(PEL_OK, (PEL_DestroyIpcClient(nullptr), PEL_OK), in, cliNull);
  ROW(bad, PEL_ConnectIpcClient(nullptr, "x"), in, cliNull);
  ROW(bad, PEL_ConnectIpcClient(client, nullptr), in, noName);
  ROW(bad, PEL_AsyncConnectIpcClient(nullptr, "x"), in, cliNull);
  ROW(bad, PEL_AsyncConnectIpcClient(client, nullptr), in, noName);
  ROW(bad, PEL_DisconnectIpcClient(nullptr), in, cliNull);
  // A client never connected still tells its host and returns its answer.
  rec.onClose = [](uint32_t, int32_t) { return 42; };
  ROW(42, PEL_DisconnectIpcClient(client), in, out);
  ROW(false, PEL_IsIpcClientConnected(nullptr), cliNull);
  ROW(false, PEL_IsIpcClientConnected(client));
  ROW(bad, PEL_IpcClientSendData(nullptr, &b, 1), cliNull);
  ROW(bad, PEL_IpcClientSendData(client, nullptr, 1), noData);
  for (int32_t n : {0, -5}) ROW(bad, PEL_IpcClientSendData(client, &b, n), noSize);
  ROW(PEL_ERR_STATE, PEL_IpcClientSendData(client, &b, 1),
      "PelNamedPipeClient::SendData|Not connected!\n",
      ">>>>Send data to server failed! err:3!<<<<");
  ROW(bad, PEL_IpcClientSyncCall(nullptr, &b, 1, answer, &size), "client is NULL!");
  ROW(bad, PEL_IpcClientSyncCall(client, nullptr, 1, answer, &size), "Send data is NULL!");
  ROW(bad, PEL_IpcClientSyncCall(client, &b, 0, answer, &size), "Send data size is 0!");
  ROW(bad, PEL_IpcClientSyncCall(client, &b, 1, answer, nullptr), "Receive buffer size is NULL!");
  ROW(bad, PEL_IpcClientSyncCall(client, &b, 1, nullptr, &size), "Receive buffer is NULL!");
  ROW(PEL_ERR_WRITE, PEL_IpcClientSyncCall(client, &b, 1, answer, &size),
      "!PelNamedPipeClient::SyncCall|Try to send sync message...",
      "PelNamedPipeClient::SendData|Not connected!\n",
      "PelNamedPipeClient::SyncCall|Send sync call message to server failed! err:3");
  // A table with any one callback missing is refused by both ends.
  for (size_t missing = 0; missing < 4; ++missing) {
    PelIpcCallback partial = table;  // the four callbacks lead the table
    std::memset(reinterpret_cast<char*>(&partial) + missing * sizeof(void*), 0, sizeof(void*));
    ROW(bad, PEL_CreateIpcServer(&partial), ">>>>callback function is NULL!<<<<");
    ROW(bad, PEL_CreateIpcClient(&partial), in, ">>>>callback function is NULL!<<<<");
  }
  // Refused calls leave nothing allocated, and nothing else reached a host.
  EXPECT_TRUE(Live::Now() == before && rec.Events().size() == 1) << Live::Now();
  log->Clear();
  PEL_DestroyIpcServer(server);
  for (const auto& r : log->Records()) EXPECT_NE(r.severity, pel::log::error) << r.message;
  EXPECT_TRUE(log->Contains("PelNamedPipeServer::Uninit", "Leave!"));
  PEL_DestroyIpcClient(client);
}
