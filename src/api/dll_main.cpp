// Only announces itself: all set-up waits for the create functions, outside the loader lock.
#include "platform/win.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
  static const char* const kTexts[] = {"pel_ipc DLL_PROCESS_DETACH!", "pel_ipc DLL_PROCESS_ATTACH!",
                                       "pel_ipc DLL_THREAD_ATTACH!", "pel_ipc DLL_THREAD_DETACH!"};
  if (reason <= DLL_THREAD_DETACH) OutputDebugStringA(kTexts[reason]);
  return TRUE;
}
