// The named-pipe client: one pipe at a time, one completion port, one work
// thread that runs every completion handler and every host callback.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include "client/client_connection.h"
#include "client/pel_ipc_client.h"
#include "pel_ipc.h"
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
  bool IsConnected() override;
  int SendData(uint32_t kind, const uint8_t* data, int32_t size) override;
  int SendHello(uint32_t connId) override;
  int SyncCall(const uint8_t* request, uint32_t requestSize, uint8_t* answer,
               uint32_t* answerSize) override;

  static int WorkThread(PelNamedPipeClient* client);

  // Sends data of any size as consecutive messages of at most the client
  // payload each, accepted whole or not at all, and never interleaved with
  // another sender's messages.
  int SendAnySize(uint32_t kind, const uint8_t* data, int32_t size);
  // Bytes accepted on the current pipe and not yet written.
  uint64_t UnwrittenBytes();

  // False when the receive buffer could not be allocated at construction.
  bool ReceiveBufferReady() const noexcept { return m_recv.valid(); }
  uint32_t ReceiveCapacity() const noexcept { return m_recv.capacity(); }

 private:
  // The operations on whose behalf helpers log.
  static constexpr char kAsWorkThread[] = "PelNamedPipeClient::WorkThread";
  static constexpr char kAsHandleIocpRead[] = "PelNamedPipeClient::HandleIocpRead";
  static constexpr char kAsSendData[] = "PelNamedPipeClient::SendData";
  static constexpr char kAsPostIocpWrite[] = "PelNamedPipeClient::PostIocpWrite";

  // Lifecycle and the work thread's own steps.
  void SetState(uint32_t state);
  void CloseIocpPipe();
  void ClosePipeLocked();
  uint32_t ConnId();
  void MarkClosingLocked(ClientConnection* connection);
  void KickReleaseIfIdleLocked(ClientConnection* connection);
  void ReleaseConnection(ClientConnection* connection, int lastResult);
  void WaitForReleases();
  int32_t CloseFromHost(std::unique_lock<std::mutex>& lock);
  void DrainAfterJoin();
  void HandleCompletion(ClientConnection* connection, IocpKey* context, uint32_t bytes,
                        int& lastResult);

  // Connecting.
  int PostIocpConnect();
  int HandleHello(IocpKey* context);
  void EndBeforeHello();

  // Data path.
  int CheckSendArguments(uint32_t kind, const uint8_t* data, int32_t size);
  int QueueMessages(uint32_t kind, const uint8_t* data, uint32_t size);
  int PostIocpWrite(pel::WriteQueue& batch, bool bounded);
  bool RoomForLocked(ClientConnection* connection, uint64_t bytes);
  int IssueWriteLocked(ClientConnection* connection, uint8_t* message);
  void IssueNextWriteLocked(ClientConnection* connection);
  int HandleIocpWrite(ClientConnection* connection, IocpKey* context);
  int PostIocpRead(DWORD* error = nullptr);
  int PostNextRead();
  int HandleIocpRead(IocpKey* context, uint32_t bytes);
  int HandleIpcMsg(const uint8_t* message);
  int HandleIpcSyncMsg(const uint8_t* message);

  // What the receive buffer hands on while it cuts messages.
  int OnBusinessMessage(const uint8_t* message, uint32_t payloadSize) override;
  int OnSyncMessage(const uint8_t* message, uint32_t payloadSize) override;
  void OnOtherKind(uint32_t kind) override;
  void OnWrongMagic(uint32_t magic) override;
  void OnOversizeLength(uint32_t length) override;
  void OnDiscard() override;

  PelIpcCallback m_callbacks;
  HANDLE m_sync_read_event = nullptr;
  HANDLE m_sync_conn_event = nullptr;
  std::string m_pipeName;
  HANDLE m_pipe = nullptr;
  HANDLE m_iocp = nullptr;
  uint32_t m_state = DISCONNECT;
  uint32_t m_connId = pel::kNoConnId;
  std::thread m_workThread;
  bool m_initialized = false;
  uint8_t* m_syncReply = nullptr;
  uint32_t m_syncReplySize = 0;
  std::mutex m_recvLock;
  pel::StreamCutter m_recv;  // the receive buffer, guarded by m_recvLock
  ClientConnection* m_key = nullptr;
  std::mutex m_lock;
  std::mutex m_syncLock;
  std::mutex m_replyLock;  // m_syncReply and m_syncReplySize

  // Records not yet freed, the current one (m_key) and any earlier one whose
  // last completion is still due; guarded by m_lock.
  ClientConnection* m_liveRecords = nullptr;
  // OnClose calls running on host threads (Disconnect, Uninit); the work
  // thread's own OnClose for the same end waits for them. Guarded by m_lock.
  int m_hostCloses = 0;
  std::condition_variable m_changed;  // a record was freed, or a host OnClose returned
};
