// Listening pipe instances, accepted connects and the server's HELLO.
#include <new>

#include "log/log.h"
#include "platform/diag.h"
#include "platform/pipe_name.h"
#include "platform/thread_id.h"
#include "protocol/message.h"
#include "server/pel_named_pipe_server.h"

int PelNamedPipeServer::Start(const char* name) {
  pel::LockGuard guard(m_lock);
  PEL_LOGI << "Enter!";
  {
    // The export has refused a missing name; workers read it to replace a used instance.
    pel::LockGuard records(m_recordLock);
    try {
      m_pipeName = pel::FullPipeName(name);
    } catch (const std::bad_alloc&) {
      PEL_LOGE << ">>>>Alloc memory for pipe name failed!<<<<\n";
      return PEL_ERR_NO_MEMORY;
    }
    PEL_LOGI << "pipe name:" << m_pipeName;
  }
  for (int32_t i = 0; i < m_workerCount; ++i) {
    PEL_LOGI << "[" << i << "]PostIocpConnect!";
    const int result = PostIocpConnect();
    if (result != 0) {
      PEL_LOGE << "PostIocpConnect failed! err:" << result;
      return result;
    }
  }
  PEL_LOGI << "Leave!";
  return PEL_OK;
}

namespace {
// ListenOnce's outcome when a client opened and closed the instance first (232): spent, not failed.
constexpr int kInstanceSpent = -1;
// Each spent instance was a client that came and went; no burst of those lasts this long.
constexpr int kMaxSpentInstances = 64;
}  // namespace

int PelNamedPipeServer::PostIocpConnect() {
  PEL_LOGI << "Enter!";
  int result = kInstanceSpent;
  for (int spent = 0; result == kInstanceSpent && spent < kMaxSpentInstances; ++spent)
    result = ListenOnce();
  if (result == kInstanceSpent) {
    PEL_LOGE << "ConnectNamedPipe failed! Error:" << static_cast<DWORD>(ERROR_NO_DATA) << "!\n";
    result = PEL_ERR_PIPE;
  }
  PEL_LOGI << "Leave!";
  return result;
}

int PelNamedPipeServer::ListenOnce() {
  static constexpr const char* kOperation = "PelNamedPipeServer::PostIocpConnect";
  IpcConnection* conn = NewIpcConnection();
  if (conn == nullptr) {
    PEL_LOG_AS(pel::log::error, kOperation)
        << ">>>>Alloc memory for ipc_conn failed! Error:" << GetLastError() << "!<<<<\n";
    return PEL_ERR_NO_MEMORY;
  }
  PEL_LOG_AS(pel::log::info, kOperation)
      << "Create a new connection[" << static_cast<const void*>(conn) << "]!";
  IocpKey* key = NewIocpKey();
  if (key == nullptr) {
    PEL_LOG_AS(pel::log::error, kOperation)
        << ">>>>Alloc memory for iocp_key failed! Error:" << GetLastError() << "!<<<<\n";
    DeleteIpcConnection(conn);
    return PEL_ERR_NO_MEMORY;
  }
  // Undoes what went before a failure; a spent instance is no fault, so quiet.
  const auto fail = [this, conn, key](int code) {
    const bool quiet = code == kInstanceSpent;
    if (key->pipe != INVALID_HANDLE_VALUE) {
      {
        pel::LockGuard records(m_recordLock);
        UnlinkRecordLocked(conn);
      }
      if (!quiet)
        PEL_LOG_AS(pel::log::error, kOperation)
            << ">>>>Close pipe:" << static_cast<const void*>(key->pipe) << "!<<<<";
      CloseHandle(key->pipe);
      pel::diag::Live().pipeHandles.fetch_sub(1);
    }
    DeleteIocpKey(key);
    if (!quiet)
      PEL_LOG_AS(pel::log::error, kOperation)
          << ">>>>Delete connection[" << static_cast<const void*>(conn) << "]!<<<<";
    DeleteIpcConnection(conn);
    return code;
  };

  // A null DACL: every user of the machine may open the pipe.
  SECURITY_DESCRIPTOR descriptor;
  InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
  SetSecurityDescriptorDacl(&descriptor, TRUE, nullptr, FALSE);
  SECURITY_ATTRIBUTES attributes{sizeof attributes, &descriptor, FALSE};
  bool refused;
  DWORD err = 0;
  {
    // Created and linked in one step: Close either refuses this instance or finds its pipe.
    pel::LockGuard records(m_recordLock);
    refused = m_closing;
    if (!refused) {
      key->pipe = CreateNamedPipeA(
          m_pipeName.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
          PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS,
          PIPE_UNLIMITED_INSTANCES, pel::kPipeBufferSize, pel::kPipeBufferSize,
          NMPWAIT_WAIT_FOREVER, &attributes);
      err = GetLastError();
    }
    if (key->pipe != INVALID_HANDLE_VALUE) {
      pel::diag::Live().pipeHandles.fetch_add(1);
      conn->pipe = key->pipe;
      LinkRecordLocked(conn);
    }
  }
  if (refused) {
    PEL_LOG_AS(pel::log::warning, kOperation) << "Server is closing! No new pipe instance.";
    return fail(PEL_ERR_PIPE);
  }
  if (key->pipe == INVALID_HANDLE_VALUE) {
    PEL_LOG_AS(pel::log::error, kOperation) << "CreateNamedPipe failed! Error:" << err << "!\n";
    return fail(PEL_ERR_PIPE);
  }
  key->type = IOCP_CONNECT;
  PEL_LOG_AS(pel::log::info, kOperation) << "Bind CreateIoCompletionPort.";
  const ULONG_PTR completionKey = conn->CompletionKey();
  if (m_iocp == nullptr || CreateIoCompletionPort(key->pipe, m_iocp, completionKey, 0) == nullptr) {
    PEL_LOG_AS(pel::log::error, kOperation)
        << "Bind pipe failed! CreateIoCompletionPort -> Error:"
        << (m_iocp == nullptr ? static_cast<DWORD>(ERROR_INVALID_HANDLE) : GetLastError()) << "!\n";
    return fail(PEL_ERR_BIND);
  }
  conn->unhandledIocp.fetch_add(1);
  err = ConnectNamedPipe(key->pipe, &key->overlapped) ? ERROR_IO_PENDING : GetLastError();
  // 535: a client opened the instance before this request. It is connected,
  // but no completion will come for it: the port hears of it from us.
  if (err == ERROR_PIPE_CONNECTED &&
      PostQueuedCompletionStatus(m_iocp, 0, completionKey, &key->overlapped)) {
    err = ERROR_IO_PENDING;
  }
  if (err != ERROR_IO_PENDING) {
    conn->unhandledIocp.fetch_sub(1);
    if (err == ERROR_NO_DATA) return fail(kInstanceSpent);
    PEL_LOG_AS(pel::log::error, kOperation) << "ConnectNamedPipe failed! Error:" << err << "!\n";
    return fail(PEL_ERR_PIPE);
  }

  // Close may have swept this instance just before the request went out.
  if (conn->closing.load()) CancelIoEx(conn->pipe, nullptr);
  PEL_LOG_AS(pel::log::info, kOperation)
      << "Post a connect request! Count:" << conn->unhandledIocp.load();
  DropHold(conn, ReleaseAt::kWorker, nullptr);
  return PEL_OK;
}

int PelNamedPipeServer::HandleIocpConnect(IpcConnection* conn) {
  PEL_LOGI << "HandleIocpConnect: [" << static_cast<const void*>(conn)
           << "] Connect finished! Send hello.";
  AddConnection(conn);
  const uint32_t id = conn->id;
  PEL_LOGI << "HandleIocpConnect: conn_id:" << id;
  int result = PostIocpRead(id);
  if (result != 0) {
    PEL_LOGE << "[" << pel::CurrentThreadId() << "] PostIocpRead failed! err:" << result << "!\n";
  } else {
    PEL_LOGI << "Try to send hello to client:" << id;
    result = SendHello(id);
    if (result != 0)
      PEL_LOGE << "[" << pel::CurrentThreadId() << "] SendHello failed! err:" << result << "!\n";
  }
  // The instance this client took is replaced whatever became of it: clients
  // that close at once fail the first read and would leave nothing listening.
  const int replaced = ReplaceListeningInstance();
  return result != 0 ? result : replaced;
}

int PelNamedPipeServer::ReplaceListeningInstance() {
  {
    pel::LockGuard records(m_recordLock);
    if (m_closing) return PEL_OK;  // nothing is to listen any more
  }
  const int result = PostIocpConnect();
  if (result != 0)
    PEL_LOG_AS(pel::log::error, "PelNamedPipeServer::HandleIocpConnect")
        << "[" << pel::CurrentThreadId() << "] PostIocpConnect failed! err:" << result << "!\n";
  return result;
}

int PelNamedPipeServer::SendHello(uint32_t connId) {
  PEL_LOGI << "Enter!";
  // The header belongs to the write until its completion is dequeued.
  uint8_t* hello = pel::BuildMessage(connId, pel::kKindHello, nullptr, 0);
  int result =
      hello == nullptr ? PEL_ERR_NO_MEMORY : PostIocpWrite(connId, hello, pel::kHeaderSize);
  if (result != 0) {
    PEL_LOGE << "Send hello to client[" << connId << "] failed! err:" << result << "!\n";
    result = PEL_ERR_WRITE;
  }
  PEL_LOGI << "Leave!";
  return result;
}
