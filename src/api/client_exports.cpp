// Placeholder exports until the client lands: every call refuses.
#include "pel_ipc.h"

extern "C" {

PelIpcClientHandle PEL_CreateIpcClient(const PelIpcCallback*) { return nullptr; }
void PEL_DestroyIpcClient(PelIpcClientHandle) {}
int32_t PEL_ConnectIpcClient(PelIpcClientHandle, const char*) { return PEL_ERR_INVALID_ARG; }
int32_t PEL_AsyncConnectIpcClient(PelIpcClientHandle, const char*) { return PEL_ERR_INVALID_ARG; }
int32_t PEL_DisconnectIpcClient(PelIpcClientHandle) { return PEL_ERR_INVALID_ARG; }
bool PEL_IsIpcClientConnected(PelIpcClientHandle) { return false; }
int32_t PEL_IpcClientSendData(PelIpcClientHandle, const uint8_t*, int32_t) {
  return PEL_ERR_INVALID_ARG;
}
int32_t PEL_IpcClientSyncCall(PelIpcClientHandle, const uint8_t*, uint32_t, uint8_t*, uint32_t*) {
  return PEL_ERR_INVALID_ARG;
}

}  // extern "C"
