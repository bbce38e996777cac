// A host built the way a Visual Studio project builds one: the MSVC target,
// the MSVC-style linker, the installed pel_ipc.lib, and no C runtime at all.
// It exchanges a message and a synchronous call through the DLL, then reads
// the version information of the DLL and of the tool named on its command
// line (argument: the tool's path; the expected version follows it).
#include <pel_ipc.h>

extern "C" {
#define PEL_IMPORT __declspec(dllimport)
#define PEL_WINAPI __stdcall
PEL_IMPORT __declspec(noreturn) void PEL_WINAPI ExitProcess(unsigned code);
PEL_IMPORT void* PEL_WINAPI GetStdHandle(unsigned long which);
PEL_IMPORT int PEL_WINAPI WriteFile(void* file, const void* data, unsigned long size,
                                    unsigned long* written, void* overlapped);
PEL_IMPORT void* PEL_WINAPI CreateEventA(void* security, int manual, int initial, const char* name);
PEL_IMPORT int PEL_WINAPI SetEvent(void* event);
PEL_IMPORT unsigned long PEL_WINAPI WaitForSingleObject(void* handle, unsigned long ms);
PEL_IMPORT int PEL_WINAPI CloseHandle(void* handle);
PEL_IMPORT char* PEL_WINAPI GetCommandLineA();
PEL_IMPORT unsigned long PEL_WINAPI GetCurrentProcessId();
PEL_IMPORT unsigned long PEL_WINAPI GetFileVersionInfoSizeA(const char* file,
                                                            unsigned long* handle);
PEL_IMPORT int PEL_WINAPI GetFileVersionInfoA(const char* file, unsigned long handle,
                                              unsigned long size, void* data);
PEL_IMPORT int PEL_WINAPI VerQueryValueA(const void* block, const char* sub, void** value,
                                         unsigned* size);

// Without a C runtime the compiler's own zero-fills need these.
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

constexpr unsigned long kWaitMs = 5000;
constexpr unsigned long kStdOut = static_cast<unsigned long>(-11);

PelIpcServerHandle g_server = nullptr;
void* g_serverGot = nullptr;
void* g_clientGot = nullptr;

size_t Length(const char* s) {
  size_t n = 0;
  while (s[n] != '\0') ++n;
  return n;
}

bool Same(const char* a, const char* b) {
  while (*a != '\0' && *a == *b) ++a, ++b;
  return *a == *b;
}

void Say(const char* text) {
  unsigned long written = 0;
  WriteFile(GetStdHandle(kStdOut), text, static_cast<unsigned long>(Length(text)), &written,
            nullptr);
}

[[noreturn]] void Fail(const char* what) {
  Say("msvc consumer FAILED: ");
  Say(what);
  Say("\n");
  ExitProcess(1);
}

int32_t Quiet(uint32_t, void*) { return 0; }
int32_t QuietClose(uint32_t, int32_t, void*) { return 0; }

// 'c' asks for a synchronous answer; anything else is echoed as a message.
int32_t ServerRecv(uint32_t conn, const uint8_t* data, uint32_t size, void*) {
  SetEvent(g_serverGot);
  return PEL_IpcServerSendData(g_server, conn, data[0] == 'c', data, static_cast<int32_t>(size));
}

int32_t ClientRecv(uint32_t, const uint8_t* data, uint32_t size, void*) {
  if (size == 4 && data[0] == 'p') SetEvent(g_clientGot);
  return 0;
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
  void* value = nullptr;
  unsigned length = 0;
  if (!VerQueryValueA(block, path, &value, &length) || !Same(static_cast<char*>(value), expected)) {
    Fail(key);
  }
}

void Exchange() {
  char name[40] = "pel_ipc_msvc_consumer_";
  size_t at = Length(name);
  for (unsigned long pid = GetCurrentProcessId(); pid != 0; pid /= 10) {
    name[at++] = static_cast<char>('0' + pid % 10);
  }
  PelIpcCallback serverTable = Table(ServerRecv);
  g_server = PEL_CreateIpcServer(&serverTable);
  if (g_server == nullptr || PEL_StartIpcServer(g_server, name) != PEL_OK) Fail("server start");
  PelIpcCallback clientTable = Table(ClientRecv);
  PelIpcClientHandle client = PEL_CreateIpcClient(&clientTable);
  if (PEL_ConnectIpcClient(client, name) != PEL_OK) Fail("connect");

  const uint8_t ping[] = {'p', 'i', 'n', 'g'};
  if (PEL_IpcClientSendData(client, ping, sizeof ping) != PEL_OK) Fail("send");
  if (WaitForSingleObject(g_serverGot, kWaitMs) != 0) Fail("server OnRecv");
  if (WaitForSingleObject(g_clientGot, kWaitMs) != 0) Fail("client OnRecv");

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
  g_serverGot = CreateEventA(nullptr, 1, 0, nullptr);
  g_clientGot = CreateEventA(nullptr, 1, 0, nullptr);
  Exchange();
  ExpectVersionString("pel_ipc.dll", "FileVersion", args[2]);
  ExpectVersionString("pel_ipc.dll", "OriginalFilename", "pel_ipc.dll");
  ExpectVersionString(args[1], "ProductVersion", args[2]);
  ExpectVersionString(args[1], "OriginalFilename", "pelipc.exe");
  CloseHandle(g_serverGot);
  CloseHandle(g_clientGot);
  Say("msvc consumer OK\n");
  ExitProcess(0);
}
