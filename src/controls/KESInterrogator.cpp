#include "KESInterrogator.h"

namespace kesi::controls {

// Placeholders until the object's methods land.

KESInterrogator::KESInterrogator() noexcept : ScriptableObject(IID_IKESInterrogator, CLSID_KESInterrogator) {}

KESInterrogator::~KESInterrogator() = default;

HRESULT KESInterrogator::get_VersionString(BSTR*) { return E_NOTIMPL; }

HRESULT KESInterrogator::get_AuthCredential(BSTR*) { return E_NOTIMPL; }

HRESULT KESInterrogator::put_AuthCredential(BSTR) { return E_NOTIMPL; }

HRESULT KESInterrogator::GetVersion(BSTR*) { return E_NOTIMPL; }

HRESULT KESInterrogator::SetPBwindow(OLE_HANDLE) { return E_NOTIMPL; }

HRESULT KESInterrogator::PushLogsAndReturnCode(BSTR, ULONG*) { return E_NOTIMPL; }

HRESULT KESInterrogator::GetLogFileLocation(BSTR*) { return E_NOTIMPL; }

HRESULT KESInterrogator::IsComponentMsiInstalled(BSTR*) { return E_NOTIMPL; }

HRESULT KESInterrogator::InstallComponentMsi(BSTR, BSTR, ULONG*) { return E_NOTIMPL; }

HRESULT KESInterrogator::get_ConfigurationString(BSTR*) { return E_NOTIMPL; }

HRESULT KESInterrogator::put_ConfigurationString(BSTR) { return E_NOTIMPL; }

HRESULT KESInterrogator::DoVistaInterrogation(BSTR, BSTR, BSTR, ULONG*) { return E_NOTIMPL; }

HRESULT KESInterrogator::RunLogonInterrogation(BSTR, BSTR, ULONG*) { return E_NOTIMPL; }

HRESULT KESInterrogator::get_Zone(BSTR*) { return E_NOTIMPL; }

HRESULT KESInterrogator::get_Name(BSTR*) { return E_NOTIMPL; }

HRESULT KESInterrogator::Run(LONG*) { return E_NOTIMPL; }

HRESULT KESInterrogator::ReadInterrogationConfiguration(const wchar_t*, LONG*) { return E_NOTIMPL; }

HRESULT KESInterrogator::PostResult(const wchar_t*, const wchar_t*, LONG*) { return E_NOTIMPL; }

HRESULT KESInterrogator::PostResult(const wchar_t*, LONG*) { return E_NOTIMPL; }

HRESULT KESInterrogator::ProvisionAgents(LONG*) { return E_NOTIMPL; }

HRESULT KESInterrogator::GetRecurringThread(HANDLE*) { return E_NOTIMPL; }

HRESULT KESInterrogator::DeployAgents(LONG*) { return E_NOTIMPL; }

HRESULT KESInterrogator::DoInterrogationLogon(const wchar_t*, const wchar_t*, LONG*) { return E_NOTIMPL; }

HRESULT KESInterrogator::RemoteInstallComponentVer(const wchar_t*, const wchar_t*, const wchar_t*, LONG*) { return E_NOTIMPL; }

HRESULT KESInterrogator::RemoteInstallComponent(const wchar_t*, const wchar_t*, const wchar_t*, const wchar_t*, const wchar_t*, LONG*) { return E_NOTIMPL; }

HRESULT KESInterrogator::RemoteInstall3rdPartyComponent(const wchar_t*, const wchar_t*, const wchar_t*, const wchar_t*, const wchar_t*, LONG*) { return E_NOTIMPL; }

HRESULT KESInterrogator::RunLogon(LONG*) { return E_NOTIMPL; }

HRESULT KESInterrogator::GetConfigurationLogon(const wchar_t*, LONG*) { return E_NOTIMPL; }

HRESULT KESInterrogator::PostResultLogon(const wchar_t*, LONG*) { return E_NOTIMPL; }

HRESULT KESInterrogator::GetLocation(BSTR*) { return E_NOTIMPL; }

DWORD KESInterrogator::ConnectMobile(const wchar_t*) { return ERROR_CALL_NOT_IMPLEMENTED; }

HRESULT KESInterrogator::FinalConstruct() { return ScriptableObject::FinalConstruct(); }

HRESULT CreateInterrogatorObject(REFIID riid, void** out) { return ScriptableObject<IKESInterrogator>::Create<KESInterrogator>(riid, out); }

}  // namespace kesi::controls
