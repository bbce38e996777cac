// The named-pipe server: a completion port, a pool of workers waiting on it,
// listening pipe instances, and the table of accepted connections.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include "pel_ipc.h"
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

  // The record registered under id, or null. The pointer is only safe to use
  // while the caller otherwise keeps the record alive.
  IpcConnection* GetConnection(uint32_t connId);
  int32_t workerCount() const noexcept { return m_workerCount; }

 private:
  // Outcome of ReserveOperation besides 0.
  enum { kReserveAbsent = 9, kReserveClosing = 3, kReserveTooMany = 16 };
  static constexpr int32_t kMaxUnhandledIocp = 20;

  // Where a release claimed by a thread may run: a worker between packets
  // releases in place, under the name of the operation it is in; any other
  // thread (a host's call, or a worker inside a host callback) hands the
  // release to a worker through the port.
  enum class ReleaseAt { kHere, kWorker };

  // The worker's handling of one operation's completion (server_lifecycle.cpp).
  int HandlePacket(IpcConnection* conn, IocpKey* context, DWORD bytes, BOOL ok, int result);
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

  // Table (connection_table.cpp).
  void AddConnection(IpcConnection* conn);
  int RemoveConnection(uint32_t connId);

  // Closing (server_close.cpp).
  void CloseAllConnections();
  bool CancelConnectionLocked(IpcConnection* conn, bool claimIfDrained);
  void CancelRemainingRecords();
  void DropClaim(IpcConnection* conn);
  void AwaitReleases();
  void DrainPortAfterJoin();
  void TakeCompletion(IpcConnection* conn);
  void ReleaseConnection(IpcConnection* conn, const char* operation);
  bool EndConnection(IpcConnection* conn, const char* operation);
  void RefuseMessage(IpcConnection* conn);
  void StopWorkers();

  // Record lifetime (record_lifetime.cpp).
  int ReserveOperation(uint32_t connId, IpcConnection** conn, int32_t* count);
  void UndoReservation(IpcConnection* conn);
  bool LinkRecord(IpcConnection* conn);
  void UnlinkRecord(IpcConnection* conn);
  bool ClaimReleaseLocked(IpcConnection* conn, int32_t ownHolds);
  bool ClaimRelease(IpcConnection* conn, int32_t ownHolds);
  bool ClaimDrainedLocked(IpcConnection* conn);
  void DropHold(IpcConnection* conn, ReleaseAt where, const char* operation);
  void FinishRelease(IpcConnection* conn);
  bool HandOffRelease(IpcConnection* conn);

  PelIpcCallback m_callbacks;
  std::mutex m_lock;
  std::string m_pipeName;
  std::thread* m_workers;
  std::atomic<bool> m_running;
  bool m_initialized;
  int32_t m_workerCount;
  HANDLE m_iocp;
  uint32_t m_nextConnId;
  std::map<uint32_t, IpcConnection*> m_connections;

  // Every live record of this server, listening or accepted, so that Close
  // reaches instances that never had a client and can wait for the rest.
  // Guarded by m_recordLock, which is taken after m_lock when both are held.
  std::mutex m_recordLock;
  std::condition_variable m_recordsChanged;  // a record was unlinked
  IpcConnection* m_records;
  bool m_closing;
  // Set once Close has joined the workers: a release after that cannot reach
  // a worker, and a callback on the closing host's thread could deadlock it.
  std::atomic<bool> m_workersGone;
};
