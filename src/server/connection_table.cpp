// The id-keyed table of accepted connections. It never owns a record.
#include <new>

#include "log/log.h"
#include "server/pel_named_pipe_server.h"

IpcConnection* PelNamedPipeServer::GetConnection(uint32_t connId) {
  pel::LockGuard guard(m_lock);
  auto it = m_connections.find(connId);
  return it == m_connections.end() ? nullptr : it->second;
}

void PelNamedPipeServer::AddConnection(IpcConnection* conn) {
  if (conn == nullptr) return;
  pel::LockGuard guard(m_lock);
  const uint32_t id = m_nextConnId;
  try {
    m_connections[id] = conn;
  } catch (const std::bad_alloc&) {
    // The record stays unregistered; the read posted for it then finds no id
    // and Close releases the instance.
    PEL_LOGE << ">>>>Alloc memory for connection table failed!<<<<\n";
    return;
  }
  ++m_nextConnId;
  conn->id = id;
  conn->state.exchange(CONNECTING);
  PEL_LOGI << "AddConnection: [" << static_cast<const void*>(conn) << "] id[" << id
           << "], state: CONNECTING";
}

int PelNamedPipeServer::RemoveConnection(uint32_t connId) {
  pel::LockGuard guard(m_lock);
  if (m_connections.erase(connId) == 0) return 0;
  PEL_LOGI << "RemoveConnection: connection id[" << connId << "] removed!";
  return 1;
}
