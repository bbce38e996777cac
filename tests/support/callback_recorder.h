// Records the library's callbacks in the order they arrive, with the thread
// each ran on, for server and client tests alike. Hooks let a test act from
// inside a callback (reply from OnRecv, close from OnConnect, ...).
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "pel_ipc.h"

namespace pel_test {

enum class Cb { Connect, Send, Recv, Close };

struct CallbackEvent {
  Cb kind;
  uint32_t id;
  int32_t code;                  // OnClose only
  std::vector<uint8_t> payload;  // OnRecv only (a copy)
  uint32_t threadId;
};

class CallbackRecorder {
 public:
  static constexpr uint32_t kAnyId = 0xFFFFFFFF;

  // A table whose callbacks record into this object (UserContext = this).
  PelIpcCallback Table(const std::string& logName = "pel_test");

  std::vector<CallbackEvent> Events();
  size_t Count(Cb kind, uint32_t id = kAnyId);
  // Waits until at least n events of that kind (and id) were recorded.
  bool WaitFor(Cb kind, size_t n, uint32_t timeoutMs = 5000, uint32_t id = kAnyId);
  // Payloads received on one id, in order.
  std::vector<std::vector<uint8_t>> Payloads(uint32_t id);
  void Clear();

  // Optional hooks, called inside the callback after it was recorded; their
  // result is the callback's result.
  std::function<int32_t(uint32_t id)> onConnect;
  std::function<int32_t(uint32_t id)> onSend;
  std::function<int32_t(uint32_t id, const uint8_t* data, uint32_t size)> onRecv;
  std::function<int32_t(uint32_t id, int32_t code)> onClose;

 private:
  static int32_t OnConnect(uint32_t id, void* self);
  static int32_t OnSend(uint32_t id, void* self);
  static int32_t OnRecv(uint32_t id, const uint8_t* data, uint32_t size, void* self);
  static int32_t OnClose(uint32_t id, int32_t code, void* self);
  void Record(CallbackEvent event);

  std::mutex m_lock;
  std::vector<CallbackEvent> m_events;
};

}  // namespace pel_test
