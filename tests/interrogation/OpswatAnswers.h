#pragma once
// What the product-check engine double (tests/fixtures/opswat) answers, set by a test for product names
// of its own (so that tests can run side by side on the one registration), and the calls it counted.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <utility>
#include <vector>

namespace kesi::test {

constexpr wchar_t kOpswatState[] = L"Software\\KesiTests\\OpswatEngine";

// The double is registered (the ctest fixture "opswat" does it).
inline ::testing::AssertionResult OpswatDoubleRegistered() {
  wchar_t value[MAX_PATH];
  LONG size = sizeof(value);
  if (RegQueryValueW(HKEY_CLASSES_ROOT, L"CLSID\\{6F254038-67F0-4388-973B-91CE0EBF3B24}\\LocalServer32", value,
                     &size) == ERROR_SUCCESS)
    return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "the engine double is not registered (ctest fixture \"opswat\")";
}

// The answers a test set and the counts it read, removed again with the object.
class OpswatAnswers {
 public:
  OpswatAnswers() = default;
  OpswatAnswers(const OpswatAnswers&) = delete;
  OpswatAnswers& operator=(const OpswatAnswers&) = delete;
  ~OpswatAnswers() {
    for (const auto& [method, product] : written_) {
      RegDeleteKeyValueW(HKEY_CURRENT_USER, (std::wstring(kOpswatState) + L"\\" + method).c_str(), product.c_str());
      RegDeleteKeyValueW(HKEY_CURRENT_USER, (std::wstring(kOpswatState) + L"\\" + method + L"\\Calls").c_str(),
                         product.c_str());
    }
  }
  // method: AntiVirus, AntiSpyware or Firewall. answer: 0 FALSE, 1 TRUE, else an HRESULT the call fails with.
  void Set(const wchar_t* method, const std::wstring& product, DWORD answer) {
    RegSetKeyValueW(HKEY_CURRENT_USER, (std::wstring(kOpswatState) + L"\\" + method).c_str(), product.c_str(),
                    REG_DWORD, &answer, sizeof(answer));
    written_.emplace_back(method, product);
  }
  // Calls the double received for the product through that method.
  DWORD Calls(const wchar_t* method, const std::wstring& product) {
    written_.emplace_back(method, product);
    return Read((std::wstring(method) + L"\\Calls").c_str(), product.c_str());
  }
  static DWORD Read(const wchar_t* subkey, const wchar_t* name) {
    DWORD value = 0, size = sizeof(value);
    RegGetValueW(HKEY_CURRENT_USER, (std::wstring(kOpswatState) + L"\\" + subkey).c_str(), name, RRF_RT_REG_DWORD,
                 nullptr, &value, &size);
    return value;
  }

 private:
  std::vector<std::pair<std::wstring, std::wstring>> written_;
};

}  // namespace kesi::test
