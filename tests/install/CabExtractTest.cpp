// Unpacking a component CAB: the files come out byte for byte; an entry name that could leave the folder
// is refused before it is created; a damaged cabinet and a file that is no cabinet give their codes.
#include <windows.h>

#include <gtest/gtest.h>

#include <set>
#include <string>

#include "CabExtract.h"
#include "TestFiles.h"
#include "TestText.h"

namespace kesi::install {
namespace {

using test::Narrow;
using test::PathExists;
using test::ReadWholeFile;
using test::TempFolder;

std::wstring Cab(const wchar_t* name) { return test::BuildTestsFolder() + L"install\\cabs\\" + name; }

// The names in a folder, "." and ".." left out.
std::set<std::string> Listing(const std::wstring& folder) {
  std::set<std::string> names;
  WIN32_FIND_DATAW found;
  UniqueFind search(FindFirstFileW((folder + L"\\*").c_str(), &found));
  if (!search) return names;
  do {
    const std::wstring name = found.cFileName;
    if (name != L"." && name != L"..") names.insert(Narrow(name));
  } while (FindNextFileW(search.get(), &found));
  return names;
}

class CabExtract : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(parent_.Created());
    ASSERT_TRUE(CreateDirectoryW(out_.c_str(), nullptr));
  }
  TempFolder parent_{L"cab"};
  std::wstring out_ = parent_ / L"out";
};

TEST_F(CabExtract, UnpacksEveryFileByteForByte) {
  // With and without the folder's final backslash.
  for (const std::wstring& folder : {out_, out_ + L"\\"}) {
    ASSERT_EQ(0u, ExtractCab(Cab(L"good.cab").c_str(), folder.c_str()));
    EXPECT_EQ((std::set<std::string>{"component.dll", "component.inf"}), Listing(out_));
    for (const wchar_t* name : {L"component.dll", L"component.inf"}) {
      const std::string expected = ReadWholeFile(Cab(L"payload\\") + name);
      ASSERT_FALSE(expected.empty());
      EXPECT_EQ(expected, ReadWholeFile(out_ + L"\\" + name)) << Narrow(name);
    }
  }
  ASSERT_EQ(0u, ExtractCab(Cab(L"plain.cab").c_str(), out_.c_str()));
  std::string plain;
  for (int i = 0; i < 10000; ++i) plain += "plain\r\n";
  EXPECT_EQ(plain, ReadWholeFile(out_ + L"\\plain.txt"));
}

TEST_F(CabExtract, RefusesEntryNamesThatLeaveTheFolder) {
  struct Case {
    const wchar_t* cab;
    std::set<std::string> left;  // what the folder holds afterwards: the entries before the refused one
  };
  const Case cases[] = {
      {L"refused-parent.cab", {"ok.txt"}},  // "..\evil.txt" after a good entry
      {L"refused-slash.cab", {}},           // "../evil.txt"
      {L"refused-subfolder.cab", {}},       // "sub\x.txt"
      {L"refused-drive.cab", {}},           // "C:x.txt", relative to the drive's current folder
  };
  wchar_t current[MAX_PATH];
  ASSERT_TRUE(GetCurrentDirectoryW(MAX_PATH, current));
  for (const Case& c : cases) {
    SCOPED_TRACE(Narrow(c.cab));
    EXPECT_EQ(kCabEntryRefused, ExtractCab(Cab(c.cab).c_str(), out_.c_str()));
    EXPECT_EQ(c.left, Listing(out_));
    EXPECT_EQ((std::set<std::string>{"out"}), Listing(parent_.Path()));
    EXPECT_FALSE(PathExists(std::wstring(current) + L"\\x.txt"));
    test::RemoveTree(out_);
    ASSERT_TRUE(CreateDirectoryW(out_.c_str(), nullptr));
  }
}

TEST_F(CabExtract, DamagedAndForeignFilesGiveTheirCodes) {
  // A changed byte in a data block fails the block's checksum: the decompressor's "corrupt cabinet".
  EXPECT_EQ(4u, ExtractCab(Cab(L"damaged.cab").c_str(), out_.c_str()));
  EXPECT_EQ(static_cast<DWORD>(ERROR_BAD_FORMAT), ExtractCab(Cab(L"notacab.cab").c_str(), out_.c_str()));
  EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), ExtractCab(Cab(L"missing.cab").c_str(), out_.c_str()));
  EXPECT_EQ((std::set<std::string>{"out"}), Listing(parent_.Path()));
}

}  // namespace
}  // namespace kesi::install
