// The installer object's texts: the Base64 test of a configuration and the configuration file's line ends.
#include <gtest/gtest.h>

#include "InstallerText.h"
#include "TestText.h"

namespace kesi::controls {
namespace {

TEST(InstallerText, Base64Table) {
  struct Case {
    const char* text;
    bool base64;
  } const cases[] = {
      {"W0luc3RhbGxTZXR0aW5nc10=", true},
      {"W0lu\r\nc3Rh bGxT", true},  // line breaks and blanks anywhere
      {"QQ", true},                 // unpadded
      {"QUI=", true},
      {"", true},
      {"Q", false},                 // six bits left over
      {"QQ==QQ==", false},          // data after the padding
      {"QUI===", false},
      {"Q===", false},
      {"[Install]", false},
      {"not base64!", false},
      {"QUJD-_", false},            // the URL alphabet is not the standard one
  };
  for (const Case& c : cases) EXPECT_EQ(c.base64, IsBase64Text(c.text)) << "\"" << c.text << "\"";
}

TEST(InstallerText, FileTextEndsEveryLineWithCrLf) {
  struct Case {
    const wchar_t* text;
    const wchar_t* file;
  } const cases[] = {
      {L"[A]\nk=v", L"[A]\r\nk=v\r\n"},
      {L"[A]\nk=v\n", L"[A]\r\nk=v\r\n"},
      {L"[A]\r\nk=v\r\n", L"[A]\r\nk=v\r\n"},  // a CR already there is not doubled
      {L"[A]\n\nk=v", L"[A]\r\n\r\nk=v\r\n"},
      {L"one", L"one\r\n"},
      {L"", L""},
  };
  for (const Case& c : cases)
    EXPECT_EQ(std::wstring(c.file), ConfigurationFileText(c.text)) << test::Narrow(test::WithCrLf(c.text));
}

}  // namespace
}  // namespace kesi::controls
