// Folder texts: the keyword, the base folder it names, and the folder texts that name no
// folder at all.
#include <gtest/gtest.h>

#include <cwchar>
#include <string>

#include "FolderText.h"

namespace kesi {
namespace {

TEST(FolderText, KeywordsAndTheirFolders) {
  struct Case {
    const wchar_t* text;
    FolderBase base;
    const wchar_t* baseFolder;
    const wchar_t* result;
  };
  const Case cases[] = {
      {L"local:Application Data\\Velmora\\Lumenway", FolderBase::kLocal, L"C:\\users\\u\\AppData\\Roaming",
       L"C:\\users\\u\\AppData\\Application Data\\Velmora\\Lumenway"},
      {L"LocalData:QOLMA", FolderBase::kLocalData, L"C:\\users\\u\\AppData\\Roaming",
       L"C:\\users\\u\\AppData\\Roaming\\Velmora\\QOLMA"},
      {L"GLOBAL:x", FolderBase::kGlobal, L"C:\\ProgramData", L"C:\\ProgramData\\Velmora\\x"},
      {L"windows:x\\y", FolderBase::kWindows, L"C:\\windows", L"C:\\windows\\Velmora\\x\\y"},
      {L"system:Foo", FolderBase::kSystem, L"C:\\windows\\system32", L"C:\\windows\\system32\\Velmora\\Foo"},
      {L"program:KESI", FolderBase::kProgram, L"C:\\Program Files", L"C:\\Program Files\\Velmora\\KESI"},
      {L"system:", FolderBase::kSystem, L"C:\\windows\\system32", L"C:\\windows\\system32\\"},
      {L"local:", FolderBase::kLocal, L"C:\\users\\u\\AppData\\Roaming", L"C:\\users\\u\\AppData\\"},
      {L"local:x", FolderBase::kLocal, L"C:\\users\\u\\AppData\\Roaming\\", L"C:\\users\\u\\AppData\\x"},
      {L"null:C:\\Tools\\x", FolderBase::kNone, nullptr, L"C:\\Tools\\x"},
      {L"sub\\dir", FolderBase::kCaller, L"C:\\inst\\", L"C:\\inst\\sub\\dir"},
      {L"lwsp.dll", FolderBase::kCaller, L"C:\\inst\\", L"C:\\inst\\lwsp.dll"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.text, c.text + std::wcslen(c.text)));
    const FolderTextParts parts = SplitFolderText(c.text);
    EXPECT_EQ(parts.base, c.base);
    std::wstring out;
    ASSERT_EQ(ResolveFolderText(parts, c.baseFolder, &out), 0u);
    EXPECT_EQ(out, c.result);
  }
}

TEST(FolderText, WhatNamesNoFolderIsInvalidData) {
  struct Case {
    const char* name;
    const wchar_t* text;
    const wchar_t* baseFolder;
  };
  const Case cases[] = {
      {"empty folder text", L"", L"C:\\inst\\"},
      {"null folder text", nullptr, L"C:\\inst\\"},
      {"mistyped keyword, no base: the drive's root", L"Programs:X", nullptr},
      {"mistyped keyword with a base: a data stream", L"Programs:X", L"C:\\inst\\"},
      {"plain path without a base", L"sub", L""},
      {"shell folder not obtained: a data stream", L"system:Foo", L""},
      {"shell folder not obtained, no subfolder", L"localdata:", nullptr},
      {"colon in a keyword's subfolder", L"system:Foo:bar", L"C:\\windows\\system32"},
      {"null with nothing", L"null:", nullptr},
      {"null with a relative path", L"null:Tools", nullptr},
      {"null with a rooted path on the current drive", L"null:\\Tools", nullptr},
      {"local base without a folder to cut", L"local:x", L"C:"},
      {"local base that is only a root element", L"local:x", L"\\x"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::wstring out = L"unchanged";
    EXPECT_EQ(ResolveFolderText(SplitFolderText(c.text), c.baseFolder, &out), 13u);
    EXPECT_EQ(out, L"unchanged");
  }
}

TEST(FolderText, NullFolderOnAnotherMachineOrADeviceIsRefused) {
  struct Case {
    const wchar_t* text;
    uint32_t expected;
  };
  const Case cases[] = {
      {L"null:\\\\host\\share\\x", 53},
      {L"null://host/share/x", 53},
      {L"null:\\\\?\\UNC\\host\\x", 53},
      {L"null:\\\\.\\pipe\\x", 161},
      {L"null:\\\\?\\C:\\x", 161},
      {L"null:C:/Tools", 0},
  };
  for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
    SCOPED_TRACE(testing::Message() << "case " << i);
    std::wstring out;
    EXPECT_EQ(ResolveFolderText(SplitFolderText(cases[i].text), nullptr, &out), cases[i].expected);
  }
}

TEST(FolderText, ResultMustFitAPathBuffer) {
  const std::wstring base = L"C:\\windows";  // base + "\Velmora\" is 19 characters
  std::wstring out;
  const std::wstring fits = L"system:" + std::wstring(259 - 19, L's');
  EXPECT_EQ(ResolveFolderText(SplitFolderText(fits.c_str()), base.c_str(), &out), 0u);
  EXPECT_EQ(out.size(), 259u);
  out = L"unchanged";
  const std::wstring over = fits + L"s";
  EXPECT_EQ(ResolveFolderText(SplitFolderText(over.c_str()), base.c_str(), &out), 206u);
  EXPECT_EQ(out, L"unchanged");
  const std::wstring absolute = L"null:C:\\" + std::wstring(257, L'a');
  EXPECT_EQ(ResolveFolderText(SplitFolderText(absolute.c_str()), nullptr, &out), 206u);
}

}  // namespace
}  // namespace kesi
