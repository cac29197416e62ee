// The installer object, created in this process as the class factory creates it: its properties, the
// configuration file it writes, InstallComponentMsi against an appliance simulator that serves the
// fixture packages of tests/fixtures/msi (a signed and an unsigned build of one VPN client stand-in), the
// page-host rule through a client-site double, the broker's branding step, and its folders in a probe
// process under a Windows version and an ieframe.dll of the test's choosing.
#include <gtest/gtest.h>
#include <windows.h>
#include <sddl.h>
#include <msi.h>
#include <shlobj.h>
#include <urlmon.h>

#include <string>

#include "ComFrame.h"
#include "Handles.h"
#include "LogTail.h"
#include "PageSite.h"
#include "InstallSystem.h"
#include "InstallerFolders.h"
#include "KESInstaller.h"
#include "LogFolder.h"
#include "SecureWipe.h"
#include "SimulatorClient.h"
#include "TestFiles.h"
#include "TestMsi.h"
#include "TestProcess.h"
#include "TestText.h"

namespace kesi::controls {
namespace {

constexpr wchar_t kClient[] = L"{A2A78788-2792-49BF-AF22-5E9296E568F3}";
constexpr char kSettings[] =
    "[InstallSettings]\nProductCode={A2A78788-2792-49BF-AF22-5E9296E568F3}\nProductVersion=1.2.3\n"
    "UILevel=NONE\nUILevelUpdate=NONE\n";

std::wstring Package(const wchar_t* name) { return test::FixturePath(std::wstring(L"msi\\packages\\") + name); }

bool Installed() { return test::IsProductInstalled(kClient); }

std::string Base64(const std::string& bytes) {
  static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  for (size_t i = 0; i < bytes.size(); i += 3) {
    unsigned value = static_cast<unsigned char>(bytes[i]) << 16;
    if (i + 1 < bytes.size()) value |= static_cast<unsigned char>(bytes[i + 1]) << 8;
    if (i + 2 < bytes.size()) value |= static_cast<unsigned char>(bytes[i + 2]);
    out += kAlphabet[(value >> 18) & 63];
    out += kAlphabet[(value >> 12) & 63];
    out += i + 1 < bytes.size() ? kAlphabet[(value >> 6) & 63] : '=';
    out += i + 2 < bytes.size() ? kAlphabet[value & 63] : '=';
  }
  return out;
}



class Installer : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(com_.Usable());
    ASSERT_EQ(S_OK, CreateInstallerObject(IID_IKESInstaller, object_.put_void()));
    object_->QueryInterface(IID_IObjectWithSite, site_.put_void());
    ASSERT_TRUE(site_);
    folder_ = PackageFolder();
    test::RemoveProductIfInstalled(kClient);
  }
  void TearDown() override {
    site_.reset();
    object_.reset();
    EnableBrokerBranding(false);
    install::SetInstallCookie(nullptr);
    test::RemoveProductIfInstalled(kClient);
    DeleteFileW((folder_ + L"tqvpn.msi").c_str());
    DeleteFileW((folder_ + L"CustomBranding.zip").c_str());
  }

  HRESULT PutConfiguration(const std::wstring& text) {
    UniqueBstr value(SysAllocStringLen(text.data(), static_cast<UINT>(text.size())));
    return object_->put_ConfigurationString(value.get());
  }
  HRESULT PutCredential(const wchar_t* text) {
    UniqueBstr value(SysAllocString(text));
    return object_->put_AuthCredential(value.get());
  }
  std::wstring Configuration() {
    UniqueBstr value;
    EXPECT_EQ(S_OK, object_->get_ConfigurationString(value.put()));
    return value ? std::wstring(value.get(), SysStringLen(value.get())) : L"<null>";
  }
  // InstallComponentMsi's result (the HRESULT must be S_OK).
  ULONG Install(const std::wstring& url, const wchar_t* server = L"127.0.0.1") {
    UniqueBstr serverIP(SysAllocString(server));
    UniqueBstr msiUrl(SysAllocString(url.c_str()));
    ULONG result = 0xDEADBEEF;
    EXPECT_EQ(S_OK, object_->InstallComponentMsi(serverIP.get(), msiUrl.get(), &result)) << test::Narrow(url);
    return result;
  }
  std::wstring IsInstalled() {
    UniqueBstr answer;
    EXPECT_EQ(S_OK, object_->IsComponentMsiInstalled(answer.put()));
    return answer ? answer.get() : L"<null>";
  }

  ComApartment com_{COINIT_MULTITHREADED};
  ComPtr<IKESInstaller> object_;
  ComPtr<IObjectWithSite> site_;
  std::wstring folder_;
};

// ---- Properties ------------------------------------------------------------------------------------

// "[InstallSettings]" text is kept as it is; anything else must be Base64 of UTF-8 text (read through the
// ANSI code page); text that is neither is refused and leaves no configuration behind.
TEST_F(Installer, ConfigurationStringTable) {
  const std::string utf8 = "[InstallSettings]\nName=Z\xC3\xBCrich \xE2\x82\xAC\n";  // "Zürich €"
  const std::wstring decoded = L"[InstallSettings]\nName=Z\u00FCrich \u20AC\n";
  const std::string encoded = Base64(utf8);
  struct Case {
    std::wstring given;
    HRESULT hr;
    std::wstring stored;
  } const cases[] = {
      {L"[InstallSettings]\nProductCode={X}\n", S_OK, L"[InstallSettings]\nProductCode={X}\n"},
      {L"x=1\n[InstallSettings]\n\u00FC", S_OK, L"x=1\n[InstallSettings]\n\u00FC"},
      {test::Widen(encoded), S_OK, decoded},
      {test::Widen(encoded.substr(0, 8) + "\r\n" + encoded.substr(8)), S_OK, decoded},
      {L"not base64 text!", E_INVALIDARG, L"<null>"},
      {test::Widen(Base64("\xFF\xFE[A]")), E_INVALIDARG, L"<null>"},  // not UTF-8
      {test::Widen(Base64(std::string("[A]\0x", 5))), E_INVALIDARG, L"<null>"},
      {L"W0FdCg==\u00E9", E_INVALIDARG, L"<null>"},  // a character outside the alphabet
  };
  for (const Case& c : cases) {
    ASSERT_EQ(S_OK, PutConfiguration(L"[InstallSettings]\nold=1\n"));
    EXPECT_EQ(c.hr, PutConfiguration(c.given)) << test::Narrow(c.given);
    EXPECT_EQ(c.stored, Configuration()) << test::Narrow(c.given);
  }
  // Without a configuration there is nothing to ask about.
  UniqueBstr answer;
  EXPECT_EQ(E_INVALIDARG, object_->IsComponentMsiInstalled(answer.put()));
}

TEST_F(Installer, NullArguments) {
  EXPECT_EQ(E_POINTER, object_->put_ConfigurationString(nullptr));
  EXPECT_EQ(E_POINTER, object_->get_ConfigurationString(nullptr));
  EXPECT_EQ(E_POINTER, object_->put_AuthCredential(nullptr));
  EXPECT_EQ(E_POINTER, object_->get_AuthCredential(nullptr));
  EXPECT_EQ(E_POINTER, object_->IsComponentMsiInstalled(nullptr));
  UniqueBstr url(SysAllocString(L"https://127.0.0.1/x.msi"));
  EXPECT_EQ(E_POINTER, object_->InstallComponentMsi(nullptr, url.get(), nullptr));
  ULONG result = 0;
  EXPECT_EQ(E_INVALIDARG, object_->InstallComponentMsi(nullptr, url.get(), &result));  // no configuration
  ASSERT_EQ(S_OK, PutConfiguration(test::Widen(kSettings)));
  EXPECT_EQ(E_INVALIDARG, object_->InstallComponentMsi(nullptr, nullptr, &result));
}

// The credential is kept, published as the library's cookie and logged masked; a null put clears it.
TEST_F(Installer, CredentialIsPublishedAndLoggedMasked) {
  test::LogTail log(kInstallerLogName);
  ASSERT_EQ(S_OK, PutCredential(L"FARLINK_ID=s3cr3t-session-0042"));
  UniqueBstr value;
  ASSERT_EQ(S_OK, object_->get_AuthCredential(value.put()));
  EXPECT_STREQ(L"FARLINK_ID=s3cr3t-session-0042", value.get());
  std::wstring cookie;
  ASSERT_EQ(0u, install::CopyInstallCookie(&cookie));
  EXPECT_EQ(L"FARLINK_ID=s3cr3t-session-0042", cookie);
  const std::string text = log.Text();
  EXPECT_NE(std::string::npos, text.find("put_AuthCredential received credentials = FARL***(30).")) << text;
  EXPECT_EQ(std::string::npos, text.find("s3cr3t")) << text;

  EXPECT_EQ(E_POINTER, object_->put_AuthCredential(nullptr));
  ASSERT_EQ(S_OK, object_->get_AuthCredential(value.put()));
  EXPECT_EQ(nullptr, value.get());
}

// The three CAB methods do nothing; script reads an unwritten result as 0 (success), so they write 1.
TEST_F(Installer, DeprecatedMethodsReportFailure) {
  UniqueBstr text(SysAllocString(L"x"));
  ULONG result = 0;
  EXPECT_EQ(S_OK, object_->Install3rdPartyComponent(text.get(), text.get(), text.get(), text.get(), text.get(), &result));
  EXPECT_EQ(1u, result);
  result = 0;
  EXPECT_EQ(S_OK, object_->InstallComponent(text.get(), text.get(), text.get(), text.get(), text.get(), &result));
  EXPECT_EQ(1u, result);
  result = 0;
  EXPECT_EQ(S_OK, object_->InstallComponentVer(text.get(), text.get(), text.get(), &result));
  EXPECT_EQ(1u, result);
}

// ---- The configuration file ------------------------------------------------------------------------

// tqsetup.ini: UTF-16LE with its byte-order mark and CR LF line ends, readable by the profile API
// (non-ASCII text included); a second put is written on the next use, not the first one kept.
TEST_F(Installer, ConfigurationFileIsRewrittenAfterAPut) {
  ASSERT_EQ(S_OK, PutConfiguration(L"[InstallSettings]\nProductCode={00000000-0000-4000-8000-0000000000AA}\n"
                                   L"ProductVersion=9.9.9\nName=Z\u00FCrich\n"));
  EXPECT_EQ(L"false", IsInstalled());
  const std::wstring file = ConfigurationFolder() + L"tqsetup.ini";
  const std::string bytes = test::ReadWholeFile(file);
  ASSERT_GE(bytes.size(), 4u) << test::Narrow(file);
  EXPECT_EQ('\xFF', bytes[0]);
  EXPECT_EQ('\xFE', bytes[1]);
  const std::wstring text(reinterpret_cast<const wchar_t*>(bytes.data() + 2), (bytes.size() - 2) / 2);
  EXPECT_EQ(L"[InstallSettings]\r\nProductCode={00000000-0000-4000-8000-0000000000AA}\r\nProductVersion=9.9.9\r\n"
            L"Name=Z\u00FCrich\r\n",
            text);
  wchar_t value[64];
  GetPrivateProfileStringW(L"InstallSettings", L"Name", L"", value, 64, file.c_str());
  EXPECT_STREQ(L"Z\u00FCrich", value);

  ASSERT_EQ(S_OK, PutConfiguration(L"[InstallSettings]\nProductCode={00000000-0000-4000-8000-0000000000AA}\n"
                                   L"ProductVersion=1.0.0\n"));
  EXPECT_EQ(L"false", IsInstalled());
  GetPrivateProfileStringW(L"InstallSettings", L"ProductVersion", L"", value, 64, file.c_str());
  EXPECT_STREQ(L"1.0.0", value);
  GetPrivateProfileStringW(L"InstallSettings", L"Name", L"gone", value, 64, file.c_str());
  EXPECT_STREQ(L"gone", value);
}

// ---- InstallComponentMsi ---------------------------------------------------------------------------

class InstallerPackage : public Installer {
 protected:
  void SetUp() override {
    Installer::SetUp();
    ASSERT_EQ("", appliance_.Error());
    ASSERT_EQ(S_OK, PutConfiguration(test::Widen(kSettings)));
    ASSERT_EQ(S_OK, PutCredential(L"FARLINK_ID=abc"));
  }
  std::wstring Url(const char* path) {
    return L"https://127.0.0.1:" + std::to_wstring(appliance_.Port()) + L"/postauth/" + test::Widen(path);
  }
  // The journal lines of GETs under /postauth/.
  std::vector<std::string> Gets() {
    std::vector<std::string> gets;
    for (const std::string& line : appliance_.Journal())
      if (line.find(" GET /postauth/") != std::string::npos) gets.push_back(line);
    return gets;
  }

  test::Appliance appliance_{std::string(R"({"files": ")") + KESI_MSI_PACKAGES +
                             R"(", "inline_files": {"branding.zip": "KESI branding archive"}})"};
};

// A signed package served by the appliance installs; the download carries the credential as its cookie.
TEST_F(InstallerPackage, SignedPackageInstalls) {
  test::LogTail log(kInstallerLogName);
  EXPECT_EQ(0u, Install(Url("tqclient-1.2.3.msi")));
  EXPECT_TRUE(Installed());
  EXPECT_EQ(L"true", IsInstalled());
  const auto gets = Gets();
  ASSERT_EQ(1u, gets.size());
  EXPECT_NE(std::string::npos, gets[0].find("cookie=\"FARLINK_ID=abc\"")) << gets[0];
  EXPECT_NE(std::string::npos, gets[0].find("ua=\"Velmora Interrogator\"")) << gets[0];
  EXPECT_NE(std::string::npos, log.Text().find("InstallComponentMsi completed.")) << log.Text();
}

// The package goes through the provisioner's signature check first: an unsigned one is refused with the
// platform's code and nothing is installed. (Wine does not hash MSI streams, so a package changed after
// signing passes its check here; only the unsigned case can be shown.)
TEST_F(InstallerPackage, UnsignedPackageIsRefused) {
  EXPECT_EQ(static_cast<ULONG>(TRUST_E_NOSIGNATURE), Install(Url("raw/tqclient-1.2.3.msi")));
  EXPECT_FALSE(Installed());
  EXPECT_FALSE(test::PathExists(folder_ + L"tqvpn.msi"));
}

// A local path is copied; a UNC path (which would sign the user on to that machine) is refused without
// touching it.
TEST_F(InstallerPackage, LocalPathCopiesAndUncIsRefused) {
  for (const wchar_t* unc : {L"\\\\127.0.0.1\\share\\tqvpn.msi", L"//127.0.0.1/share/tqvpn.msi"}) {
    EXPECT_EQ(static_cast<ULONG>(ERROR_ACCESS_DENIED), Install(unc)) << test::Narrow(unc);
    EXPECT_FALSE(test::PathExists(folder_ + L"tqvpn.msi"));
  }
  EXPECT_FALSE(Installed());
  EXPECT_EQ(0u, Install(Package(L"tqclient-1.2.3.msi")));
  EXPECT_TRUE(Installed());
}

TEST_F(InstallerPackage, MissingPackageReportsTheTransferCode) {
  test::LogTail log(kInstallerLogName);
  EXPECT_EQ(12028u, Install(Url("missing.msi")));  // HTTP 404
  EXPECT_NE(std::string::npos, log.Text().find("InstallComponentMsi failed getting file ")) << log.Text();
  EXPECT_NE(std::string::npos, log.Text().find("Error 0x00002EFC.")) << log.Text();
  EXPECT_FALSE(Installed());
}

// Hosted by a page, the object fetches only from the page's own host (the missing package shows the
// fetch was made); without a site any URL is taken, as the script host and the broker need.
TEST_F(InstallerPackage, PageMayInstallOnlyFromItsOwnHost) {
  test::PageSite other(L"https://appliance.example/epc/page.html");
  ASSERT_EQ(S_OK, site_->SetSite(&other));
  EXPECT_EQ(static_cast<ULONG>(ERROR_ACCESS_DENIED), Install(Url("tqclient-1.2.3.msi")));
  EXPECT_EQ(static_cast<ULONG>(ERROR_ACCESS_DENIED), Install(Package(L"tqclient-1.2.3.msi")));
  EXPECT_TRUE(Gets().empty());
  EXPECT_FALSE(Installed());

  test::PageSite same(L"https://127.0.0.1:1/epc/page.html");
  ASSERT_EQ(S_OK, site_->SetSite(&same));
  EXPECT_EQ(12028u, Install(Url("missing.msi")));
  ASSERT_EQ(S_OK, site_->SetSite(nullptr));
  EXPECT_EQ(12028u, Install(Url("missing.msi")));
  EXPECT_EQ(2u, Gets().size());
}

// The broker's branding step: the archive must have the digest the configuration names; its local path
// then replaces the URL in the configuration file and the package installs. A wrong digest stops the
// install.
TEST_F(InstallerPackage, BrandingArchiveMustMatchItsDigest) {
  EnableBrokerBranding();
  const std::string md5 = "7b0c8f1fb9ef0c6c7d5a7e0d5fb8bfc4";  // not the archive's
  ASSERT_EQ(S_OK, PutConfiguration(test::Widen(std::string(kSettings) + "Branding=" + test::Narrow(Url("branding.zip")) +
                                               "\nBrandingMd5=" + md5 + "\n")));
  EXPECT_EQ(static_cast<ULONG>(CRYPT_E_HASH_VALUE), Install(Url("tqclient-1.2.3.msi")));
  EXPECT_FALSE(Installed());
  EXPECT_FALSE(test::PathExists(folder_ + L"CustomBranding.zip"));

  ASSERT_EQ(S_OK, PutConfiguration(test::Widen(std::string(kSettings) + "Branding=" + test::Narrow(Url("branding.zip")) +
                                               "\nBrandingMd5=7E9E911A5094DE67C08E2172BACF69EE\n")));
  EXPECT_EQ(0u, Install(Url("tqclient-1.2.3.msi")));
  EXPECT_TRUE(Installed());
  wchar_t value[MAX_PATH];
  GetPrivateProfileStringW(L"InstallSettings", L"Branding", L"", value, MAX_PATH,
                           (ConfigurationFolder() + L"tqsetup.ini").c_str());
  EXPECT_EQ(folder_ + L"CustomBranding.zip", value);
}

// ---- Folders ---------------------------------------------------------------------------------------

// The probe program in its own process, with the given AppDefaults values (Version, DllOverrides).
class InstallerFolders : public ::testing::Test {
 protected:
  void TearDown() override { RegDeleteTreeW(HKEY_CURRENT_USER, kKey); }

  static std::wstring Probe() { return test::BuildTestsFolder() + L"controls\\installerprobe\\kesiinstallerprobe.exe"; }
  ::testing::AssertionResult Run(const std::wstring& arguments, DWORD* code) {
    test::ChildProcess child;
    auto started = child.Start(Probe(), arguments);
    if (!started) return started;
    if (WaitForSingleObject(child.Handle(), 60000) != WAIT_OBJECT_0) return ::testing::AssertionFailure() << "no end";
    GetExitCodeProcess(child.Handle(), code);
    return ::testing::AssertionSuccess();
  }
  std::string Folders() {
    const std::wstring out = temp_ / L"folders.txt";
    DWORD code = 1;
    EXPECT_TRUE(Run(L"folders \"" + out + L"\"", &code));
    EXPECT_EQ(0u, code);
    return test::ReadWholeFile(out);
  }
  void SetVersion(const wchar_t* version) {
    RegSetKeyValueW(HKEY_CURRENT_USER, kKey, L"Version", REG_SZ, version,
                    static_cast<DWORD>((wcslen(version) + 1) * sizeof(wchar_t)));
  }
  void UseFixtureIeframe() {
    const wchar_t native[] = L"native";
    RegSetKeyValueW(HKEY_CURRENT_USER, (std::wstring(kKey) + L"\\DllOverrides").c_str(), L"ieframe", REG_SZ, native,
                    sizeof native);
  }
  static std::string AppData(int csidl) {
    wchar_t path[MAX_PATH];
    SHGetFolderPathW(nullptr, csidl, nullptr, SHGFP_TYPE_CURRENT, path);
    return test::Narrow(std::wstring(path) + L"\\Velmora\\");
  }

  static constexpr const wchar_t* kKey = L"Software\\Wine\\AppDefaults\\kesiinstallerprobe.exe";
  test::TempFolder temp_{L"installerfolders"};
};

// Wine's own ieframe.dll lacks both entries: not protected, the interactive user's folder.
TEST_F(InstallerFolders, WithoutProtectedModeTheUsersFolder) {
  const std::string folders = Folders();
  EXPECT_EQ("protected=0\nconfig=" + AppData(CSIDL_APPDATA) + "\npackage=" + AppData(CSIDL_APPDATA) + "\n", folders);
}

// The fixture ieframe.dll: protected mode (or a refused query) gives the browser's writeable folder for the
// configuration; a failing query counts as not protected. The package stays in the user's folder.
TEST_F(InstallerFolders, ProtectedModeTakesTheWriteableFolder) {
  UseFixtureIeframe();
  wchar_t temp[MAX_PATH];
  GetTempPathW(MAX_PATH, temp);
  const std::string low = test::Narrow(temp) + "kesi-ieframe-low\\Velmora\\";
  struct Case {
    const wchar_t* mode;
    bool protectedMode;
  } const cases[] = {{L"yes", true}, {L"denied", true}, {L"no", false}, {L"fail", false}};
  for (const Case& c : cases) {
    SetEnvironmentVariableW(L"KESI_IEFRAME_MODE", c.mode);
    const std::string expected = std::string("protected=") + (c.protectedMode ? "1" : "0") +
                                 "\nconfig=" + (c.protectedMode ? low : AppData(CSIDL_APPDATA)) +
                                 "\npackage=" + AppData(CSIDL_APPDATA) + "\n";
    EXPECT_EQ(expected, Folders()) << test::Narrow(c.mode);
  }
  SetEnvironmentVariableW(L"KESI_IEFRAME_MODE", nullptr);
}

// Before Vista both files go to the all-users folder.
TEST_F(InstallerFolders, BeforeVistaTheAllUsersFolder) {
  SetVersion(L"winxp");
  EXPECT_EQ("protected=0\nconfig=" + AppData(CSIDL_COMMON_APPDATA) + "\npackage=" + AppData(CSIDL_COMMON_APPDATA) + "\n",
            Folders());
}

// The descriptor each folder is created with, as SDDL ("inherited" without one). Wine does not keep a
// directory's descriptor (it shows one made from the Unix permissions), so the request itself is checked.
std::wstring g_descriptor;
BOOL WINAPI RecordingCreate(const wchar_t* path, SECURITY_ATTRIBUTES* attributes) {
  g_descriptor = L"inherited";
  LPWSTR text = nullptr;
  if (attributes && attributes->lpSecurityDescriptor &&
      ConvertSecurityDescriptorToStringSecurityDescriptorW(attributes->lpSecurityDescriptor, SDDL_REVISION_1,
                                                           DACL_SECURITY_INFORMATION, &text, nullptr)) {
    g_descriptor = text;
    LocalFree(text);
  }
  return CreateDirectoryW(path, attributes);
}
bool Yes() { return true; }
bool No() { return false; }

// Only the all-users folder of an older system, shared by design, grants everyone full access (when an
// administrator makes it); a per-user folder keeps its parent's protection.
TEST(InstallerFolderDescriptor, OnlyTheSharedFolderGrantsEveryone) {
  test::TempFolder temp(L"installerdescriptor");
  struct Case {
    bool vista;
    bool administrator;
    const wchar_t* descriptor;
  } const cases[] = {
      {true, true, L"inherited"},
      {true, false, L"inherited"},
      {false, true, L"D:(A;OICI;GA;;;WD)"},
      {false, false, L"inherited"},
  };
  int n = 0;
  for (const Case& c : cases) {
    const InstallerFolderSystem previous =
        SetInstallerFolderSystem({c.vista ? &Yes : &No, c.administrator ? &Yes : &No, &RecordingCreate});
    g_descriptor = L"none";
    const std::wstring folder = temp / (L"f" + std::to_wstring(n++) + L"\\");
    EXPECT_EQ(0u, CreateInstallerFolder(folder));
    SetInstallerFolderSystem(previous);
    EXPECT_EQ(std::wstring(c.descriptor), g_descriptor) << "vista " << c.vista << ", administrator " << c.administrator;
    EXPECT_TRUE(test::IsFolder(folder));
  }
}

}  // namespace
}  // namespace kesi::controls
