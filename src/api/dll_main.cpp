// The loader's entry point. It only announces itself on the debugger output;
// all set-up happens in the create functions, never under the loader lock.
#include "platform/win.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID reserved) {
  (void)module;
  (void)reserved;
  switch (reason) {
    case DLL_PROCESS_ATTACH:
      OutputDebugStringA("pel_ipc DLL_PROCESS_ATTACH!");
      break;
    case DLL_THREAD_ATTACH:
      OutputDebugStringA("pel_ipc DLL_THREAD_ATTACH!");
      break;
    case DLL_THREAD_DETACH:
      OutputDebugStringA("pel_ipc DLL_THREAD_DETACH!");
      break;
    case DLL_PROCESS_DETACH:
      OutputDebugStringA("pel_ipc DLL_PROCESS_DETACH!");
      break;
    default:
      break;
  }
  return TRUE;
}
