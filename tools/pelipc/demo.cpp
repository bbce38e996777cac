// `pelipc demo`: one server in this process, client processes of this same
// executable, and a readable account of everything that crossed the pipes.
#include "demo.h"

#include <algorithm>
#include <cstdlib>
#include <map>
#include <mutex>
#include <optional>

#include "transport.h"
#include "util.h"

namespace pel::pelipc {

namespace {

struct ConnRecord {
  int client = 0;  // learnt from its hello text
  uint64_t msgsIn = 0, bytesIn = 0, msgsOut = 0, bytesOut = 0, sendsDone = 0;
  int calls = 0;
  uint32_t blobBytes = 0;
  bool blobOk = true, byeSeen = false;
  std::optional<int32_t> closeCode;  // none until closed
};

struct DemoServer : TransportEvents {
  double start = NowSeconds();
  std::mutex lock;
  std::map<uint32_t, ConnRecord> conns;
  std::vector<std::string> problems;
  Counter closes;
  // Last, so that it goes first: its callbacks use the records above.
  std::unique_ptr<ServerEnd> server;

  double Elapsed() const { return NowSeconds() - start; }
  // f on the connection's record, under the lock.
  template <typename F>
  auto With(uint32_t id, F f) {
    std::lock_guard<std::mutex> hold(lock);
    return f(conns[id]);
  }
  // Sends and books one message.
  void Send(uint32_t id, bool answer, const std::string& bytes) {
    const int32_t r = server->Send(id, answer, Bytes(bytes), Size(bytes));
    With(id, [&](ConnRecord& c) {
      if (r == PEL_OK) {
        c.msgsOut++;
        c.bytesOut += bytes.size();
      } else {
        problems.push_back("#" + std::to_string(id) + " send: " + DescribeResult(r));
      }
    });
  }

  void OnConnect(uint32_t id) override {
    Out("  [%6.3fs] #%u connected; server sends a greeting and a %s-byte snapshot\n", Elapsed(), id,
        Grouped(kDemoSnapshotSize).c_str());
    Send(id, false, Greeting(id));
    Send(id, false, Pattern(kDemoSnapshotSize, id));
  }

  void OnSend(uint32_t id) override {
    With(id, [](ConnRecord& c) { c.sendsDone++; });
  }

  void OnRecv(uint32_t id, const uint8_t* data, uint32_t size) override {
    With(id, [&](ConnRecord& c) {
      c.msgsIn++;
      c.bytesIn += size;
    });
    const std::string text(reinterpret_cast<const char*>(data), std::min<uint32_t>(size, 1024));
    if (size > 0 && data[0] == static_cast<uint8_t>(kRequestMark) && size < 1024) {
      const std::string answer = AnswerFor(text, id);
      Out("  [%6.3fs] #%u calls %s -> answer %s\n", Elapsed(), id, Preview(text, 100).c_str(),
          Preview(answer).c_str());
      With(id, [&](ConnRecord& c) {
        c.calls++;
        c.byeSeen = c.byeSeen || text.compare(1, 3, "bye") == 0;
      });
      Send(id, true, answer);
      return;
    }
    const std::string prefix = kHelloPrefix;
    if (size > prefix.size() && size < 64 && text.compare(0, prefix.size(), prefix) == 0) {
      const int client = std::atoi(text.c_str() + prefix.size());
      With(id, [&](ConnRecord& c) { c.client = client; });
      Out("  [%6.3fs] #%u says %s (client process %d)\n", Elapsed(), id, Preview(text).c_str(),
          client);
      return;
    }
    // Anything else is a piece of the large message.
    const uint32_t offset = With(id, [&](ConnRecord& c) {
      const uint32_t at = c.blobBytes;
      c.blobOk = c.blobOk && MatchesPattern(data, size, at, id);
      c.blobBytes += size;
      return at;
    });
    Out("  [%6.3fs] #%u sent %s bytes (one OnRecv: bytes %s..%s of a %s-byte send)\n", Elapsed(),
        id, Grouped(size).c_str(), Grouped(offset).c_str(), Grouped(offset + size - 1).c_str(),
        Grouped(kDemoBlobSize).c_str());
  }

  void OnClose(uint32_t id, int32_t code) override {
    With(id, [&](ConnRecord& c) { c.closeCode = code; });
    Out("  [%6.3fs] #%u closed (code %d)\n", Elapsed(), id, code);
    closes.Add();
  }
};

// What one client process must have caused at the server.
void CheckConnection(uint32_t id, const ConnRecord& c, std::vector<std::string>& problems) {
  const auto problem = [&](const std::string& what) {
    problems.push_back("#" + std::to_string(id) + ": " + what);
  };
  if (c.client < 1 || c.client > kDemoClients) return problem("never said hello");
  const bool blob = c.client == kDemoBlobClient;
  const int calls = 3 + (c.client == kDemoSmallBufferClient ? 1 : 0);
  const uint64_t pieces =
      blob ? (kDemoBlobSize + PEL_IPC_MAX_CLIENT_PAYLOAD - 1) / PEL_IPC_MAX_CLIENT_PAYLOAD : 0;
  const uint64_t in = 1 + pieces + calls;
  if (c.msgsIn != in) {
    problem(std::to_string(c.msgsIn) + " messages in, expected " + std::to_string(in));
  }
  if (c.calls != calls || !c.byeSeen) problem("calls missing");
  if (c.blobBytes != (blob ? kDemoBlobSize : 0) || !c.blobOk) {
    problem("large message arrived wrong (" + Grouped(c.blobBytes) + " bytes)");
  }
  if (c.msgsOut != 2u + calls) problem("not every message went out");
  if (c.sendsDone < c.msgsOut) {
    problem(std::to_string(c.sendsDone) + " writes completed of " + std::to_string(c.msgsOut));
  }
  if (c.closeCode != PEL_CLOSE_SERVER) problem("not closed");
}

}  // namespace

int DemoMain(const std::vector<std::string>& args) {
  if (!args.empty()) return kExitUsage;
  DemoServer self;
  const std::string pipe = UniqueName("pelipc-demo");
  Out("pelipc demo: a server in this process (pid %lu) on %s, %d client processes\n",
      static_cast<unsigned long>(GetCurrentProcessId()), FullPipeName(pipe).c_str(), kDemoClients);
  Out("  client 1 sends %s bytes in one call (the library cuts it at %s bytes);\n"
      "  client 2 first asks with a %u-byte answer buffer (result 8, then asks again).\n\n",
      Grouped(kDemoBlobSize).c_str(), Grouped(PEL_IPC_MAX_CLIENT_PAYLOAD).c_str(),
      kDemoSmallBuffer);
  self.server = MakeServer(Impl::kLibrary, &self);
  if (!self.server) return Failed(kExitFailed, "pelipc demo: PEL_CreateIpcServer returned null\n");
  const int32_t r = self.server->Start(pipe);
  if (r != PEL_OK) {
    return Failed(kExitNoServer, "pelipc demo: PEL_StartIpcServer: %s\n",
                  DescribeResult(r).c_str());
  }
  std::vector<std::unique_ptr<pel::tools::Process>> children;
  for (int i = 1; i <= kDemoClients; ++i) {
    // The clients report on stderr only.
    children.push_back(StartSelf({"__demo-client", pipe, std::to_string(i)}));
    if (!children.back()->started()) {
      return Failed(kExitFailed, "pelipc demo: could not start client process %d (error %lu)\n", i,
                    static_cast<unsigned long>(GetLastError()));
    }
  }
  Out("  [%6.3fs] started %d client processes (pids", self.Elapsed(), kDemoClients);
  for (const auto& child : children) Out(" %lu", static_cast<unsigned long>(child->pid()));
  Out(")\n");

  const bool allClosed = self.closes.WaitAtLeast(kDemoClients, 30000);
  std::vector<std::string> problems;
  for (size_t i = 0; i < children.size(); ++i) {
    int code = children[i]->Wait(10000);
    if (code != 0) {
      problems.push_back("client process " + std::to_string(i + 1) +
                         (code < 0 ? " did not end" : " exited with " + std::to_string(code)));
    }
  }
  if (!allClosed) problems.push_back("not every connection closed within 30 s");
  self.server->Stop();

  std::lock_guard<std::mutex> hold(self.lock);
  if (self.conns.size() != kDemoClients) {
    problems.push_back(std::to_string(self.conns.size()) + " connections, expected " +
                       std::to_string(kDemoClients));
  }
  Out("\n  conn  client  in: msgs      bytes   out: msgs      bytes  calls  closed\n");
  for (const auto& [id, c] : self.conns) {
    CheckConnection(id, c, problems);
    Out("  #%-4u %-6d %9u %10s %10u %10s %6d  %s\n", id, c.client, static_cast<unsigned>(c.msgsIn),
        Grouped(c.bytesIn).c_str(), static_cast<unsigned>(c.msgsOut), Grouped(c.bytesOut).c_str(),
        c.calls, c.closeCode ? ("code " + std::to_string(*c.closeCode)).c_str() : "no");
  }
  problems.insert(problems.end(), self.problems.begin(), self.problems.end());
  PrintLogLocation(kLogName);
  if (!problems.empty()) {
    Out("\n  demo FAILED:\n");
    for (const auto& p : problems) Out("    - %s\n", p.c_str());
    return kExitFailed;
  }
  Out("\n  demo OK: %d connections, every message, answer and close arrived\n", kDemoClients);
  return kExitOk;
}

}  // namespace pel::pelipc
