// The server object, its completion port and the worker pool.
#include "log/init_log.h"
#include "log/log.h"
#include "platform/alloc.h"
#include "platform/diag.h"
#include "platform/pipe_name.h"
#include "platform/thread_id.h"
#include "server/pel_named_pipe_server.h"

namespace {
constexpr DWORD kExitRequest = 0xFFFFFFFF;
}

PelNamedPipeServer::PelNamedPipeServer(const PelIpcCallback& callbacks) noexcept
    : m_callbacks(callbacks),
      m_workers(nullptr),
      m_running(false),
      m_initialized(false),
      m_workerCount(0),
      m_iocp(nullptr),
      m_nextConnId(0),
      m_records(nullptr),
      m_closing(false) {
  // A host may hand over a name that fills the whole field.
  m_callbacks.LogName[sizeof m_callbacks.LogName - 1] = '\0';
  pel::diag::Live().servers.fetch_add(1);
}

PelNamedPipeServer::~PelNamedPipeServer() {
  m_connections.clear();
  pel::diag::Live().servers.fetch_sub(1);
}

int PelNamedPipeServer::Init() {
  std::lock_guard<std::mutex> guard(m_lock);
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
    // A server without workers would never complete anything: report it, so
    // the create export destroys the object, and leave no port behind.
    CloseHandle(m_iocp);
    m_iocp = nullptr;
    return PEL_ERR_NO_MEMORY;
  }
  for (int32_t i = 0; i < m_workerCount; ++i) m_workers[i] = std::thread(&WorkThread, this);
  m_initialized = true;
  PEL_LOGI << "Leave!";
  return PEL_OK;
}

int PelNamedPipeServer::Uninit() {
  std::lock_guard<std::mutex> guard(m_lock);
  PEL_LOGI << "Enter!";
  if (!m_initialized) {
    PEL_LOGW << "NOT initialized!";
  } else {
    m_running = false;
    if (m_iocp != nullptr && m_workers != nullptr) {
      for (int32_t i = 0; i < m_workerCount; ++i)
        PostQueuedCompletionStatus(m_iocp, kExitRequest, 0, nullptr);
      for (int32_t i = 0; i < m_workerCount; ++i)
        if (m_workers[i].joinable()) m_workers[i].join();
    }
    pel::DeleteArray(m_workers);
    m_workers = nullptr;
    if (m_iocp != nullptr) {
      CloseHandle(m_iocp);
      m_iocp = nullptr;
    }
    m_initialized = false;
  }
  PEL_LOGI << "Leave!";
  return PEL_OK;
}

int PelNamedPipeServer::WorkThread(PelNamedPipeServer* server) {
  PEL_LOGI << "Enter!";
  if (server == nullptr) {
    PEL_LOGE << ">>>>Server is nullptr!<<<<\n";
    return 1;
  }
  server->m_running = true;
  int result = 0;
  DWORD bytes = 0;
  LPOVERLAPPED ov = nullptr;
  for (;;) {
    ULONG_PTR key = 0;
    const BOOL ok = GetQueuedCompletionStatus(server->m_iocp, &bytes, &key, &ov, INFINITE);
    if (bytes == kExitRequest) {
      PEL_LOGI << "Receive  exit request!";
      break;
    }
    if (ov == nullptr) {
      PEL_LOGE << ">>>>pov is NULL!!! err:" << GetLastError() << "!<<<<\n";
    } else if (key == 0) {
      PEL_LOGE << ">>>>ulKey is NULL!!!<<<<\n";
    } else {
      IpcConnection* conn = reinterpret_cast<IpcConnection*>(key);
      IocpKey* context = reinterpret_cast<IocpKey*>(ov);
      // Hold first, then take the packet off the count (record_lifetime.cpp).
      conn->holders.fetch_add(1);
      conn->unhandledIocp.fetch_sub(1);
      if (!ok) {
        const DWORD err = GetLastError();
        result = static_cast<int>(err);
        PEL_LOGE << ">>>>GetQueuedCompletionStatus -> Error:" << err << "!<<<<\n";
        if (pel::IsOrderlyPipeEnd(err)) {
          PEL_LOGE << ">>>>Pipe is Broken!!!<<<<\n";
          conn->closing.exchange(true);
        }
      }
      // A connect that came back failed took its listening instance with it
      // (a client that opened the pipe and went away before it was taken);
      // after Close cancelled it, nothing replaces it.
      bool lostInstance = false;
      if (conn->closing.load()) {
        lostInstance = context->type == IOCP_CONNECT && conn->id == pel::kNoConnId;
        PEL_LOGI << "Connection[" << conn->id << "] is closing!!!";
        DeleteIocpKey(context);
        PEL_LOGI << "iocp_key deleted! Unfinished iocp:" << conn->unhandledIocp.load();
      } else {
        switch (context->type) {
          case IOCP_CONNECT:
            result = server->HandleIocpConnect(conn);
            if (result != 0) {
              PEL_LOGE << "[" << pel::CurrentThreadId()
                       << "] HandleIocpConnect failed! err:" << result << "!\n";
            }
            break;
          case IOCP_READ:
            result = server->HandleIocpRead(conn, context, bytes);
            if (result != 0) {
              PEL_LOGE << "[" << pel::CurrentThreadId() << "] HandleIocpRead failed! err:" << result
                       << "!\n";
            }
            break;
          case IOCP_WRITE:
            result = server->m_callbacks.OnSend(conn->id, server->m_callbacks.UserContext);
            if (result != 0) {
              PEL_LOGE << "[" << pel::CurrentThreadId()
                       << "] HandleIocpWrite failed! err:" << result << "!\n";
            }
            break;
          default:
            break;
        }
        DeleteIocpKey(context);
      }
      // The last holder of a drained closing record releases it here.
      server->DropHold(conn);
      if (lostInstance) {
        const int replaced = server->ReplaceListeningInstance();
        if (replaced != 0) {
          PEL_LOGE << "[" << pel::CurrentThreadId() << "] PostIocpConnect failed! err:" << replaced
                   << "!\n";
        }
      }
    }
    if (!server->m_running) break;
  }
  PEL_LOGI << "Leave!";
  return result;
}
