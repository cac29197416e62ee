// kesibrowser.dll through its class object, as COM would reach it once registered: the window list it
// makes of the state file, the page's cookies and navigations, and the slots it leaves unimplemented.
#include <windows.h>
#include <exdisp.h>
#include <mshtml.h>

#include <gtest/gtest.h>

#include <string>

#include "Handles.h"
#include "TestFiles.h"

namespace kesi::test {
namespace {

using GetClassObject = HRESULT(WINAPI*)(REFCLSID, REFIID, void**);
using CanUnloadNow = HRESULT(WINAPI*)();

class BrowserStandIn : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(folder_.Created());
    module_.reset(LoadLibraryW(FixturePath(L"browser\\kesibrowser.dll").c_str()));
    ASSERT_TRUE(module_) << GetLastError();
    getClassObject_ = reinterpret_cast<GetClassObject>(GetProcAddress(module_.get(), "DllGetClassObject"));
    canUnloadNow_ = reinterpret_cast<CanUnloadNow>(GetProcAddress(module_.get(), "DllCanUnloadNow"));
    ASSERT_TRUE(getClassObject_ && canUnloadNow_);
  }
  void TearDown() override { SetEnvironmentVariableW(L"KESI_BROWSER_STATE", nullptr); }

  std::wstring StatePath() const { return folder_ / L"state.txt"; }

  ComPtr<IShellWindows> NewWindowList() {
    ComPtr<IClassFactory> factory;
    ComPtr<IShellWindows> list;
    EXPECT_EQ(S_OK, getClassObject_(CLSID_ShellWindows, IID_IClassFactory, factory.put_void()));
    if (factory) {
      EXPECT_EQ(S_OK, factory->CreateInstance(nullptr, IID_IShellWindows, list.put_void()));
    }
    return list;
  }

  static HRESULT Item(IShellWindows* list, LONG index, IDispatch** window) {
    VARIANT at;
    VariantInit(&at);
    at.vt = VT_I4;
    at.lVal = index;
    return list->Item(at, window);
  }

  TempFolder folder_{L"browser-standin"};
  UniqueModule module_;
  GetClassObject getClassObject_ = nullptr;
  CanUnloadNow canUnloadNow_ = nullptr;
};

TEST_F(BrowserStandIn, NoBrowserWithoutAPage) {
  const struct {
    const char* name;
    bool variable;
    const char* state;  // nullptr: no file
  } kCases[] = {
      {"no variable", false, nullptr},
      {"no file", true, nullptr},
      {"no url line", true, "cookie FARLINK_ID=abc\n"},
      {"url keyword without a URL", true, "url\ncookie FARLINK_ID=abc\n"},
  };
  for (const auto& c : kCases) {
    DeleteFileW(StatePath().c_str());
    if (c.state) {
      ASSERT_TRUE(WriteWholeFile(StatePath(), c.state));
    }
    SetEnvironmentVariableW(L"KESI_BROWSER_STATE", c.variable ? StatePath().c_str() : nullptr);
    ComPtr<IShellWindows> list = NewWindowList();
    ASSERT_TRUE(list) << c.name;
    LONG count = -1;
    EXPECT_EQ(S_OK, list->get_Count(&count)) << c.name;
    EXPECT_EQ(0, count) << c.name;
    ComPtr<IDispatch> window;
    EXPECT_EQ(S_FALSE, Item(list.get(), 0, window.put())) << c.name;
    EXPECT_FALSE(window) << c.name;
  }
}

// The page as the bootstrapper uses it, with the state file written by hand (no final line end, a BOM).
TEST_F(BrowserStandIn, PageCookiesAndNavigationGoThroughTheStateFile) {
  const std::string state =
      "\xEF\xBB\xBFurl https://127.0.0.1:4443/postauth/__EPCinterrogatorpage\r\n"
      "cookie FARLINK_ID=abc; urlConfig=https://127.0.0.1:4443/postauth/config";
  ASSERT_TRUE(WriteWholeFile(StatePath(), state));
  SetEnvironmentVariableW(L"KESI_BROWSER_STATE", StatePath().c_str());

  ComPtr<IShellWindows> list = NewWindowList();
  ASSERT_TRUE(list);
  LONG count = 0;
  ASSERT_EQ(S_OK, list->get_Count(&count));
  ASSERT_EQ(1, count);
  ComPtr<IDispatch> item, past;
  ASSERT_EQ(S_OK, Item(list.get(), 0, item.put()));
  EXPECT_EQ(S_FALSE, Item(list.get(), 1, past.put()));
  ComPtr<IWebBrowser2> browser;
  ASSERT_EQ(S_OK, item->QueryInterface(IID_IWebBrowser2, browser.put_void()));
  ComPtr<IWebBrowserApp> app;
  EXPECT_EQ(E_NOINTERFACE, item->QueryInterface(IID_IWebBrowserApp, app.put_void()));

  UniqueBstr url;
  ASSERT_EQ(S_OK, browser->get_LocationURL(url.put()));
  EXPECT_STREQ(L"https://127.0.0.1:4443/postauth/__EPCinterrogatorpage", url.get());
  ComPtr<IDispatch> documentObject;
  ASSERT_EQ(S_OK, browser->get_Document(documentObject.put()));
  ComPtr<IHTMLDocument2> document;
  ASSERT_EQ(S_OK, documentObject->QueryInterface(IID_IHTMLDocument2, document.put_void()));

  // The document outlives the list and the window it came from.
  list.reset();
  item.reset();
  browser.reset();
  documentObject.reset();
  EXPECT_EQ(S_FALSE, canUnloadNow_());

  UniqueBstr cookie;
  ASSERT_EQ(S_OK, document->get_cookie(cookie.put()));
  EXPECT_STREQ(L"FARLINK_ID=abc; urlConfig=https://127.0.0.1:4443/postauth/config", cookie.get());
  UniqueBstr reason(SysAllocString(L"FailureReason=install failed")), done(SysAllocString(L"InstallComplete=true; path=/"));
  EXPECT_EQ(S_OK, document->put_cookie(reason.get()));
  EXPECT_EQ(S_OK, document->put_cookie(done.get()));
  ASSERT_EQ(S_OK, document->get_cookie(cookie.put()));
  EXPECT_STREQ(L"FARLINK_ID=abc; urlConfig=https://127.0.0.1:4443/postauth/config; FailureReason=install failed; "
               L"InstallComplete=true",
               cookie.get());
  // Slots it does not implement answer E_NOTIMPL with their own signatures (a wrong one would unbalance
  // the stack of a 32-bit caller).
  UniqueBstr title;
  EXPECT_EQ(E_NOTIMPL, document->get_title(title.put()));
  document.reset();
  EXPECT_EQ(S_OK, canUnloadNow_());

  list = NewWindowList();
  ASSERT_EQ(S_OK, Item(list.get(), 0, item.put()));
  ASSERT_EQ(S_OK, item->QueryInterface(IID_IWebBrowser2, browser.put_void()));
  UniqueBstr next(SysAllocString(L"https://127.0.0.1:4443/ok\r\nurl https://elsewhere/"));
  VARIANT empty;
  VariantInit(&empty);
  EXPECT_EQ(S_OK, browser->Navigate(next.get(), &empty, &empty, &empty, &empty));
  EXPECT_EQ(E_NOTIMPL, browser->GoBack());
  LONG width = 0;
  EXPECT_EQ(E_NOTIMPL, browser->get_Width(&width));
  EXPECT_EQ(E_NOTIMPL, browser->put_Width(640));

  // Each event is one line of its own, the first one below the page's last line.
  EXPECT_EQ(state +
                "\nput_cookie FailureReason=install failed\n"
                "put_cookie InstallComplete=true; path=/\n"
                "navigate https://127.0.0.1:4443/ok  url https://elsewhere/\n",
            ReadWholeFile(StatePath()));
  browser.reset();
  item.reset();
  list.reset();
  EXPECT_EQ(S_OK, canUnloadNow_());
}

// Registration in a scratch key standing in for HKEY_LOCAL_MACHINE (this process only), so that the
// prefix's own class stays as it is: the previous server is kept once and put back, and a class that this
// file registered alone goes with it.
TEST_F(BrowserStandIn, RegistrationKeepsAndRestoresThePreviousServer) {
  using Entry = HRESULT(WINAPI*)();
  const auto registerServer = reinterpret_cast<Entry>(GetProcAddress(module_.get(), "DllRegisterServer"));
  const auto unregisterServer = reinterpret_cast<Entry>(GetProcAddress(module_.get(), "DllUnregisterServer"));
  ASSERT_TRUE(registerServer && unregisterServer);
  const wchar_t kScratch[] = L"Software\\KesiTest\\BrowserStandIn";
  const wchar_t kServer[] = L"Software\\Classes\\CLSID\\{9BA05972-F6A8-11CF-A442-00A0C90A8F39}\\InprocServer32";
  RegDeleteTreeW(HKEY_CURRENT_USER, kScratch);
  HKEY scratch = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_CURRENT_USER, kScratch, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &scratch,
                                           nullptr));
  UniqueKey scratchKey(scratch);
  ASSERT_EQ(ERROR_SUCCESS, RegOverridePredefKey(HKEY_LOCAL_MACHINE, scratch));
  auto server = [&](const wchar_t* name) {
    wchar_t text[MAX_PATH] = L"<none>";
    DWORD bytes = sizeof text;
    RegGetValueW(scratch, kServer, name, RRF_RT_REG_SZ, nullptr, text, &bytes);
    return std::wstring(text);
  };
  wchar_t self[MAX_PATH];
  GetModuleFileNameW(module_.get(), self, MAX_PATH);

  // Nothing before: registered, then gone with the class.
  EXPECT_EQ(S_OK, registerServer());
  EXPECT_EQ(self, server(nullptr));
  EXPECT_EQ(L"Apartment", server(L"ThreadingModel"));
  EXPECT_EQ(L"<none>", server(L"KesiBrowserPrevious"));
  EXPECT_EQ(S_OK, unregisterServer());
  EXPECT_EQ(L"<none>", server(nullptr));

  // A server before: kept once (a second registration does not save this file as "previous"), put back.
  HKEY key = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(scratch, kServer, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr));
  const wchar_t kPrevious[] = L"C:\\windows\\system32\\ieframe.dll";
  RegSetValueExW(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(kPrevious), sizeof kPrevious);
  RegCloseKey(key);
  EXPECT_EQ(S_OK, registerServer());
  EXPECT_EQ(S_OK, registerServer());
  EXPECT_EQ(self, server(nullptr));
  EXPECT_EQ(kPrevious, server(L"KesiBrowserPrevious"));
  EXPECT_EQ(S_OK, unregisterServer());
  EXPECT_EQ(kPrevious, server(nullptr));
  EXPECT_EQ(L"<none>", server(L"KesiBrowserPrevious"));
  EXPECT_EQ(S_OK, unregisterServer());
  EXPECT_EQ(kPrevious, server(nullptr)) << "unregistering again leaves the other server alone";

  RegOverridePredefKey(HKEY_LOCAL_MACHINE, nullptr);
  scratchKey.reset();
  RegDeleteTreeW(HKEY_CURRENT_USER, kScratch);
}

}  // namespace
}  // namespace kesi::test
