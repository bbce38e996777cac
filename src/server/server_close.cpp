// Closing one connection, all of them, or the whole server, and the release
// of a connection once nothing of it is left on the port.
#include "log/log.h"
#include "platform/alloc.h"
#include "platform/diag.h"
#include "server/pel_named_pipe_server.h"

namespace {
constexpr DWORD kExitRequest = 0xFFFFFFFF;
constexpr DWORD kCancelPauseMs = 10;
// Cancelled operations come back within milliseconds; only a host callback
// that never returns keeps a record longer.
constexpr ULONGLONG kDrainLimitMs = 2000;
}  // namespace

bool PelNamedPipeServer::CancelConnectionLocked(IpcConnection* conn, bool claimIfDrained) {
  HANDLE pipe;
  BOOL cancelled = FALSE;
  DWORD err = 0;
  bool claimed = false;
  {
    std::lock_guard<std::mutex> records(m_recordLock);
    // A record already being released is closing its pipe: nothing to cancel.
    if (conn->released) return false;
    pipe = conn->pipe;
    if (pipe == nullptr || pipe == INVALID_HANDLE_VALUE) return false;
    conn->closing.exchange(true);
    cancelled = CancelIoEx(pipe, nullptr);
    if (!cancelled) err = GetLastError();
    // Nothing outstanding and nobody at work on it: no completion would ever
    // release it.
    if (claimIfDrained) claimed = ClaimDrainedLocked(conn);
  }
  if (cancelled) {
    PEL_LOGI << "CancelAllIocp for pipe[" << static_cast<const void*>(pipe) << "] success!";
  } else {
    PEL_LOGE << "CancelAllIocp for pipe[" << static_cast<const void*>(pipe)
             << "] failed! err:" << err;
  }
  // Lets the aborted completions reach the port ahead of anything queued next.
  Sleep(kCancelPauseMs);
  return claimed;
}

int PelNamedPipeServer::CloseSingleConnection(uint32_t connId) {
  PEL_LOGI << "Enter!";
  IpcConnection* claimed = nullptr;
  {
    std::lock_guard<std::mutex> guard(m_lock);
    auto it = m_connections.find(connId);
    if (it == m_connections.end()) {
      PEL_LOGE << "connection NOT found!";
      return PEL_ERR_NO_CONNECTION;
    }
    if (it->second == nullptr) {
      PEL_LOGE << "connection is NULL!";
      return PEL_OK;
    }
    if (CancelConnectionLocked(it->second, true)) claimed = it->second;
    m_connections.erase(it);
    PEL_LOGI << "Leave!";
  }
  if (claimed != nullptr) {
    ReleaseConnection(claimed);
    DropHold(claimed);
  }
  return PEL_OK;
}

void PelNamedPipeServer::CloseAllConnections() {
  std::lock_guard<std::mutex> guard(m_lock);
  PEL_LOGI << "Enter!";
  for (auto& entry : m_connections) {
    if (entry.second == nullptr) {
      PEL_LOGE << "connection is NULL!";
      continue;
    }
    CancelConnectionLocked(entry.second, false);
  }
  m_connections.clear();
  PEL_LOGI << "Leave!";
}

void PelNamedPipeServer::CancelRemainingRecords() {
  // Listening instances without a client, and connections whose connect was
  // being handled while the table was walked.
  std::lock_guard<std::mutex> guard(m_lock);
  std::lock_guard<std::mutex> records(m_recordLock);
  for (IpcConnection* conn = m_records; conn != nullptr; conn = conn->nextRecord) {
    if (conn->closing.load()) continue;
    conn->closing.exchange(true);
    CancelIoEx(conn->pipe, nullptr);
    PEL_LOGI << "Cancel pipe instance[" << static_cast<const void*>(conn->pipe) << "]!";
  }
  m_connections.clear();
}

void PelNamedPipeServer::DrainRecords(bool fromPort) {
  const ULONGLONG deadline = GetTickCount64() + kDrainLimitMs;
  for (;;) {
    IpcConnection* claimed = nullptr;
    int64_t left = 0;
    {
      std::lock_guard<std::mutex> records(m_recordLock);
      for (IpcConnection* conn = m_records; conn != nullptr; conn = conn->nextRecord) {
        ++left;
        if (claimed == nullptr && ClaimDrainedLocked(conn)) claimed = conn;
      }
    }
    if (left == 0) return;
    if (claimed != nullptr) {
      ReleaseConnection(claimed);
      DropHold(claimed);
      continue;
    }
    if (GetTickCount64() >= deadline) {
      PEL_LOGE << ">>>>" << left << " connection(s) still busy, stop workers anyway!<<<<\n";
      return;
    }
    if (!fromPort) {
      Sleep(1);
      continue;
    }
    // No worker is left: take the aborted completions off the port here.
    DWORD bytes = 0;
    ULONG_PTR key = 0;
    LPOVERLAPPED ov = nullptr;
    GetQueuedCompletionStatus(m_iocp, &bytes, &key, &ov, kCancelPauseMs);
    if (ov != nullptr && key != 0 && bytes != kExitRequest) DropCompletion(key, ov);
  }
}

void PelNamedPipeServer::DropCompletion(ULONG_PTR key, LPOVERLAPPED ov) {
  // Every record is closing by now: the completion is dropped as a worker
  // drops one of a closing connection.
  IpcConnection* conn = reinterpret_cast<IpcConnection*>(key);
  conn->holders.fetch_add(1);
  conn->unhandledIocp.fetch_sub(1);
  conn->closing.exchange(true);
  DeleteIocpKey(reinterpret_cast<IocpKey*>(ov));
  DropHold(conn);
}

int PelNamedPipeServer::Close() {
  PEL_LOGI << "Enter!";
  {
    std::lock_guard<std::mutex> records(m_recordLock);
    m_closing = true;
  }
  CloseAllConnections();
  CancelRemainingRecords();
  if (m_workers != nullptr) {
    // Every cancelled operation comes back and releases its connection
    // before the workers are told to stop.
    if (m_running) DrainRecords(false);
    for (int32_t i = 0; i < m_workerCount; ++i)
      PostQueuedCompletionStatus(m_iocp, kExitRequest, 0, nullptr);
    for (int32_t i = 0; i < m_workerCount; ++i)
      if (m_workers[i].joinable()) m_workers[i].join();
    // Workers that stopped early (a read context could not be allocated)
    // left their completions on the port.
    DrainRecords(true);
  }
  {
    std::lock_guard<std::mutex> guard(m_lock);
    m_running = false;
    pel::DeleteArray(m_workers);
    m_workers = nullptr;
    if (m_iocp != nullptr) {
      CloseHandle(m_iocp);
      m_iocp = nullptr;
    }
  }
  PEL_LOGI << "Leave!";
  return PEL_OK;
}

bool PelNamedPipeServer::EndConnection(IpcConnection* conn) {
  // Called by a worker handler, which holds the record.
  conn->closing.exchange(true);
  CancelIoEx(conn->pipe, nullptr);
  if (!ClaimRelease(conn, 1)) return false;
  ReleaseConnection(conn);
  return true;
}

void PelNamedPipeServer::ReleaseConnection(IpcConnection* conn) {
  if (conn->id == pel::kNoConnId) {
    // A listening instance that never had a client: the host never heard of it.
    PEL_LOGI << "Release listening connection[" << static_cast<const void*>(conn) << "]!";
    CloseHandle(conn->pipe);
    pel::diag::Live().pipeHandles.fetch_sub(1);
    return;
  }
  PEL_LOGI << "All iocp finished, remove and delete connection[" << conn->id << "]["
           << static_cast<const void*>(conn) << "]!";
  CloseHandle(conn->pipe);
  pel::diag::Live().pipeHandles.fetch_sub(1);
  RemoveConnection(conn->id);
  m_callbacks.OnClose(conn->id, PEL_CLOSE_SERVER, m_callbacks.UserContext);
}
