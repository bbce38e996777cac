// Construction, Init/Uninit, Disconnect and the client's state.
#include <cstring>
#include <utility>

#include "client/pel_named_pipe_client.h"
#include "log/init_log.h"
#include "log/log.h"
#include "platform/alloc.h"
#include "platform/diag.h"

PelNamedPipeClient::PelNamedPipeClient(const PelIpcCallback& callbacks) noexcept
    : m_callbacks(callbacks) {
  pel::diag::Live().clients.fetch_add(1);
}

PelNamedPipeClient::~PelNamedPipeClient() {
  // A synchronous call may still wait for its answer (2,000 ms at most) holding this lock.
  { pel::LockGuard call(m_syncLock); }
  // Only idle records can go: the system may still write into one whose completion is due.
  for (ClientConnection *record = m_liveRecords, *next; record != nullptr; record = next) {
    next = record->nextLive;
    if (record->unhandledIocp.load() == 0) DeleteClientConnection(record);
  }
  if (m_pipe != nullptr) ClosePipeLocked();
  if (m_iocp != nullptr) CloseHandle(m_iocp);
  if (m_sync_read_event != nullptr) CloseHandle(m_sync_read_event);
  if (m_sync_conn_event != nullptr) CloseHandle(m_sync_conn_event);
  pel::DeleteBytes(m_syncReply);
  pel::diag::Live().clients.fetch_sub(1);
}

int PelNamedPipeClient::Init() {
  pel::LockGuard guard(m_lock);
  // The host may fill all 256 bytes of the tag without a terminator.
  char logName[sizeof m_callbacks.LogName + 1];
  std::memcpy(logName, m_callbacks.LogName, sizeof m_callbacks.LogName);
  logName[sizeof m_callbacks.LogName] = '\0';
  InitLog(logName);
  PEL_LOGI << "Enter!";
  int result = 0;
  if (m_initialized) {
    PEL_LOGW << "Already initialized!";
  } else {
    m_iocp = CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 0);
    if (m_iocp == nullptr) {
      const DWORD error = GetLastError();
      PEL_LOGE << "CreateIoCompletionPort failed! err:" << error << "!";
      result = PEL_ERR_IOCP;
    } else {
      m_recv.Clear();
      m_workThread = std::thread(&PelNamedPipeClient::WorkThread, this);
      m_initialized = true;
    }
  }
  PEL_LOGI << "Leave!";
  return result;
}

int PelNamedPipeClient::Uninit() {
  PEL_LOGI << "Enter!";
  {
    pel::LockGuard lock(m_lock);
    if (!m_initialized) {
      lock.Unlock();
      PEL_LOGW << "NOT initialized!";
      return PEL_ERR_STATE;
    }
    const bool open = m_pipe != nullptr;
    if (open) PEL_LOGI << "Uninit client, close pipe:" << m_pipe;
    CloseRecordLocked(m_key, true);
    if (open) CloseFromHostLocked();
  }
  // Meanwhile the work thread takes the aborted read's completion and releases the record.
  Sleep(kUninitPauseMs);
  {
    pel::LockGuard lock(m_lock);
    m_lock.WaitFor(m_changed, kDrainWait,
                   [this]() REQUIRES(m_lock) { return m_liveRecords == nullptr; });
  }

  PEL_LOGI << "Ask iocp thread exit...";
  PostQueuedCompletionStatus(m_iocp, pel::kExitRequest, 0, nullptr);
  if (m_workThread.joinable()) m_workThread.join();
  PEL_LOGI << "Iocp thread has exited!";
  DrainAfterJoin();

  {
    pel::LockGuard lock(m_lock);
    m_recv.Clear();
    if (m_iocp != nullptr) {
      PEL_LOGI << "Close iocp handle:" << m_iocp;
      CloseHandle(std::exchange(m_iocp, nullptr));
    }
    m_initialized = false;
  }
  PEL_LOGI << "Leave!";
  return 0;
}

int PelNamedPipeClient::Disconnect() {
  pel::LockGuard lock(m_lock);
  m_state = DISCONNECT;
  ClientConnection* connection = m_key;
  if (m_pipe != nullptr && connection != nullptr &&
      std::this_thread::get_id() != m_workThread.get_id()) {
    // Sends accepted before the disconnect may still be queued, and closing would
    // drop them: wait, bounded (a peer that stopped reading never drains), for
    // the work thread to write them; on the work thread itself nobody else would.
    m_lock.WaitFor(m_changed, kDrainWait, [this, connection]() REQUIRES(m_lock) {
      return m_key != connection || connection->closing.load() ||
             (!connection->writing && connection->pending.empty());
    });
    // The connection ended some other way meanwhile; nothing left to close.
    if (m_key != connection) return CloseFromHostLocked();
    m_state = DISCONNECT;  // a HELLO may have been handled while we waited
  }
  if (m_pipe != nullptr) CloseRecordLocked(m_key, true);
  return CloseFromHostLocked();
}

int32_t PelNamedPipeClient::CloseFromHostLocked() {
  // The host's OnClose runs without the lock, so it may call back in.
  const uint32_t connId = m_connId;
  ++m_hostCloses;
  m_lock.unlock();
  const int32_t result = m_callbacks.OnClose(connId, 0, m_callbacks.UserContext);
  m_lock.lock();
  --m_hostCloses;
  m_changed.notify_all();
  return result;
}

void PelNamedPipeClient::CloseIocpPipe() {
  pel::LockGuard guard(m_lock);
  m_state = DISCONNECT;
  PEL_LOGI << "Enter! pipe:" << m_pipe;
  if (m_pipe != nullptr) ClosePipeLocked();
  PEL_LOGI << "Leave!";
}

void PelNamedPipeClient::ClosePipeLocked() {
  CloseHandle(std::exchange(m_pipe, nullptr));
  pel::diag::Live().pipeHandles.fetch_sub(1);
}
