// The six server exports: argument checks, then a forward to the server object behind the handle.
#include "api/export_prologue.h"
#include "server/pel_named_pipe_server.h"

namespace {

PelIpcServer* ServerOf(const pel::ExportCall& call, PelIpcServerHandle handle) {
  return call.Open<PelIpcServer>(handle, ">>>>server is NULL!<<<<");
}

}  // namespace

extern "C" {

PelIpcServerHandle PEL_CreateIpcServer(const PelIpcCallback* callback) {
  PelIpcServer* server =
      pel::ExportCall(__func__, false)
          .Create<PelNamedPipeServer>(callback, ">>>>alloc memory for server failed!<<<<",
                                      ">>>>init server failed!", false,
                                      [](PelNamedPipeServer* created) { return created->Init(); });
  return reinterpret_cast<PelIpcServerHandle>(server);
}

void PEL_DestroyIpcServer(PelIpcServerHandle handle) {
  PelIpcServer* server = ServerOf(pel::ExportCall(__func__, false), handle);
  if (server == nullptr) return;
  server->Close();
  server->Uninit();
  delete server;
}

int32_t PEL_StartIpcServer(PelIpcServerHandle handle, const char* name) {
  const pel::ExportCall call(__func__, true);
  PelIpcServer* server = ServerOf(call, handle);
  if (server == nullptr || call.Refuse(name == nullptr, ">>>>socket name is NULL!<<<<"))
    return PEL_ERR_INVALID_ARG;
  return call.Leave(server->Start(name));
}

int32_t PEL_CloseIpcServer(PelIpcServerHandle handle) {
  const pel::ExportCall call(__func__, true);
  PelIpcServer* server = ServerOf(call, handle);
  return server == nullptr ? PEL_ERR_INVALID_ARG : call.Leave(server->Close());
}

int32_t PEL_IpcServerCloseConnection(PelIpcServerHandle handle, uint32_t conn_id) {
  const pel::ExportCall call(__func__, true);
  PelIpcServer* server = ServerOf(call, handle);
  return server == nullptr ? PEL_ERR_INVALID_ARG
                           : call.Leave(server->CloseSingleConnection(conn_id));
}

int32_t PEL_IpcServerSendData(PelIpcServerHandle handle, uint32_t conn_id, bool sync,
                              const uint8_t* data, int32_t size) {
  const pel::ExportCall call(__func__, false);
  PelIpcServer* server = ServerOf(call, handle);
  if (server == nullptr || call.RefuseData(data, size)) return PEL_ERR_INVALID_ARG;
  return server->SendData(conn_id, sync ? pel::kKindSync : pel::kKindBusiness, data, size);
}

}  // extern "C"
