#pragma once
// The OS-free rules of the Windows Installer code: the VPN client decision, the user-interface levels of
// the install configuration file, the msiexec command lines, the update service's request and the result
// lines. Standard C++ only: built for Windows and natively.
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace kesi::install {

// The VPN client decision.
constexpr int kVpnNotInstalled = 0;
constexpr int kVpnUpgrade = 1;         // the package is newer
constexpr int kVpnInstalledNewer = 2;  // the installed product is newer than the package
constexpr int kVpnCurrent = 3;         // same version

struct VpnVersion {
  uint32_t major = 0;
  uint32_t minor = 0;
  uint32_t build = 0;
};

// The first three dot-separated parts of text, each read as a decimal number (leading blanks skipped,
// reading stops at the first other character, values above 2^32-1 held there); missing parts are 0.
// Null text is 0.0.0.
VpnVersion ParseVpnVersion(const wchar_t* text);
// Part by part, major first: negative, 0 or positive.
int CompareVpnVersions(const VpnVersion& a, const VpnVersion& b);
// The decision for the installed "VersionString" (null when the product is not installed) and the
// package's version text.
int DecideVpnClient(const wchar_t* installedVersion, const wchar_t* packageVersion);

// The interface level of "UILevel"/"UILevelUpdate" (any case): "BASIC" 3 "/qb", "NONE" 2 "/qn", "REDUCED"
// 4 "/qr", anything else 5 with the default switch: "/qf" for a first install; for an upgrade "/qn" on
// Windows Vista and later, "/qb" before.
struct MsiUiChoice {
  int level;
  const wchar_t* switchText;
};
MsiUiChoice ChooseMsiUi(const wchar_t* levelText, bool upgrade, bool vistaOrLater);

// The VPN client's msiexec command line. extraArguments and logPath may be null or empty (no log
// switch); configFile null or empty adds no CONFIGURATIONFILE property.
std::wstring VpnClientCommandLine(const wchar_t* packagePath, const wchar_t* uiSwitch,
                                  const wchar_t* extraArguments, const wchar_t* logPath, bool upgrade,
                                  const wchar_t* configFile);
// The provisioner's VPN client run: "/qb", a verbose log, the client's properties and, when it was
// installed, the reinstall properties.
std::wstring VpnAgentCommandLine(const wchar_t* packagePath, const wchar_t* logPath, bool wasInstalled);
// A provisioned package: "/qn" for level 2 (none), "/qb" otherwise, a verbose log, ADDLOCAL=ALL and the
// agent's install arguments when given.
std::wstring AgentCommandLine(const wchar_t* packagePath, int uiLevel, const wchar_t* logPath,
                              const wchar_t* installArguments);
// "REMOVE=ALL " followed by extraArguments (may be null).
std::wstring RemoveCommandLine(const wchar_t* extraArguments);

// msiexec's exit codes that mean the product is in place: 0, 3010 (restart required) and 1641 (restart
// started).
bool IsMsiSuccess(uint32_t code);

// The update service's request: the command and the interactive user's application-data folder as a
// 260-character UTF-16 field, 524 bytes little-endian. Its reply has the same size.
constexpr uint32_t kUpdateServiceInstallCommand = 0x8002;
constexpr size_t kUpdateServiceFolderChars = 260;
struct UpdateServiceRequest {
  uint32_t command;
  char16_t folder[kUpdateServiceFolderChars];
};
static_assert(sizeof(UpdateServiceRequest) == 524, "the update service reads 524 bytes");
constexpr size_t kUpdateServiceMessageBytes = sizeof(UpdateServiceRequest);
using UpdateServiceMessage = std::array<uint8_t, kUpdateServiceMessageBytes>;
// False when folder (with its terminator) does not fit the field; the message is then all zero.
bool BuildUpdateServiceRequest(const wchar_t* folder, UpdateServiceMessage* message);

// The result line for a Windows Installer code: "MSI install/uninstall operation succeeded." for 0,
// "MSI install failed: CODE DESCRIPTION" for the codes the installer documents, else
// "MSI install failed: unknown reason: 0x%08X".
std::wstring MsiResultText(uint32_t code);

}  // namespace kesi::install
