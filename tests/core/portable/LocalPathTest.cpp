#include <gtest/gtest.h>

#include "LocalPath.h"

using namespace kesi;

TEST(LocalPath, Classify) {
  struct Case {
    const wchar_t* path;
    PathKind kind;
  } cases[] = {
      {nullptr, PathKind::kLocal},
      {L"", PathKind::kLocal},
      {L"C:\\Windows\\system32\\kernel32.dll", PathKind::kLocal},
      {L"C:/Windows/x", PathKind::kLocal},
      {L"C:x", PathKind::kLocal},  // relative to the drive's current folder
      {L"x\\y", PathKind::kLocal},
      {L"..\\..\\x", PathKind::kLocal},
      {L"\\x", PathKind::kLocal},  // the root of the current drive
      {L"/x", PathKind::kLocal},
      {L"\\", PathKind::kLocal},
      {L"?\\x", PathKind::kLocal},
      {L"\\?x", PathKind::kLocal},
      {L"\\??x", PathKind::kLocal},
      {L"\\\\host\\share\\x", PathKind::kNetwork},
      {L"//host/share/x", PathKind::kNetwork},
      {L"\\/host\\share", PathKind::kNetwork},
      {L"/\\host/share", PathKind::kNetwork},
      {L"\\\\127.0.0.1\\c$\\x", PathKind::kNetwork},
      {L"\\\\host", PathKind::kNetwork},
      {L"\\\\", PathKind::kNetwork},
      {L"\\\\\\x", PathKind::kNetwork},
      {L"\\\\*\\share", PathKind::kNetwork},
      {L"\\\\host@SSL@443\\DavWWWRoot\\x", PathKind::kNetwork},
      {L"\\\\host@8080\\DavWWWRoot\\x", PathKind::kNetwork},
      {L"\\\\host@SSL\\x", PathKind::kNetwork},
      {L"\\\\[::1]\\x", PathKind::kNetwork},
      {L"\\\\..\\x", PathKind::kNetwork},  // a server named ".."
      {L"\\\\.host\\x", PathKind::kNetwork},
      {L"  \\\\host\\share", PathKind::kNetwork},
      {L"\t//host/share", PathKind::kNetwork},
      {L"\\\\?\\UNC\\host\\share\\x", PathKind::kNetwork},
      {L"\\\\?\\unc\\host\\share", PathKind::kNetwork},
      {L"//?/UNC/host/share", PathKind::kNetwork},
      {L"\\\\.\\UNC\\host\\share", PathKind::kNetwork},
      {L"\\??\\UNC\\host\\share", PathKind::kNetwork},
      {L"\\??\\Unc/host/share", PathKind::kNetwork},
      {L"\\\\?\\C:\\x", PathKind::kDevice},  // local, but in device syntax
      {L"\\\\?\\UNCx\\y", PathKind::kDevice},
      {L"\\\\?\\UNC", PathKind::kDevice},
      {L"\\\\.\\pipe\\x", PathKind::kDevice},
      {L"\\\\.\\PhysicalDrive0", PathKind::kDevice},
      {L"//./C:/x", PathKind::kDevice},
      {L"\\\\?\\GLOBALROOT\\Device\\Mup\\host\\share", PathKind::kDevice},
      {L"\\\\?\\Volume{00000000-0000-0000-0000-000000000000}\\x", PathKind::kDevice},
      {L"\\\\.", PathKind::kDevice},
      {L"\\\\?", PathKind::kDevice},
      {L"\\??\\C:\\x", PathKind::kDevice},
      {L"/?" L"?/C:/x", PathKind::kDevice},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "[" << (c.path ? c.path : L"(null)") << "]");
    EXPECT_EQ(static_cast<int>(c.kind), static_cast<int>(ClassifyLocalPath(c.path)));
  }
  EXPECT_EQ(0u, RefusedPathStatus(PathKind::kLocal));
  EXPECT_EQ(53u, RefusedPathStatus(PathKind::kNetwork));
  EXPECT_EQ(161u, RefusedPathStatus(PathKind::kDevice));
}
