// The server object, its completion port and the worker pool.
#include "iocp/iocp_record.h"
#include "log/init_log.h"
#include "log/log.h"
#include "platform/alloc.h"
#include "platform/diag.h"
#include "platform/thread_id.h"
#include "platform/win_error.h"
#include "server/pel_named_pipe_server.h"

PelNamedPipeServer::PelNamedPipeServer(const PelIpcCallback& callbacks) noexcept
    : m_callbacks(callbacks) {
  // A host may hand over a name that fills the whole field.
  m_callbacks.LogName[sizeof m_callbacks.LogName - 1] = '\0';
  pel::diag::Live().servers.fetch_add(1);
}

PelNamedPipeServer::~PelNamedPipeServer() { pel::diag::Live().servers.fetch_sub(1); }

int PelNamedPipeServer::Init() {
  pel::LockGuard guard(m_lock);
  InitLog(m_callbacks.LogName);
  PEL_LOGI << "Enter!";
  if (m_initialized) {
    PEL_LOGW << "Already initialized!";
    PEL_LOGI << "Leave!";
    return PEL_OK;
  }
  SYSTEM_INFO info;
  GetSystemInfo(&info);
  m_workerCount = static_cast<int32_t>(info.dwNumberOfProcessors) + 2;
  PEL_LOGI << "worker thread count:" << m_workerCount;

  m_iocp =
      CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, static_cast<DWORD>(m_workerCount));
  if (m_iocp == nullptr) {
    PEL_LOGE << "CreateIoCompletionPort failed! err:" << GetLastError();
    return PEL_ERR_IOCP;
  }
  m_workers = pel::NewArray<std::thread>(static_cast<std::size_t>(m_workerCount));
  if (m_workers == nullptr) {
    PEL_LOGE << "[" << pel::CurrentThreadId() << "] alloc memory for workers failed!\n";
    // Without workers nothing completes: fail, so the export destroys the object; drop the port.
    FreeWorkersAndPortLocked();
    return PEL_ERR_NO_MEMORY;
  }
  for (int32_t i = 0; i < m_workerCount; ++i) m_workers[i] = std::thread(&WorkThread, this);
  m_initialized = true;
  PEL_LOGI << "Leave!";
  return PEL_OK;
}

int PelNamedPipeServer::Uninit() {
  pel::LockGuard guard(m_lock);
  PEL_LOGI << "Enter!";
  if (!m_initialized) {
    PEL_LOGW << "NOT initialized!";
  } else {
    m_running = false;
    StopWorkers();
    FreeWorkersAndPortLocked();
    m_initialized = false;
  }
  PEL_LOGI << "Leave!";
  return PEL_OK;
}

int PelNamedPipeServer::WorkThread(PelNamedPipeServer* server) {
  PEL_LOGI << "Enter!";
  server->m_running = true;
  int result = 0;
  DWORD bytes = 0;
  LPOVERLAPPED ov = nullptr;
  for (;;) {
    ULONG_PTR key = 0;
    const BOOL ok = GetQueuedCompletionStatus(server->m_iocp, &bytes, &key, &ov, INFINITE);
    if (bytes == pel::kExitRequest) {
      PEL_LOGI << "Receive  exit request!";
      break;
    }
    if (ov == nullptr)
      PEL_LOGE << ">>>>pov is NULL!!! err:" << GetLastError() << "!<<<<\n";
    else if (key == 0)
      PEL_LOGE << ">>>>ulKey is NULL!!!<<<<\n";
    else
      result = server->HandlePacket(IocpRecord::FromKey<IpcConnection>(key), ov, bytes, ok, result);
    if (!server->m_running) break;
  }
  PEL_LOGI << "Leave!";
  return result;
}

int PelNamedPipeServer::HandlePacket(IpcConnection* conn, OVERLAPPED* ov, DWORD bytes, BOOL ok,
                                     int result) {
  conn->TakeCompletion();
  if (conn->IsWake(ov)) {
    // The last count of a drained record: it is released as the hold goes.
    DropHold(conn, ReleaseAt::kHere, kAsWorkThread);
    return result;
  }
  IocpKey* context = reinterpret_cast<IocpKey*>(ov);
  if (!ok) {
    const DWORD err = GetLastError();
    result = static_cast<int>(err);
    PEL_LOG_AS(pel::log::error, kAsWorkThread)
        << ">>>>GetQueuedCompletionStatus -> Error:" << err << "!<<<<\n";
    if (pel::IsOrderlyPipeEnd(err)) {
      PEL_LOG_AS(pel::log::error, kAsWorkThread) << ">>>>Pipe is Broken!!!<<<<\n";
      conn->closing.exchange(true);
    }
  }
  // A failed connect took its listening instance with it (a client that came
  // and went before it was taken); after Close's cancel nothing replaces it.
  bool lostInstance = false;
  if (conn->closing.load()) {
    lostInstance = context->type == IOCP_CONNECT && conn->id == pel::kNoConnId;
    PEL_LOG_AS(pel::log::info, kAsWorkThread) << "Connection[" << conn->id << "] is closing!!!";
    DeleteIocpKey(context);
    PEL_LOG_AS(pel::log::info, kAsWorkThread)
        << "iocp_key deleted! Unfinished iocp:" << conn->unhandledIocp.load();
  } else {
    result = Dispatch(conn, context, bytes);
    DeleteIocpKey(context);
  }
  // Replaced before the lost instance is closed: were every instance closed
  // first, a client opening the name in between would find no pipe at all.
  if (lostInstance) ReplaceListeningInstance();
  // The last holder of a drained closing record releases it here.
  DropHold(conn, ReleaseAt::kHere, kAsWorkThread);
  return result;
}

int PelNamedPipeServer::Dispatch(IpcConnection* conn, IocpKey* context, DWORD bytes) {
  int result = 0;
  const char* failed = nullptr;
  if (context->type == IOCP_CONNECT) {
    result = HandleIocpConnect(conn);
    failed = "] HandleIocpConnect failed! err:";
  } else if (context->type == IOCP_READ) {
    result = HandleIocpRead(conn, context, bytes);
    failed = "] HandleIocpRead failed! err:";
  } else if (context->type == IOCP_WRITE) {
    result = m_callbacks.OnSend(conn->id, m_callbacks.UserContext);
    failed = "] HandleIocpWrite failed! err:";
  }
  if (result != 0 && failed != nullptr)
    PEL_LOG_AS(pel::log::error, kAsWorkThread)
        << "[" << pel::CurrentThreadId() << failed << result << "!\n";
  return result;
}
