// `pelipc serve`, `send` and `call`: poke a pipe by hand.
#include <atomic>
#include <fstream>
#include <iterator>

#include "transport.h"
#include "util.h"

namespace pel::pelipc {

namespace {

// Which replies `serve` gives. The server's OnRecv cannot tell a synchronous
// request from a business message, so the choice is the operator's.
enum ReplyMode { kReplyNone = 0, kReplyEcho = 1, kReplyAnswer = 2, kReplyBoth = 3 };
const char* const kModeFlags[] = {"--quiet", "--echo", "--answer", "--both"};
const char* const kModes[] = {"none", "echo as business message", "upper-cased synchronous answer",
                              "echo as business message + upper-cased synchronous answer"};

// Set by Ctrl+C, or once serve saw its connections close.
Event g_stop;

BOOL WINAPI OnConsoleCtrl(DWORD) {
  g_stop.Set();
  return TRUE;
}

struct Serve : TransportEvents {
  std::unique_ptr<ServerEnd> server;
  int mode = kReplyBoth;
  uint32_t stopAfter = 0;  // closed connections after which serve ends; 0: never
  std::atomic<uint32_t> closes{0};

  void OnConnect(uint32_t id) override { Out("#%u connected\n", id); }

  void OnRecv(uint32_t id, const uint8_t* data, uint32_t size) override {
    Out("#%u received %s bytes: %s\n", id, Grouped(size).c_str(), Preview(data, size, 200).c_str());
    // The answer is the message in upper case, made only when answers are on.
    std::string upper;
    if ((mode & kReplyAnswer) != 0) upper.assign(reinterpret_cast<const char*>(data), size);
    for (char& c : upper) c = c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
    for (const bool answer : {false, true}) {
      if (size == 0 || (mode & (answer ? kReplyAnswer : kReplyEcho)) == 0) continue;
      const int32_t r = server->Send(id, answer, answer ? Bytes(upper) : data, size);
      if (r != PEL_OK) {
        Out("#%u %s failed: %s\n", id, answer ? "answer" : "echo", DescribeResult(r).c_str());
      }
    }
  }

  void OnClose(uint32_t id, int32_t code) override {
    Out("#%u closed (code %d)\n", id, code);
    if (++closes == stopAfter) g_stop.Set();
  }
};

// The client end of send and call: the payload from TEXT|@FILE and the library's client, connected.
struct Client : TransportEvents {
  Counter sends;
  Counter received;
  std::atomic<uint32_t> connId{PEL_IPC_NO_CONN_ID};
  bool print = false;  // the replies
  const char* command;
  std::string name;
  std::vector<uint8_t> payload;
  std::unique_ptr<ClientEnd> client;

  explicit Client(const char* command_) : command(command_) {}

  void OnSend(uint32_t id) override {
    connId = id;
    sends.Add();
  }

  void OnRecv(uint32_t id, const uint8_t* data, uint32_t size) override {
    if (print) {
      Out("reply on connection %u, %s bytes: %s\n", id, Grouped(size).c_str(),
          Preview(data, size, 200).c_str());
    }
    received.Add();
  }

  // kExitOk once connected, else the exit code, with every failure explained.
  int Open(const std::vector<std::string>& args, const std::vector<Flag>& flags) {
    std::vector<std::string> plain;
    if (!ParseFlags(args, flags, &plain) || plain.size() != 2) return kExitUsage;
    name = plain[0];
    if (!LoadPayload(plain[1])) return kExitUsage;
    client = MakeClient(Impl::kLibrary, this);
    if (!client) {
      return Failed(kExitFailed, "pelipc %s: PEL_CreateIpcClient returned null\n", command);
    }
    const int32_t r = client->Connect(name);
    if (r == PEL_OK) return kExitOk;
    const std::string full = FullPipeName(name);
    const std::string what = r == PEL_ERR_PIPE ? "no server listens on " + full
                             : r == PEL_ERR_TIMEOUT
                                 ? full + " did not complete the handshake within " +
                                       std::to_string(PEL_IPC_WAIT_MS) + " ms"
                                 : "cannot connect to " + full;
    Err("pelipc %s: %s: %s\n", command, what.c_str(), DescribeResult(r).c_str());
    return r == PEL_ERR_PIPE ? kExitNoServer : r == PEL_ERR_TIMEOUT ? kExitTimeout : kExitFailed;
  }

  // TEXT as is, or the bytes of FILE for "@FILE"; false, told why, when there is nothing to send.
  bool LoadPayload(const std::string& arg) {
    const std::string path = arg.size() > 1 && arg[0] == '@' ? arg.substr(1) : "";
    std::ifstream file(path, std::ios::binary);
    if (path.empty()) {
      payload.assign(arg.begin(), arg.end());
    } else {
      payload.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    }
    const std::string why = !path.empty() && !file ? "cannot read " + path
                            : payload.empty()
                                ? "nothing to send (the library refuses empty messages)"
                            : payload.size() > 0x7FFFFFFFu
                                ? Grouped(payload.size()) + " bytes is more than one call can take"
                                : "";
    if (!why.empty()) Err("pelipc %s: %s\n", command, why.c_str());
    return why.empty();
  }

  uint32_t size() const { return static_cast<uint32_t>(payload.size()); }
};

}  // namespace

int ServeMain(const std::vector<std::string>& args) {
  Serve self;
  std::vector<std::string> plain;
  std::vector<Flag> flags = {Switch("--once", [&] { self.stopAfter = 1; }),
                             Number("--connections", &self.stopAfter)};
  for (int mode : {kReplyNone, kReplyEcho, kReplyAnswer, kReplyBoth}) {
    flags.push_back(Switch(kModeFlags[mode], [&self, mode] { self.mode = mode; }));
  }
  if (!ParseFlags(args, flags, &plain) || plain.size() != 1 || plain[0].empty() ||
      plain[0][0] == '-') {
    return kExitUsage;
  }
  const std::string full = FullPipeName(plain[0]);
  self.server = MakeServer(Impl::kLibrary, &self);
  if (!self.server) return Failed(kExitFailed, "pelipc serve: PEL_CreateIpcServer returned null\n");
  int32_t r = self.server->Start(plain[0]);
  if (r != PEL_OK) {
    return Failed(kExitNoServer, "pelipc serve: cannot listen on %s: %s\n", full.c_str(),
                  DescribeResult(r).c_str());
  }
  const std::string until = self.stopAfter == 0
                                ? "Ctrl+C stops"
                                : Format("stops after %u connection(s) closed", self.stopAfter);
  Out("listening on %s; replies: %s; %s\n", full.c_str(), kModes[self.mode], until.c_str());
  SetConsoleCtrlHandler(OnConsoleCtrl, TRUE);
  g_stop.Wait(INFINITE);
  SetConsoleCtrlHandler(OnConsoleCtrl, FALSE);
  self.server->Stop();
  Out("stopped\n");
  return kExitOk;
}

int SendMain(const std::vector<std::string>& args) {
  uint64_t replies = 0;
  Client self("send");
  self.print = true;
  const int rc = self.Open(args, {Number("--replies", &replies)});
  if (rc != kExitOk) return rc;
  int32_t r = self.client->Send(self.payload.data(), self.size());
  if (r != PEL_OK) {
    return Failed(r == PEL_ERR_STATE ? kExitNoServer : kExitFailed, "pelipc send: %s\n",
                  DescribeResult(r).c_str());
  }
  const uint64_t pieces =
      (self.size() + PEL_IPC_MAX_CLIENT_PAYLOAD - 1) / PEL_IPC_MAX_CLIENT_PAYLOAD;
  // One more write than pieces: the client's own HELLO.
  if (!self.sends.WaitAtLeast(pieces + 1, 5000)) {
    return Failed(kExitTimeout, "pelipc send: only %s of %s writes completed within 5 s\n",
                  Grouped(self.sends.Get()).c_str(), Grouped(pieces + 1).c_str());
  }
  Out("sent %s bytes to %s as connection %u (%s message%s)\n", Grouped(self.size()).c_str(),
      FullPipeName(self.name).c_str(), self.connId.load(), Grouped(pieces).c_str(),
      pieces == 1 ? "" : "s");
  if (replies > 0 && !self.received.WaitAtLeast(replies, 5000)) {
    return Failed(kExitTimeout, "pelipc send: %s of %s replies arrived within 5 s\n",
                  Grouped(self.received.Get()).c_str(), Grouped(replies).c_str());
  }
  return kExitOk;
}

int CallMain(const std::vector<std::string>& args) {
  uint32_t capacity = PEL_IPC_MAX_SERVER_PAYLOAD;
  Client self("call");
  const int rc = self.Open(args, {Number("--max", &capacity)});
  if (rc != kExitOk) return rc;
  std::vector<uint8_t> answer(capacity > 0 ? capacity : 1);
  uint32_t size = capacity;
  const int32_t r = self.client->Call(self.payload.data(), self.size(), answer.data(), &size);
  const std::string why = DescribeResult(r);
  switch (r) {
    case PEL_OK:
      Out("answer from %s, %s bytes: %s\n", FullPipeName(self.name).c_str(), Grouped(size).c_str(),
          Preview(answer.data(), size, 4096).c_str());
      return kExitOk;
    case PEL_ERR_BUFFER_TOO_SMALL:
      return Failed(
          kExitTooLarge,
          "pelipc call: the answer of %s bytes does not fit the %s-byte buffer (--max): %s\n",
          Grouped(size).c_str(), Grouped(capacity).c_str(), why.c_str());
    case PEL_ERR_TIMEOUT:
      return Failed(kExitTimeout, "pelipc call: no answer within %u ms: %s\n", PEL_IPC_WAIT_MS,
                    why.c_str());
    case PEL_ERR_WRITE:
      return Failed(kExitFailed,
                    "pelipc call: the request could not be sent (connection lost, or more than %s "
                    "bytes): %s\n",
                    Grouped(PEL_IPC_MAX_CLIENT_PAYLOAD).c_str(), why.c_str());
    default:
      return Failed(kExitFailed, "pelipc call: %s\n", why.c_str());
  }
}

}  // namespace pel::pelipc
