// Sending (SendData, SendHello, the write queue) and receiving (reads, the
// receive buffer, dispatch of business messages).
#include <cstring>

#include "client/pel_named_pipe_client.h"
#include "log/log.h"
#include "platform/thread_id.h"

int PelNamedPipeClient::SendData(uint32_t kind, const uint8_t* data, int32_t size) {
  if (kind == pel::kKindHello) {
    PEL_LOGE << "Cannot send hello in this function!!\n";
    return 1;
  }
  if (data == nullptr || size < 1) {
    PEL_LOGE << "Invalid parameter!\n";
    return 1;
  }
  if (static_cast<uint32_t>(size) > pel::kMaxClientPayload) {
    PEL_LOGE << "Data size[" << size << "] too large! Max size is:" << pel::kMaxClientPayload
             << "!\n";
    return 7;
  }
  if (!static_cast<PelIpcClient*>(this)->IsConnected()) {
    PEL_LOGE << "Not connected!\n";
    return 3;
  }
  uint8_t* message = pel::BuildMessage(ConnId(), kind, data, static_cast<uint32_t>(size));
  if (message == nullptr) {
    PEL_LOGE << "Alloc memory for msg failed!!!\n";
    return 10;
  }
  if (PostIocpWrite(message) != 0) {
    PEL_LOGE << "Send message to server failed! err:" << 20 << "!\n";
    pel::DeleteMessage(message);
    return 20;
  }
  return 0;
}

int PelNamedPipeClient::SendHello(uint32_t connId) {
  PEL_LOGI << "Enter!";
  int result = 0;
  uint8_t* hello = pel::BuildMessage(connId, pel::kKindHello, nullptr, 0);
  if (hello == nullptr) {
    PEL_LOGE << "Alloc memory for msg failed!!!\n";
    result = 20;
  } else if (PostIocpWrite(hello) != 0) {
    pel::DeleteMessage(hello);
    result = 20;
  }
  if (result != 0) {
    PEL_LOGE << "Send hello to server failed! err:" << result << "!\n";
  }
  PEL_LOGI << "Leave!";
  return result;
}

// Writes leave one at a time on writeKey, in the order they were accepted
// here. A send that finds writeKey busy joins the queue and the work thread
// issues it from the completion of the one before, so neither a host thread
// nor the work thread ever waits for a write to finish.
int PelNamedPipeClient::PostIocpWrite(uint8_t* message) {
  std::lock_guard<std::mutex> guard(m_lock);
  ClientConnection* connection = m_key;
  if (connection == nullptr || connection->closing.load() || m_pipe == nullptr) {
    PEL_LOGE << "WriteFile failed! err:" << static_cast<unsigned long>(ERROR_INVALID_HANDLE)
             << "!\n";
    return 20;
  }
  if (connection->writing) {
    connection->pending.Push(message);
    return 0;
  }
  return IssueWriteLocked(connection, message);
}

int PelNamedPipeClient::IssueWriteLocked(ClientConnection* connection, uint8_t* message) {
  IocpKey& key = connection->writeKey;
  key.Reset(IOCP_WRITE, m_pipe);
  key.message = message;
  connection->writing = true;
  connection->unhandledIocp.fetch_add(1);
  DWORD written = 0;
  if (!WriteFile(m_pipe, message, pel::MessageWireSize(message), &written, &key.overlapped)) {
    const DWORD error = GetLastError();
    if (error != ERROR_IO_PENDING) {
      connection->unhandledIocp.fetch_sub(1);
      key.message = nullptr;
      connection->writing = false;
      PEL_LOGE << "WriteFile failed! err:" << error << "!\n";
      KickReleaseIfIdleLocked(connection);
      return 20;
    }
  }
  return 0;
}

void PelNamedPipeClient::IssueNextWriteLocked(ClientConnection* connection) {
  while (!connection->writing && !connection->closing.load()) {
    uint8_t* next = connection->pending.Pop();
    if (next == nullptr) return;
    // Its sender was told it was accepted; a write that cannot be issued any
    // more is logged and dropped.
    if (IssueWriteLocked(connection, next) != 0) {
      pel::DeleteMessage(next);
      // The pipe is gone. What waits behind would fail the same way, one
      // logged failure each under the client lock (a fast sender queues
      // many thousands), and could not keep its order after a gap anyway.
      const uint32_t dropped = connection->pending.size();
      connection->pending.Clear();
      if (dropped != 0) {
        PEL_LOGE << ">>>>Pipe gone, " << dropped << " queued message(s) dropped!<<<<";
      }
      return;
    }
  }
}

int PelNamedPipeClient::HandleIocpWrite(ClientConnection* connection, IocpKey* context) {
  uint8_t* sent;
  {
    std::lock_guard<std::mutex> guard(m_lock);
    sent = context->message;
    context->message = nullptr;
    connection->writing = false;
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
    std::lock_guard<std::mutex> guard(m_lock);
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
  return 19;
}

int PelNamedPipeClient::PostNextRead() {
  DWORD error = 0;
  const int result = PostIocpRead(&error);
  if (result == 0) return 0;
  PEL_LOGE << "[" << pel::CurrentThreadId() << "] PostIocpRead failed! err:" << result << "!\n";
  if (error != ERROR_BROKEN_PIPE && error != ERROR_PIPE_NOT_CONNECTED) return result;
  // The server went away between two reads: the same end as a read that
  // breaks while pending, so it ends the same way, with one OnClose.
  std::lock_guard<std::mutex> guard(m_lock);
  if (m_key == nullptr) return result;
  PEL_LOGI << "Pipe broken!" << m_pipe;
  MarkClosingLocked(m_key);
  KickReleaseIfIdleLocked(m_key);
  return 0;
}

int PelNamedPipeClient::HandleIocpRead(IocpKey* context, uint32_t bytes) {
  if (context == nullptr || bytes == 0) {
    PEL_LOGE << ">>>>Invalid parameter!<<<<";
  } else {
    uint32_t state;
    bool helloSeen;
    {
      std::lock_guard<std::mutex> guard(m_lock);
      state = m_state;
      helloSeen = m_key != nullptr && m_key->id != pel::kNoConnId;
    }
    // Disconnect leaves CONNECTED before it lets the queued writes drain; what
    // the server sends meanwhile is still this pipe's stream, not a HELLO.
    if (state != CONNECTED && !helloSeen) {
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

int PelNamedPipeClient::HandleIpcMsg(const uint8_t* message) {
  if (message == nullptr) {
    PEL_LOGE << ">>>>Ipc msg is NULL!!!<<<<\n";
    return 1;
  }
  const pel::MessageHeader header = pel::ReadHeader(message);
  if (header.magic != pel::kMagic) {
    PEL_LOGE << ">>>>MAGIC is Wrong!<<<<\n";
    m_recv.Clear();
    return 4;
  }
  m_callbacks.OnRecv(ConnId(), message + pel::kHeaderSize, header.length, m_callbacks.UserContext);
  return 0;
}

int PelNamedPipeClient::OnBusinessMessage(const uint8_t* message, uint32_t) {
  return HandleIpcMsg(message);
}

int PelNamedPipeClient::OnSyncMessage(const uint8_t* message, uint32_t) {
  return HandleIpcSyncMsg(message);
}

void PelNamedPipeClient::OnOtherKind(uint32_t) {
  PEL_LOGE << "Received hello message in connected state!";
}

void PelNamedPipeClient::OnWrongMagic(uint32_t magic) {
  // The receive buffer tests the magic as soon as a header is held, before
  // the message is whole; the verdict and its log belong to HandleIpcMsg.
  uint8_t header[pel::kHeaderSize];
  pel::WriteHeader(header, 0, pel::kKindBusiness, 0);
  std::memcpy(header, &magic, sizeof magic);
  HandleIpcMsg(header);
}

void PelNamedPipeClient::OnOversizeLength(uint32_t length) {
  PEL_LOGE << ">>>>Message length[" << length << "] is larger than any sender may send["
           << pel::kMaxDeclaredPayload << "]!<<<<\n";
}

void PelNamedPipeClient::OnDiscard() {
  PEL_LOGE << ">>>>Handle ipc message failed! Clear all buffer!!!<<<<\n";
}
