// The work thread, and the release of a connection record once its last completion has come back.

#include "client/pel_named_pipe_client.h"
#include "log/log.h"
#include "platform/thread_id.h"
#include "platform/win_error.h"

void PelNamedPipeClient::CloseRecordLocked(ClientConnection* connection, bool closePipe) {
  if (connection != nullptr) connection->closing.store(true);
  if (closePipe && m_pipe != nullptr) ClosePipeLocked();
  KickReleaseIfIdleLocked(connection);
}

void PelNamedPipeClient::KickReleaseIfIdleLocked(ClientConnection* connection) {
  if (connection == nullptr || connection->WakeIfDrained(m_iocp, 0)) return;
  PEL_LOGE << ">>>>Post release of connection[" << static_cast<const void*>(connection)
           << "] failed! err:" << GetLastError() << "!<<<<";
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
    // Under m_lock (iocp_record.h): a write a sender slipped in after the work
    // thread saw 0 is counted here, and its completion or failure finishes.
    if (!connection->ClaimRelease(0)) return;

    PEL_LOG_AS(pel::log::info, kAsWorkThread)
        << "Try to delete IOCP context:" << static_cast<const void*>(connection);
    const bool current = connection == m_key;
    connId = current || connection->id == pel::kNoConnId ? m_connId : connection->id;
    UnlinkLiveLocked(connection);
    DeleteClientConnection(connection);
    PEL_LOG_AS(pel::log::info, kAsWorkThread) << "IOCP context is Deleted!!!";
    // A record left behind by an earlier pipe must not end the current one.
    if (current) {
      m_key = nullptr;
      m_state = DISCONNECT;
      PEL_LOG_AS(pel::log::info, kAsWorkThread) << "Try to close pipe:" << m_pipe;
      if (m_pipe != nullptr) ClosePipeLocked();
    }
    m_changed.notify_all();
    // The host hears first of the end it caused; bounded, so a blocking OnClose cannot hang us.
    m_lock.WaitFor(m_changed, kDrainWait, [this]() REQUIRES(m_lock) { return m_hostCloses == 0; });
  }
  PEL_LOG_AS(pel::log::info, kAsWorkThread) << "Call OnClose!";
  m_callbacks.OnClose(connId, lastResult, m_callbacks.UserContext);
}

void PelNamedPipeClient::DrainAfterJoin() {
  // The work thread is gone: take later completions off the port and release what they drain.
  for (;;) {
    ClientConnection* idle = nullptr;
    bool any;
    {
      pel::LockGuard guard(m_lock);
      for (ClientConnection* r = m_liveRecords; r != nullptr; r = r->nextLive) {
        r->closing.store(true);
        if (idle == nullptr && r->Drained(0)) idle = r;
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
    GetQueuedCompletionStatus(m_iocp, &bytes, &key, &overlapped, kWaitMs);
    if (overlapped == nullptr || key == 0) {
      if (bytes == pel::kExitRequest) continue;
      // Memory the system may still write into is better leaked than freed.
      PEL_LOGE << ">>>>Pending completion never came, connection record left allocated!<<<<";
      return;
    }
    ClientConnection* connection = IocpRecord::FromKey<ClientConnection>(key);
    connection->unhandledIocp.fetch_sub(1);
    IocpKey* context = reinterpret_cast<IocpKey*>(overlapped);
    if (!connection->IsWake(overlapped) && context->type == IOCP_WRITE) {
      pel::LockGuard guard(m_lock);
      pel::DeleteMessage(TakeSentLocked(connection, context));
    }
  }
}

int PelNamedPipeClient::WorkThread(PelNamedPipeClient* client) {
  PEL_LOGI << "Enter!";
  int lastResult = 0;
  for (;;) {
    DWORD bytes = 0;
    ULONG_PTR key = 0;
    OVERLAPPED* overlapped = nullptr;
    const BOOL ok = GetQueuedCompletionStatus(client->m_iocp, &bytes, &key, &overlapped, INFINITE);
    const DWORD error = GetLastError();
    if (bytes == pel::kExitRequest) {
      PEL_LOGI << "Receive normal exit request!";
      break;
    }
    if (overlapped == nullptr || key == 0) {
      lastResult = static_cast<int>(error);
      PEL_LOGE << ">>>>GetQueuedCompletionStatus -> Error:" << error << "!<<<<\n";
      client->CloseIocpPipe();
      client->m_callbacks.OnClose(client->ConnId(), lastResult, client->m_callbacks.UserContext);
      continue;
    }

    ClientConnection* connection = IocpRecord::FromKey<ClientConnection>(key);
    // A wake-up is only ever posted for a closing record.
    const bool wake = connection->IsWake(overlapped);
    IocpKey* context = reinterpret_cast<IocpKey*>(overlapped);
    connection->unhandledIocp.fetch_sub(1);
    if (!ok && pel::IsBrokenPipe(error)) {
      PEL_LOGI << "Pipe broken!" << context->pipe;
      connection->closing.store(true);
    }

    if (connection->closing.load()) {
      const int32_t count = connection->unhandledIocp.load();
      PEL_LOGI << "IOCP is closing...key:" << static_cast<const void*>(context)
               << ", type:" << (wake ? static_cast<uint32_t>(IOCP_WAKE) : context->type)
               << ", count:" << count;
      if (!wake && context->type == IOCP_WRITE) {
        pel::LockGuard guard(client->m_lock);
        pel::DeleteMessage(client->TakeSentLocked(connection, context));
      }
      if (count == 0) client->ReleaseConnection(connection, lastResult);
      continue;
    }

    // A client's contexts only read or write; the wake-up went the closing way.
    const bool read = context->type == IOCP_READ;
    lastResult = read ? client->HandleIocpRead(context, bytes)
                      : client->HandleIocpWrite(connection, context);
    if (lastResult != 0)
      PEL_LOGE << "[" << pel::CurrentThreadId()
               << (read ? "] HandleIocpRead failed! err:" : "] HandleIocpWrite failed! err:")
               << lastResult << "!\n";
  }

  PEL_LOGI << "Leave!";
  return 0;
}
