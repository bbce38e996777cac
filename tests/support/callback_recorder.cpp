#include "support/callback_recorder.h"

#include <cstring>

#include "platform/win.h"
#include "support/helpers.h"

namespace pel_test {

PelIpcCallback CallbackRecorder::Table(const std::string& logName) {
  PelIpcCallback table;
  std::memset(&table, 0, sizeof table);
  table.OnConnect = &CallbackRecorder::OnConnect;
  table.OnSend = &CallbackRecorder::OnSend;
  table.OnRecv = &CallbackRecorder::OnRecv;
  table.OnClose = &CallbackRecorder::OnClose;
  table.UserContext = this;
  std::strncpy(table.LogName, logName.c_str(), sizeof table.LogName - 1);
  return table;
}

std::vector<CallbackEvent> CallbackRecorder::Events() {
  std::lock_guard<std::mutex> guard(m_lock);
  return m_events;
}

size_t CallbackRecorder::Count(Cb kind, uint32_t id) {
  std::lock_guard<std::mutex> guard(m_lock);
  size_t n = 0;
  for (const auto& e : m_events)
    if (e.kind == kind && (id == kAnyId || e.id == id)) ++n;
  return n;
}

bool CallbackRecorder::WaitFor(Cb kind, size_t n, uint32_t timeoutMs, uint32_t id) {
  return WaitUntil([&] { return Count(kind, id) >= n; }, timeoutMs);
}

std::vector<std::vector<uint8_t>> CallbackRecorder::Payloads(uint32_t id) {
  std::lock_guard<std::mutex> guard(m_lock);
  std::vector<std::vector<uint8_t>> out;
  for (const auto& e : m_events)
    if (e.kind == Cb::Recv && e.id == id) out.push_back(e.payload);
  return out;
}

void CallbackRecorder::Clear() {
  std::lock_guard<std::mutex> guard(m_lock);
  m_events.clear();
}

void CallbackRecorder::Record(CallbackEvent event) {
  event.threadId = static_cast<uint32_t>(GetCurrentThreadId());
  std::lock_guard<std::mutex> guard(m_lock);
  m_events.push_back(std::move(event));
}

int32_t CallbackRecorder::OnConnect(uint32_t id, void* self) {
  auto* r = static_cast<CallbackRecorder*>(self);
  r->Record({Cb::Connect, id, 0, {}, 0});
  return r->onConnect ? r->onConnect(id) : 0;
}

int32_t CallbackRecorder::OnSend(uint32_t id, void* self) {
  auto* r = static_cast<CallbackRecorder*>(self);
  r->Record({Cb::Send, id, 0, {}, 0});
  return r->onSend ? r->onSend(id) : 0;
}

int32_t CallbackRecorder::OnRecv(uint32_t id, const uint8_t* data, uint32_t size, void* self) {
  auto* r = static_cast<CallbackRecorder*>(self);
  r->Record({Cb::Recv, id, 0, std::vector<uint8_t>(data, data + size), 0});
  return r->onRecv ? r->onRecv(id, data, size) : 0;
}

int32_t CallbackRecorder::OnClose(uint32_t id, int32_t code, void* self) {
  auto* r = static_cast<CallbackRecorder*>(self);
  r->Record({Cb::Close, id, code, {}, 0});
  return r->onClose ? r->onClose(id, code) : 0;
}

}  // namespace pel_test
