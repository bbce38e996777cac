// Closing one connection, all of them or the server, and releasing a drained connection.
#include <chrono>

#include "iocp/iocp_record.h"
#include "log/log.h"
#include "platform/diag.h"
#include "server/pel_named_pipe_server.h"

namespace {
constexpr DWORD kCancelPauseMs = 10;
constexpr std::chrono::milliseconds kCancelPause(kCancelPauseMs);
// Cancelled operations return within milliseconds; only a stuck host callback holds a record on.
constexpr std::chrono::milliseconds kDrainLimit(PEL_IPC_WAIT_MS);
}  // namespace

void PelNamedPipeServer::CancelConnectionLocked(IpcConnection* conn, bool wakeIfDrained) {
  HANDLE pipe;
  BOOL cancelled = FALSE;
  DWORD err = 0;
  {
    pel::LockGuard records(m_recordLock);
    // A record already being released is closing its pipe: nothing to cancel.
    if (conn->released) return;
    pipe = conn->pipe;
    if (pipe == nullptr || pipe == INVALID_HANDLE_VALUE) return;
    conn->closing.exchange(true);
    cancelled = CancelIoEx(pipe, nullptr);
    if (!cancelled) err = GetLastError();
    // Nothing outstanding and nobody at work on it: no completion would ever
    // release it, and the host's OnClose must not run inside its call.
    if (wakeIfDrained) WakeIfDrainedLocked(conn, 0);
  }
  if (cancelled) {
    PEL_LOGI << "CancelAllIocp for pipe[" << static_cast<const void*>(pipe) << "] success!";
  } else {
    PEL_LOGE << "CancelAllIocp for pipe[" << static_cast<const void*>(pipe)
             << "] failed! err:" << err;
  }
  // Lets the aborted completions reach the port ahead of anything queued next.
  Sleep(kCancelPauseMs);
}

int PelNamedPipeServer::CloseSingleConnection(uint32_t connId) {
  PEL_LOGI << "Enter!";
  pel::LockGuard guard(m_lock);
  auto it = m_connections.find(connId);
  if (it == m_connections.end()) {
    PEL_LOGE << "connection NOT found!";
    return PEL_ERR_NO_CONNECTION;
  }
  CancelConnectionLocked(it->second, true);
  m_connections.erase(it);
  PEL_LOGI << "Leave!";
  return PEL_OK;
}

void PelNamedPipeServer::CloseAllConnections() {
  pel::LockGuard guard(m_lock);
  PEL_LOGI << "Enter!";
  for (auto& entry : m_connections) CancelConnectionLocked(entry.second, false);
  m_connections.clear();
  PEL_LOGI << "Leave!";
}

void PelNamedPipeServer::CancelRemainingRecords() {
  // Instances without a client, and connections whose connect was handled during the walk.
  pel::LockGuard guard(m_lock);
  pel::LockGuard records(m_recordLock);
  for (IpcConnection* conn = m_records; conn != nullptr; conn = conn->nextRecord) {
    if (conn->closing.exchange(true)) continue;
    CancelIoEx(conn->pipe, nullptr);
    PEL_LOGI << "Cancel pipe instance[" << static_cast<const void*>(conn->pipe) << "]!";
  }
  m_connections.clear();
}

void PelNamedPipeServer::AwaitReleases() {
  // Cancelled operations come back to workers, which release; idle records are handed over here.
  const auto deadline = std::chrono::steady_clock::now() + kDrainLimit;
  pel::LockGuard records(m_recordLock);
  for (;;) {
    int64_t left = 0;
    for (IpcConnection* conn = m_records; conn != nullptr; conn = conn->nextRecord) {
      ++left;
      WakeIfDrainedLocked(conn, 0);
    }
    if (left == 0) return;
    if (std::chrono::steady_clock::now() >= deadline) {
      PEL_LOGE << ">>>>" << left << " connection(s) still busy, stop workers anyway!<<<<\n";
      return;
    }
    // Unlinks notify; the slice bounds only a wake due without one (from a holder that left).
    const uint64_t seen = m_unlinked;
    m_recordLock.WaitFor(m_recordsChanged, kCancelPause,
                         [this, seen]() REQUIRES(m_recordLock) { return m_unlinked != seen; });
  }
}

void PelNamedPipeServer::DrainPortAfterJoin() {
  // Only a host callback that outlived the bounded wait leaves anything here:
  // release what its completions drain, without calling a host inside Close.
  const auto deadline = std::chrono::steady_clock::now() + kDrainLimit;
  for (;;) {
    {
      pel::LockGuard records(m_recordLock);
      if (m_records == nullptr) return;
    }
    if (std::chrono::steady_clock::now() >= deadline) return;
    DWORD bytes = 0;
    ULONG_PTR key = 0;
    LPOVERLAPPED ov = nullptr;
    GetQueuedCompletionStatus(m_iocp, &bytes, &key, &ov, kCancelPauseMs);
    if (ov == nullptr || key == 0 || bytes == pel::kExitRequest) continue;
    IpcConnection* conn = IocpRecord::FromKey<IpcConnection>(key);
    conn->TakeCompletion();
    conn->closing.exchange(true);
    if (!conn->IsWake(ov)) DeleteIocpKey(reinterpret_cast<IocpKey*>(ov));
    DropHold(conn, ReleaseAt::kHere, "PelNamedPipeServer::Close");
  }
}

void PelNamedPipeServer::FreeWorkersAndPortLocked() {
  delete[] m_workers;
  m_workers = nullptr;
  if (m_iocp != nullptr) CloseHandle(m_iocp);
  m_iocp = nullptr;
}

void PelNamedPipeServer::StopWorkers() {
  if (m_iocp == nullptr || m_workers == nullptr) return;
  for (int32_t i = 0; i < m_workerCount; ++i)
    PostQueuedCompletionStatus(m_iocp, pel::kExitRequest, 0, nullptr);
  for (int32_t i = 0; i < m_workerCount; ++i)
    if (m_workers[i].joinable()) m_workers[i].join();
}

int PelNamedPipeServer::Close() {
  PEL_LOGI << "Enter!";
  {
    pel::LockGuard records(m_recordLock);
    m_closing = true;
  }
  CloseAllConnections();
  CancelRemainingRecords();
  if (m_workers != nullptr) {
    // Cancelled operations come back and release their connections before the workers stop.
    if (m_running) AwaitReleases();
    StopWorkers();
    m_workersGone = true;
    DrainPortAfterJoin();
  }
  {
    pel::LockGuard guard(m_lock);
    m_running = false;
    FreeWorkersAndPortLocked();
  }
  PEL_LOGI << "Leave!";
  return PEL_OK;
}

int PelNamedPipeServer::RefuseMessage(IpcConnection* conn, int code) {
  // Called by a worker handler, which holds the record. Ends it like a failed
  // read: at once when nothing else is outstanding, else by the last completion.
  conn->closing.exchange(true);
  CancelIoEx(conn->pipe, nullptr);
  if (ClaimRelease(conn, 1)) {
    ReleaseConnection(conn, "PelNamedPipeServer::HandleIocpRead");
  } else if (const int32_t left = conn->unhandledIocp.load(); left != 0) {
    PEL_LOG_AS(pel::log::info, "PelNamedPipeServer::HandleIocpRead")
        << "Unhandled iocp count:" << left;
  }
  return code;
}

void PelNamedPipeServer::ReleaseConnection(IpcConnection* conn, const char* operation) {
  if (operation == nullptr) operation = kAsWorkThread;
  if (conn->id == pel::kNoConnId) {
    // A listening instance that never had a client: the host never heard of it.
    PEL_LOG_AS(pel::log::info, operation)
        << "Release listening connection[" << static_cast<const void*>(conn) << "]!";
    CloseHandle(conn->pipe);
    pel::diag::Live().pipeHandles.fetch_sub(1);
    return;
  }
  PEL_LOG_AS(pel::log::info, operation)
      << "All iocp finished, remove and delete connection[" << conn->id << "]["
      << static_cast<const void*>(conn) << "]!";
  CloseHandle(conn->pipe);
  pel::diag::Live().pipeHandles.fetch_sub(1);
  RemoveConnection(conn->id);
  if (m_workersGone) {
    // A host callback outlived the bounded wait; the host is inside Close.
    PEL_LOGE << ">>>>Connection[" << conn->id << "] released after the workers stopped!<<<<";
    return;
  }
  m_callbacks.OnClose(conn->id, PEL_CLOSE_SERVER, m_callbacks.UserContext);
}
