#include "KESInstaller.h"

namespace kesi::controls {

// Placeholders until the object's methods land.

KESInstaller::KESInstaller() noexcept : ScriptableObject(IID_IKESInstaller, CLSID_KESInstaller) {}

KESInstaller::~KESInstaller() = default;

HRESULT KESInstaller::Install3rdPartyComponent(BSTR, BSTR, BSTR, BSTR, BSTR, ULONG*) { return E_NOTIMPL; }

HRESULT KESInstaller::InstallComponent(BSTR, BSTR, BSTR, BSTR, BSTR, ULONG*) { return E_NOTIMPL; }

HRESULT KESInstaller::InstallComponentVer(BSTR, BSTR, BSTR, ULONG*) { return E_NOTIMPL; }

HRESULT KESInstaller::IsComponentMsiInstalled(BSTR*) { return E_NOTIMPL; }

HRESULT KESInstaller::InstallComponentMsi(BSTR, BSTR, ULONG*) { return E_NOTIMPL; }

HRESULT KESInstaller::get_ConfigurationString(BSTR*) { return E_NOTIMPL; }

HRESULT KESInstaller::put_ConfigurationString(BSTR) { return E_NOTIMPL; }

HRESULT KESInstaller::get_AuthCredential(BSTR*) { return E_NOTIMPL; }

HRESULT KESInstaller::put_AuthCredential(BSTR) { return E_NOTIMPL; }

HRESULT KESInstaller::InstallerVersion(BSTR*) { return E_NOTIMPL; }

HRESULT KESInstaller::InstallerName(BSTR*) { return E_NOTIMPL; }

HRESULT KESInstaller::IsComponentMsiCfgInstalled(BSTR*) { return E_NOTIMPL; }

HRESULT KESInstaller::InstallComponentMsiCfg(ULONG*) { return E_NOTIMPL; }

HRESULT CreateInstallerObject(REFIID riid, void** out) { return ScriptableObject<IKESInstaller>::Create<KESInstaller>(riid, out); }

}  // namespace kesi::controls
