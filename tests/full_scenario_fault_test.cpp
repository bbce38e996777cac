// Every allocation of a whole exchange between a server and a client of ours
// (create, start, connect, send, a reply that makes the receive buffer grow,
// a synchronous call, disconnect, destroy) fails in turn. Whichever one it
// is, the failure shows as the result code and log record written for that
// place, the rest of the exchange goes on or ends cleanly, and once both are
// destroyed nothing is left.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "platform/fault_injection.h"
#include "support/fixtures.h"
#include "support/log_capture.h"

using pel_test::CapturedRecord;
using pel_test::Cb;
using pel_test::Live;

namespace {

constexpr uint32_t kReplySize = 2 * 1024 * 1024;  // more than the receive buffer's first 1 MiB

// What one run of the exchange did, step by step; -1 when a step was not
// reached.
struct Outcome {
  uint64_t allocations = 0;
  std::vector<size_t> sizes;  // of each allocation, in the order counted
  bool fired = false;
  bool serverCreated = false;
  bool clientCreated = false;
  int start = -1, connect = -1, send = -1, serverSend = -1, sync = -1, disconnect = -1;
  bool pingArrived = false;
  bool replyArrived = false;
  std::vector<uint8_t> answer;
  // After a failure: the answer a second client of the same server gets.
  std::string secondAnswer;
  size_t serverConnects = 0, clientCloses = 0;
  std::vector<pel_test::CallbackEvent> serverEvents;
  std::vector<CapturedRecord> log;

  size_t Count(const std::string& function, const std::string& text) const {
    size_t n = 0;
    for (const auto& r : log) {
      if ((function.empty() || r.function == function) && r.message.find(text) != std::string::npos)
        ++n;
    }
    return n;
  }
  bool Logged(const std::string& function, const std::string& text) const {
    return Count(function, text) > 0;
  }
  const CapturedRecord* Find(const std::string& function, const std::string& text) const {
    for (const auto& r : log) {
      if (r.function == function && r.message.find(text) != std::string::npos) return &r;
    }
    return nullptr;
  }
};

pel_test::LogCapture* g_log = nullptr;

// One whole exchange; failAt > 0 makes that allocation from the start fail,
// or with failSize the failAt-th allocation of that size.
Outcome Exchange(uint64_t failAt, size_t failSize = 0) {
  Outcome run;
  if (g_log != nullptr) g_log->Clear();
  const uint64_t first = pel::fault::AllocationCount();
  if (failSize == 0) {
    pel::fault::FailAllocation(failAt);
  } else {
    pel::fault::FailAllocationOfSize(failSize, failAt);
  }

  const std::string name = pel_test::UniquePipeName("walk");
  pel_test::CallbackRecorder serverEvents, clientEvents;
  PelIpcServerHandle server = nullptr;
  // Requests starting with '?' are answered as synchronous calls.
  serverEvents.onRecv = [&server](uint32_t id, const uint8_t* data, uint32_t size) -> int32_t {
    if (size == 0 || data[0] != '?') return 0;
    const std::string answer = "answer to " + std::string(data + 1, data + size);
    return PEL_IpcServerSendData(server, id, true, reinterpret_cast<const uint8_t*>(answer.data()),
                                 static_cast<int32_t>(answer.size()));
  };
  PelIpcCallback serverTable = serverEvents.Table();
  PelIpcCallback clientTable = clientEvents.Table();

  server = PEL_CreateIpcServer(&serverTable);
  run.serverCreated = server != nullptr;
  if (server != nullptr) run.start = PEL_StartIpcServer(server, name.c_str());
  PelIpcClientHandle client = PEL_CreateIpcClient(&clientTable);
  run.clientCreated = client != nullptr;
  if (client != nullptr && run.start == PEL_OK) {
    run.connect = PEL_ConnectIpcClient(client, name.c_str());
    if (run.connect == PEL_OK) {
      const uint8_t ping[] = {'p', 'i', 'n', 'g'};
      run.send = PEL_IpcClientSendData(client, ping, sizeof ping);
      run.pingArrived = serverEvents.WaitFor(Cb::Recv, 1, run.send == PEL_OK ? 1000 : 0);
      if (run.pingArrived) {
        const uint32_t id = serverEvents.Events()[0].id;
        std::vector<uint8_t> reply(kReplySize, 0x42);
        run.serverSend = PEL_IpcServerSendData(server, id, false, reply.data(), kReplySize);
        run.replyArrived = clientEvents.WaitFor(Cb::Recv, 1, run.serverSend == PEL_OK ? 1500 : 0);
        if (run.replyArrived) {
          const auto got = clientEvents.Payloads(id);
          run.replyArrived = got.size() == 1 && got[0] == reply;
        }
      }
      const uint8_t question[] = {'?', 'x'};
      uint8_t answer[64];
      uint32_t size = sizeof answer;
      run.sync = PEL_IpcClientSyncCall(client, question, sizeof question, answer, &size);
      if (run.sync == PEL_OK) run.answer.assign(answer, answer + size);
      run.disconnect = PEL_DisconnectIpcClient(client);
      // The server hears of the end once the broken pipe comes back.
      serverEvents.WaitFor(Cb::Close, serverEvents.Count(Cb::Connect), 2000);
    }
  }
  if (client != nullptr) PEL_DestroyIpcClient(client);
  run.serverConnects = serverEvents.Count(Cb::Connect);
  // Whatever failed, the server still serves others.
  if (pel::fault::Fired() && run.start == PEL_OK) {
    PelIpcClientHandle second = PEL_CreateIpcClient(&clientTable);
    if (second != nullptr && PEL_ConnectIpcClient(second, name.c_str()) == PEL_OK) {
      const uint8_t question[] = {'?', 'y'};
      char answer[64];
      uint32_t size = sizeof answer;
      if (PEL_IpcClientSyncCall(second, question, sizeof question,
                                reinterpret_cast<uint8_t*>(answer), &size) == PEL_OK)
        run.secondAnswer.assign(answer, size);
      PEL_DisconnectIpcClient(second);
      serverEvents.WaitFor(Cb::Close, serverEvents.Count(Cb::Connect), 2000);
    }
    if (second != nullptr) PEL_DestroyIpcClient(second);
  }
  if (server != nullptr) PEL_DestroyIpcServer(server);

  run.fired = pel::fault::Fired();
  run.sizes = pel::fault::AllocationSizes();
  pel::fault::FailAllocation(0);
  run.allocations = pel::fault::AllocationCount() - first;
  run.serverEvents = serverEvents.Events();
  run.clientCloses = clientEvents.Count(Cb::Close);
  if (g_log != nullptr) run.log = g_log->Records();
  return run;
}

// A run in which nothing failed, as the clean run shows it.
void ExpectComplete(const Outcome& run, const std::string& trace) {
  EXPECT_EQ(run.start, PEL_OK) << trace;
  EXPECT_EQ(run.connect, PEL_OK) << trace;
  EXPECT_EQ(run.send, PEL_OK) << trace;
  EXPECT_TRUE(run.pingArrived) << trace;
  EXPECT_EQ(run.serverSend, PEL_OK) << trace;
  EXPECT_TRUE(run.replyArrived) << trace;
  EXPECT_EQ(run.sync, PEL_OK) << trace;
  EXPECT_EQ(std::string(run.answer.begin(), run.answer.end()), "answer to x") << trace;
  EXPECT_EQ(run.serverConnects, 1u) << trace;
}

// The places that allocate, each known by the record it writes when it
// cannot, and what must follow.
enum class Site {
  kServerObject,
  kWorkerTable,
  kListeningInstance,
  kReadContext,
  kWriteContext,
  kServerMessage,
  kClientObject,
  kClientBuffer,
  kClientRecord,
  kClientMessage,
  kClientHello,
  kReceiveGrowth,
  kStoredAnswer,
  kUnknown,
};

const char* SiteName(Site s) {
  static const char* const names[] = {
      "server object", "worker table",   "listening instance", "read context",
      "write context", "server message", "client object",      "client receive buffer",
      "client record", "client message", "client HELLO",       "receive buffer growth",
      "stored answer", "unknown"};
  return names[static_cast<int>(s)];
}

Site Classify(const Outcome& run) {
  if (run.Logged("PEL_CreateIpcServer", ">>>>alloc memory for server failed!<<<<"))
    return Site::kServerObject;
  if (run.Logged("PelNamedPipeServer::Init", "] alloc memory for workers failed!\n"))
    return Site::kWorkerTable;
  if (run.Logged("PelNamedPipeServer::PostIocpConnect", ">>>>Alloc memory for ipc_conn failed!") ||
      run.Logged("PelNamedPipeServer::PostIocpConnect", ">>>>Alloc memory for iocp_key failed!"))
    return Site::kListeningInstance;
  if (run.Logged("PelNamedPipeServer::PostIocpRead", ">>>>Alloc iocp_key failed! Error:"))
    return Site::kReadContext;
  if (run.Logged("PelNamedPipeServer::PostIocpWrite", ">>>>Alloc iocp_key failed! Error:"))
    return Site::kWriteContext;
  if (run.Logged("PelNamedPipeServer::SendData", "alloc memory for msg failed!!!\n") ||
      run.Logged("PelNamedPipeServer::SendHello", "] failed! err:10!\n"))
    return Site::kServerMessage;
  if (run.Logged("PEL_CreateIpcClient", ">>>>alloc client failed!<<<<")) return Site::kClientObject;
  if (run.Logged("PEL_CreateIpcClient", ">>>>init client failed! err:10!<<<<"))
    return Site::kClientBuffer;
  if (run.Logged("PelNamedPipeClient::PostIocpConnect", "] Alloc memory for iocp_key failed!"))
    return Site::kClientRecord;
  if (run.Logged("PelNamedPipeClient::SendHello", "Alloc memory for msg failed!!!\n"))
    return Site::kClientHello;
  if (run.Logged("PelNamedPipeClient::SendData", "Alloc memory for msg failed!!!\n"))
    return Site::kClientMessage;
  if (run.Logged("PelNamedPipeClient::HandleIocpRead", ">>>>Grow receive buffer for"))
    return Site::kReceiveGrowth;
  if (run.Logged("PelNamedPipeClient::HandleIpcSyncMsg",
                 "Allocate memory for sync message failed!!\n"))
    return Site::kStoredAnswer;
  return Site::kUnknown;
}

// What a failure at each place must look like from outside.
void ExpectConsequences(Site site, const Outcome& run, const std::string& trace) {
  switch (site) {
    case Site::kServerObject:
      EXPECT_FALSE(run.serverCreated) << trace;
      break;
    case Site::kWorkerTable:
      EXPECT_FALSE(run.serverCreated) << trace;
      EXPECT_TRUE(run.Logged("PEL_CreateIpcServer", ">>>>init server failed!<<<<")) << trace;
      break;
    case Site::kListeningInstance:
      if (run.start != PEL_OK) {
        // While starting: the start reports it.
        EXPECT_EQ(run.start, PEL_ERR_NO_MEMORY) << trace;
        EXPECT_TRUE(run.Logged("PelNamedPipeServer::Start", "PostIocpConnect failed! err:10"))
            << trace;
      } else {
        // The replacement after a connect: the accepted connection is fine.
        EXPECT_TRUE(run.Logged("PelNamedPipeServer::HandleIocpConnect",
                               "] PostIocpConnect failed! err:10!\n"))
            << trace;
        ExpectComplete(run, trace);
      }
      break;
    case Site::kReadContext: {
      // That connection ends (OnClose 18); the worker serves on until the
      // server is destroyed, and so does the server.
      const CapturedRecord* failed =
          run.Find("PelNamedPipeServer::PostIocpRead", ">>>>Alloc iocp_key failed! Error:");
      ASSERT_NE(failed, nullptr);
      bool asked = false;
      for (const auto& r : run.log) {
        asked |= r.threadId == failed->threadId && r.function == "PelNamedPipeServer::WorkThread" &&
                 r.message == "Receive  exit request!";
      }
      EXPECT_TRUE(asked) << trace;
      size_t closes = 0;
      for (const auto& e : run.serverEvents) closes += e.kind == Cb::Close && e.code == 18;
      EXPECT_GE(closes, 1u) << trace;
      EXPECT_EQ(run.secondAnswer, "answer to y") << trace;
      break;
    }
    case Site::kWriteContext:
      if (run.Logged("PelNamedPipeServer::SendHello", "Send hello to client[")) {
        EXPECT_EQ(run.connect, PEL_ERR_TIMEOUT) << trace;
      } else if (run.serverSend == PEL_ERR_WRITE) {
        EXPECT_TRUE(run.Logged("PelNamedPipeServer::SendData", "] failed! err:10!\n")) << trace;
      } else {
        // The synchronous answer could not be sent: the call times out.
        EXPECT_EQ(run.sync, PEL_ERR_TIMEOUT) << trace;
      }
      break;
    case Site::kServerMessage:
      if (run.Logged("PelNamedPipeServer::SendHello", "Send hello to client[")) {
        EXPECT_EQ(run.connect, PEL_ERR_TIMEOUT) << trace;
      } else if (run.serverSend == PEL_ERR_NO_MEMORY) {
        EXPECT_FALSE(run.replyArrived) << trace;
      } else {
        EXPECT_EQ(run.sync, PEL_ERR_TIMEOUT) << trace;
      }
      break;
    case Site::kClientObject:
    case Site::kClientBuffer:
      EXPECT_FALSE(run.clientCreated) << trace;
      break;
    case Site::kClientRecord:
      EXPECT_EQ(run.connect, PEL_ERR_NO_MEMORY) << trace;
      break;
    case Site::kClientMessage:
      if (run.send == PEL_ERR_NO_MEMORY) {
        EXPECT_FALSE(run.pingArrived) << trace;
      } else {
        EXPECT_EQ(run.sync, PEL_ERR_WRITE) << trace;
        EXPECT_TRUE(run.Logged("PelNamedPipeClient::SyncCall",
                               "Send sync call message to server failed! err:10"))
            << trace;
      }
      break;
    case Site::kClientHello:
      // The client thinks it is connected; the server never heard the HELLO
      // and ends the connection at the first business message.
      EXPECT_EQ(run.connect, PEL_OK) << trace;
      EXPECT_TRUE(
          run.Logged("PelNamedPipeClient::SendHello", "Send hello to server failed! err:20"))
          << trace;
      EXPECT_EQ(run.serverConnects, 0u) << trace;
      EXPECT_FALSE(run.pingArrived) << trace;
      break;
    case Site::kReceiveGrowth:
      // The reply is lost, the connection goes on.
      EXPECT_FALSE(run.replyArrived) << trace;
      EXPECT_EQ(run.sync, PEL_OK) << trace;
      break;
    case Site::kStoredAnswer:
      EXPECT_EQ(run.sync, PEL_ERR_TIMEOUT) << trace;
      EXPECT_TRUE(run.Logged("",  // the receive buffer's discard, under its own name
                             ">>>>Handle ipc message failed! Clear all buffer!!!<<<<\n"))
          << trace;
      break;
    case Site::kUnknown:
      ADD_FAILURE() << trace << ": an allocation failed without the record of its place";
      break;
  }
}

TEST(FullScenarioFaults, EveryAllocationOfAWholeExchangeMayFail) {
  // The first run sets up the log; the capture can attach from then on.
  const Live start = Live::Now();
  Exchange(0);
  g_log = pel_test::LogCapture::Attach();
  ASSERT_NE(g_log, nullptr);
  ASSERT_TRUE(pel_test::BackTo(start)) << Live::Now();

  const Outcome clean = Exchange(0);
  ExpectComplete(clean, "clean run");
  ASSERT_TRUE(pel_test::BackTo(start)) << Live::Now();
  ASSERT_GT(clean.allocations, 20u);

  const std::vector<Site> everySite = {
      Site::kServerObject, Site::kWorkerTable,   Site::kListeningInstance, Site::kReadContext,
      Site::kWriteContext, Site::kServerMessage, Site::kClientObject,      Site::kClientBuffer,
      Site::kClientRecord, Site::kClientMessage, Site::kClientHello,       Site::kReceiveGrowth,
      Site::kStoredAnswer};
  std::vector<int> perSite(static_cast<int>(Site::kUnknown) + 1, 0);
  auto missing = [&] {
    int n = 0;
    for (Site s : everySite) n += perSite[static_cast<int>(s)] == 0;
    return n;
  };
  uint64_t failed = 0;
  // One failing allocation, its checks, and the clean-up check.
  auto tryOne = [&](uint64_t n, size_t size) {
    const Outcome run = Exchange(n, size);
    const std::string trace =
        "allocation " + std::to_string(n) +
        (size == 0 ? std::string() : " of " + std::to_string(size) + " bytes");
    if (!run.fired) {
      if (size == 0) {
        EXPECT_GT(n, clean.allocations - 4) << trace << " never happened";
      }
      return;
    }
    ++failed;
    const Site site = Classify(run);
    ++perSite[static_cast<int>(site)];
    ExpectConsequences(site, run, trace + " (" + SiteName(site) + ")");
    // However it went, every connection the server's host heard of was
    // also closed, each once, and nothing stays allocated.
    for (const auto& e : run.serverEvents) {
      size_t closes = 0;
      for (const auto& c : run.serverEvents) closes += c.kind == Cb::Close && c.id == e.id;
      EXPECT_LE(closes, 1u) << trace << " id " << e.id;
      if (e.kind == Cb::Connect) {
        EXPECT_EQ(closes, 1u) << trace << " id " << e.id;
      }
    }
    if (run.connect == PEL_OK) {
      EXPECT_GE(run.clientCloses, 1u) << trace;
    }
    EXPECT_TRUE(pel_test::BackTo(start)) << trace << ": " << Live::Now() << " instead of " << start;
  };
  // Threads interleave differently from run to run, so the Nth allocation
  // is not always the same one: every N of the clean run is tried, and a
  // few beyond in case a run allocates more. A place that two threads reach
  // at about the same time may be missed that way (the client's HELLO and
  // the server's next listening instance are made together); the Kth
  // allocation of each size is then tried, since allocations of one size
  // mostly follow each other causally. A last pass by number stops as soon
  // as every place has failed once.
  for (uint64_t n = 1; n <= clean.allocations + 4; ++n) tryOne(n, 0);
  if (missing() > 0) {
    ASSERT_EQ(clean.sizes.size(), clean.allocations);
    std::map<size_t, uint64_t> bySize;
    for (size_t size : clean.sizes) ++bySize[size];
    for (const auto& entry : bySize) {
      for (uint64_t k = 1; k <= entry.second && missing() > 0; ++k) tryOne(k, entry.first);
    }
  }
  for (uint64_t n = 1; n <= clean.allocations && missing() > 0; ++n) tryOne(n, 0);
  std::string summary;
  for (size_t i = 0; i < perSite.size(); ++i) {
    if (perSite[i] != 0)
      summary +=
          std::string(SiteName(static_cast<Site>(i))) + " " + std::to_string(perSite[i]) + "; ";
  }
  std::printf("%llu allocations in a clean exchange, %llu failed: %s\n",
              static_cast<unsigned long long>(clean.allocations),
              static_cast<unsigned long long>(failed), summary.c_str());
  for (Site s : everySite) {
    EXPECT_GT(perSite[static_cast<int>(s)], 0) << SiteName(s) << " never failed";
  }

  // After all that, the process still does the whole exchange.
  ExpectComplete(Exchange(0), "clean run at the end");
  EXPECT_TRUE(pel_test::BackTo(start)) << Live::Now();
}

}  // namespace
