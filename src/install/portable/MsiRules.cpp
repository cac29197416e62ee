#include "MsiRules.h"

#include <cstdio>
#include <cwctype>

namespace kesi::install {
namespace {

bool IsBlank(wchar_t c) { return c == L' ' || c == L'\t' || c == L'\r' || c == L'\n' || c == L'\v' || c == L'\f'; }

bool EqualsIgnoringCase(const wchar_t* text, const wchar_t* upper) {
  for (; *upper; ++text, ++upper) {
    if (*text == 0 || std::towupper(static_cast<wint_t>(*text)) != static_cast<wint_t>(*upper)) return false;
  }
  return *text == 0;
}

bool Given(const wchar_t* text) { return text && *text; }

std::wstring Quoted(const wchar_t* text) { return std::wstring(L"\"") + (text ? text : L"") + L"\""; }

}  // namespace

VpnVersion ParseVpnVersion(const wchar_t* text) {
  uint32_t parts[3] = {0, 0, 0};
  for (int i = 0; text && i < 3; ++i) {
    const wchar_t* p = text;
    while (IsBlank(*p)) ++p;
    uint64_t value = 0;
    for (; *p >= L'0' && *p <= L'9'; ++p) {
      value = value * 10 + static_cast<uint64_t>(*p - L'0');
      if (value > UINT32_MAX) value = UINT32_MAX;
    }
    parts[i] = static_cast<uint32_t>(value);
    // The next part starts after the next dot.
    while (*text && *text != L'.') ++text;
    if (*text != L'.') break;
    ++text;
  }
  return VpnVersion{parts[0], parts[1], parts[2]};
}

int CompareVpnVersions(const VpnVersion& a, const VpnVersion& b) {
  if (a.major != b.major) return a.major < b.major ? -1 : 1;
  if (a.minor != b.minor) return a.minor < b.minor ? -1 : 1;
  if (a.build != b.build) return a.build < b.build ? -1 : 1;
  return 0;
}

int DecideVpnClient(const wchar_t* installedVersion, const wchar_t* packageVersion) {
  if (!installedVersion) return kVpnNotInstalled;
  const int order = CompareVpnVersions(ParseVpnVersion(packageVersion), ParseVpnVersion(installedVersion));
  if (order == 0) return kVpnCurrent;
  return order > 0 ? kVpnUpgrade : kVpnInstalledNewer;
}

MsiUiChoice ChooseMsiUi(const wchar_t* levelText, bool upgrade, bool vistaOrLater) {
  const wchar_t* text = levelText ? levelText : L"";
  if (EqualsIgnoringCase(text, L"BASIC")) return {3, L"/qb"};
  if (EqualsIgnoringCase(text, L"NONE")) return {2, L"/qn"};
  if (EqualsIgnoringCase(text, L"REDUCED")) return {4, L"/qr"};
  if (!upgrade) return {5, L"/qf"};
  return {5, vistaOrLater ? L"/qn" : L"/qb"};
}

std::wstring VpnClientCommandLine(const wchar_t* packagePath, const wchar_t* uiSwitch,
                                  const wchar_t* extraArguments, const wchar_t* logPath, bool upgrade,
                                  const wchar_t* configFile) {
  std::wstring line = L"msiexec.exe /i " + Quoted(packagePath) + L" " + (uiSwitch ? uiSwitch : L"") + L" ";
  if (Given(extraArguments)) line += std::wstring(extraArguments) + L" ";
  if (Given(logPath)) line += L"/lvx " + Quoted(logPath);
  line += L" TQSETUP=1 ALLUSERS=1";
  if (upgrade) line += L" REINSTALLMODE=vamus REINSTALL=ALL";
  if (Given(configFile)) line += L" CONFIGURATIONFILE=" + Quoted(configFile);
  return line;
}

std::wstring VpnAgentCommandLine(const wchar_t* packagePath, const wchar_t* logPath, bool wasInstalled) {
  std::wstring line = L"msiexec /i " + Quoted(packagePath) + L" /qb /l*v " + Quoted(logPath) +
                      L" TQSETUP=1 ALLUSERS=1";
  if (wasInstalled) line += L" REINSTALLMODE=vamus REINSTALL=ALL";
  return line;
}

std::wstring AgentCommandLine(const wchar_t* packagePath, int uiLevel, const wchar_t* logPath,
                              const wchar_t* installArguments) {
  std::wstring line = L"msiexec /i " + Quoted(packagePath) + (uiLevel == 2 ? L" /qn " : L" /qb ") + L"/l*v " +
                      Quoted(logPath) + L" ADDLOCAL=ALL";
  if (Given(installArguments)) line += std::wstring(L" ") + installArguments;
  return line;
}

std::wstring RemoveCommandLine(const wchar_t* extraArguments) {
  return std::wstring(L"REMOVE=ALL ") + (extraArguments ? extraArguments : L"");
}

bool IsMsiSuccess(uint32_t code) { return code == 0 || code == 3010 || code == 1641; }

bool BuildUpdateServiceRequest(const wchar_t* folder, UpdateServiceMessage* message) {
  message->fill(0);
  size_t length = 0;
  while (folder && folder[length]) ++length;
  if (length >= kUpdateServiceFolderChars) return false;
  uint8_t* out = message->data();
  for (int i = 0; i < 4; ++i) out[i] = static_cast<uint8_t>(kUpdateServiceInstallCommand >> (8 * i));
  for (size_t i = 0; i < length; ++i) {
    const auto unit = static_cast<uint16_t>(folder[i]);
    out[4 + 2 * i] = static_cast<uint8_t>(unit);
    out[5 + 2 * i] = static_cast<uint8_t>(unit >> 8);
  }
  return true;
}

namespace {

struct ResultText {
  uint32_t code;
  const wchar_t* text;
};

// The Windows Installer SDK's descriptions of its codes.
constexpr ResultText kResultTexts[] = {
    {13, L"The data is invalid."},
    {87, L"One of the parameters was invalid."},
    {120, L"This value is returned when a custom action attempts to call a function that cannot be called from "
          L"custom actions. The function returns the value ERROR_CALL_NOT_IMPLEMENTED. Available beginning with "
          L"Windows Installer version 3.0."},
    {1259, L"If Windows Installer determines a product may be incompatible with the current operating system, it "
           L"displays a dialog box informing the user and asking whether to try to install anyway. This error "
           L"code is returned if the user chooses not to try the installation."},
    {1601, L"The Windows Installer service could not be accessed. Contact your support personnel to verify that "
           L"the Windows Installer service is properly registered."},
    {1602, L"The user cancels installation."},
    {1603, L"A fatal error occurred during installation."},
    {1604, L"Installation suspended, incomplete."},
    {1605, L"This action is only valid for products that are currently installed."},
    {1606, L"The feature identifier is not registered."},
    {1607, L"The component identifier is not registered."},
    {1608, L"This is an unknown property."},
    {1609, L"The handle is in an invalid state."},
    {1610, L"The configuration data for this product is corrupt. Contact your support personnel."},
    {1611, L"The component qualifier not present."},
    {1612, L"The installation source for this product is not available. Verify that the source exists and that "
           L"you can access it."},
    {1613, L"This installation package cannot be installed by the Windows Installer service. You must install a "
           L"Windows service pack that contains a newer version of the Windows Installer service."},
    {1614, L"The product is uninstalled."},
    {1615, L"The SQL query syntax is invalid or unsupported."},
    {1616, L"The record field does not exist."},
    {1618, L"Another installation is already in progress. Complete that installation before proceeding with this "
           L"install."},
    {1619, L"This installation package could not be opened. Verify that the package exists and is accessible, or "
           L"contact the application vendor to verify that this is a valid Windows Installer package."},
    {1620, L"This installation package could not be opened. Contact the application vendor to verify that this "
           L"is a valid Windows Installer package."},
    {1621, L"There was an error starting the Windows Installer service user interface. Contact your support "
           L"personnel."},
    {1622, L"There was an error opening installation log file. Verify that the specified log file location "
           L"exists and is writable."},
    {1623, L"This language of this installation package is not supported by your system."},
    {1624, L"There was an error applying transforms. Verify that the specified transform paths are valid."},
    {1625, L"This installation is forbidden by system policy. Contact your system administrator."},
    {1626, L"The function could not be executed."},
    {1627, L"The function failed during execution."},
    {1628, L"An invalid or unknown table was specified."},
    {1629, L"The data supplied is the wrong type."},
    {1630, L"Data of this type is not supported."},
    {1631, L"The Windows Installer service failed to start. Contact your support personnel."},
    {1632, L"The Temp folder is either full or inaccessible. Verify that the Temp folder exists and that you can "
           L"write to it."},
    {1633, L"This installation package is not supported on this platform. Contact your application vendor."},
    {1634, L"Component is not used on this machine."},
    {1635, L"This patch package could not be opened. Verify that the patch package exists and is accessible, or "
           L"contact the application vendor to verify that this is a valid Windows Installer patch package."},
    {1636, L"This patch package could not be opened. Contact the application vendor to verify that this is a "
           L"valid Windows Installer patch package."},
    {1637, L"This patch package cannot be processed by the Windows Installer service. You must install a Windows "
           L"service pack that contains a newer version of the Windows Installer service."},
    {1638, L"Another version of this product is already installed. Installation of this version cannot continue. "
           L"To configure or remove the existing version of this product, use Add/Remove Programs in Control "
           L"Panel."},
    {1639, L"Invalid command line argument. Consult the Windows Installer SDK for detailed command-line help."},
    {1640, L"The current user is not permitted to perform installations from a client session of a server running "
           L"the Terminal Server role service."},
    {1641, L"The installer has initiated a restart. This message is indicative of a success."},
    {1642, L"The installer cannot install the upgrade patch because the program being upgraded may be missing or "
           L"the upgrade patch updates a different version of the program. Verify that the program to be "
           L"upgraded exists on your computer and that you have the correct upgrade patch."},
    {1643, L"The patch package is not permitted by system policy."},
    {1644, L"One or more customizations are not permitted by system policy."},
    {1645, L"Windows Installer does not permit installation from a Remote Desktop Connection."},
    {3010, L"A restart is required to complete the install. This message is indicative of a success. This does "
           L"not include installs where the ForceReboot action is run."},
};

}  // namespace

std::wstring MsiResultText(uint32_t code) {
  if (code == 0) return L"MSI install/uninstall operation succeeded.";
  for (const ResultText& entry : kResultTexts) {
    if (entry.code == code) return L"MSI install failed: " + std::to_wstring(code) + L" " + entry.text;
  }
  wchar_t hex[16];
  std::swprintf(hex, sizeof hex / sizeof hex[0], L"0x%08X", static_cast<unsigned>(code));
  return std::wstring(L"MSI install failed: unknown reason: ") + hex;
}

}  // namespace kesi::install
