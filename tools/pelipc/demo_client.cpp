// One client process of the demo: connects, takes the server's greeting and
// snapshot, sends business data, makes synchronous calls and disconnects.
// It prints only failures; the demo's server tells the story.
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "demo.h"
#include "transport.h"
#include "util.h"

namespace pel::pelipc {

namespace {

struct DemoClient : TransportEvents {
  int index = 0;
  Counter received;
  std::mutex lock;
  uint32_t connId = PEL_IPC_NO_CONN_ID;  // until the greeting names it
  uint64_t bytesIn = 0;
  bool snapshotOk = false;
  std::string problem;
  DWORD hostThread = 0;  // the thread that calls the disconnect
  int hostCloses = 0;    // OnClose calls with code 0 on that thread

  void OnRecv(uint32_t id, const uint8_t* data, uint32_t size) override {
    std::lock_guard<std::mutex> hold(lock);
    bytesIn += size;
    const std::string welcome = Greeting(id);
    if (size == kDemoSnapshotSize) {
      snapshotOk = MatchesPattern(data, size, 0, id);
      if (!snapshotOk) problem = "snapshot bytes differ";
    } else if (size == welcome.size() && std::memcmp(data, welcome.data(), size) == 0) {
      connId = id;
    } else {
      problem = "unexpected message " + Preview(data, size);
    }
    received.Add();
  }

  void OnClose(uint32_t, int32_t code) override {
    std::lock_guard<std::mutex> hold(lock);
    if (code == PEL_OK && GetCurrentThreadId() == hostThread) hostCloses++;
  }

  // A failure of this client, on stderr; gives back result, false or the exit code.
  template <typename T = bool>
  T Failed(const std::string& text, T result = false) {
    return pelipc::Failed(result, "[client %d] %s\n", index, text.c_str());
  }

  // One synchronous call; false when the result or the answer is not the expected one.
  bool Call(const std::string& request, uint32_t capacity = 256, int32_t expectCode = PEL_OK) {
    const std::string expected = AnswerFor(request, connId);
    std::vector<uint8_t> answer(capacity + 1);
    uint32_t size = capacity;
    const int32_t r = client->Call(Bytes(request), Size(request), answer.data(), &size);
    const std::string call = "call \"" + request + "\": ";
    if (r != expectCode) {
      return Failed(call + DescribeResult(r) + ", expected " + std::to_string(expectCode));
    }
    if (r == PEL_ERR_BUFFER_TOO_SMALL && size != expected.size()) {
      return Failed(call + "told " + std::to_string(size) + " bytes needed, expected " +
                    std::to_string(expected.size()));
    }
    const std::string got(reinterpret_cast<const char*>(answer.data()), size);
    if (r == PEL_OK && got != expected) {
      return Failed(call + "answer \"" + got + "\", expected \"" + expected + "\"");
    }
    return true;
  }

  bool Send(const std::string& bytes) {
    const int32_t r = client->Send(Bytes(bytes), Size(bytes));
    return r == PEL_OK || Failed("send: " + DescribeResult(r));
  }

  int Run(const std::string& pipe);

  // Last, so that it goes first: its callbacks use the records above.
  std::unique_ptr<ClientEnd> client;
};

int DemoClient::Run(const std::string& pipe) {
  int32_t r = client->Connect(pipe);
  if (r != PEL_OK) {
    return Failed("connect to " + FullPipeName(pipe) + ": " + DescribeResult(r),
                  r == PEL_ERR_TIMEOUT ? kExitTimeout : kExitNoServer);
  }
  if (!received.WaitAtLeast(2, 10000)) {
    return Failed("greeting and snapshot did not arrive within 10 s", kExitTimeout);
  }
  {
    // connId stays as the greeting set it from here on.
    std::lock_guard<std::mutex> hold(lock);
    if (connId == PEL_IPC_NO_CONN_ID || !snapshotOk)
      return Failed(problem.empty() ? "no greeting" : problem, kExitFailed);
  }
  if (!Send(HelloText(index))) return kExitFailed;
  if (index == kDemoBlobClient && !Send(Pattern(kDemoBlobSize, connId))) return kExitFailed;

  const std::string whoami = kRequestMark + std::string("whoami");
  const bool tight = index == kDemoSmallBufferClient;
  bool ok = !tight || Call(whoami, kDemoSmallBuffer, PEL_ERR_BUFFER_TOO_SMALL);
  const std::string smallNote =
      !tight || !ok ? ""
                    : "; a " + std::to_string(kDemoSmallBuffer) + "-byte buffer got result 8, " +
                          std::to_string(AnswerFor(whoami, connId).size()) + " bytes needed";
  ok = Call(whoami) && ok;
  ok = Call(kRequestMark + ("upper " + HelloText(index))) && ok;
  // Its answer also proves that everything sent before it was handled.
  std::string bye;
  {
    std::lock_guard<std::mutex> hold(lock);
    bye = kRequestMark + ("bye: got " + Grouped(received.Get()) + " messages, " + Grouped(bytesIn) +
                          " bytes" + smallNote);
    hostThread = GetCurrentThreadId();
  }
  ok = Call(bye) && ok;
  // The disconnect reports the end on this thread; the work thread may report
  // it once more when the aborted read comes back, at any moment after.
  client->Disconnect();
  std::lock_guard<std::mutex> hold(lock);
  if (hostCloses != 1)
    ok = Failed("disconnect: OnClose not called once with code 0 on this thread");
  return ok ? kExitOk : kExitFailed;
}

}  // namespace

int DemoClientMain(const std::vector<std::string>& args) {
  if (args.size() != 2) return kExitUsage;
  DemoClient self;
  self.index = std::atoi(args[1].c_str());
  self.client = MakeClient(Impl::kLibrary, &self);
  if (!self.client) return self.Failed("PEL_CreateIpcClient failed", kExitFailed);
  return self.Run(args[0]);
}

}  // namespace pel::pelipc
