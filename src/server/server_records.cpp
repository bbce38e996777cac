// The id-keyed table of accepted connections, which never owns a record, and the records' lifetime
// (iocp_record.h) under m_recordLock, so a sender's look-up, checks, count and hold are one step.
#include <new>

#include "log/log.h"
#include "server/pel_named_pipe_server.h"

int PelNamedPipeServer::ReserveOperation(uint32_t connId, IpcConnection** conn,
                                         const char* operation, const char* abort) {
  int result = PEL_OK;
  int32_t count = 0;
  {
    pel::LockGuard table(m_lock);
    auto it = m_connections.find(connId);
    *conn = it == m_connections.end() ? nullptr : it->second;
    if (*conn == nullptr) {
      result = PEL_ERR_NO_CONNECTION;
    } else {
      pel::LockGuard records(m_recordLock);
      count = (*conn)->unhandledIocp.load();
      if ((*conn)->closing.load()) {
        result = PEL_ERR_STATE;
      } else if (count >= kMaxUnhandledIocp) {
        result = PEL_ERR_TOO_MANY_PENDING;
      } else {
        (*conn)->holders.fetch_add(1);
        (*conn)->unhandledIocp.fetch_add(1);
      }
    }
  }
  const void* record = *conn;
  if (result == PEL_ERR_NO_CONNECTION) {
    PEL_LOG_AS(pel::log::error, operation) << ">>>>GetConnection failed!<<<<\n";
  } else if (result == PEL_ERR_STATE) {
    PEL_LOG_AS(pel::log::warning, operation) << ">>>>Connection[" << connId << "][" << record
                                             << "] is closing...Abort " << abort << "!<<<<\n";
  } else if (result != PEL_OK) {
    PEL_LOG_AS(pel::log::warning, operation)
        << ">>>>Connection[" << connId << "][" << record << "] has too much unhandled iocp["
        << count << "]...Abort " << abort << "!<<<<\n";
  }
  return result;
}

void PelNamedPipeServer::UndoReservation(IpcConnection* conn) {
  conn->unhandledIocp.fetch_sub(1);
  DropHold(conn, ReleaseAt::kWorker, nullptr);
}

void PelNamedPipeServer::LinkRecordLocked(IpcConnection* conn) {
  // The creator keeps a hold until it is done.
  conn->holders.store(1);
  conn->prevRecord = nullptr;
  conn->nextRecord = m_records;
  if (m_records != nullptr) m_records->prevRecord = conn;
  m_records = conn;
}

void PelNamedPipeServer::UnlinkRecordLocked(IpcConnection* conn) {
  if (conn->prevRecord != nullptr)
    conn->prevRecord->nextRecord = conn->nextRecord;
  else if (m_records == conn)
    m_records = conn->nextRecord;
  if (conn->nextRecord != nullptr) conn->nextRecord->prevRecord = conn->prevRecord;
  conn->prevRecord = nullptr;
  conn->nextRecord = nullptr;
  ++m_unlinked;
  m_recordsChanged.notify_all();
}

void PelNamedPipeServer::WakeIfDrainedLocked(IpcConnection* conn, int32_t ownHolds) {
  // After the join no worker takes the packet; DropHold or DrainPortAfterJoin release in place.
  if (!m_workersGone) conn->WakeIfDrained(m_iocp, ownHolds);
}

void PelNamedPipeServer::DropHold(IpcConnection* conn, ReleaseAt where, const char* operation) {
  pel::LockGuard records(m_recordLock);
  if (where == ReleaseAt::kWorker) WakeIfDrainedLocked(conn, 1);
  if (conn->ClaimRelease(1)) {
    records.Unlock();
    ReleaseConnection(conn, operation);
    records.Lock();
  }
  // The record is freed when the last hold of a released record goes.
  if (conn->holders.fetch_sub(1) != 1 || !conn->released) return;
  UnlinkRecordLocked(conn);
  records.Unlock();
  DeleteIpcConnection(conn);
}

void PelNamedPipeServer::AddConnection(IpcConnection* conn) {
  pel::LockGuard guard(m_lock);
  const uint32_t id = m_nextConnId;
  try {
    m_connections[id] = conn;
  } catch (const std::bad_alloc&) {
    // Left unregistered: its read then finds no id, and Close releases the instance.
    PEL_LOGE << ">>>>Alloc memory for connection table failed!<<<<\n";
    return;
  }
  ++m_nextConnId;
  conn->id = id;
  conn->state.exchange(CONNECTING);
  PEL_LOGI << "AddConnection: [" << static_cast<const void*>(conn) << "] id[" << id
           << "], state: CONNECTING";
}

void PelNamedPipeServer::RemoveConnection(uint32_t connId) {
  pel::LockGuard guard(m_lock);
  if (m_connections.erase(connId) == 0) return;
  PEL_LOGI << "RemoveConnection: connection id[" << connId << "] removed!";
}
