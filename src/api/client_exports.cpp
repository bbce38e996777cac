// The eight client exports: argument checks, trace records, and a forward to
// the client object behind the opaque handle.
#include "api/callback_table.h"
#include "client/pel_named_pipe_client.h"
#include "log/log.h"
#include "pel_ipc.h"
#include "platform/alloc.h"

namespace {

PelIpcClient* ClientOf(PelIpcClientHandle handle) {
  return reinterpret_cast<PelIpcClient*>(handle);
}

PelIpcClientHandle HandleOf(PelIpcClient* client) {
  return reinterpret_cast<PelIpcClientHandle>(client);
}

}  // namespace

extern "C" {

PelIpcClientHandle PEL_CreateIpcClient(const PelIpcCallback* callback) {
  PEL_LOGI << "Enter!";
  if (callback == nullptr) {
    PEL_LOGE << ">>>>callback is NULL!<<<<";
    return nullptr;
  }
  if (!pel::HasAllCallbacks(*callback)) {
    PEL_LOGE << ">>>>callback function is NULL!<<<<";
    return nullptr;
  }
  PelNamedPipeClient* client = pel::NewObject<PelNamedPipeClient>(*callback);
  if (client == nullptr) {
    PEL_LOGE << ">>>>alloc client failed!<<<<";
    return nullptr;
  }
  const int result = client->ReceiveBufferReady() ? client->Init() : 10;
  if (result != 0) {
    PEL_LOGE << ">>>>init client failed! err:" << result << "!<<<<";
    pel::DeleteObject(client);
    client = nullptr;
  }
  PEL_LOGI << "Leave!";
  return client == nullptr ? nullptr : HandleOf(client);
}

void PEL_DestroyIpcClient(PelIpcClientHandle handle) {
  PEL_LOGI << "Enter!";
  PelIpcClient* client = ClientOf(handle);
  if (client == nullptr) {
    PEL_LOGE << ">>>>client is NULL!<<<<";
    return;
  }
  if (client->IsConnected()) client->Disconnect();
  client->Uninit();
  delete client;
  PEL_LOGI << "Leave!";
}

int32_t PEL_ConnectIpcClient(PelIpcClientHandle handle, const char* name) {
  PEL_LOGI << "Enter!";
  PelIpcClient* client = ClientOf(handle);
  if (client == nullptr) {
    PEL_LOGE << ">>>>client is NULL!<<<<";
    return PEL_ERR_INVALID_ARG;
  }
  if (name == nullptr) {
    PEL_LOGE << ">>>>socket name is NULL!<<<<";
    return PEL_ERR_INVALID_ARG;
  }
  const int result = client->Connect(name, false);
  PEL_LOGI << "Leave!";
  return result;
}

int32_t PEL_AsyncConnectIpcClient(PelIpcClientHandle handle, const char* name) {
  PEL_LOGI << "Enter!";
  PelIpcClient* client = ClientOf(handle);
  if (client == nullptr) {
    PEL_LOGE << ">>>>client is NULL!<<<<";
    return PEL_ERR_INVALID_ARG;
  }
  if (name == nullptr) {
    PEL_LOGE << ">>>>socket name is NULL!<<<<";
    return PEL_ERR_INVALID_ARG;
  }
  const int result = client->Connect(name, true);
  PEL_LOGI << "Leave!";
  return result;
}

int32_t PEL_DisconnectIpcClient(PelIpcClientHandle handle) {
  PEL_LOGI << "Enter!";
  PelIpcClient* client = ClientOf(handle);
  if (client == nullptr) {
    PEL_LOGE << ">>>>client is NULL!<<<<";
    return PEL_ERR_INVALID_ARG;
  }
  const int result = client->Disconnect();
  PEL_LOGI << "Leave!";
  return result;
}

bool PEL_IsIpcClientConnected(PelIpcClientHandle handle) {
  PelIpcClient* client = ClientOf(handle);
  if (client == nullptr) {
    PEL_LOGE << ">>>>client is NULL!<<<<";
    return false;
  }
  return client->IsConnected();
}

int32_t PEL_IpcClientSendData(PelIpcClientHandle handle, const uint8_t* data, int32_t size) {
  PelIpcClient* client = ClientOf(handle);
  if (client == nullptr) {
    PEL_LOGE << ">>>>client is NULL!<<<<";
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
  // Larger data leaves as consecutive messages, queued together or not at
  // all; the server hands each one to its host on its own.
  const int result =
      static_cast<uint32_t>(size) <= PEL_IPC_MAX_CLIENT_PAYLOAD
          ? client->SendData(pel::kKindBusiness, data, size)
          : static_cast<PelNamedPipeClient*>(client)->SendAnySize(pel::kKindBusiness, data, size);
  if (result != PEL_OK) {
    PEL_LOGE << ">>>>Send data to server failed! err:" << result << "!<<<<";
    return result;
  }
  return PEL_OK;
}

int32_t PEL_IpcClientSyncCall(PelIpcClientHandle handle, const uint8_t* request,
                              uint32_t request_size, uint8_t* answer, uint32_t* answer_size) {
  PelIpcClient* client = ClientOf(handle);
  if (client == nullptr) {
    PEL_LOGE << "client is NULL!";
    return PEL_ERR_INVALID_ARG;
  }
  if (request == nullptr) {
    PEL_LOGE << "Send data is NULL!";
    return PEL_ERR_INVALID_ARG;
  }
  if (request_size == 0) {
    PEL_LOGE << "Send data size is 0!";
    return PEL_ERR_INVALID_ARG;
  }
  if (answer_size == nullptr) {
    PEL_LOGE << "Receive buffer size is NULL!";
    return PEL_ERR_INVALID_ARG;
  }
  if (answer == nullptr && *answer_size > 0) {
    PEL_LOGE << "Receive buffer is NULL!";
    return PEL_ERR_INVALID_ARG;
  }
  return client->SyncCall(request, request_size, answer, answer_size);
}

}  // extern "C"
