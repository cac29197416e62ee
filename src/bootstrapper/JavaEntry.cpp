#include "JavaEntry.h"

#include <new>

#include "Bootstrap.h"

namespace kesi::bootstrap {

bool CopyJavaString(JNIEnv* env, jstring text, std::wstring* copy) {
  if (!env || !*env || !text) return false;
  const JniFunctions* functions = *env;
  auto getLength = reinterpret_cast<GetStringLengthFn>(functions->slot[kJniGetStringLength]);
  auto getChars = reinterpret_cast<GetStringCharsFn>(functions->slot[kJniGetStringChars]);
  auto release = reinterpret_cast<ReleaseStringCharsFn>(functions->slot[kJniReleaseStringChars]);
  const jsize length = getLength(env, text);
  if (length < 0) return false;
  const jchar* chars = getChars(env, text, nullptr);
  if (!chars) return false;
  bool copied = true;
  try {
    // The characters carry no terminator: the length tells where they end.
    copy->assign(reinterpret_cast<const wchar_t*>(chars), static_cast<size_t>(length));
  } catch (const std::bad_alloc&) {
    copied = false;
  }
  release(env, text, chars);
  return copied;
}

void LoadMsiForJava(JNIEnv* env, jstring cookies, HMODULE module) {
  std::wstring text;
  if (!CopyJavaString(env, cookies, &text)) return;
  RunForJava(text, module);
}

}  // namespace kesi::bootstrap
