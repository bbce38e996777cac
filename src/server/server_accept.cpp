// Listening pipe instances, accepted connects and the server's HELLO.
#include <new>

#include "log/log.h"
#include "platform/diag.h"
#include "platform/pipe_name.h"
#include "platform/thread_id.h"
#include "protocol/message.h"
#include "server/pel_named_pipe_server.h"

int PelNamedPipeServer::Start(const char* name) {
  std::lock_guard<std::mutex> guard(m_lock);
  PEL_LOGI << "Enter!";
  if (name == nullptr) {
    PEL_LOGE << "name is NULL!\n";
    return PEL_ERR_INVALID_ARG;
  }
  {
    // Workers read the name when they replace a used instance.
    std::lock_guard<std::mutex> records(m_recordLock);
    try {
      m_pipeName = pel::FullPipeName(name);
    } catch (const std::bad_alloc&) {
      PEL_LOGE << ">>>>Alloc memory for pipe name failed!<<<<\n";
      return PEL_ERR_NO_MEMORY;
    }
  }
  PEL_LOGI << "pipe name:" << m_pipeName;
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

int PelNamedPipeServer::PostIocpConnect() {
  PEL_LOGI << "Enter!";
  IpcConnection* conn = NewIpcConnection();
  if (conn == nullptr) {
    PEL_LOGE << ">>>>Alloc memory for ipc_conn failed! Error:" << GetLastError() << "!<<<<\n";
    PEL_LOGI << "Leave!";
    return PEL_ERR_NO_MEMORY;
  }
  PEL_LOGI << "Create a new connection[" << static_cast<const void*>(conn) << "]!";
  IocpKey* key = NewIocpKey();
  if (key == nullptr) {
    PEL_LOGE << ">>>>Alloc memory for iocp_key failed! Error:" << GetLastError() << "!<<<<\n";
    DeleteIpcConnection(conn);
    PEL_LOGI << "Leave!";
    return PEL_ERR_NO_MEMORY;
  }

  // A null DACL: every user of the machine may open the pipe.
  SECURITY_DESCRIPTOR descriptor;
  InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
  SetSecurityDescriptorDacl(&descriptor, TRUE, nullptr, FALSE);
  SECURITY_ATTRIBUTES attributes;
  attributes.nLength = sizeof attributes;
  attributes.lpSecurityDescriptor = &descriptor;
  attributes.bInheritHandle = FALSE;

  int code = 0;
  bool linked = false;
  bool refused = false;
  DWORD err = 0;
  {
    // Created and linked in one step, so Close either refuses this instance
    // or finds it with its pipe.
    std::lock_guard<std::mutex> records(m_recordLock);
    if (m_closing) {
      refused = true;
    } else {
      key->pipe = CreateNamedPipeA(m_pipeName.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                                   PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT,
                                   PIPE_UNLIMITED_INSTANCES, pel::kPipeBufferSize,
                                   pel::kPipeBufferSize, NMPWAIT_WAIT_FOREVER, &attributes);
      err = GetLastError();
      if (key->pipe != INVALID_HANDLE_VALUE) {
        pel::diag::Live().pipeHandles.fetch_add(1);
        conn->pipe = key->pipe;
        linked = LinkRecord(conn);
      }
    }
  }
  if (refused) {
    PEL_LOGW << "Server is closing! No new pipe instance.";
    code = PEL_ERR_PIPE;
  } else if (key->pipe == INVALID_HANDLE_VALUE) {
    PEL_LOGE << "CreateNamedPipe failed! Error:" << err << "!\n";
    code = PEL_ERR_PIPE;
  } else {
    key->type = IOCP_CONNECT;
    PEL_LOGI << "Bind CreateIoCompletionPort.";
    if (m_iocp == nullptr ||
        CreateIoCompletionPort(key->pipe, m_iocp, reinterpret_cast<ULONG_PTR>(conn), 0) ==
            nullptr) {
      PEL_LOGE << "Bind pipe failed! CreateIoCompletionPort -> Error:"
               << (m_iocp == nullptr ? static_cast<DWORD>(ERROR_INVALID_HANDLE) : GetLastError())
               << "!\n";
      code = PEL_ERR_BIND;
    } else {
      conn->unhandledIocp.fetch_add(1);
      if (!ConnectNamedPipe(key->pipe, &key->overlapped) &&
          (err = GetLastError()) != ERROR_IO_PENDING) {
        conn->unhandledIocp.fetch_sub(1);
        PEL_LOGE << "ConnectNamedPipe failed! Error:" << err << "!\n";
        code = PEL_ERR_PIPE;
      }
    }
  }

  if (code != 0) {
    if (linked) {
      std::lock_guard<std::mutex> records(m_recordLock);
      UnlinkRecord(conn);
    }
    if (key->pipe != INVALID_HANDLE_VALUE) {
      PEL_LOGE << ">>>>Close pipe:" << static_cast<const void*>(key->pipe) << "!<<<<";
      CloseHandle(key->pipe);
      pel::diag::Live().pipeHandles.fetch_sub(1);
    }
    DeleteIocpKey(key);
    PEL_LOGE << ">>>>Delete connection[" << static_cast<const void*>(conn) << "]!<<<<";
    DeleteIpcConnection(conn);
    PEL_LOGI << "Leave!";
    return code;
  }

  // Close may have swept this instance just before the request went out.
  if (conn->closing.load()) CancelIoEx(conn->pipe, nullptr);
  PEL_LOGI << "Post a connect request! Count:" << conn->unhandledIocp.load();
  PEL_LOGI << "Leave!";
  DropHold(conn);
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
    if (result != 0) {
      PEL_LOGE << "[" << pel::CurrentThreadId() << "] SendHello failed! err:" << result << "!\n";
    }
  }
  // The instance this client took is replaced whatever became of the client:
  // one that closes its end at once fails the first read, and a handful of
  // those would otherwise leave the server with nothing listening.
  const int replaced = ReplaceListeningInstance();
  if (replaced != 0) {
    PEL_LOGE << "[" << pel::CurrentThreadId() << "] PostIocpConnect failed! err:" << replaced
             << "!\n";
  }
  return result != 0 ? result : replaced;
}

int PelNamedPipeServer::ReplaceListeningInstance() {
  // A client that opens the new instance between its creation and its
  // connect request (535), or opens and closes it (232), makes the request
  // fail and the instance go. Clients waiting on a busy server hit that
  // moment in bursts, and a handful of lost instances leave nothing
  // listening, so keep trying: every failed try was a client that came, and
  // the tries end when they stop coming (or the server closes).
  constexpr int kAttempts = 64;
  int result = 0;
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    {
      std::lock_guard<std::mutex> records(m_recordLock);
      if (m_closing) return result;  // nothing is to listen any more
    }
    result = PostIocpConnect();
    if (result != PEL_ERR_PIPE) return result;
  }
  return result;
}

int PelNamedPipeServer::SendHello(uint32_t connId) {
  PEL_LOGI << "Enter!";
  int result;
  // The header belongs to the write until its completion is dequeued.
  uint8_t* hello = pel::BuildMessage(connId, pel::kKindHello, nullptr, 0);
  if (hello == nullptr) {
    result = PEL_ERR_NO_MEMORY;
  } else {
    result = PostIocpWrite(connId, hello, pel::kHeaderSize);
  }
  if (result != 0) {
    PEL_LOGE << "Send hello to client[" << connId << "] failed! err:" << result << "!\n";
    result = PEL_ERR_WRITE;
  }
  PEL_LOGI << "Leave!";
  return result;
}
