// The named-pipe server: a port, its worker pool, listening instances and the connection table.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <string>
#include <thread>

#include "pel_ipc.h"
#include "platform/lock.h"
#include "platform/win.h"
#include "server/ipc_connection.h"
#include "server/pel_ipc_server.h"

class PelNamedPipeServer : public PelIpcServer {
 public:
  explicit PelNamedPipeServer(const PelIpcCallback& callbacks) noexcept;
  ~PelNamedPipeServer() override;
  PelNamedPipeServer(const PelNamedPipeServer&) = delete;
  PelNamedPipeServer& operator=(const PelNamedPipeServer&) = delete;

  int Init() override;
  int Uninit() override;
  int Start(const char* name) override;
  int Close() override;
  int CloseSingleConnection(uint32_t connId) override;
  int SendData(uint32_t connId, int32_t kind, const uint8_t* data, int32_t size) override;
  int SendHello(uint32_t connId) override;

  static int WorkThread(PelNamedPipeServer* server);

 private:
  static constexpr int32_t kMaxUnhandledIocp = 20;
  static constexpr char kAsWorkThread[] = "PelNamedPipeServer::WorkThread";

  // Where a thread that drops the last hold releases: a worker between packets
  // in place, in the name of its operation; any other thread (a host's call,
  // a worker inside a host callback) wakes a worker for it.
  enum class ReleaseAt { kHere, kWorker };

  // The worker's handling of one operation's completion (server_lifecycle.cpp).
  int HandlePacket(IpcConnection* conn, OVERLAPPED* ov, DWORD bytes, BOOL ok, int result);
  int Dispatch(IpcConnection* conn, IocpKey* context, DWORD bytes);

  // Accepting (server_accept.cpp).
  int PostIocpConnect();
  int ListenOnce();
  int HandleIocpConnect(IpcConnection* conn);
  int ReplaceListeningInstance();

  // Data path (server_data_path.cpp). PostIocpRead is called only by worker
  // handlers, which hold the record; PostIocpWrite takes ownership of message.
  int PostIocpRead(uint32_t connId);
  int PostIocpWrite(uint32_t connId, uint8_t* message, uint32_t length);
  int HandleIocpRead(IpcConnection* conn, IocpKey* key, uint32_t bytes);

  // Closing (server_close.cpp).
  void CloseAllConnections();
  void CancelConnectionLocked(IpcConnection* conn, bool wakeIfDrained) REQUIRES(m_lock);
  void CancelRemainingRecords();
  void AwaitReleases();
  void DrainPortAfterJoin();
  void ReleaseConnection(IpcConnection* conn, const char* operation);
  int RefuseMessage(IpcConnection* conn, int code);  // returns code
  void StopWorkers();
  void FreeWorkersAndPortLocked() REQUIRES(m_lock);

  // The table and the records' lifetime (server_records.cpp). ReserveOperation
  // counts and holds an operation, or logs the refusal in operation's name.
  void AddConnection(IpcConnection* conn);
  void RemoveConnection(uint32_t connId);
  int ReserveOperation(uint32_t connId, IpcConnection** conn, const char* operation,
                       const char* abort);
  void UndoReservation(IpcConnection* conn);
  void LinkRecordLocked(IpcConnection* conn) REQUIRES(m_recordLock);
  void UnlinkRecordLocked(IpcConnection* conn) REQUIRES(m_recordLock);
  bool ClaimRelease(IpcConnection* conn, int32_t ownHolds) {
    pel::LockGuard records(m_recordLock);
    return conn->ClaimRelease(ownHolds);
  }
  void WakeIfDrainedLocked(IpcConnection* conn, int32_t ownHolds) REQUIRES(m_recordLock);
  void DropHold(IpcConnection* conn, ReleaseAt where, const char* operation);

  PelIpcCallback m_callbacks;
  // Guards the connection table and the id counter; taken before m_recordLock.
  pel::Mutex m_lock ACQUIRED_BEFORE(m_recordLock);
  // Set by Start; workers read it when they replace a used instance.
  std::string m_pipeName GUARDED_BY(m_recordLock);
  // Set by Init and Close on the host's thread while no worker runs; read by running workers.
  std::thread* m_workers = nullptr;
  std::atomic<bool> m_running{false};
  bool m_initialized GUARDED_BY(m_lock) = false;
  int32_t m_workerCount = 0;
  HANDLE m_iocp = nullptr;
  uint32_t m_nextConnId GUARDED_BY(m_lock) = 0;
  std::map<uint32_t, IpcConnection*> m_connections GUARDED_BY(m_lock);

  // Every live record of this server, listening or accepted, so that Close
  // reaches instances that never had a client and can wait for the rest.
  // Guards the records' own released, prevRecord and nextRecord too.
  pel::Mutex m_recordLock;
  std::condition_variable m_recordsChanged;  // a record was unlinked
  uint64_t m_unlinked GUARDED_BY(m_recordLock) = 0;
  IpcConnection* m_records GUARDED_BY(m_recordLock) = nullptr;
  bool m_closing GUARDED_BY(m_recordLock) = false;
  // Set once Close has joined the workers: a release after that cannot reach
  // a worker, and a callback on the closing host's thread could deadlock it.
  std::atomic<bool> m_workersGone{false};
};
