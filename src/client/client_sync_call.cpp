// The synchronous call: a kind-1 request, then a wait for the next kind-1 message, the answer.
#include <cstring>

#include "client/pel_named_pipe_client.h"
#include "log/log.h"
#include "platform/alloc.h"
#include "platform/thread_id.h"

int PelNamedPipeClient::SyncCall(const uint8_t* request, uint32_t requestSize, uint8_t* answer,
                                 uint32_t* answerSize) {
  // The export has refused missing arguments.
  pel::LockGuard call(m_syncLock);
  HANDLE event;
  {
    pel::LockGuard guard(m_replyLock);
    if (m_sync_read_event == nullptr) {
      m_sync_read_event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
      if (m_sync_read_event == nullptr) {
        const DWORD error = GetLastError();
        PEL_LOGE << "[" << pel::CurrentThreadId() << "] CreateEvent failed! err:" << error << "!\n";
        return PEL_ERR_EVENT;
      }
    } else if (!ResetEvent(m_sync_read_event)) {
      const DWORD error = GetLastError();
      PEL_LOGE << "Reset event m_sync_read_event failed! err:" << error;
      return PEL_ERR_EVENT;
    }
    event = m_sync_read_event;
  }

  PEL_LOGI << "Try to send sync message...";
  const int sent = static_cast<PelIpcClient*>(this)->SendData(pel::kKindSync, request,
                                                              static_cast<int32_t>(requestSize));
  if (sent != 0) {
    PEL_LOGE << "Send sync call message to server failed! err:" << sent;
    return PEL_ERR_WRITE;
  }

  const DWORD wait = WaitForSingleObject(event, kWaitMs);
  if (wait == WAIT_OBJECT_0) {
    PEL_LOGI << "Client read data from server OK!\n";
    pel::LockGuard guard(m_replyLock);
    const uint32_t capacity = *answerSize;
    *answerSize = m_syncReplySize;
    if (capacity >= m_syncReplySize) {
      if (m_syncReplySize != 0) std::memcpy(answer, m_syncReply, m_syncReplySize);
      return PEL_OK;
    }
    PEL_LOGE << "buffer size:" << capacity << ", is less than required size:" << m_syncReplySize
             << "!!!\n";
    return PEL_ERR_BUFFER_TOO_SMALL;
  }
  PEL_LOGE << (wait == WAIT_TIMEOUT ? ">>>>Read data timeout!<<<<\n"
                                    : ">>>>Read data failed!!!<<<<\n");
  return PEL_ERR_TIMEOUT;
}

int PelNamedPipeClient::HandleIpcSyncMsg(const uint8_t* message) {
  const uint32_t size = pel::ReadHeader(message).length;
  PEL_LOGI << "Recv Ipc sync msg, data size:" << size;
  HANDLE event;
  {
    pel::LockGuard guard(m_replyLock);
    event = m_sync_read_event;
    if (event == nullptr) {
      PEL_LOGE << "Cannot set event! m_sync_call_event is nullptr!\n";
      return 0;
    }
    if (m_syncReply != nullptr && m_syncReplySize < size)
      pel::DeleteBytes(std::exchange(m_syncReply, nullptr));
    if (m_syncReply == nullptr) m_syncReply = pel::NewBytes(size);
    if (m_syncReply == nullptr) {
      m_syncReplySize = 0;
      PEL_LOGE << "Allocate memory for sync message failed!!\n";
      return PEL_ERR_NO_MEMORY;
    }
    if (size != 0) std::memcpy(m_syncReply, message + pel::kHeaderSize, size);
    m_syncReplySize = size;
  }
  PEL_LOGI << "!!!!!!SyncCall get result!!!";
  SetEvent(event);
  PEL_LOGI << "!!!!!!SetEvent finished!!!";
  return 0;
}
