// Construction, Init/Uninit, Disconnect, the work thread and the release of
// a drained connection record.
#include <chrono>
#include <cstring>

#include "client/pel_named_pipe_client.h"
#include "log/init_log.h"
#include "log/log.h"
#include "platform/alloc.h"
#include "platform/diag.h"
#include "platform/thread_id.h"
#include "platform/win_error.h"

namespace {

constexpr DWORD kUninitPauseMs = 50;
// How long Uninit waits for the completions of a pipe it has just closed.
constexpr auto kDrainWait = std::chrono::milliseconds(PEL_IPC_WAIT_MS);

}  // namespace

PelNamedPipeClient::PelNamedPipeClient(const PelIpcCallback& callbacks) noexcept
    : m_callbacks(callbacks), m_recv(&m_recvLock) {
  pel::diag::Live().clients.fetch_add(1);
}

PelNamedPipeClient::~PelNamedPipeClient() {
  // A synchronous call on another thread may still wait for its answer (at
  // most 2,000 ms); it holds this lock until it has let go of the object.
  { pel::LockGuard call(m_syncLock); }
  // Only idle records can go: the system may still write into one whose
  // completion is due.
  ClientConnection* record = m_liveRecords;
  while (record != nullptr) {
    ClientConnection* next = record->nextLive;
    if (record->unhandledIocp.load() == 0) DeleteClientConnection(record);
    record = next;
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
    MarkClosingLocked(m_key);
    if (m_pipe != nullptr) {
      PEL_LOGI << "Uninit client, close pipe:" << m_pipe;
      ClosePipeLocked();
      KickReleaseIfIdleLocked(m_key);
      CloseFromHost();
    } else {
      KickReleaseIfIdleLocked(m_key);
    }
  }
  // The work thread takes the completion of the read that closing aborted
  // and releases the record meanwhile.
  Sleep(kUninitPauseMs);
  WaitForReleases();

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
      CloseHandle(m_iocp);
      m_iocp = nullptr;
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
    // Sends accepted before the disconnect may still wait in the queue, and
    // closing the pipe would drop them. The work thread writes them out;
    // wait for that, bounded, since a peer that stopped reading never drains
    // its side. (On the work thread itself, inside a callback, there is no
    // one to wait for.)
    m_lock.WaitFor(m_changed, kDrainWait, [this, connection]() REQUIRES(m_lock) {
      return m_key != connection || connection->closing.load() ||
             (!connection->writing && connection->pending.empty());
    });
    // The connection ended some other way meanwhile; nothing left to close.
    if (m_key != connection) return CloseFromHost();
    m_state = DISCONNECT;  // a HELLO may have been handled while we waited
  }
  if (m_pipe != nullptr) {
    MarkClosingLocked(m_key);
    ClosePipeLocked();
    KickReleaseIfIdleLocked(m_key);
  }
  return CloseFromHost();
}

int32_t PelNamedPipeClient::CloseFromHost() {
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

bool PelNamedPipeClient::IsConnected() {
  pel::LockGuard guard(m_lock);
  return m_state == CONNECTED;
}

void PelNamedPipeClient::SetState(uint32_t state) {
  pel::LockGuard guard(m_lock);
  m_state = state;
}

void PelNamedPipeClient::CloseIocpPipe() {
  pel::LockGuard guard(m_lock);
  PEL_LOGI << "Enter! pipe:" << m_pipe;
  if (m_pipe != nullptr) ClosePipeLocked();
  PEL_LOGI << "Leave!";
}

void PelNamedPipeClient::ClosePipeLocked() {
  CloseHandle(m_pipe);
  pel::diag::Live().pipeHandles.fetch_sub(1);
  m_pipe = nullptr;
}

uint32_t PelNamedPipeClient::ConnId() {
  pel::LockGuard guard(m_lock);
  return m_connId;
}

void PelNamedPipeClient::MarkClosingLocked(ClientConnection* connection) {
  if (connection != nullptr) connection->closing.store(true);
}

void PelNamedPipeClient::KickReleaseIfIdleLocked(ClientConnection* connection) {
  // A closing record is freed when its last completion is taken off the
  // port. With nothing outstanding none would come, so hand the work thread
  // one, counted like an operation.
  if (connection == nullptr || !connection->closing.load() ||
      connection->unhandledIocp.load() != 0 || m_iocp == nullptr)
    return;
  connection->readKey.Reset(IOCP_CONNECT, connection->readKey.pipe);
  connection->unhandledIocp.fetch_add(1);
  if (!PostQueuedCompletionStatus(m_iocp, 0, connection->CompletionKey(),
                                  &connection->readKey.overlapped)) {
    const DWORD error = GetLastError();
    connection->unhandledIocp.fetch_sub(1);
    PEL_LOGE << ">>>>Post release of connection[" << static_cast<const void*>(connection)
             << "] failed! err:" << error << "!<<<<";
  }
}

// Runs on the work thread, or on the host thread of Uninit once the work
// thread is gone; either way its records belong to the work thread's loop.
void PelNamedPipeClient::ReleaseConnection(ClientConnection* connection, int lastResult) {
  uint32_t connId;
  {
    pel::LockGuard lock(m_lock);
    // The one rule that keeps a record alive while anyone may still touch
    // it: free it only when it is closing, nothing is outstanding on it, and
    // no host thread is between its connected check and the counting of a
    // write. Issuers test `closing` and raise the count under this same
    // lock, so a count re-read here, under the lock, cannot miss a write
    // that a sender slipped in after the work thread saw 0; that write's own
    // completion (or its failure) finishes the job instead.
    if (!connection->closing.load() || connection->unhandledIocp.load() != 0) return;

    PEL_LOG_AS(pellog::info, kAsWorkThread)
        << "Try to delete IOCP context:" << static_cast<const void*>(connection);
    const bool current = connection == m_key;
    connId = current || connection->id == pel::kNoConnId ? m_connId : connection->id;
    for (ClientConnection** link = &m_liveRecords; *link != nullptr; link = &(*link)->nextLive) {
      if (*link == connection) {
        *link = connection->nextLive;
        break;
      }
    }
    DeleteClientConnection(connection);
    PEL_LOG_AS(pellog::info, kAsWorkThread) << "IOCP context is Deleted!!!";
    // A record left behind by an earlier pipe must not end the current one.
    if (current) {
      m_key = nullptr;
      m_state = DISCONNECT;
      PEL_LOG_AS(pellog::info, kAsWorkThread) << "Try to close pipe:" << m_pipe;
      if (m_pipe != nullptr) ClosePipeLocked();
    }
    m_changed.notify_all();
    // The host hears of the end it caused first; the wait is bounded so an
    // OnClose that blocks on this thread cannot hang the client.
    m_lock.WaitFor(m_changed, kDrainWait, [this]() REQUIRES(m_lock) { return m_hostCloses == 0; });
  }
  PEL_LOG_AS(pellog::info, kAsWorkThread) << "Call OnClose!";
  m_callbacks.OnClose(connId, lastResult, m_callbacks.UserContext);
}

void PelNamedPipeClient::WaitForReleases() {
  pel::LockGuard lock(m_lock);
  m_lock.WaitFor(m_changed, kDrainWait,
                 [this]() REQUIRES(m_lock) { return m_liveRecords == nullptr; });
}

void PelNamedPipeClient::DrainAfterJoin() {
  // Completions that arrived after the exit request: the work thread is gone,
  // so take them off the port here and release what they drain.
  for (;;) {
    ClientConnection* idle = nullptr;
    bool any;
    {
      pel::LockGuard guard(m_lock);
      for (ClientConnection* r = m_liveRecords; r != nullptr; r = r->nextLive) {
        r->closing.store(true);
        if (idle == nullptr && r->unhandledIocp.load() == 0) idle = r;
      }
      any = m_liveRecords != nullptr;
    }
    if (idle != nullptr) {
      ReleaseConnection(idle, 0);
      continue;
    }
    if (!any || m_iocp == nullptr) return;

    DWORD bytes = 0;
    ULONG_PTR key = 0;
    OVERLAPPED* overlapped = nullptr;
    GetQueuedCompletionStatus(m_iocp, &bytes, &key, &overlapped,
                              static_cast<DWORD>(kDrainWait.count()));
    if (overlapped == nullptr || key == 0) {
      if (bytes == pel::kExitRequest) continue;
      // Memory the system may still write into is better leaked than freed.
      PEL_LOGE << ">>>>Pending completion never came, connection record left allocated!<<<<";
      return;
    }
    ClientConnection* connection = RecordOf(key);
    IocpKey* context = reinterpret_cast<IocpKey*>(overlapped);
    connection->unhandledIocp.fetch_sub(1);
    if (context->type == IOCP_WRITE) {
      pel::LockGuard guard(m_lock);
      pel::DeleteMessage(context->message);
      context->message = nullptr;
      connection->writing = false;
    }
  }
}

int PelNamedPipeClient::WorkThread(PelNamedPipeClient* client) {
  PEL_LOGI << "Enter!";
  if (client == nullptr) {
    PEL_LOGE << "client is nullptr!\n";
    return 1;
  }
  int threadResult = 1;
  int lastResult = 0;
  bool exitRequested = false;
  while (!exitRequested && client->m_iocp != nullptr) {
    DWORD bytes = 0;
    ULONG_PTR key = 0;
    OVERLAPPED* overlapped = nullptr;
    const BOOL ok = GetQueuedCompletionStatus(client->m_iocp, &bytes, &key, &overlapped, INFINITE);
    const DWORD error = GetLastError();
    if (bytes == pel::kExitRequest) {
      PEL_LOGI << "Receive normal exit request!";
      threadResult = 0;
      exitRequested = true;
      continue;
    }
    if (overlapped == nullptr || key == 0) {
      lastResult = static_cast<int>(error);
      PEL_LOGE << ">>>>GetQueuedCompletionStatus -> Error:" << error << "!<<<<\n";
      client->SetState(DISCONNECT);
      client->CloseIocpPipe();
      client->m_callbacks.OnClose(client->ConnId(), static_cast<int32_t>(error),
                                  client->m_callbacks.UserContext);
      continue;
    }

    ClientConnection* connection = RecordOf(key);
    IocpKey* context = reinterpret_cast<IocpKey*>(overlapped);
    connection->unhandledIocp.fetch_sub(1);
    if (!ok && pel::IsBrokenPipe(error)) {
      PEL_LOGI << "Pipe broken!" << context->pipe;
      connection->closing.store(true);
    }

    if (connection->closing.load()) {
      const int32_t count = connection->unhandledIocp.load();
      PEL_LOGI << "IOCP is closing...key:" << static_cast<const void*>(context)
               << ", type:" << context->type << ", count:" << count;
      if (context->type == IOCP_WRITE) {
        uint8_t* sent;
        {
          pel::LockGuard guard(client->m_lock);
          sent = context->message;
          context->message = nullptr;
          connection->writing = false;
        }
        pel::DeleteMessage(sent);
      }
      if (count == 0) client->ReleaseConnection(connection, lastResult);
      continue;
    }

    if (context->type == IOCP_READ) {
      lastResult = client->HandleIocpRead(context, bytes);
      if (lastResult != 0) {
        PEL_LOGE << "[" << pel::CurrentThreadId() << "] HandleIocpRead failed! err:" << lastResult
                 << "!\n";
      }
    } else if (context->type == IOCP_WRITE) {
      lastResult = client->HandleIocpWrite(connection, context);
      if (lastResult != 0) {
        PEL_LOGE << "[" << pel::CurrentThreadId() << "] HandleIocpWrite failed! err:" << lastResult
                 << "!\n";
      }
    }
  }

  if (!exitRequested) {
    PEL_LOGE << "IOCP handle is nullptr! Exit work thread!";
    HANDLE pipe;
    {
      pel::LockGuard guard(client->m_lock);
      pipe = client->m_pipe;
    }
    if (pipe != nullptr) {
      PEL_LOGI << "Exit work thread, close pipe:" << pipe;
      client->SetState(DISCONNECT);
      client->CloseIocpPipe();
      client->m_callbacks.OnClose(client->ConnId(), 1, client->m_callbacks.UserContext);
    }
  }
  PEL_LOGI << "Leave!";
  return threadResult;
}
