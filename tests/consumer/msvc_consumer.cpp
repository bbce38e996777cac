// A host built the way a Visual Studio project builds one: the MSVC target, the MSVC-style linker,
// the installed pel_ipc.lib and no C runtime. A synchronous call through the DLL must come back
// with its echo; the exit code names the step that failed.
#include <pel_ipc.h>

extern "C" {
__declspec(dllimport) __declspec(noreturn) void __stdcall ExitProcess(unsigned code);
// Without a C runtime the compiler's own zero-fills and copies need these.
void* memset(void* to, int value, size_t size) {
  volatile unsigned char* p = static_cast<unsigned char*>(to);
  while (size-- > 0) *p++ = static_cast<unsigned char>(value);
  return to;
}
void* memcpy(void* to, const void* from, size_t size) {
  volatile unsigned char* p = static_cast<unsigned char*>(to);
  const unsigned char* q = static_cast<const unsigned char*>(from);
  while (size-- > 0) *p++ = *q++;
  return to;
}
int _fltused = 0;
}

namespace {

PelIpcServerHandle g_server = nullptr;

int32_t Quiet(uint32_t, void*) { return 0; }
int32_t QuietClose(uint32_t, int32_t, void*) { return 0; }
int32_t QuietRecv(uint32_t, const uint8_t*, uint32_t, void*) { return 0; }
int32_t Answer(uint32_t conn, const uint8_t* data, uint32_t size, void*) {
  return PEL_IpcServerSendData(g_server, conn, true, data, static_cast<int32_t>(size));
}

PelIpcCallback Table(PelOnRecv onRecv) {
  PelIpcCallback table{};
  table.OnConnect = Quiet;
  table.OnSend = Quiet;
  table.OnRecv = onRecv;
  table.OnClose = QuietClose;
  memcpy(table.LogName, "msvc_consumer", 14);
  return table;
}

}  // namespace

extern "C" void mainCRTStartup() {
  const char name[] = "pel_ipc_msvc_consumer";
  PelIpcCallback serverTable = Table(Answer), clientTable = Table(QuietRecv);
  g_server = PEL_CreateIpcServer(&serverTable);
  if (g_server == nullptr || PEL_StartIpcServer(g_server, name) != PEL_OK) ExitProcess(11);
  PelIpcClientHandle client = PEL_CreateIpcClient(&clientTable);
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
