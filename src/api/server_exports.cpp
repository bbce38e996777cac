// Placeholder exports until the server lands: every call refuses.
#include "pel_ipc.h"

extern "C" {

PelIpcServerHandle PEL_CreateIpcServer(const PelIpcCallback*) { return nullptr; }
void PEL_DestroyIpcServer(PelIpcServerHandle) {}
int32_t PEL_StartIpcServer(PelIpcServerHandle, const char*) { return PEL_ERR_INVALID_ARG; }
int32_t PEL_CloseIpcServer(PelIpcServerHandle) { return PEL_ERR_INVALID_ARG; }
int32_t PEL_IpcServerCloseConnection(PelIpcServerHandle, uint32_t) { return PEL_ERR_INVALID_ARG; }
int32_t PEL_IpcServerSendData(PelIpcServerHandle, uint32_t, bool, const uint8_t*, int32_t) {
  return PEL_ERR_INVALID_ARG;
}

}  // extern "C"
