#pragma once
// The Java native method's side of the bootstrapper: the few Java environment functions it calls, declared
// here (the platform's JNI header is not part of this build), and the copy of the cookie string.
#include <windows.h>

#include <string>

namespace kesi::bootstrap {

// The Java types the entry sees (all handles are pointers to opaque objects).
using jint = long;
using jsize = jint;
using jchar = unsigned short;
using jboolean = unsigned char;
struct JavaObject;
using jobject = JavaObject*;
using jclass = jobject;
using jstring = jobject;

// The Java environment's function table: 233 slots, of which the entry calls three.
constexpr int kJniSlots = 233;
constexpr int kJniGetStringLength = 164;
constexpr int kJniGetStringChars = 165;
constexpr int kJniReleaseStringChars = 166;
struct JniFunctions {
  void* slot[kJniSlots];
};
using JNIEnv = const JniFunctions*;

using GetStringLengthFn = jsize(__stdcall*)(JNIEnv* env, jstring text);
using GetStringCharsFn = const jchar*(__stdcall*)(JNIEnv* env, jstring text, jboolean* isCopy);
using ReleaseStringCharsFn = void(__stdcall*)(JNIEnv* env, jstring text, const jchar* chars);

// The text of a Java string, its characters released again on every path. False for a null environment
// or string, or when the characters cannot be had.
bool CopyJavaString(JNIEnv* env, jstring text, std::wstring* copy);

// The native method: runs the bootstrapper for the cookies (module holds its resources).
void LoadMsiForJava(JNIEnv* env, jstring cookies, HMODULE module);

}  // namespace kesi::bootstrap
