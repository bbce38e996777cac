// Server and client of one process over the installed DLL: one synchronous
// call must come back with its echo.
#include <pel_ipc.h>

#include <cstdio>
#include <cstring>
#include <string>

#ifdef PEL_IPC_STATIC
#error "a host imports from the DLL"
#endif

namespace {

PelIpcServerHandle g_server = nullptr;

int32_t Ignore(uint32_t, void*) { return 0; }
int32_t IgnoreClose(uint32_t, int32_t, void*) { return 0; }
int32_t Echo(uint32_t conn, const uint8_t* data, uint32_t size, void*) {
  return PEL_IpcServerSendData(g_server, conn, true, data, static_cast<int32_t>(size));
}
int32_t IgnoreRecv(uint32_t, const uint8_t*, uint32_t, void*) { return 0; }

PelIpcCallback Table(PelOnRecv onRecv) {
  PelIpcCallback table;
  std::memset(&table, 0, sizeof table);
  table.OnConnect = Ignore;
  table.OnSend = Ignore;
  table.OnRecv = onRecv;
  table.OnClose = IgnoreClose;
  std::strcpy(table.LogName, "consumer");
  return table;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string name = std::string("pel_ipc_consumer_") + (argc > 1 ? argv[1] : "0");
  PelIpcCallback serverTable = Table(Echo);
  g_server = PEL_CreateIpcServer(&serverTable);
  if (g_server == nullptr || PEL_StartIpcServer(g_server, name.c_str()) != PEL_OK) {
    std::printf("server did not start\n");
    return 1;
  }
  PelIpcCallback clientTable = Table(IgnoreRecv);
  PelIpcClientHandle client = PEL_CreateIpcClient(&clientTable);
  int32_t r = PEL_ConnectIpcClient(client, name.c_str());
  const char request[] = "installed";
  uint8_t answer[64];
  uint32_t size = sizeof answer;
  if (r == PEL_OK) {
    r = PEL_IpcClientSyncCall(client, reinterpret_cast<const uint8_t*>(request), sizeof request - 1,
                              answer, &size);
  }
  PEL_DestroyIpcClient(client);
  PEL_DestroyIpcServer(g_server);
  if (r != PEL_OK || size != sizeof request - 1 || std::memcmp(answer, request, size) != 0) {
    std::printf("call failed: %d\n", r);
    return 1;
  }
  std::printf("consumer OK\n");
  return 0;
}
