// The eight client exports: argument checks, trace records, and a forward to the client object.
#include "api/export_prologue.h"
#include "client/pel_named_pipe_client.h"

namespace {

PelIpcClient* ClientOf(const pel::ExportCall& call, PelIpcClientHandle handle) {
  return call.Open<PelIpcClient>(handle, ">>>>client is NULL!<<<<");
}

int32_t Connect(const char* name, PelIpcClientHandle handle, const char* pipeName,
                bool nonBlocking) {
  const pel::ExportCall call(name, true);
  PelIpcClient* client = ClientOf(call, handle);
  if (client == nullptr || call.Refuse(pipeName == nullptr, ">>>>socket name is NULL!<<<<"))
    return PEL_ERR_INVALID_ARG;
  return call.Leave(client->Connect(pipeName, nonBlocking));
}

}  // namespace

extern "C" {

PelIpcClientHandle PEL_CreateIpcClient(const PelIpcCallback* callback) {
  PelIpcClient* client =
      pel::ExportCall(__func__, true)
          .Create<PelNamedPipeClient>(
              callback, ">>>>alloc client failed!<<<<", ">>>>init client failed!", true,
              [](PelNamedPipeClient* created) {
                return created->ReceiveBufferReady() ? created->Init() : PEL_ERR_NO_MEMORY;
              });
  return reinterpret_cast<PelIpcClientHandle>(client);
}

void PEL_DestroyIpcClient(PelIpcClientHandle handle) {
  const pel::ExportCall call(__func__, true);
  PelIpcClient* client = ClientOf(call, handle);
  if (client == nullptr) return;
  if (client->IsConnected()) client->Disconnect();
  client->Uninit();
  delete client;
  call.Leave(0);
}

int32_t PEL_ConnectIpcClient(PelIpcClientHandle handle, const char* name) {
  return Connect(__func__, handle, name, false);
}

int32_t PEL_AsyncConnectIpcClient(PelIpcClientHandle handle, const char* name) {
  return Connect(__func__, handle, name, true);
}

int32_t PEL_DisconnectIpcClient(PelIpcClientHandle handle) {
  const pel::ExportCall call(__func__, true);
  PelIpcClient* client = ClientOf(call, handle);
  return client == nullptr ? PEL_ERR_INVALID_ARG : call.Leave(client->Disconnect());
}

bool PEL_IsIpcClientConnected(PelIpcClientHandle handle) {
  PelIpcClient* client = ClientOf(pel::ExportCall(__func__, false), handle);
  return client != nullptr && client->IsConnected();
}

int32_t PEL_IpcClientSendData(PelIpcClientHandle handle, const uint8_t* data, int32_t size) {
  const pel::ExportCall call(__func__, false);
  PelIpcClient* client = ClientOf(call, handle);
  if (client == nullptr || call.RefuseData(data, size)) return PEL_ERR_INVALID_ARG;
  // Larger data leaves as several messages, queued together or not at all, each its own OnRecv.
  const int result =
      static_cast<uint32_t>(size) <= PEL_IPC_MAX_CLIENT_PAYLOAD
          ? client->SendData(pel::kKindBusiness, data, size)
          : static_cast<PelNamedPipeClient*>(client)->SendAnySize(pel::kKindBusiness, data, size);
  if (result != PEL_OK) PEL_LOGE << ">>>>Send data to server failed! err:" << result << "!<<<<";
  return result;
}

int32_t PEL_IpcClientSyncCall(PelIpcClientHandle handle, const uint8_t* request,
                              uint32_t request_size, uint8_t* answer, uint32_t* answer_size) {
  const pel::ExportCall call(__func__, false);
  PelIpcClient* client = call.Open<PelIpcClient>(handle, "client is NULL!");
  if (client == nullptr || call.Refuse(request == nullptr, "Send data is NULL!") ||
      call.Refuse(request_size == 0, "Send data size is 0!") ||
      call.Refuse(answer_size == nullptr, "Receive buffer size is NULL!") ||
      call.Refuse(answer == nullptr && *answer_size > 0, "Receive buffer is NULL!"))
    return PEL_ERR_INVALID_ARG;
  return client->SyncCall(request, request_size, answer, answer_size);
}

}  // extern "C"
