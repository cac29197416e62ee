// The Java applet's native method, called as the Java runtime calls it: kesiMsiBootstraper.dll loaded,
// the method found by its plain name, and a Java environment whose every slot but the string functions
// fails the case.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "BootstrapSupport.h"
#include "JavaEntry.h"

namespace kesi::bootstrap::test {
namespace {

constexpr char kMethodName[] = "Java_com_velmora_xepc_common_util_win32_Win32Util_loadMSI";
using LoadMsi = void(__stdcall*)(JNIEnv*, jclass, jstring, jstring);

// The fake runtime: one Java string, and the calls made on it.
struct FakeJava {
  std::wstring text;
  JavaObject* string = reinterpret_cast<JavaObject*>(0x5150);
  int lengths = 0, gets = 0, releases = 0;
  const jchar* handedOut = nullptr;
  bool releasedWhatWasHanded = true;
  std::string trapped;
};
FakeJava& Java() {
  static FakeJava java;
  return java;
}

template <size_t Index>
void __stdcall Trap() {
  Java().trapped += std::to_string(Index) + " ";
}

jsize __stdcall GetStringLength(JNIEnv*, jstring text) {
  ++Java().lengths;
  return text == Java().string ? static_cast<jsize>(Java().text.size()) : -1;
}

const jchar* __stdcall GetStringChars(JNIEnv*, jstring text, jboolean* isCopy) {
  ++Java().gets;
  if (isCopy) *isCopy = 1;
  // No terminator, as the runtime gives them: the copy must stop at the length.
  jchar* chars = new jchar[Java().text.size() + 8];
  for (size_t i = 0; i < Java().text.size(); ++i) chars[i] = Java().text[i];
  for (size_t i = 0; i < 8; ++i) chars[Java().text.size() + i] = L'#';
  Java().handedOut = chars;
  return chars;
}

void __stdcall ReleaseStringChars(JNIEnv*, jstring, const jchar* chars) {
  ++Java().releases;
  Java().releasedWhatWasHanded = Java().releasedWhatWasHanded && chars == Java().handedOut;
  delete[] chars;
}

template <size_t... I>
JniFunctions TrapTable(std::index_sequence<I...>) {
  return JniFunctions{{reinterpret_cast<void*>(&Trap<I>)...}};
}

const JniFunctions* Table() {
  static JniFunctions table = [] {
    JniFunctions t = TrapTable(std::make_index_sequence<kJniSlots>());
    t.slot[kJniGetStringLength] = reinterpret_cast<void*>(&GetStringLength);
    t.slot[kJniGetStringChars] = reinterpret_cast<void*>(&GetStringChars);
    t.slot[kJniReleaseStringChars] = reinterpret_cast<void*>(&ReleaseStringChars);
    return t;
  }();
  return &table;
}

class BootstrapJava : public ::testing::Test {
 protected:
  void SetUp() override {
    Java() = FakeJava();
    DeleteFileW(InitLogPath().c_str());
    const std::wstring path = BuildTestsFolder() + L"..\\src\\bootstrapper\\kesiMsiBootstraper.dll";
    module_.reset(LoadLibraryW(path.c_str()));
    ASSERT_TRUE(module_) << "cannot load " << Narrow(path) << ": " << GetLastError();
    loadMsi_ = reinterpret_cast<LoadMsi>(GetProcAddress(module_.get(), kMethodName));
    ASSERT_NE(loadMsi_, nullptr) << "no export named " << kMethodName;
  }

  UniqueModule module_;
  LoadMsi loadMsi_ = nullptr;
  JNIEnv env_ = Table();
};

TEST_F(BootstrapJava, RunsWithTheCookieTextAndReleasesEveryString) {
  // No package in the Java folder: the install fails at once and the run ends without an interrogation.
  DeleteFileW((VelmoraFolder() + L"\\java_deploy\\kesi.msi").c_str());
  Java().text = L"FARLINK_ID=abc; autoUploadUrl=https://a/up";
  for (int run = 1; run <= 2; ++run) {  // a second call in the same process runs too
    loadMsi_(&env_, nullptr, Java().string, nullptr);
    EXPECT_EQ(Java().trapped, "") << "unexpected environment slots called";
    EXPECT_EQ(Java().gets, run);
    EXPECT_EQ(Java().releases, run);
    EXPECT_TRUE(Java().releasedWhatWasHanded);
  }
  const std::string log = InitLog();
  size_t runs = 0;
  EXPECT_EQ(log.find("abc"), std::string::npos) << "the session token is logged: " << log;
  for (size_t at = log.find("JNI BOOTSTRAPPER: passed in cookies: FARLINK_ID=****; autoUploadUrl=****\r");
       at != std::string::npos; at = log.find("JNI BOOTSTRAPPER: passed in cookies", at + 1))
    ++runs;
  EXPECT_EQ(runs, 2u) << log;
  EXPECT_EQ(log.find('#'), std::string::npos) << "read past the string's length: " << log;
}

// The library carries what the run shows and logs: the progress picture and the message table.
TEST_F(BootstrapJava, TheLibraryHoldsItsOwnResources) {
  EXPECT_NE(FindResourceW(module_.get(), MAKEINTRESOURCEW(3), MAKEINTRESOURCEW(2)), nullptr);   // RT_BITMAP
  EXPECT_NE(FindResourceW(module_.get(), MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(11)), nullptr);  // RT_MESSAGETABLE
}

TEST_F(BootstrapJava, NullStringOrEnvironmentReturnsAtOnce) {
  loadMsi_(&env_, nullptr, nullptr, nullptr);
  loadMsi_(nullptr, nullptr, Java().string, nullptr);
  EXPECT_EQ(Java().trapped, "");
  EXPECT_EQ(Java().lengths + Java().gets + Java().releases, 0);
  EXPECT_FALSE(PathExists(InitLogPath()));
}

}  // namespace
}  // namespace kesi::bootstrap::test
