#pragma once
// kesiuninstall: asks the user, then removes the client's Windows Installer products listed in the
// registry, the library's own product ("KESI") last, after the proxy agent QOLMA has unregistered itself
// and its files are gone. Every failure ends the run quietly.
#include <windows.h>

#include <string>
#include <vector>

namespace kesi::uninstall {

// The list of products, under HKEY_LOCAL_MACHINE, else HKEY_CURRENT_USER.
constexpr wchar_t kUninstallListKey[] = L"Software\\Velmora\\KESI\\Uninstall";
// The registry view the list is read in: the build's own. A 32-bit build belongs to the 32-bit packages,
// which write their entries into the 32-bit view.
#ifdef _WIN64
constexpr REGSAM kUninstallListView = KEY_WOW64_64KEY;
#else
constexpr REGSAM kUninstallListView = KEY_WOW64_32KEY;
#endif
// Limits of the list: values, characters of a name, bytes of a product code.
constexpr DWORD kMaxListValues = 25;
constexpr DWORD kMaxNameChars = 260;
constexpr DWORD kMaxCodeBytes = 520;
// The entry name of the library's own product (without regard to case).
constexpr wchar_t kLibraryEntry[] = L"KESI";
// One run at a time per session.
constexpr wchar_t kSingleInstanceEvent[] = L"Local\\VelmoraKESIUninst";
// The question's buttons.
constexpr UINT kQuestionStyle = MB_YESNO | MB_ICONQUESTION;

struct UninstallEntry {
  std::wstring name;
  std::wstring productCode;
};

// The question and its caption from the message table of module in language, else in English (1033).
// 0 or FormatMessageW's error.
DWORD LoadQuestion(HMODULE module, LANGID language, std::wstring* text, std::wstring* caption);

// The REG_SZ entries of the list in enumeration order. 0; or the error that leaves nothing to remove:
// the key cannot be opened under either root, it holds no value or more than 25, a name or a code is
// over its limit (234 ERROR_MORE_DATA, also when the list grows while it is read).
DWORD ReadUninstallList(std::vector<UninstallEntry>* entries);

// Removes one product (nothing, and 0, when the entry is empty or the product is not installed): quietly
// first and, unless that gave 0 or 3010, once more with the basic interface; the library's own product
// with the basic interface at once. The installer's result.
UINT RemoveProduct(const UninstallEntry& entry, bool library);

// Unregisters the proxy agent QOLMA (version 8.8, signed, not running) and deletes its files once it has
// ended in time with exit code 0. 0 when the library's product may go: the agent is absent, of another
// version, running, unsigned or done; 258 (WAIT_TIMEOUT) when it had to be ended; the error of a failed
// start.
DWORD CleanUpProxyAgent();

// The whole run: one instance, the question (texts from messages), the list, the removals.
void RunUninstaller(HMODULE messages);

}  // namespace kesi::uninstall
