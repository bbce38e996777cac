// Reads and writes on accepted connections, and the host's sends.
#include "log/log.h"
#include "platform/thread_id.h"
#include "protocol/message.h"
#include "server/pel_named_pipe_server.h"

int PelNamedPipeServer::PostIocpRead(uint32_t connId) {
  IpcConnection* conn = nullptr;
  const int reserved = ReserveOperation(connId, &conn, "PelNamedPipeServer::PostIocpRead", "read");
  if (reserved != PEL_OK) return reserved;
  IocpKey* key = NewIocpKey();
  if (key == nullptr) {
    PEL_LOGE << ">>>>Alloc iocp_key failed! Error:" << GetLastError() << "!<<<<\n";
    // A connection that cannot read is over, but the others are not: it is
    // released once its other operations come back, and the server serves on.
    conn->closing.exchange(true);
    CancelIoEx(conn->pipe, nullptr);
    UndoReservation(conn);
    return PEL_ERR_NO_MEMORY;
  }
  key->Reset(IOCP_READ, conn->pipe);
  // No byte count here: the read may complete, and its context be freed by a
  // worker, before ReadFile returns; a count would be read from that context.
  const BOOL ok = ReadFile(key->pipe, key->buffer, pel::kReadSize, nullptr, &key->overlapped);
  const DWORD err = ok ? 0 : GetLastError();
  // A message longer than the buffer still completes on the port, in parts.
  if (ok || err == ERROR_IO_PENDING || err == ERROR_MORE_DATA) {
    // A close that cancelled the pipe just before this read went out.
    if (conn->closing.load()) CancelIoEx(conn->pipe, nullptr);
    DropHold(conn, ReleaseAt::kWorker, nullptr);
    return PEL_OK;
  }
  PEL_LOGE << ">>>>ReadFile failed! err:" << err << "! Connection[" << connId
           << "] is closing...<<<<\n";
  const int32_t left = conn->unhandledIocp.fetch_sub(1) - 1;
  conn->closing.exchange(true);
  DeleteIocpKey(key);
  // Only worker handlers post reads: their hold and ours are all there may be.
  if (ClaimRelease(conn, 2))
    ReleaseConnection(conn, "PelNamedPipeServer::PostIocpRead");
  else if (left != 0)
    PEL_LOGI << "Unhandled iocp count:" << left;
  DropHold(conn, ReleaseAt::kWorker, nullptr);
  return PEL_ERR_READ;
}

int PelNamedPipeServer::PostIocpWrite(uint32_t connId, uint8_t* message, uint32_t length) {
  IpcConnection* conn = nullptr;
  const int reserved =
      ReserveOperation(connId, &conn, "PelNamedPipeServer::PostIocpWrite", "write");
  if (reserved != PEL_OK) {
    pel::DeleteMessage(message);
    return reserved;
  }
  IocpKey* key = NewIocpKey();
  if (key == nullptr) {
    PEL_LOGE << ">>>>Alloc iocp_key failed! Error:" << GetLastError() << "!<<<<\n";
    pel::DeleteMessage(message);
    UndoReservation(conn);
    return PEL_ERR_NO_MEMORY;
  }
  key->Reset(IOCP_WRITE, conn->pipe);
  key->message = message;  // freed with the context, after the completion
  if (!WriteFile(key->pipe, message, length, nullptr, &key->overlapped)) {
    const DWORD err = GetLastError();
    if (err != ERROR_IO_PENDING) {
      PEL_LOGE << ">>>>WriteFile failed! err:" << err << "! Connection[" << connId
               << "] is closing...<<<<\n";
      conn->unhandledIocp.fetch_sub(1);
      DeleteIocpKey(key);
      DropHold(conn, ReleaseAt::kWorker, nullptr);
      return PEL_ERR_WRITE;
    }
    PEL_LOGW << "WriteFile pending!!!";
  }
  if (conn->closing.load()) CancelIoEx(conn->pipe, nullptr);
  DropHold(conn, ReleaseAt::kWorker, nullptr);
  return PEL_OK;
}

int PelNamedPipeServer::HandleIocpRead(IpcConnection* conn, IocpKey* key, uint32_t bytes) {
  if (bytes < pel::kHeaderSize) {
    PEL_LOGE << "recv incompleted message!!! header size:" << pel::kHeaderSize << " recv:" << bytes
             << "!!!\n";
    return RefuseMessage(conn, PEL_ERR_SHORT_MESSAGE);
  }
  const pel::MessageHeader header = pel::ReadHeader(key->buffer);
  if (header.magic != pel::kMagic) {
    PEL_LOGE << "recv invalid message from client!!\n";
    return RefuseMessage(conn, PEL_ERR_BAD_MAGIC);
  }
  const uint32_t id = conn->id;
  int result;
  if (conn->state.load() != CONNECTED) {
    if (header.kind != pel::kKindHello) {
      PEL_LOGE << "recv business message before HELLO!! Disconnect!!!";
      return RefuseMessage(conn, PEL_ERR_SHORT_MESSAGE);
    }
    PEL_LOGI << "Recv Hello from client! Connection[" << static_cast<const void*>(conn)
             << "]id:" << id << ", Count:" << conn->unhandledIocp.load();
    conn->state.exchange(CONNECTED);
    result = m_callbacks.OnConnect(id, m_callbacks.UserContext);
  } else {
    // The payload is handed over where it landed; the context is freed after.
    result = m_callbacks.OnRecv(id, key->buffer + pel::kHeaderSize, bytes - pel::kHeaderSize,
                                m_callbacks.UserContext);
  }
  if (conn->closing.load()) {
    PEL_LOGI << "IPC connection is closing, do not post iocp read!";
    return result;
  }
  result = PostIocpRead(id);
  if (result != 0)
    PEL_LOGE << "[" << pel::CurrentThreadId() << "] PostIocpRead failed! err:" << result << "!\n";
  return result;
}

int PelNamedPipeServer::SendData(uint32_t connId, int32_t kind, const uint8_t* data, int32_t size) {
  // The export has refused missing data and passes a business or sync kind.
  if (static_cast<uint32_t>(size) > pel::kMaxServerPayload) {
    PEL_LOGE << ">>>>Data size[" << size << "] is larger than IPC buffer size["
             << pel::kMaxServerPayload << "]!<<<<\n";
    return PEL_ERR_INVALID_ARG;
  }
  uint8_t* message =
      pel::BuildMessage(connId, static_cast<uint32_t>(kind), data, static_cast<uint32_t>(size));
  if (message == nullptr) {
    PEL_LOGE << "alloc memory for msg failed!!!\n";
    return PEL_ERR_NO_MEMORY;
  }
  const int result = PostIocpWrite(connId, message, pel::kHeaderSize + static_cast<uint32_t>(size));
  if (result != 0) {
    PEL_LOGE << "Send message to client[" << connId << "] failed! err:" << result << "!\n";
    return PEL_ERR_WRITE;
  }
  return PEL_OK;
}
