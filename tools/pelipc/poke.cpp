// `pelipc serve`, `send` and `call`: poke a pipe by hand.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>

#include "util.h"

namespace pelipc {

namespace {

// Which replies `serve` gives. The server's OnRecv cannot tell a synchronous
// request from a business message, so the choice is the operator's.
enum ReplyMode { kReplyEcho = 1, kReplyAnswer = 2, kReplyBoth = 3, kReplyNone = 0 };

struct ServeState {
  PelIpcServerHandle server = nullptr;
  ReplyMode mode = kReplyBoth;
  uint32_t stopAfter = 0;  // closed connections after which serve ends; 0: never
  Counter closes;
  Event stop;
};

HANDLE g_stopEvent = nullptr;

BOOL WINAPI OnConsoleCtrl(DWORD) {
  if (g_stopEvent != nullptr) SetEvent(g_stopEvent);
  return TRUE;
}

PelIpcCallback Callbacks(PelOnConnect onConnect, PelOnSend onSend, PelOnRecv onRecv,
                         PelOnClose onClose, void* context) {
  PelIpcCallback callbacks;
  std::memset(&callbacks, 0, sizeof callbacks);
  callbacks.OnConnect = onConnect;
  callbacks.OnSend = onSend;
  callbacks.OnRecv = onRecv;
  callbacks.OnClose = onClose;
  callbacks.UserContext = context;
  std::strncpy(callbacks.LogName, "pelipc", sizeof callbacks.LogName - 1);
  return callbacks;
}

int32_t ServeOnConnect(uint32_t id, void*) {
  Out("#%u connected\n", id);
  return 0;
}

int32_t ServeOnSend(uint32_t, void*) { return 0; }

int32_t ServeOnRecv(uint32_t id, const uint8_t* data, uint32_t size, void* context) {
  auto* self = static_cast<ServeState*>(context);
  Out("#%u received %s bytes: %s\n", id, Grouped(size).c_str(), Preview(data, size, 200).c_str());
  if (size == 0) return 0;
  if (self->mode & kReplyEcho) {
    int32_t r = PEL_IpcServerSendData(self->server, id, false, data, static_cast<int32_t>(size));
    if (r != PEL_OK) Out("#%u echo failed: %s\n", id, DescribeResult(r).c_str());
  }
  if (self->mode & kReplyAnswer) {
    std::vector<uint8_t> answer(data, data + size);
    for (auto& b : answer) {
      if (b >= 'a' && b <= 'z') b = static_cast<uint8_t>(b - 'a' + 'A');
    }
    int32_t r =
        PEL_IpcServerSendData(self->server, id, true, answer.data(), static_cast<int32_t>(size));
    if (r != PEL_OK) Out("#%u answer failed: %s\n", id, DescribeResult(r).c_str());
  }
  return 0;
}

int32_t ServeOnClose(uint32_t id, int32_t code, void* context) {
  auto* self = static_cast<ServeState*>(context);
  Out("#%u closed (code %d)\n", id, code);
  self->closes.Add();
  if (self->stopAfter != 0 && self->closes.Get() >= self->stopAfter) self->stop.Set();
  return 0;
}

// TEXT as is, or the bytes of FILE for "@FILE".
bool LoadPayload(const std::string& arg, std::vector<uint8_t>& out, const char* command) {
  if (arg.size() > 1 && arg[0] == '@') {
    std::ifstream file(arg.substr(1), std::ios::binary);
    if (!file) {
      Err("pelipc %s: cannot read %s\n", command, arg.substr(1).c_str());
      return false;
    }
    out.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
  } else {
    out.assign(arg.begin(), arg.end());
  }
  if (out.empty()) {
    Err("pelipc %s: nothing to send (the library refuses empty messages)\n", command);
    return false;
  }
  if (out.size() > 0x7FFFFFFFu) {
    Err("pelipc %s: %s bytes is more than one call can take\n", command,
        Grouped(out.size()).c_str());
    return false;
  }
  return true;
}

// Blocking connect with an explanation and exit code for every failure.
int Connect(PelIpcClientHandle client, const std::string& name, const char* command) {
  int32_t r = PEL_ConnectIpcClient(client, name.c_str());
  if (r == PEL_OK) return kExitOk;
  const std::string full = FullPipeName(name);
  if (r == PEL_ERR_PIPE) {
    Err("pelipc %s: no server listens on %s: %s\n", command, full.c_str(),
        DescribeResult(r).c_str());
    return kExitNoServer;
  }
  if (r == PEL_ERR_TIMEOUT) {
    Err("pelipc %s: %s did not complete the handshake within %u ms: %s\n", command, full.c_str(),
        PEL_IPC_WAIT_MS, DescribeResult(r).c_str());
    return kExitTimeout;
  }
  Err("pelipc %s: cannot connect to %s: %s\n", command, full.c_str(), DescribeResult(r).c_str());
  return kExitFailed;
}

struct ClientState {
  Counter sends;
  Counter received;
  std::mutex lock;
  uint32_t connId = PEL_IPC_NO_CONN_ID;
  bool print = false;
};

int32_t ClientOnConnect(uint32_t, void*) { return 0; }

int32_t ClientOnSend(uint32_t id, void* context) {
  auto* self = static_cast<ClientState*>(context);
  {
    std::lock_guard<std::mutex> hold(self->lock);
    self->connId = id;
  }
  self->sends.Add();
  return 0;
}

int32_t ClientOnRecv(uint32_t id, const uint8_t* data, uint32_t size, void* context) {
  auto* self = static_cast<ClientState*>(context);
  if (self->print) {
    Out("reply on connection %u, %s bytes: %s\n", id, Grouped(size).c_str(),
        Preview(data, size, 200).c_str());
  }
  self->received.Add();
  return 0;
}

int32_t ClientOnClose(uint32_t, int32_t, void*) { return 0; }

int SendWith(PelIpcClientHandle client, ClientState& state, const std::string& name,
             const std::vector<uint8_t>& payload, uint64_t replies) {
  int rc = Connect(client, name, "send");
  if (rc != kExitOk) return rc;
  int32_t r = PEL_IpcClientSendData(client, payload.data(), static_cast<int32_t>(payload.size()));
  if (r != PEL_OK) {
    Err("pelipc send: %s\n", DescribeResult(r).c_str());
    return r == PEL_ERR_STATE ? kExitNoServer : kExitFailed;
  }
  const uint64_t pieces =
      (payload.size() + PEL_IPC_MAX_CLIENT_PAYLOAD - 1) / PEL_IPC_MAX_CLIENT_PAYLOAD;
  // One more write than pieces: the client's own HELLO.
  if (!state.sends.WaitAtLeast(pieces + 1, 5000)) {
    Err("pelipc send: only %s of %s writes completed within 5 s\n",
        Grouped(state.sends.Get()).c_str(), Grouped(pieces + 1).c_str());
    return kExitTimeout;
  }
  uint32_t id;
  {
    std::lock_guard<std::mutex> hold(state.lock);
    id = state.connId;
  }
  Out("sent %s bytes to %s as connection %u (%s message%s)\n", Grouped(payload.size()).c_str(),
      FullPipeName(name).c_str(), id, Grouped(pieces).c_str(), pieces == 1 ? "" : "s");
  if (replies > 0 && !state.received.WaitAtLeast(replies, 5000)) {
    Err("pelipc send: %s of %s replies arrived within 5 s\n", Grouped(state.received.Get()).c_str(),
        Grouped(replies).c_str());
    return kExitTimeout;
  }
  return kExitOk;
}

int CallWith(PelIpcClientHandle client, const std::string& name,
             const std::vector<uint8_t>& request, uint32_t capacity) {
  int rc = Connect(client, name, "call");
  if (rc != kExitOk) return rc;
  std::vector<uint8_t> answer(capacity > 0 ? capacity : 1);
  uint32_t size = capacity;
  int32_t r = PEL_IpcClientSyncCall(client, request.data(), static_cast<uint32_t>(request.size()),
                                    answer.data(), &size);
  switch (r) {
    case PEL_OK:
      Out("answer from %s, %s bytes: %s\n", FullPipeName(name).c_str(), Grouped(size).c_str(),
          Preview(answer.data(), size, 4096).c_str());
      return kExitOk;
    case PEL_ERR_BUFFER_TOO_SMALL:
      Err("pelipc call: the answer of %s bytes does not fit the %s-byte buffer (--max): %s\n",
          Grouped(size).c_str(), Grouped(capacity).c_str(), DescribeResult(r).c_str());
      return kExitTooLarge;
    case PEL_ERR_TIMEOUT:
      Err("pelipc call: no answer within %u ms: %s\n", PEL_IPC_WAIT_MS, DescribeResult(r).c_str());
      return kExitTimeout;
    case PEL_ERR_WRITE:
      Err("pelipc call: the request could not be sent (connection lost, or more than %s "
          "bytes): %s\n",
          Grouped(PEL_IPC_MAX_CLIENT_PAYLOAD).c_str(), DescribeResult(r).c_str());
      return kExitFailed;
    default:
      Err("pelipc call: %s\n", DescribeResult(r).c_str());
      return kExitFailed;
  }
}

}  // namespace

int ServeMain(const std::vector<std::string>& args) {
  ServeState self;
  std::string name;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--echo") {
      self.mode = kReplyEcho;
    } else if (a == "--answer") {
      self.mode = kReplyAnswer;
    } else if (a == "--both") {
      self.mode = kReplyBoth;
    } else if (a == "--quiet") {
      self.mode = kReplyNone;
    } else if (a == "--once") {
      self.stopAfter = 1;
    } else if (a == "--connections" && i + 1 < args.size()) {
      self.stopAfter = static_cast<uint32_t>(std::strtoul(args[++i].c_str(), nullptr, 10));
    } else if (name.empty() && !a.empty() && a[0] != '-') {
      name = a;
    } else {
      return kExitUsage;
    }
  }
  if (name.empty()) return kExitUsage;
  PelIpcCallback callbacks =
      Callbacks(ServeOnConnect, ServeOnSend, ServeOnRecv, ServeOnClose, &self);
  self.server = PEL_CreateIpcServer(&callbacks);
  if (self.server == nullptr) {
    Err("pelipc serve: PEL_CreateIpcServer returned null\n");
    return kExitFailed;
  }
  int32_t r = PEL_StartIpcServer(self.server, name.c_str());
  if (r != PEL_OK) {
    Err("pelipc serve: cannot listen on %s: %s\n", FullPipeName(name).c_str(),
        DescribeResult(r).c_str());
    PEL_DestroyIpcServer(self.server);
    return kExitNoServer;
  }
  static const char* const kModes[] = {"none", "echo as business message",
                                       "upper-cased synchronous answer",
                                       "echo as business message + upper-cased synchronous answer"};
  const std::string until = self.stopAfter == 0 ? std::string("Ctrl+C stops")
                                                : "stops after " + std::to_string(self.stopAfter) +
                                                      " connection(s) closed";
  Out("listening on %s; replies: %s; %s\n", FullPipeName(name).c_str(), kModes[self.mode],
      until.c_str());
  g_stopEvent = self.stop.handle();
  SetConsoleCtrlHandler(OnConsoleCtrl, TRUE);
  self.stop.Wait(INFINITE);
  SetConsoleCtrlHandler(OnConsoleCtrl, FALSE);
  g_stopEvent = nullptr;
  PEL_DestroyIpcServer(self.server);
  Out("stopped\n");
  return kExitOk;
}

int SendMain(const std::vector<std::string>& args) {
  std::vector<std::string> plain;
  uint64_t replies = 0;
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--replies" && i + 1 < args.size())
      replies = std::strtoull(args[++i].c_str(), nullptr, 10);
    else
      plain.push_back(args[i]);
  }
  if (plain.size() != 2) return kExitUsage;
  std::vector<uint8_t> payload;
  if (!LoadPayload(plain[1], payload, "send")) return kExitUsage;
  ClientState state;
  state.print = true;
  PelIpcCallback callbacks =
      Callbacks(ClientOnConnect, ClientOnSend, ClientOnRecv, ClientOnClose, &state);
  PelIpcClientHandle client = PEL_CreateIpcClient(&callbacks);
  if (client == nullptr) {
    Err("pelipc send: PEL_CreateIpcClient returned null\n");
    return kExitFailed;
  }
  int rc = SendWith(client, state, plain[0], payload, replies);
  PEL_DestroyIpcClient(client);
  return rc;
}

int CallMain(const std::vector<std::string>& args) {
  std::vector<std::string> plain;
  uint32_t capacity = PEL_IPC_MAX_SERVER_PAYLOAD;
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--max" && i + 1 < args.size()) {
      capacity = static_cast<uint32_t>(std::strtoul(args[++i].c_str(), nullptr, 10));
    } else {
      plain.push_back(args[i]);
    }
  }
  if (plain.size() != 2) return kExitUsage;
  std::vector<uint8_t> request;
  if (!LoadPayload(plain[1], request, "call")) return kExitUsage;
  ClientState state;
  PelIpcCallback callbacks =
      Callbacks(ClientOnConnect, ClientOnSend, ClientOnRecv, ClientOnClose, &state);
  PelIpcClientHandle client = PEL_CreateIpcClient(&callbacks);
  if (client == nullptr) {
    Err("pelipc call: PEL_CreateIpcClient returned null\n");
    return kExitFailed;
  }
  int rc = CallWith(client, plain[0], request, capacity);
  PEL_DestroyIpcClient(client);
  return rc;
}

}  // namespace pelipc
