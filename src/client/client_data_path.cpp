// Sending (Send, SendHello, the write queue) and receiving (reads, the buffer, business dispatch).
#include <algorithm>

#include "client/pel_named_pipe_client.h"
#include "log/log.h"
#include "platform/thread_id.h"
#include "platform/win_error.h"

// A send's pieces are built, then queued in one step: a refused send leaves no prefix on the pipe.
int PelNamedPipeClient::Send(uint32_t kind, const uint8_t* data, int32_t signedSize, bool single) {
  if (data == nullptr || signedSize < 1) {
    PEL_LOG_AS(pel::log::error, kAsSendData) << "Invalid parameter!\n";
    return PEL_ERR_INVALID_ARG;
  }
  const uint32_t size = static_cast<uint32_t>(signedSize);
  if (single && size > pel::kMaxClientPayload) {
    PEL_LOG_AS(pel::log::error, kAsSendData)
        << "Data size[" << signedSize << "] too large! Max size is:" << pel::kMaxClientPayload
        << "!\n";
    return PEL_ERR_TOO_LARGE;
  }
  if (!static_cast<PelIpcClient*>(this)->IsConnected()) {
    PEL_LOG_AS(pel::log::error, kAsSendData) << "Not connected!\n";
    return PEL_ERR_STATE;
  }
  const uint32_t pieces = (size + pel::kMaxClientPayload - 1) / pel::kMaxClientPayload;
  const uint64_t wireBytes = uint64_t{size} + uint64_t{pieces} * pel::kHeaderSize;
  if (pieces > 1) {
    // Data that can never fit is refused before it is copied.
    pel::LockGuard guard(m_lock);
    if (!RoomForLocked(m_key, wireBytes)) return PEL_ERR_TOO_MANY_PENDING;
  }
  const uint32_t connId = ConnId();
  pel::WriteQueue batch;
  for (uint32_t offset = 0; offset < size;) {
    const uint32_t length = std::min(size - offset, pel::kMaxClientPayload);
    uint8_t* message = pel::BuildMessage(connId, kind, data + offset, length);
    if (message == nullptr) {
      PEL_LOG_AS(pel::log::error, kAsSendData) << "Alloc memory for msg failed!!!\n";
      return PEL_ERR_NO_MEMORY;
    }
    batch.Push(message);
    offset += length;
  }
  const int result = PostIocpWrite(batch, true);
  if (result == PEL_ERR_WRITE)
    PEL_LOG_AS(pel::log::error, kAsSendData)
        << "Send message to server failed! err:" << PEL_ERR_WRITE << "!\n";
  return result;
}

int PelNamedPipeClient::SendHello(uint32_t connId) {
  PEL_LOGI << "Enter!";
  int result = PEL_ERR_WRITE;
  uint8_t* hello = pel::BuildMessage(connId, pel::kKindHello, nullptr, 0);
  if (hello == nullptr) {
    PEL_LOGE << "Alloc memory for msg failed!!!\n";
  } else {
    pel::WriteQueue batch;
    batch.Push(hello);
    // The handshake answer is never refused for room: nothing is queued before it on a new pipe.
    result = PostIocpWrite(batch, false);
  }
  if (result != PEL_OK) PEL_LOGE << "Send hello to server failed! err:" << result << "!\n";
  PEL_LOGI << "Leave!";
  return result;
}

bool PelNamedPipeClient::RoomForLocked(ClientConnection* connection, uint64_t bytes) {
  const uint64_t unwritten = connection == nullptr ? 0 : connection->UnwrittenBytes();
  if (unwritten + bytes <= pel::kMaxUnwrittenBytes) return true;
  PEL_LOG_AS(pel::log::warning, kAsPostIocpWrite)
      << "Too many pending writes! queued bytes:" << unwritten;
  return false;
}

// Writes leave one at a time on writeKey, in the order accepted here: one that finds writeKey busy
// queues, and the work thread issues it from the previous write's completion, so no thread ever
// waits for a write. A batch is taken whole or, on any refusal, left whole with the caller.
int PelNamedPipeClient::PostIocpWrite(pel::WriteQueue& batch, bool bounded) {
  pel::LockGuard guard(m_lock);
  ClientConnection* connection = m_key;
  if (connection == nullptr || connection->closing.load() || m_pipe == nullptr) {
    PEL_LOGE << "WriteFile failed! err:" << ERROR_INVALID_HANDLE << "!\n";
    return PEL_ERR_WRITE;
  }
  if (bounded && !RoomForLocked(connection, batch.bytes())) return PEL_ERR_TOO_MANY_PENDING;
  // Not writing means nothing waits either: the queue drains before writeKey goes idle.
  if (!connection->writing) {
    uint8_t* first = batch.Pop();
    if (IssueWriteLocked(connection, first) != PEL_OK) {
      pel::DeleteMessage(first);
      return PEL_ERR_WRITE;
    }
  }
  connection->pending.Append(batch);
  return PEL_OK;
}

int PelNamedPipeClient::IssueWriteLocked(ClientConnection* connection, uint8_t* message) {
  IocpKey& key = connection->writeKey;
  key.Reset(IOCP_WRITE, m_pipe);
  key.message = message;
  connection->writing = true;
  connection->unhandledIocp.fetch_add(1);
  DWORD written = 0;
  if (WriteFile(m_pipe, message, pel::MessageWireSize(message), &written, &key.overlapped))
    return PEL_OK;
  const DWORD error = GetLastError();
  if (error == ERROR_IO_PENDING) return PEL_OK;
  connection->unhandledIocp.fetch_sub(1);
  TakeSentLocked(connection, &key);  // the caller keeps the message
  PEL_LOG_AS(pel::log::error, kAsPostIocpWrite) << "WriteFile failed! err:" << error << "!\n";
  KickReleaseIfIdleLocked(connection);
  return PEL_ERR_WRITE;
}

void PelNamedPipeClient::IssueNextWriteLocked(ClientConnection* connection) {
  while (!connection->writing && !connection->closing.load()) {
    uint8_t* next = connection->pending.Pop();
    if (next == nullptr) return;
    // Accepted already: a write that can no longer be issued is logged and dropped.
    if (IssueWriteLocked(connection, next) == 0) continue;
    pel::DeleteMessage(next);
    // The pipe is gone. What waits behind would fail the same way, one
    // logged failure each under the client lock (a fast sender queues
    // many thousands), and could not keep its order after a gap anyway.
    const uint32_t dropped = connection->pending.size();
    connection->pending.Clear();
    if (dropped != 0)
      PEL_LOG_AS(pel::log::error, kAsWorkThread)
          << ">>>>Pipe gone, " << dropped << " queued message(s) dropped!<<<<";
    return;
  }
}

int PelNamedPipeClient::HandleIocpWrite(ClientConnection* connection, IocpKey* context) {
  uint8_t* sent;
  {
    pel::LockGuard guard(m_lock);
    sent = TakeSentLocked(connection, context);
    IssueNextWriteLocked(connection);
    // A disconnect may be waiting for the queue to drain.
    if (!connection->writing) m_changed.notify_all();
  }
  pel::DeleteMessage(sent);
  return m_callbacks.OnSend(ConnId(), m_callbacks.UserContext);
}

int PelNamedPipeClient::PostIocpRead(DWORD* failure) {
  DWORD error;
  {
    pel::LockGuard guard(m_lock);
    ClientConnection* connection = m_key;
    if (connection == nullptr || connection->closing.load() || m_pipe == nullptr) {
      error = ERROR_INVALID_HANDLE;
    } else {
      IocpKey& key = connection->readKey;
      key.Reset(IOCP_READ, m_pipe);
      connection->unhandledIocp.fetch_add(1);
      DWORD got = 0;
      if (ReadFile(key.pipe, key.buffer, pel::kReadSize, &got, &key.overlapped)) return 0;
      error = GetLastError();
      if (error == ERROR_IO_PENDING) return 0;
      connection->unhandledIocp.fetch_sub(1);
      KickReleaseIfIdleLocked(connection);
    }
  }
  PEL_LOGE << "[" << pel::CurrentThreadId() << "] ReadFile failed! Error:" << error << "!\n";
  if (failure != nullptr) *failure = error;
  return PEL_ERR_READ;
}

int PelNamedPipeClient::PostNextRead() {
  DWORD error = 0;
  const int result = PostIocpRead(&error);
  if (result == 0) return 0;
  PEL_LOG_AS(pel::log::error, kAsHandleIocpRead)
      << "[" << pel::CurrentThreadId() << "] PostIocpRead failed! err:" << result << "!\n";
  if (!pel::IsPeerGone(error)) return result;
  // The server left between two reads: ended like a read broken while pending, with one OnClose.
  pel::LockGuard guard(m_lock);
  if (m_key == nullptr) return result;
  PEL_LOG_AS(pel::log::info, kAsWorkThread) << "Pipe broken!" << m_pipe;
  CloseRecordLocked(m_key, false);
  return 0;
}

int PelNamedPipeClient::HandleIocpRead(IocpKey* context, uint32_t bytes) {
  if (context == nullptr || bytes == 0) {
    PEL_LOGE << ">>>>Invalid parameter!<<<<";
  } else {
    bool awaitingHello;
    {
      // Disconnect leaves CONNECTED before it lets the queued writes drain; what
      // the server sends meanwhile is still this pipe's stream, not a HELLO.
      pel::LockGuard guard(m_lock);
      awaitingHello = m_state != CONNECTED && (m_key == nullptr || m_key->id == pel::kNoConnId);
    }
    if (awaitingHello) {
      if (bytes >= pel::kHeaderSize) return HandleHello(context);
      PEL_LOGE << "Receive uncompleted message!!! header size:" << pel::kHeaderSize
               << " recv:" << bytes << "!!!\n";
    } else if (!m_recv.Append(context->buffer, bytes)) {
      PEL_LOGE << ">>>>Grow receive buffer for " << bytes
               << " more bytes failed! Clear all buffer!!!<<<<\n";
    } else {
      m_recv.Cut(*this);
    }
  }
  return PostNextRead();
}

// The cutter has checked the magic; a wrong one is refused in HandleIpcMsg's name.
int PelNamedPipeClient::OnBusinessMessage(const uint8_t* message, uint32_t payloadSize) {
  m_callbacks.OnRecv(ConnId(), message + pel::kHeaderSize, payloadSize, m_callbacks.UserContext);
  return 0;
}

int PelNamedPipeClient::OnSyncMessage(const uint8_t* message, uint32_t) {
  return HandleIpcSyncMsg(message);
}

void PelNamedPipeClient::OnOtherKind(uint32_t) {
  PEL_LOG_AS(pel::log::error, kAsHandleIocpRead) << "Received hello message in connected state!";
}

void PelNamedPipeClient::OnWrongMagic(uint32_t) {
  PEL_LOG_AS(pel::log::error, "PelNamedPipeClient::HandleIpcMsg") << ">>>>MAGIC is Wrong!<<<<\n";
}

void PelNamedPipeClient::OnOversizeLength(uint32_t length) {
  PEL_LOG_AS(pel::log::error, kAsHandleIocpRead)
      << ">>>>Message length[" << length << "] is larger than any sender may send["
      << pel::kMaxDeclaredPayload << "]!<<<<\n";
}

void PelNamedPipeClient::OnDiscard() {
  PEL_LOG_AS(pel::log::error, kAsHandleIocpRead)
      << ">>>>Handle ipc message failed! Clear all buffer!!!<<<<\n";
}
