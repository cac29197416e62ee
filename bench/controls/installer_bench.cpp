// installer_bench SERVER PACKAGE [ROUNDS]: ROUNDS times, an installer object made as the class factory makes
// it, given a credential and a configuration, installs https://SERVER/postauth/tqclient-1.2.3.msi through
// InstallComponentMsi (the page's call, timed from the object's creation until the product is installed);
// and ROUNDS times a plain "msiexec /i PACKAGE /qn" installs the same file. The product is removed after
// each. Prints the median seconds of each as "name=value".
#include <windows.h>
#include <msi.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "BenchClock.h"
#include "BenchMsi.h"
#include "ComFrame.h"
#include "Handles.h"

namespace {

using kesi::bench::kBenchClientProduct;
using kesi::bench::PlainMsiexec;
using kesi::bench::RemoveBenchClient;

constexpr wchar_t kSettings[] =
    L"[InstallSettings]\nProductCode={A2A78788-2792-49BF-AF22-5E9296E568F3}\nProductVersion=1.2.3\n"
    L"UILevel=NONE\nUILevelUpdate=NONE\n";

bool Installed() { return MsiQueryProductStateW(kBenchClientProduct) == INSTALLSTATE_DEFAULT; }

// The page's sequence: create, credential, configuration, InstallComponentMsi.
DWORD PageInstall(const std::wstring& url) {
  kesi::ComPtr<IKESInstaller> object;
  HRESULT hr = kesi::controls::CreateInstallerObject(IID_IKESInstaller, object.put_void());
  if (FAILED(hr)) return static_cast<DWORD>(hr);
  kesi::UniqueBstr credential(SysAllocString(L"FARLINK_ID=bench"));
  kesi::UniqueBstr settings(SysAllocString(kSettings));
  kesi::UniqueBstr server(SysAllocString(L"127.0.0.1"));
  kesi::UniqueBstr msiUrl(SysAllocString(url.c_str()));
  if (FAILED(hr = object->put_AuthCredential(credential.get())) ||
      FAILED(hr = object->put_ConfigurationString(settings.get())))
    return static_cast<DWORD>(hr);
  ULONG result = 0;
  hr = object->InstallComponentMsi(server.get(), msiUrl.get(), &result);
  return FAILED(hr) ? static_cast<DWORD>(hr) : result;
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const size_t n = values.size();
  return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: installer_bench SERVER PACKAGE [ROUNDS]\n");
    return 2;
  }
  const std::wstring url = std::wstring(L"https://") + argv[1] + L"/postauth/tqclient-1.2.3.msi";
  const std::wstring package = argv[2];
  const int rounds = argc > 3 ? std::max(1, _wtoi(argv[3])) : 5;
  kesi::ComApartment com(COINIT_MULTITHREADED);
  RemoveBenchClient();
  std::vector<double> page, plain;
  for (int i = 0; i < rounds; ++i) {
    double start = kesi::bench::Now();
    const DWORD a = PageInstall(url);
    const bool pageInstalled = Installed();
    page.push_back(kesi::bench::Now() - start);
    RemoveBenchClient();
    start = kesi::bench::Now();
    const DWORD b = PlainMsiexec(package);
    const bool plainInstalled = Installed();
    plain.push_back(kesi::bench::Now() - start);
    RemoveBenchClient();
    if (a != 0 || b != 0 || !pageInstalled || !plainInstalled) {
      std::fprintf(stderr, "install failed: InstallComponentMsi %lu (installed %d), msiexec %lu (installed %d)\n", a,
                   pageInstalled, b, plainInstalled);
      return 1;
    }
  }
  std::printf("rounds=%d page_s=%.3f msiexec_s=%.3f\n", rounds, Median(page), Median(plain));
  return 0;
}
