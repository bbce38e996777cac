// When a connection record may be released and freed.
//
// The rule: a record is released (pipe closed, id removed, OnClose) and freed
// only when it is closing, no operation on it is outstanding (unhandledIocp
// is 0), and no thread holds it. Why holds: a worker takes a packet's count
// off as soon as it dequeues it, then still uses the record while it handles
// the packet; a sender finds the record in the table and uses it until its
// write is issued; PostIocpConnect still touches its instance after the
// connect request is out. Without a hold, another worker finishing the last
// operation of a closing connection would free the record under them.
//
// How it is kept:
// - A sender's look-up, the closing and limit checks, the count of the new
//   operation and its hold are one step under m_lock and m_recordLock, so a
//   record that is closing can never gain a new operation or holder.
// - A worker takes its hold before it takes the packet's count off, so the
//   count and the holds are never both 0 while it works.
// - A holder drops its hold and, if it was the last one of a drained closing
//   record, claims the release in the same step under m_recordLock; the
//   released flag makes the claim happen once. The record is freed when the
//   last hold of a released record goes.
// - A release claimed anywhere but by a worker between packets is handed to a
//   worker through the port with the claimant's hold, so OnClose runs only on
//   workers and never inside a host's call.
#include <cstring>

#include "platform/alloc.h"
#include "server/pel_named_pipe_server.h"

int PelNamedPipeServer::ReserveOperation(uint32_t connId, IpcConnection** conn, int32_t* count) {
  pel::LockGuard table(m_lock);
  auto it = m_connections.find(connId);
  if (it == m_connections.end() || it->second == nullptr) return kReserveAbsent;
  IpcConnection* found = it->second;
  *conn = found;
  pel::LockGuard records(m_recordLock);
  if (found->closing.load()) return kReserveClosing;
  *count = found->unhandledIocp.load();
  if (*count >= kMaxUnhandledIocp) return kReserveTooMany;
  found->holders.fetch_add(1);
  *count = found->unhandledIocp.fetch_add(1) + 1;
  return 0;
}

void PelNamedPipeServer::UndoReservation(IpcConnection* conn) {
  conn->unhandledIocp.fetch_sub(1);
  DropHold(conn, ReleaseAt::kWorker, nullptr);
}
bool PelNamedPipeServer::LinkRecordLocked(IpcConnection* conn) {
  // Called with m_recordLock held; the creator keeps a hold until it is done.
  if (m_closing) return false;
  conn->holders.store(1);
  conn->prevRecord = nullptr;
  conn->nextRecord = m_records;
  if (m_records != nullptr) m_records->prevRecord = conn;
  m_records = conn;
  return true;
}

void PelNamedPipeServer::UnlinkRecordLocked(IpcConnection* conn) {
  // Called with m_recordLock held.
  if (conn->prevRecord != nullptr) {
    conn->prevRecord->nextRecord = conn->nextRecord;
  } else if (m_records == conn) {
    m_records = conn->nextRecord;
  }
  if (conn->nextRecord != nullptr) conn->nextRecord->prevRecord = conn->prevRecord;
  conn->prevRecord = nullptr;
  conn->nextRecord = nullptr;
  ++m_unlinked;
  m_recordsChanged.notify_all();
}

bool PelNamedPipeServer::ClaimReleaseLocked(IpcConnection* conn, int32_t ownHolds) {
  if (conn->released || !conn->closing.load() || conn->unhandledIocp.load() != 0 ||
      conn->holders.load() != ownHolds) {
    return false;
  }
  conn->released = true;
  return true;
}

bool PelNamedPipeServer::ClaimRelease(IpcConnection* conn, int32_t ownHolds) {
  pel::LockGuard records(m_recordLock);
  return ClaimReleaseLocked(conn, ownHolds);
}

void PelNamedPipeServer::DropHold(IpcConnection* conn, ReleaseAt where, const char* operation) {
  bool release = false;
  bool last = false;
  {
    pel::LockGuard records(m_recordLock);
    release = ClaimReleaseLocked(conn, 1);
    if (!release) {
      last = conn->holders.fetch_sub(1) == 1 && conn->released;
      if (last) UnlinkRecordLocked(conn);
    }
  }
  if (release) {
    if (where == ReleaseAt::kWorker) {
      DropClaim(conn);
    } else {
      ReleaseConnection(conn, operation);
      FinishRelease(conn);
    }
    return;
  }
  if (last) DeleteIpcConnection(conn);
}

void PelNamedPipeServer::FinishRelease(IpcConnection* conn) {
  bool last;
  {
    pel::LockGuard records(m_recordLock);
    last = conn->holders.fetch_sub(1) == 1;
    if (last) UnlinkRecordLocked(conn);
  }
  if (last) DeleteIpcConnection(conn);
}

bool PelNamedPipeServer::HandOffRelease(IpcConnection* conn) {
  // After the join no worker would take the packet; DrainPortAfterJoin
  // releases in place then.
  if (m_workersGone || m_iocp == nullptr) return false;
  std::memset(&conn->releaseHandOff, 0, sizeof conn->releaseHandOff);
  return PostQueuedCompletionStatus(m_iocp, 0, reinterpret_cast<ULONG_PTR>(conn),
                                    &conn->releaseHandOff) != FALSE;
}

bool PelNamedPipeServer::ClaimDrainedLocked(IpcConnection* conn) {
  // For a thread that holds nothing: the claim comes with a hold of its own,
  // dropped by DropHold once the release is done.
  if (!ClaimReleaseLocked(conn, 0)) return false;
  conn->holders.fetch_add(1);
  return true;
}
