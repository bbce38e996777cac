// A host built the way a Visual Studio project builds one: the MSVC target, the MSVC-style linker,
// the installed pel_ipc.lib, and no C runtime at all. It makes a synchronous call through the DLL,
// then reads the version information of the DLL and of the tool named on its command line
// (arguments: the tool's path, the expected version).
#include <pel_ipc.h>

extern "C" {
#define PEL_IMPORT __declspec(dllimport)
#define PEL_WINAPI __stdcall
PEL_IMPORT __declspec(noreturn) void PEL_WINAPI ExitProcess(unsigned code);
PEL_IMPORT void* PEL_WINAPI GetStdHandle(unsigned long which);
PEL_IMPORT int PEL_WINAPI WriteFile(void* file, const void* data, unsigned long size,
                                    unsigned long* written, void* overlapped);
PEL_IMPORT char* PEL_WINAPI GetCommandLineA();
PEL_IMPORT unsigned long PEL_WINAPI GetCurrentProcessId();
PEL_IMPORT unsigned long PEL_WINAPI GetFileVersionInfoSizeA(const char* file,
                                                            unsigned long* handle);
PEL_IMPORT int PEL_WINAPI GetFileVersionInfoA(const char* file, unsigned long handle,
                                              unsigned long size, void* data);
PEL_IMPORT int PEL_WINAPI VerQueryValueA(const void* block, const char* sub, void** value,
                                         unsigned* size);

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

size_t Length(const char* s) {
  size_t n = 0;
  while (s[n] != '\0') ++n;
  return n;
}

[[noreturn]] void End(const char* head, const char* what, unsigned code) {
  unsigned long written = 0;
  const char* parts[] = {head, what, "\n"};
  for (const char* part : parts) {
    WriteFile(GetStdHandle(static_cast<unsigned long>(-11)), part,
              static_cast<unsigned long>(Length(part)), &written, nullptr);
  }
  ExitProcess(code);
}
[[noreturn]] void Fail(const char* what) { End("msvc consumer FAILED: ", what, 1); }

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

// One string of a binary's version information.
void ExpectVersionString(const char* file, const char* key, const char* expected) {
  static unsigned char block[16384];
  unsigned long ignored = 0;
  const unsigned long size = GetFileVersionInfoSizeA(file, &ignored);
  if (size == 0 || size > sizeof block || !GetFileVersionInfoA(file, 0, size, block)) {
    Fail("no version information");
  }
  char path[96] = "\\StringFileInfo\\040904B0\\";
  memcpy(path + Length(path), key, Length(key) + 1);
  char* value = nullptr;
  unsigned length = 0;
  if (!VerQueryValueA(block, path, reinterpret_cast<void**>(&value), &length)) Fail(key);
  for (size_t i = 0; value[i] != '\0' || expected[i] != '\0'; ++i) {
    if (value[i] != expected[i]) Fail(key);
  }
}

void Call() {
  char name[40] = "pel_ipc_msvc_consumer_";
  size_t at = Length(name);
  for (unsigned long pid = GetCurrentProcessId(); pid != 0; pid /= 10) {
    name[at++] = static_cast<char>('0' + pid % 10);
  }
  PelIpcCallback serverTable = Table(Answer);
  g_server = PEL_CreateIpcServer(&serverTable);
  if (g_server == nullptr || PEL_StartIpcServer(g_server, name) != PEL_OK) Fail("server start");
  PelIpcCallback clientTable = Table(QuietRecv);
  PelIpcClientHandle client = PEL_CreateIpcClient(&clientTable);
  if (PEL_ConnectIpcClient(client, name) != PEL_OK) Fail("connect");
  const uint8_t call[] = {'c', 'a', 'l', 'l'};
  uint8_t answer[16];
  uint32_t size = sizeof answer;
  if (PEL_IpcClientSyncCall(client, call, sizeof call, answer, &size) != PEL_OK) Fail("call");
  if (size != sizeof call || answer[0] != 'c' || answer[3] != 'l') Fail("answer");
  PEL_DestroyIpcClient(client);
  PEL_DestroyIpcServer(g_server);
}

}  // namespace

extern "C" void mainCRTStartup() {
  // The command line: program, tool path, expected version (no spaces).
  char* args[3] = {};
  int count = 0;
  for (char* p = GetCommandLineA(); *p != '\0' && count < 3;) {
    while (*p == ' ') *p++ = '\0';
    if (*p == '\0') break;
    args[count++] = p;
    while (*p != '\0' && *p != ' ') ++p;
  }
  if (count != 3) Fail("usage: msvc_consumer TOOL VERSION");
  Call();
  ExpectVersionString("pel_ipc.dll", "FileVersion", args[2]);
  ExpectVersionString("pel_ipc.dll", "OriginalFilename", "pel_ipc.dll");
  ExpectVersionString(args[1], "ProductVersion", args[2]);
  ExpectVersionString(args[1], "OriginalFilename", "pelipc.exe");
  End("msvc consumer OK", "", 0);
}
