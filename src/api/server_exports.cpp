// The six server functions a host calls: argument checks, then forward to
// the server object behind the handle.
#include "api/callback_table.h"
#include "log/log.h"
#include "pel_ipc.h"
#include "platform/alloc.h"
#include "server/pel_named_pipe_server.h"

namespace {

PelIpcServer* AsServer(PelIpcServerHandle handle) {
  return reinterpret_cast<PelIpcServer*>(handle);
}

}  // namespace

extern "C" {

PelIpcServerHandle PEL_CreateIpcServer(const PelIpcCallback* callback) {
  if (callback == nullptr) {
    PEL_LOGE << ">>>>callback is NULL!<<<<";
    return nullptr;
  }
  if (!pel::HasAllCallbacks(*callback)) {
    PEL_LOGE << ">>>>callback function is NULL!<<<<";
    return nullptr;
  }
  PelIpcServer* server = pel::NewObject<PelNamedPipeServer>(*callback);
  if (server == nullptr) {
    PEL_LOGE << ">>>>alloc memory for server failed!<<<<";
    return nullptr;
  }
  if (server->Init() != 0) {
    PEL_LOGE << ">>>>init server failed!<<<<";
    pel::DeleteObject(server);
    return nullptr;
  }
  return reinterpret_cast<PelIpcServerHandle>(server);
}

void PEL_DestroyIpcServer(PelIpcServerHandle handle) {
  PelIpcServer* server = AsServer(handle);
  if (server == nullptr) {
    PEL_LOGE << ">>>>server is NULL!<<<<";
    return;
  }
  server->Close();
  server->Uninit();
  pel::DeleteObject(server);
}

int32_t PEL_StartIpcServer(PelIpcServerHandle handle, const char* name) {
  PEL_LOGI << "Enter!";
  PelIpcServer* server = AsServer(handle);
  if (server == nullptr) {
    PEL_LOGE << ">>>>server is NULL!<<<<";
    return PEL_ERR_INVALID_ARG;
  }
  if (name == nullptr) {
    PEL_LOGE << ">>>>socket name is NULL!<<<<";
    return PEL_ERR_INVALID_ARG;
  }
  const int result = server->Start(name);
  PEL_LOGI << "Leave!";
  return result;
}

int32_t PEL_CloseIpcServer(PelIpcServerHandle handle) {
  PEL_LOGI << "Enter!";
  PelIpcServer* server = AsServer(handle);
  if (server == nullptr) {
    PEL_LOGE << ">>>>server is NULL!<<<<";
    return PEL_ERR_INVALID_ARG;
  }
  const int result = server->Close();
  PEL_LOGI << "Leave!";
  return result;
}

int32_t PEL_IpcServerCloseConnection(PelIpcServerHandle handle, uint32_t conn_id) {
  PEL_LOGI << "Enter!";
  PelIpcServer* server = AsServer(handle);
  if (server == nullptr) {
    PEL_LOGE << ">>>>server is NULL!<<<<";
    return PEL_ERR_INVALID_ARG;
  }
  const int result = server->CloseSingleConnection(conn_id);
  PEL_LOGI << "Leave!";
  return result;
}

int32_t PEL_IpcServerSendData(PelIpcServerHandle handle, uint32_t conn_id, bool sync,
                              const uint8_t* data, int32_t size) {
  PelIpcServer* server = AsServer(handle);
  if (server == nullptr) {
    PEL_LOGE << ">>>>server is NULL!<<<<";
    return PEL_ERR_INVALID_ARG;
  }
  if (data == nullptr) {
    PEL_LOGE << ">>>>data is NULL!<<<<";
    return PEL_ERR_INVALID_ARG;
  }
  if (size < 1) {
    PEL_LOGE << ">>>>data_size less than 1!<<<<";
    return PEL_ERR_INVALID_ARG;
  }
  // Kind 1 answers a client's synchronous call; kind 2 is an ordinary message.
  return server->SendData(conn_id, sync ? 1 : 2, data, size);
}

}  // extern "C"
