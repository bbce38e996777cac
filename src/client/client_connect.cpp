// Connect, PostIocpConnect and the HELLO branch of the read path.
#include <new>
#include <utility>

#include "client/pel_named_pipe_client.h"
#include "log/log.h"
#include "platform/diag.h"
#include "platform/pipe_name.h"
#include "platform/thread_id.h"

int PelNamedPipeClient::Connect(const char* name, bool nonBlocking) {
  PEL_LOGI << "Enter!";
  int result = PEL_OK;
  {
    pel::LockGuard lock(m_lock);
    if (m_state != DISCONNECT) {
      // Logged unlocked: a record may wait on a file another process holds.
      const uint32_t state = m_state;
      lock.Unlock();
      PEL_LOGE << "Invalid connected state[" << state << "]!\n";
      PEL_LOGI << "Leave!";
      return PEL_ERR_STATE;
    }
    m_state = CONNECTING;
    // A record whose pipe is closed only awaits its last completion; the new pipe gets its own.
    if (m_key != nullptr && m_pipe == nullptr) {
      CloseRecordLocked(m_key, false);
      m_key = nullptr;
    }
    // The export has refused a missing name.
    try {
      m_pipeName = pel::FullPipeName(name);
    } catch (const std::bad_alloc&) {
      result = PEL_ERR_NO_MEMORY;
    }
  }
  if (result == PEL_OK) PEL_LOGI << "pipe name:" << m_pipeName;
  HANDLE event = nullptr;
  if (result == PEL_OK && !nonBlocking) {
    pel::LockGuard lock(m_lock);
    if (m_sync_conn_event == nullptr) {
      m_sync_conn_event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
      if (m_sync_conn_event == nullptr) {
        const DWORD error = GetLastError();
        result = error != 0 ? static_cast<int>(error) : PEL_ERR_EVENT;
        PEL_LOGE << "[" << pel::CurrentThreadId() << "] CreateEvent failed! err:" << result
                 << "!\n";
      }
    } else if (!ResetEvent(m_sync_conn_event)) {
      const DWORD error = GetLastError();
      PEL_LOGE << "Reset event m_sync_conn_event failed! err:" << error;
    }
    event = m_sync_conn_event;
  }
  if (result == PEL_OK) {
    result = PostIocpConnect();
    if (result != PEL_OK && !nonBlocking)
      PEL_LOGE << "PostIocpConnect failed! err:" << result << "!\n";
  }
  if (result == PEL_OK && !nonBlocking) {
    const DWORD wait = WaitForSingleObject(event, kWaitMs);
    if (wait == WAIT_OBJECT_0) {
      PEL_LOGI << "Client connect to server OK!";
    } else {
      PEL_LOGE << (wait == WAIT_TIMEOUT ? "Connect timeout!" : "Connect to server failed!!!");
      result = PEL_ERR_TIMEOUT;
    }
  }
  if (result == PEL_OK) {
    PEL_LOGI << "Leave!";
    return PEL_OK;
  }

  // The HELLO handler and this exit decide under the client lock which came
  // first: a HELLO first has made the client CONNECTED and set this call's
  // event, so the call succeeds after all; an exit first removes the event,
  // so a later HELLO calls OnConnect. Never a connected pipe in DISCONNECT.
  bool helloFirst;
  {
    pel::LockGuard guard(m_lock);
    helloFirst = m_state == CONNECTED && m_sync_conn_event != nullptr;
    if (m_state != CONNECTED) {
      m_state = DISCONNECT;
      if (m_sync_conn_event != nullptr) CloseHandle(std::exchange(m_sync_conn_event, nullptr));
    }
  }
  PEL_LOGI << (helloFirst ? "Client connect to server OK!"
                          : "Connect IPC server failed, set state to DISCONNECT!");
  PEL_LOGI << "Leave!";
  return helloFirst ? PEL_OK : result;
}

int PelNamedPipeClient::PostIocpConnect() {
  PEL_LOGI << "Enter!";
  HANDLE held;
  {
    pel::LockGuard guard(m_lock);
    held = m_pipe;
  }
  if (held != nullptr) {
    PEL_LOGE << ">>>>pipe[" << held << "] is Already connected!<<<<";
    return PEL_ERR_PIPE_HELD;
  }

  HANDLE pipe = CreateFileA(m_pipeName.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                            OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
  if (pipe == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    PEL_LOGE << "Open pipe" << m_pipeName << " failed! Error:" << error << "!\n";
    return PEL_ERR_PIPE;
  }
  pel::diag::Live().pipeHandles.fetch_add(1);
  {
    pel::LockGuard guard(m_lock);
    m_pipe = pipe;
  }
  PEL_LOGI << "Open pipe:" << pipe;

  ClientConnection* connection = NewClientConnection();
  if (connection == nullptr) {
    const DWORD error = GetLastError();
    PEL_LOGE << "[" << pel::CurrentThreadId()
             << "] Alloc memory for iocp_key failed! Error:" << error << "!\n";
    pel::LockGuard guard(m_lock);
    if (m_pipe == pipe) ClosePipeLocked();
    return PEL_ERR_NO_MEMORY;
  }
  {
    pel::LockGuard guard(m_lock);
    connection->nextLive = m_liveRecords;
    m_liveRecords = connection;
    m_key = connection;
  }

  PEL_LOGI << "Try CreateIoCompletionPort.\n";
  int result;
  // The port lives from Init to Uninit, and a client is only connected in between.
  if (CreateIoCompletionPort(pipe, m_iocp, connection->CompletionKey(), 0) == nullptr) {
    const DWORD error = GetLastError();
    PEL_LOGE << "Bind pipe failed! CreateIoCompletionPort -> ErrorCode:" << error << "!\n";
    result = PEL_ERR_BIND;
  } else {
    PEL_LOGI << "Wait hello from server!";
    result = PostIocpRead();
    if (result == 0) {
      PEL_LOGI << "Leave!";
      return PEL_OK;
    }
    PEL_LOGE << "[" << pel::CurrentThreadId() << "] PostIocpRead failed! err:" << result << "!\n";
  }

  {
    pel::LockGuard guard(m_lock);
    // A racing host Disconnect may have closed the pipe and handed the record to the work thread.
    if (m_pipe == pipe) ClosePipeLocked();
    if (connection->unhandledIocp.load() == 0) {
      UnlinkLiveLocked(connection);
      if (m_key == connection) m_key = nullptr;
      DeleteClientConnection(connection);
    }
  }
  PEL_LOGI << "Leave!";
  return result;
}

// The HELLO branch of HandleIocpRead; its records are that operation's.
int PelNamedPipeClient::HandleHello(IocpKey* context) {
  const pel::MessageHeader header = pel::ReadHeader(context->buffer);
  if (header.kind != pel::kKindHello) {
    PEL_LOG_AS(pel::log::error, kAsHandleIocpRead)
        << "Receive business message before HELLO!! Disconnect!!!\n";
    EndBeforeHello();
    return PEL_OK;
  }
  {
    pel::LockGuard guard(m_lock);
    m_connId = header.connId;
    if (m_key != nullptr) m_key->id = header.connId;
  }
  PEL_LOG_AS(pel::log::debug, kAsHandleIocpRead)
      << "Recv Hello from server! conn_id:" << header.connId;
  static_cast<PelIpcClient*>(this)->SendHello(header.connId);
  PEL_LOG_AS(pel::log::debug, kAsHandleIocpRead) << "Send Hello to server!";
  // Bytes a previous pipe left (a server that died mid-message) are not this pipe's stream.
  m_recv.Clear();

  // Becoming CONNECTED and choosing whom to tell is one step under the lock,
  // so a blocking Connect that gives up at this moment sees either both or
  // neither (see its exit). A pipe the host closed meanwhile stays closed.
  bool tellHost = false;
  {
    pel::LockGuard guard(m_lock);
    if (m_key != nullptr && !m_key->closing.load() && m_pipe != nullptr) {
      m_state = CONNECTED;
      tellHost = m_sync_conn_event == nullptr;
      if (!tellHost) SetEvent(m_sync_conn_event);
    }
  }
  if (tellHost) m_callbacks.OnConnect(header.connId, m_callbacks.UserContext);

  return PostNextRead();
}

void PelNamedPipeClient::EndBeforeHello() {
  ClientConnection* connection;
  uint32_t connId;
  {
    pel::LockGuard guard(m_lock);
    m_state = DISCONNECT;
    connection = m_key;
    if (connection != nullptr) connection->closing.store(true);
    if (m_pipe != nullptr) ClosePipeLocked();
    connId = m_connId;
  }
  m_callbacks.OnClose(connId, 0, m_callbacks.UserContext);
  // The read just handled was the only operation: no completion will come to release the record.
  if (connection != nullptr) ReleaseConnection(connection, 0);
}
