// Named-pipe client: one pipe at a time, one port, one work thread runs all handlers and callbacks.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <string>
#include <thread>
#include <utility>

#include "client/client_connection.h"
#include "client/pel_ipc_client.h"
#include "pel_ipc.h"
#include "platform/lock.h"
#include "platform/win.h"
#include "protocol/stream_cutter.h"

class PelNamedPipeClient : public PelIpcClient, private pel::MessageSink {
 public:
  explicit PelNamedPipeClient(const PelIpcCallback& callbacks) noexcept;
  ~PelNamedPipeClient() override;
  PelNamedPipeClient(const PelNamedPipeClient&) = delete;
  PelNamedPipeClient& operator=(const PelNamedPipeClient&) = delete;

  int Init() override;
  int Uninit() override;
  int Connect(const char* name, bool nonBlocking) override;
  int Disconnect() override;
  bool IsConnected() override {
    pel::LockGuard guard(m_lock);
    return m_state == CONNECTED;
  }
  int SendData(uint32_t kind, const uint8_t* data, int32_t size) override {
    return Send(kind, data, size, true);
  }
  int SendHello(uint32_t connId) override;
  int SyncCall(const uint8_t* request, uint32_t requestSize, uint8_t* answer,
               uint32_t* answerSize) override;
  // Data of any size as consecutive messages of at most the client payload each, accepted whole or
  // not at all, and never interleaved with another sender's messages.
  int SendAnySize(uint32_t kind, const uint8_t* data, int32_t size) {
    return Send(kind, data, size, false);
  }

  static int WorkThread(PelNamedPipeClient* client);

  // Bytes accepted on the current pipe and not yet written.
  uint64_t UnwrittenBytes() {
    pel::LockGuard guard(m_lock);
    return m_key == nullptr ? 0 : m_key->UnwrittenBytes();
  }

  // False when the receive buffer could not be allocated at construction.
  bool ReceiveBufferReady() const noexcept { return m_recv.valid(); }
  uint32_t ReceiveCapacity() const noexcept { return m_recv.capacity(); }

 private:
  // One message when single, else SendAnySize's pieces; logs as SendData.
  int Send(uint32_t kind, const uint8_t* data, int32_t signedSize, bool single);

  // The operations on whose behalf helpers log.
  static constexpr char kAsWorkThread[] = "PelNamedPipeClient::WorkThread";
  static constexpr char kAsHandleIocpRead[] = "PelNamedPipeClient::HandleIocpRead";
  static constexpr char kAsSendData[] = "PelNamedPipeClient::SendData";
  static constexpr char kAsPostIocpWrite[] = "PelNamedPipeClient::PostIocpWrite";
  // The bound of every wait: a blocking connect's HELLO, a synchronous
  // call's answer, Disconnect's queued writes, a release's host OnClose
  // calls, and Uninit's completions of a pipe it has just closed.
  static constexpr DWORD kWaitMs = PEL_IPC_WAIT_MS;
  static constexpr std::chrono::milliseconds kDrainWait{kWaitMs};
  static constexpr DWORD kUninitPauseMs = 50;

  void CloseIocpPipe();  // after a failed dequeue: DISCONNECT, and the pipe closed
  void ClosePipeLocked() REQUIRES(m_lock);
  uint32_t ConnId() {
    pel::LockGuard guard(m_lock);
    return m_connId;
  }
  // Marks the record closing, closes the pipe if asked, hands a drained one to the work thread.
  void CloseRecordLocked(ClientConnection* connection, bool closePipe) REQUIRES(m_lock);
  void KickReleaseIfIdleLocked(ClientConnection* connection) REQUIRES(m_lock);
  uint8_t* TakeSentLocked(ClientConnection* connection, IocpKey* context) REQUIRES(m_lock) {
    connection->writing = false;
    return std::exchange(context->message, nullptr);
  }
  void UnlinkLiveLocked(ClientConnection* connection) REQUIRES(m_lock);
  void ReleaseConnection(ClientConnection* connection, int lastResult);
  int32_t CloseFromHostLocked() REQUIRES(m_lock);
  void DrainAfterJoin();

  int PostIocpConnect();
  int HandleHello(IocpKey* context);
  void EndBeforeHello();

  int PostIocpWrite(pel::WriteQueue& batch, bool bounded);
  bool RoomForLocked(ClientConnection* connection, uint64_t bytes) REQUIRES(m_lock);
  int IssueWriteLocked(ClientConnection* connection, uint8_t* message) REQUIRES(m_lock);
  void IssueNextWriteLocked(ClientConnection* connection) REQUIRES(m_lock);
  int HandleIocpWrite(ClientConnection* connection, IocpKey* context);
  int PostIocpRead(DWORD* error = nullptr);
  int PostNextRead();
  int HandleIocpRead(IocpKey* context, uint32_t bytes);
  int HandleIpcSyncMsg(const uint8_t* message);

  // What the receive buffer hands on while it cuts messages.
  int OnBusinessMessage(const uint8_t* message, uint32_t payloadSize) override;
  int OnSyncMessage(const uint8_t* message, uint32_t payloadSize) override;
  void OnOtherKind(uint32_t kind) override;
  void OnWrongMagic(uint32_t magic) override;
  void OnOversizeLength(uint32_t length) override;
  void OnDiscard() override;

  PelIpcCallback m_callbacks;
  // Outermost first: a synchronous call holds m_syncLock while it sends, which takes
  // m_lock; Init and Uninit clear the receive buffer (its lock innermost) under m_lock.
  // m_replyLock is alone.
  pel::Mutex m_syncLock ACQUIRED_BEFORE(m_lock, m_replyLock);
  pel::Mutex m_lock;
  pel::Mutex m_replyLock;

  HANDLE m_sync_read_event GUARDED_BY(m_replyLock) = nullptr;
  uint8_t* m_syncReply GUARDED_BY(m_replyLock) = nullptr;
  uint32_t m_syncReplySize GUARDED_BY(m_replyLock) = 0;

  HANDLE m_sync_conn_event GUARDED_BY(m_lock) = nullptr;
  // Written by Connect before the pipe is opened; read by the same call.
  std::string m_pipeName;
  HANDLE m_pipe GUARDED_BY(m_lock) = nullptr;
  // Set by Init before the work thread starts, closed by Uninit after the join: read unlocked.
  HANDLE m_iocp = nullptr;
  uint32_t m_state GUARDED_BY(m_lock) = DISCONNECT;
  uint32_t m_connId GUARDED_BY(m_lock) = pel::kNoConnId;
  std::thread m_workThread;
  bool m_initialized GUARDED_BY(m_lock) = false;
  pel::StreamCutter m_recv;  // the receive buffer, guarded by its own lock
  ClientConnection* m_key GUARDED_BY(m_lock) = nullptr;

  // Records not yet freed: m_key and any earlier one whose last completion is still due.
  ClientConnection* m_liveRecords GUARDED_BY(m_lock) = nullptr;
  // Host-thread OnClose calls running (Disconnect, Uninit); the work thread's waits for them.
  int m_hostCloses GUARDED_BY(m_lock) = 0;
  std::condition_variable m_changed;  // a record was freed, or a host OnClose returned
};
