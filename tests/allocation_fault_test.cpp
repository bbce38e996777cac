// Every allocation of an exchange between our server and client fails in turn: its place's result
// code and record show, both go on or end cleanly, and once both are destroyed nothing is left.

#include "platform/fault_injection.h"
#include "support/fixtures.h"

using namespace pel::test;

namespace {

int Call(PelIpcClientHandle client, uint8_t tag, std::string* answer) {
  uint8_t question[2] = {'?', tag}, buffer[64];
  uint32_t size = sizeof buffer;
  const int result = PEL_IpcClientSyncCall(client, question, sizeof question, buffer, &size);
  answer->assign(buffer, buffer + (result == PEL_OK ? size : 0));
  return result;
}

// One run: create, start, connect, send, a reply that grows the receive buffer, a call, disconnect,
// destroy; failAt > 0 fails that allocation (of failSize bytes, 0: any); -1 for a step not reached.
struct Exchange {
  bool fired = false, serverCreated = false, clientCreated = false, pingArrived = false,
       replyArrived = false;
  int start = -1, connect = -1, connectAgain = -1, send = -1, serverSend = -1, sync = -1;
  uint32_t capacity = 0;             // of the client's receive buffer after the reply
  std::string answer, secondAnswer;  // the latter from a second client, after a failure
  size_t serverConnects = 0, clientCloses = 0;
  std::vector<CallbackEvent> serverEvents;
  std::vector<CapturedRecord> log;
  std::vector<size_t> sizes;  // of every allocation, in order

  explicit Exchange(uint64_t failAt, size_t failSize = 0) {
    if (LogCapture* capture = LogCapture::Attach()) capture->Clear();
    pel::fault::FailAllocationOfSize(failSize, failAt);
    const std::string name = UniquePipeName("walk");
    CallbackRecorder serverRec, clientRec;
    PelIpcServerHandle server = nullptr;
    serverRec.onRecv = [&server](uint32_t id, const uint8_t* data, uint32_t size) -> int32_t {
      const auto a = Text("answer to " + std::string(data + 1, data + size));
      return data[0] == '?' ? PEL_IpcServerSendData(server, id, true, a.data(), int32_t(a.size()))
                            : 0;
    };
    PelIpcCallback serverTable = serverRec.Table(), clientTable = clientRec.Table();
    if ((serverCreated = (server = PEL_CreateIpcServer(&serverTable)) != nullptr))
      start = PEL_StartIpcServer(server, name.c_str());
    PelIpcClientHandle client = PEL_CreateIpcClient(&clientTable);
    if ((clientCreated = client != nullptr) && start == PEL_OK &&
        (connect = PEL_ConnectIpcClient(client, name.c_str())) == PEL_ERR_NO_MEMORY)
      connectAgain = PEL_ConnectIpcClient(client, name.c_str());
    if (connect == PEL_OK || connectAgain == PEL_OK) {
      send = PEL_IpcClientSendData(client, Text("ping").data(), 4);
      pingArrived = serverRec.WaitFor(Cb::Recv, 1, send == PEL_OK ? 1000 : 0);
      if (pingArrived) {
        const uint32_t id = EventsOf(serverRec, Cb::Recv)[0].id;
        const std::vector<uint8_t> reply(2 << 20, 0x42);  // more than the buffer's first 1 MiB
        serverSend = PEL_IpcServerSendData(server, id, false, reply.data(), 2 << 20);
        replyArrived = clientRec.WaitFor(Cb::Recv, 1, serverSend == PEL_OK ? 1500 : 0) &&
                       clientRec.Payloads(id) == std::vector<std::vector<uint8_t>>{reply};
      }
      capacity = static_cast<PelNamedPipeClient*>(reinterpret_cast<PelIpcClient*>(client))
                     ->ReceiveCapacity();
      sync = Call(client, 'x', &answer);
      PEL_DisconnectIpcClient(client);
      serverRec.WaitFor(Cb::Close, serverRec.Count(Cb::Connect), 2000);
    }
    if (client != nullptr) PEL_DestroyIpcClient(client);
    serverConnects = serverRec.Count(Cb::Connect);
    if (pel::fault::Fired() && start == PEL_OK) {
      PelIpcClientHandle second = PEL_CreateIpcClient(&clientTable);
      if (PEL_ConnectIpcClient(second, name.c_str()) == PEL_OK) Call(second, 'y', &secondAnswer);
      PEL_DestroyIpcClient(second);
      serverRec.WaitFor(Cb::Close, serverRec.Count(Cb::Connect), 2000);
    }
    if (server != nullptr) PEL_DestroyIpcServer(server);
    fired = pel::fault::Fired(), sizes = pel::fault::AllocationSizes();
    pel::fault::FailAllocation(0);
    serverEvents = serverRec.Events(), clientCloses = clientRec.Count(Cb::Close);
    if (LogCapture* capture = LogCapture::Attach()) log = capture->Records();
  }

  // The thread of the first record of function ("": any) with text on thread (0: any); 0: none.
  unsigned Logged(const std::string& function, const std::string& text, unsigned thread = 0) const {
    for (const auto& r : log)
      if (r.Is(function, text) && (thread == 0 || r.threadId == thread)) return r.threadId;
    return 0;
  }
  bool Answered() const { return answer == "answer to x"; }
  bool Complete() const {
    return start == PEL_OK && connect == PEL_OK && send == PEL_OK && serverSend == PEL_OK &&
           pingArrived && replyArrived && serverConnects == 1 && Answered();
  }
};

std::ostream& operator<<(std::ostream& os, const Exchange& r) {  // start, connects, sends, call
  return os << r.start << " " << r.connect << " " << r.connectAgain << " " << r.send << " "
            << r.serverSend << " " << r.sync << " '" << r.answer << "' '" << r.secondAnswer << "'";
}

// The places that allocate, known by the record each writes when it cannot, and what must follow.
const struct Site {
  const char *name, *function, *record;
  bool (*holds)(const Exchange&);
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
       return (r.start == PEL_ERR_NO_MEMORY &&
               r.Logged("PelNamedPipeServer::Start", "PostIocpConnect failed! err:10")) ||
              (r.Complete() && r.Logged("PelNamedPipeServer::HandleIocpConnect",
                                        "] PostIocpConnect failed! err:10!\n"));
     }},
    // That connection ends (OnClose 18); the worker that failed serves on to the end.
    {"read context", "PelNamedPipeServer::PostIocpRead", ">>>>Alloc iocp_key failed! Error:",
     [](auto& r) {
       const unsigned worker = r.Logged("PelNamedPipeServer::PostIocpRead", ">>>>Alloc");
       return r.Logged("", "Receive  exit request!", worker) &&
              std::any_of(r.serverEvents.begin(), r.serverEvents.end(),
                          [](auto& e) { return e.kind == Cb::Close && e.code == 18; });
     }},
    // The HELLO, the reply (not sent at all) or the synchronous answer is lost.
    {"write context", "PelNamedPipeServer::PostIocpWrite", ">>>>Alloc iocp_key failed! Error:",
     [](auto& r) {
       return r.Logged("PelNamedPipeServer::SendHello", "Send hello to client[")
                  ? r.connect == PEL_ERR_TIMEOUT
              : r.serverSend == PEL_ERR_WRITE
                  ? r.Answered() && r.Logged("PelNamedPipeServer::SendData", "] failed! err:10!\n")
                  : r.sync == PEL_ERR_TIMEOUT;
     }},
    {"server HELLO", "PelNamedPipeServer::SendHello", "] failed! err:10!\n",
     [](auto& r) { return r.connect == PEL_ERR_TIMEOUT; }},
    {"server message", "PelNamedPipeServer::SendData", "alloc memory for msg failed!!!\n",
     [](auto& r) {
       return r.serverSend == PEL_ERR_NO_MEMORY ? !r.replyArrived && r.Answered()
                                                : r.sync == PEL_ERR_TIMEOUT;
     }},
    {"client object", "PEL_CreateIpcClient", ">>>>alloc client failed!<<<<",
     [](auto& r) { return !r.clientCreated; }},
    {"client receive buffer", "PEL_CreateIpcClient", ">>>>init client failed! err:10!<<<<",
     [](auto& r) { return !r.clientCreated; }},
    {"client record", "PelNamedPipeClient::PostIocpConnect", "] Alloc memory for iocp_key failed!",
     [](auto& r) {
       return r.connect == PEL_ERR_NO_MEMORY && r.connectAgain == PEL_OK && r.replyArrived &&
              r.Answered();
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
                  ? !r.pingArrived && r.Answered()
                  : r.sync == PEL_ERR_WRITE &&
                        r.Logged("PelNamedPipeClient::SyncCall",
                                 "Send sync call message to server failed! err:10");
     }},
    {"receive buffer growth", "PelNamedPipeClient::HandleIocpRead", ">>>>Grow receive buffer for",
     [](auto& r) { return !r.replyArrived && r.capacity == 0x100000 && r.Answered(); }},
    {"stored answer", "PelNamedPipeClient::HandleIpcSyncMsg",
     "Allocate memory for sync message failed!!\n",
     [](auto& r) {
       return r.sync == PEL_ERR_TIMEOUT &&
              r.Logged("", ">>>>Handle ipc message failed! Clear all buffer!!!<<<<\n");
     }},
};

TEST(AllocationFaults, EveryAllocationOfAWholeExchangeMayFail) {
  const Live start = Live::Now();
  Exchange{0};  // sets up the log the capture attaches to: records come from the next run on
  const Exchange clean{0};
  EXPECT_TRUE(clean.Complete()) << clean;
  ASSERT_TRUE(BackTo(start));
  const uint64_t allocations = clean.sizes.size();  // the seam keeps 512
  ASSERT_TRUE(allocations > 20 && allocations < 512) << allocations;
  std::set<const Site*> failed;
  auto missing = [&] { return failed.size() < std::size(kSites); };
  auto tryOne = [&](uint64_t n, size_t size) {
    const Exchange run{n, size};
    SCOPED_TRACE("allocation " + std::to_string(n) + " of size " + std::to_string(size));
    EXPECT_TRUE(run.fired || size != 0 || n > allocations - 4) << "never happened";
    if (!run.fired) return;
    const Site* site = kSites;
    while (site != std::end(kSites) && !run.Logged(site->function, site->record)) ++site;
    ASSERT_TRUE(site != std::end(kSites)) << "an allocation failed without the record of its place";
    failed.insert(site);
    EXPECT_TRUE(site->holds(run)) << site->name << ": " << run;
    for (const auto& e : run.serverEvents) {  // a connection reported closes once, none twice
      const size_t closes = CountFor(run.serverEvents, Cb::Close, e.id);
      EXPECT_TRUE(closes == 1 || (closes == 0 && e.kind != Cb::Connect)) << "id " << e.id;
    }
    EXPECT_TRUE((run.connect != PEL_OK && run.connectAgain != PEL_OK) || run.clientCloses >= 1);
    EXPECT_TRUE(run.start != PEL_OK || run.secondAnswer == "answer to y");
    EXPECT_TRUE(BackTo(start));
  };
  // Threads interleave differently from run to run: every N of the clean run, then (for places two
  // threads reach at once) the Kth of each size, which mostly keep their order, then N again.
  for (uint64_t n = 1; n <= allocations + 4; ++n) tryOne(n, 0);
  std::map<size_t, uint64_t> bySize;
  for (size_t size : clean.sizes) ++bySize[size];
  for (const auto& [size, count] : bySize)
    for (uint64_t k = 1; k <= count && missing(); ++k) tryOne(k, size);
  for (uint64_t n = 1; n <= allocations && missing(); ++n) tryOne(n, 0);
  for (const Site& s : kSites) EXPECT_EQ(failed.count(&s), 1u) << s.name << " never failed";
  const Exchange last{0};
  EXPECT_TRUE(last.Complete()) << last;
  EXPECT_TRUE(BackTo(start));
}

}  // namespace
