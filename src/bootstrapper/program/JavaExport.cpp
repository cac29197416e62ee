// kesiMsiBootstraper.dll: the bootstrapper as the Java applet's native method. The module is found from
// this code's address, whatever name the Java runtime loaded it under.
#include <windows.h>

#include "JavaEntry.h"

using kesi::bootstrap::jclass;
using kesi::bootstrap::JNIEnv;
using kesi::bootstrap::jstring;

extern "C" void __stdcall Java_com_velmora_xepc_common_util_win32_Win32Util_loadMSI(
    JNIEnv* env, jclass, jstring cookies, jstring) {
  HMODULE module = nullptr;
  GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                     reinterpret_cast<LPCWSTR>(&Java_com_velmora_xepc_common_util_win32_Win32Util_loadMSI), &module);
  try {
    kesi::bootstrap::LoadMsiForJava(env, cookies, module);
  } catch (...) {
  }
}
