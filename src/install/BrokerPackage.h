#pragma once
// Where the broker's own package waits for the install launcher: the provisioner saves it there and the
// launcher's update installs it from there, so both name one file.
#include <windows.h>

#include <string>

namespace kesi::install {

constexpr wchar_t kBrokerPackageName[] = L"kesiVista.msi";

// The user's application-data folder (created when missing) + "\Velmora\deploy\kesiVista.msi". 0, or the
// folder query's error.
DWORD BrokerPackagePath(std::wstring* path);

// Whether a deploy target is the broker's package: its path holds "kesivista.msi" (without regard to
// case), as the provisioner has always decided it.
bool IsBrokerPackageTarget(const std::wstring& target);

}  // namespace kesi::install
