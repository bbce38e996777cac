// One client process of the demo: connects, takes the server's greeting and
// snapshot, sends business data, makes synchronous calls and disconnects.
// It prints only failures; the demo's server tells the story.
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>

#include "demo.h"
#include "transport.h"
#include "util.h"

namespace pelipc {

namespace {

struct DemoClient : TransportEvents {
  int index = 0;
  Counter received;
  std::mutex lock;
  uint32_t connId = PEL_IPC_NO_CONN_ID;
  uint64_t bytesIn = 0;
  bool greeted = false;
  bool snapshotOk = false;
  std::string problem;
  DWORD hostThread = 0;  // the thread that calls the disconnect
  int hostCloses = 0;    // OnClose calls with code 0 on that thread

  void OnRecv(uint32_t id, const uint8_t* data, uint32_t size) override;
  void OnClose(uint32_t id, int32_t code) override;
};

void DemoClient::OnRecv(uint32_t id, const uint8_t* data, uint32_t size) {
  {
    std::lock_guard<std::mutex> hold(lock);
    bytesIn += size;
    const std::string welcome = Greeting(id);
    if (size == kDemoSnapshotSize) {
      snapshotOk = MatchesPattern(data, size, 0, id);
      if (!snapshotOk) problem = "snapshot bytes differ";
    } else if (size == welcome.size() && std::memcmp(data, welcome.data(), size) == 0) {
      greeted = true;
      connId = id;
    } else {
      problem = "unexpected message " + Preview(data, size);
    }
  }
  received.Add();
}

void DemoClient::OnClose(uint32_t, int32_t code) {
  std::lock_guard<std::mutex> hold(lock);
  if (code == PEL_OK && GetCurrentThreadId() == hostThread) hostCloses++;
}

// One synchronous call; false with a message on stderr when the result or the
// answer is not the expected one.
bool Call(DemoClient& self, ClientEnd& client, const std::string& request, uint32_t capacity,
          int32_t expectCode, const std::string& expectAnswer) {
  std::vector<uint8_t> answer(capacity + 1);
  uint32_t size = capacity;
  int32_t r = client.Call(reinterpret_cast<const uint8_t*>(request.data()),
                          static_cast<uint32_t>(request.size()), answer.data(), &size);
  if (r != expectCode) {
    Err("[client %d] call \"%s\": %s, expected %d\n", self.index, request.c_str(),
        DescribeResult(r).c_str(), expectCode);
    return false;
  }
  if (r == PEL_ERR_BUFFER_TOO_SMALL) {
    if (size != expectAnswer.size()) {
      Err("[client %d] call \"%s\": told %u bytes needed, expected %u\n", self.index,
          request.c_str(), size, static_cast<unsigned>(expectAnswer.size()));
      return false;
    }
    return true;
  }
  const std::string got(reinterpret_cast<const char*>(answer.data()), size);
  if (got != expectAnswer) {
    Err("[client %d] call \"%s\": answer \"%s\", expected \"%s\"\n", self.index, request.c_str(),
        got.c_str(), expectAnswer.c_str());
    return false;
  }
  return true;
}

bool Send(DemoClient& self, ClientEnd& client, const uint8_t* data, uint32_t size) {
  int32_t r = client.Send(data, size);
  if (r != PEL_OK) Err("[client %d] send: %s\n", self.index, DescribeResult(r).c_str());
  return r == PEL_OK;
}

int RunClient(DemoClient& self, ClientEnd& client, const std::string& pipe) {
  int32_t r = client.Connect(pipe);
  if (r != PEL_OK) {
    Err("[client %d] connect to %s: %s\n", self.index, FullPipeName(pipe).c_str(),
        DescribeResult(r).c_str());
    return r == PEL_ERR_TIMEOUT ? kExitTimeout : kExitNoServer;
  }
  if (!self.received.WaitAtLeast(2, 10000)) {
    Err("[client %d] greeting and snapshot did not arrive within 10 s\n", self.index);
    return kExitTimeout;
  }
  uint32_t id;
  {
    std::lock_guard<std::mutex> hold(self.lock);
    if (!self.greeted || !self.snapshotOk) {
      Err("[client %d] %s\n", self.index,
          self.problem.empty() ? "no greeting" : self.problem.c_str());
      return kExitFailed;
    }
    id = self.connId;
  }

  const std::string hello = HelloText(self.index);
  if (!Send(self, client, reinterpret_cast<const uint8_t*>(hello.data()),
            static_cast<uint32_t>(hello.size()))) {
    return kExitFailed;
  }
  if (self.index == kDemoBlobClient) {
    std::vector<uint8_t> blob(kDemoBlobSize);
    FillPattern(blob, id);
    if (!Send(self, client, blob.data(), kDemoBlobSize)) return kExitFailed;
  }

  const std::string whoami = std::string(1, kRequestMark) + "whoami";
  bool ok = true;
  std::string smallNote;
  if (self.index == kDemoSmallBufferClient) {
    const std::string answer = AnswerFor(whoami, id);
    if (Call(self, client, whoami, kDemoSmallBuffer, PEL_ERR_BUFFER_TOO_SMALL, answer)) {
      smallNote = "; a " + std::to_string(kDemoSmallBuffer) + "-byte buffer got result 8, " +
                  std::to_string(answer.size()) + " bytes needed";
    } else {
      ok = false;
    }
  }
  ok = Call(self, client, whoami, 256, PEL_OK, AnswerFor(whoami, id)) && ok;
  const std::string upper = UpperRequest(self.index);
  ok = Call(self, client, upper, 256, PEL_OK, AnswerFor(upper, id)) && ok;
  // Its answer also proves that everything sent before it was handled.
  std::string bye;
  {
    std::lock_guard<std::mutex> hold(self.lock);
    bye = std::string(1, kRequestMark) + "bye: got " + Grouped(self.received.Get()) +
          " messages, " + Grouped(self.bytesIn) + " bytes" + smallNote;
  }
  ok = Call(self, client, bye, 256, PEL_OK, AnswerFor(bye, id)) && ok;

  {
    std::lock_guard<std::mutex> hold(self.lock);
    self.hostThread = GetCurrentThreadId();
  }
  // The disconnect reports the end on this thread; the work thread may report
  // it once more when the aborted read comes back, at any moment after.
  client.Disconnect();
  {
    std::lock_guard<std::mutex> hold(self.lock);
    if (self.hostCloses != 1) {
      Err("[client %d] disconnect: OnClose not called once with code 0 on this thread\n",
          self.index);
      ok = false;
    }
  }
  return ok ? kExitOk : kExitFailed;
}

}  // namespace

int DemoClientMain(const std::vector<std::string>& args) {
  if (args.size() != 2) return kExitUsage;
  DemoClient self;
  self.index = std::atoi(args[1].c_str());
  std::unique_ptr<ClientEnd> client = MakeClient(Impl::kLibrary, &self);
  if (!client) {
    Err("[client %d] PEL_CreateIpcClient failed\n", self.index);
    return kExitFailed;
  }
  return RunClient(self, *client, args[0]);
}

}  // namespace pelipc
