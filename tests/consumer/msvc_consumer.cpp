// A host built the way a Visual Studio project builds one: the MSVC target, the MSVC-style linker,
// the installed pel_ipc.lib and no C runtime. A synchronous call through the DLL must come back
// with its echo; the exit code names the step that failed.
#include <pel_ipc.h>

extern "C" __declspec(dllimport) __declspec(noreturn) void __stdcall ExitProcess(unsigned code);

namespace {

PelIpcServerHandle g_server = nullptr;
// Static, so zero-filled without the C runtime's memset.
PelIpcCallback g_serverTable, g_clientTable;

int32_t Quiet(uint32_t, void*) { return 0; }
int32_t QuietClose(uint32_t, int32_t, void*) { return 0; }
int32_t QuietRecv(uint32_t, const uint8_t*, uint32_t, void*) { return 0; }
int32_t Answer(uint32_t conn, const uint8_t* data, uint32_t size, void*) {
  return PEL_IpcServerSendData(g_server, conn, true, data, static_cast<int32_t>(size));
}

PelIpcCallback* Fill(PelIpcCallback& table, PelOnRecv onRecv) {
  table.OnConnect = Quiet;
  table.OnSend = Quiet;
  table.OnRecv = onRecv;
  table.OnClose = QuietClose;
  for (int i = 0; "msvc_consumer"[i] != '\0'; ++i) table.LogName[i] = "msvc_consumer"[i];
  return &table;
}

}  // namespace

extern "C" void mainCRTStartup() {
  const char* name = "pel_ipc_msvc_consumer";
  g_server = PEL_CreateIpcServer(Fill(g_serverTable, Answer));
  if (g_server == nullptr || PEL_StartIpcServer(g_server, name) != PEL_OK) ExitProcess(11);
  PelIpcClientHandle client = PEL_CreateIpcClient(Fill(g_clientTable, QuietRecv));
  if (PEL_ConnectIpcClient(client, name) != PEL_OK) ExitProcess(12);
  const uint8_t call[] = {'c', 'a', 'l', 'l'};
  uint8_t answer[16];
  uint32_t size = sizeof answer;
  if (PEL_IpcClientSyncCall(client, call, sizeof call, answer, &size) != PEL_OK) ExitProcess(13);
  if (size != sizeof call || answer[0] != 'c' || answer[3] != 'l') ExitProcess(14);
  PEL_DestroyIpcClient(client);
  PEL_DestroyIpcServer(g_server);
  ExitProcess(0);
}
