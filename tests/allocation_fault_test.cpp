// Every allocation of a whole exchange of a server and a client of ours fails
// in turn: it shows as the result code and record of its place, both go on or
// end cleanly, and once both are destroyed nothing is left.

#include "platform/fault_injection.h"
#include "support/fixtures.h"

using namespace pel::test;

namespace {

// What one run of the exchange did; -1 for a step not reached.
struct Outcome {
  bool fired = false, serverCreated = false, clientCreated = false, pingArrived = false,
       replyArrived = false;
  int start = -1, connect = -1, connectAgain = -1, send = -1, serverSend = -1, sync = -1;
  uint32_t capacity = 0;             // of the client's receive buffer after the reply
  std::string answer, secondAnswer;  // the latter from a second client, after a failure
  size_t serverConnects = 0, clientCloses = 0;
  std::vector<CallbackEvent> serverEvents;
  std::vector<CapturedRecord> log;

  bool Logged(const std::string& function, const std::string& text, unsigned thread = 0) const {
    for (const auto& r : log)
      if (r.Is(function, text) && (thread == 0 || r.threadId == thread)) return true;
    return false;
  }
  const CapturedRecord& First(const std::string& function, const std::string& text) const {
    return *std::find_if(log.begin(), log.end(), [&](auto& r) { return r.Is(function, text); });
  }
};

std::ostream& operator<<(std::ostream& os, const Outcome& r) {  // start, connects, sends, call
  return os << r.start << " " << r.connect << " " << r.connectAgain << " " << r.send << " "
            << r.serverSend << " " << r.sync << " '" << r.answer << "' '" << r.secondAnswer << "'";
}

int Call(PelIpcClientHandle client, uint8_t tag, std::string* answer) {
  const uint8_t question[] = {'?', tag};
  uint8_t buffer[64];
  uint32_t size = sizeof buffer;
  const int result = PEL_IpcClientSyncCall(client, question, sizeof question, buffer, &size);
  answer->assign(buffer, buffer + (result == PEL_OK ? size : 0));
  return result;
}

// Create, start, connect, send, a reply that grows the receive buffer, a call,
// disconnect, destroy; failAt > 0 fails that allocation (of failSize bytes).
Outcome Exchange(LogCapture* log, uint64_t failAt, size_t failSize = 0,
                 std::vector<size_t>* sizes = nullptr) {
  Outcome run;
  if (log != nullptr) log->Clear();
  failSize == 0 ? pel::fault::FailAllocation(failAt)
                : pel::fault::FailAllocationOfSize(failSize, failAt);
  const std::string name = UniquePipeName("walk");
  CallbackRecorder serverEvents, clientEvents;
  PelIpcServerHandle server = nullptr;
  serverEvents.onRecv = [&server](uint32_t id, const uint8_t* data, uint32_t size) -> int32_t {
    const auto answer = Text("answer to " + std::string(data + 1, data + size));
    return data[0] != '?'
               ? 0
               : PEL_IpcServerSendData(server, id, true, answer.data(), int32_t(answer.size()));
  };
  PelIpcCallback serverTable = serverEvents.Table(), clientTable = clientEvents.Table();
  run.serverCreated = (server = PEL_CreateIpcServer(&serverTable)) != nullptr;
  if (server != nullptr) run.start = PEL_StartIpcServer(server, name.c_str());
  PelIpcClientHandle client = PEL_CreateIpcClient(&clientTable);
  run.clientCreated = client != nullptr;
  if (client != nullptr && run.start == PEL_OK &&
      (run.connect = PEL_ConnectIpcClient(client, name.c_str())) == PEL_ERR_NO_MEMORY)
    run.connectAgain = PEL_ConnectIpcClient(client, name.c_str());
  if (run.connect == PEL_OK || run.connectAgain == PEL_OK) {
    run.send = PEL_IpcClientSendData(client, Text("ping").data(), 4);
    run.pingArrived = serverEvents.WaitFor(Cb::Recv, 1, run.send == PEL_OK ? 1000 : 0);
    if (run.pingArrived) {
      const uint32_t id = EventsOf(serverEvents, Cb::Recv)[0].id;
      const std::vector<uint8_t> reply(2 << 20, 0x42);  // more than the buffer's first 1 MiB
      run.serverSend = PEL_IpcServerSendData(server, id, false, reply.data(), 2 << 20);
      run.replyArrived = clientEvents.WaitFor(Cb::Recv, 1, run.serverSend == PEL_OK ? 1500 : 0) &&
                         clientEvents.Payloads(id) == std::vector<std::vector<uint8_t>>{reply};
    }
    run.capacity = static_cast<PelNamedPipeClient*>(reinterpret_cast<PelIpcClient*>(client))
                       ->ReceiveCapacity();
    run.sync = Call(client, 'x', &run.answer);
    PEL_DisconnectIpcClient(client);
    serverEvents.WaitFor(Cb::Close, serverEvents.Count(Cb::Connect), 2000);
  }
  if (client != nullptr) PEL_DestroyIpcClient(client);
  run.serverConnects = serverEvents.Count(Cb::Connect);
  if (pel::fault::Fired() && run.start == PEL_OK) {
    PelIpcClientHandle second = PEL_CreateIpcClient(&clientTable);
    if (PEL_ConnectIpcClient(second, name.c_str()) == PEL_OK) Call(second, 'y', &run.secondAnswer);
    PEL_DestroyIpcClient(second);
    serverEvents.WaitFor(Cb::Close, serverEvents.Count(Cb::Connect), 2000);
  }
  if (server != nullptr) PEL_DestroyIpcServer(server);
  run.fired = pel::fault::Fired();
  if (sizes != nullptr) *sizes = pel::fault::AllocationSizes();
  pel::fault::FailAllocation(0);
  run.serverEvents = serverEvents.Events();
  run.clientCloses = clientEvents.Count(Cb::Close);
  if (log != nullptr) run.log = log->Records();
  return run;
}

bool Complete(const Outcome& r) {
  return r.start == PEL_OK && r.connect == PEL_OK && r.send == PEL_OK && r.serverSend == PEL_OK &&
         r.pingArrived && r.replyArrived && r.serverConnects == 1 && r.answer == "answer to x";
}
bool Answered(const Outcome& r) { return r.answer == "answer to x"; }

// The places that allocate, each known by the record it writes when it
// cannot, and what must follow.
const struct Site {
  const char *name, *function, *record;
  bool (*holds)(const Outcome&);
} kSites[] = {
    {"server object", "PEL_CreateIpcServer", ">>>>alloc memory for server failed!<<<<",
     [](auto& r) { return !r.serverCreated; }},
    {"worker table", "PelNamedPipeServer::Init", "] alloc memory for workers failed!\n",
     [](auto& r) {
       return !r.serverCreated && r.Logged("PEL_CreateIpcServer", ">>>>init server failed!<<<<");
     }},
    // Reported by the start, or the accepted connection goes on.
    {"listening instance", "PelNamedPipeServer::PostIocpConnect", ">>>>Alloc memory for ",
     [](auto& r) {
       return r.start == PEL_ERR_NO_MEMORY
                  ? r.Logged("PelNamedPipeServer::Start", "PostIocpConnect failed! err:10")
                  : Complete(r) && r.Logged("PelNamedPipeServer::HandleIocpConnect",
                                            "] PostIocpConnect failed! err:10!\n");
     }},
    // That connection ends (OnClose 18); its worker serves on.
    {"read context", "PelNamedPipeServer::PostIocpRead", ">>>>Alloc iocp_key failed! Error:",
     [](auto& r) {
       const unsigned worker = r.First("PelNamedPipeServer::PostIocpRead", ">>>>Alloc").threadId;
       return r.Logged("", "Receive  exit request!", worker) &&
              std::any_of(r.serverEvents.begin(), r.serverEvents.end(), [](const CallbackEvent& e) {
                return e.kind == Cb::Close && e.code == 18;
              });
     }},
    // The HELLO, the reply (not sent at all) or the synchronous answer is lost.
    {"write context", "PelNamedPipeServer::PostIocpWrite", ">>>>Alloc iocp_key failed! Error:",
     [](auto& r) {
       return r.Logged("PelNamedPipeServer::SendHello", "Send hello to client[")
                  ? r.connect == PEL_ERR_TIMEOUT
              : r.serverSend == PEL_ERR_WRITE
                  ? Answered(r) && r.Logged("PelNamedPipeServer::SendData", "] failed! err:10!\n")
                  : r.sync == PEL_ERR_TIMEOUT;
     }},
    {"server HELLO", "PelNamedPipeServer::SendHello", "] failed! err:10!\n",
     [](auto& r) { return r.connect == PEL_ERR_TIMEOUT; }},
    {"server message", "PelNamedPipeServer::SendData", "alloc memory for msg failed!!!\n",
     [](auto& r) {
       return r.serverSend == PEL_ERR_NO_MEMORY ? !r.replyArrived && Answered(r)
                                                : r.sync == PEL_ERR_TIMEOUT;
     }},
    {"client object", "PEL_CreateIpcClient", ">>>>alloc client failed!<<<<",
     [](auto& r) { return !r.clientCreated; }},
    {"client receive buffer", "PEL_CreateIpcClient", ">>>>init client failed! err:10!<<<<",
     [](auto& r) { return !r.clientCreated; }},
    {"client record", "PelNamedPipeClient::PostIocpConnect", "] Alloc memory for iocp_key failed!",
     [](auto& r) {
       return r.connect == PEL_ERR_NO_MEMORY && r.connectAgain == PEL_OK && r.replyArrived &&
              Answered(r);
     }},
    // The server never heard the HELLO and ends the connection at the ping.
    {"client HELLO", "PelNamedPipeClient::SendHello", "Alloc memory for msg failed!!!\n",
     [](auto& r) {
       return r.connect == PEL_OK && r.serverConnects == 0 && !r.pingArrived &&
              r.Logged("PelNamedPipeClient::SendHello", "Send hello to server failed! err:20");
     }},
    {"client message", "PelNamedPipeClient::SendData", "Alloc memory for msg failed!!!\n",
     [](auto& r) {
       return r.send == PEL_ERR_NO_MEMORY
                  ? !r.pingArrived && Answered(r)
                  : r.sync == PEL_ERR_WRITE &&
                        r.Logged("PelNamedPipeClient::SyncCall",
                                 "Send sync call message to server failed! err:10");
     }},
    {"receive buffer growth", "PelNamedPipeClient::HandleIocpRead", ">>>>Grow receive buffer for",
     [](auto& r) { return !r.replyArrived && r.capacity == 0x100000 && Answered(r); }},
    {"stored answer", "PelNamedPipeClient::HandleIpcSyncMsg",
     "Allocate memory for sync message failed!!\n",
     [](auto& r) {
       return r.sync == PEL_ERR_TIMEOUT &&
              r.Logged("", ">>>>Handle ipc message failed! Clear all buffer!!!<<<<\n");
     }},
};
constexpr size_t kPlaces = std::size(kSites);

TEST(AllocationFaults, EveryAllocationOfAWholeExchangeMayFail) {
  // The first run sets up the log the capture attaches to.
  const Live start = Live::Now();
  Exchange(nullptr, 0);
  LogCapture* log = LogCapture::Attach();
  ASSERT_NE(log, nullptr);
  std::vector<size_t> sizes;
  const Outcome clean = Exchange(log, 0, 0, &sizes);
  EXPECT_TRUE(Complete(clean)) << clean;
  ASSERT_TRUE(BackTo(start));
  const uint64_t allocations = sizes.size();  // the seam keeps 512
  ASSERT_TRUE(allocations > 20 && allocations < 512) << allocations;
  int perSite[kPlaces] = {};
  auto missing = [&] { return std::count(perSite, perSite + kPlaces, 0) > 0; };
  auto tryOne = [&](uint64_t n, size_t size) {
    const Outcome run = Exchange(log, n, size);
    SCOPED_TRACE("allocation " + std::to_string(n) +
                 (size == 0 ? "" : " of " + std::to_string(size) + " bytes"));
    if (!run.fired) {
      EXPECT_TRUE(size != 0 || n > allocations - 4) << "never happened";
      return;
    }
    const Site* site = std::find_if(
        kSites, kSites + kPlaces, [&](const Site& s) { return run.Logged(s.function, s.record); });
    ASSERT_NE(site, kSites + kPlaces) << "an allocation failed without the record of its place";
    ++perSite[site - kSites];
    EXPECT_TRUE(site->holds(run)) << site->name << ": " << run;
    for (const auto& e : run.serverEvents) {
      const size_t closes = CountFor(run.serverEvents, Cb::Close, e.id);
      EXPECT_TRUE(closes == 1 || (closes == 0 && e.kind != Cb::Connect)) << "id " << e.id;
    }
    EXPECT_TRUE((run.connect != PEL_OK && run.connectAgain != PEL_OK) || run.clientCloses >= 1);
    EXPECT_TRUE(run.start != PEL_OK || run.secondAnswer == "answer to y");
    EXPECT_TRUE(BackTo(start));
  };
  // Threads interleave differently from run to run: every N of the clean run,
  // then (for places two threads reach at once) the Kth of each size, which
  // mostly follow each other causally, then by number until all have failed.
  for (uint64_t n = 1; n <= allocations + 4; ++n) tryOne(n, 0);
  std::map<size_t, uint64_t> bySize;
  for (size_t size : sizes) ++bySize[size];
  for (const auto& [size, count] : bySize)
    for (uint64_t k = 1; k <= count && missing(); ++k) tryOne(k, size);
  for (uint64_t n = 1; n <= allocations && missing(); ++n) tryOne(n, 0);
  for (size_t i = 0; i < kPlaces; ++i) {
    std::printf("%s failed %d times\n", kSites[i].name, perSite[i]);
    EXPECT_GT(perSite[i], 0) << kSites[i].name << " never failed";
  }
  const Outcome last = Exchange(log, 0);
  EXPECT_TRUE(Complete(last)) << last;
  EXPECT_TRUE(BackTo(start));
}

}  // namespace
