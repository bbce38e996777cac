// The work thread, and the release of a connection record once its last
// completion has come back.

#include "client/pel_named_pipe_client.h"
#include "log/log.h"
#include "platform/thread_id.h"
#include "platform/win_error.h"

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
  connection->readKey.Reset(IOCP_WAKE, connection->readKey.pipe);
  connection->unhandledIocp.fetch_add(1);
  if (!PostQueuedCompletionStatus(m_iocp, 0, connection->CompletionKey(),
                                  &connection->readKey.overlapped)) {
    const DWORD error = GetLastError();
    connection->unhandledIocp.fetch_sub(1);
    PEL_LOGE << ">>>>Post release of connection[" << static_cast<const void*>(connection)
             << "] failed! err:" << error << "!<<<<";
  }
}

void PelNamedPipeClient::UnlinkLiveLocked(ClientConnection* connection) {
  for (ClientConnection** link = &m_liveRecords; *link != nullptr; link = &(*link)->nextLive) {
    if (*link == connection) {
      *link = connection->nextLive;
      return;
    }
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
    UnlinkLiveLocked(connection);
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
