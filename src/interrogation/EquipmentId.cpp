// The EQUIPMENTID literal: a stable identifier of the machine, reported in Base64.
#include "EquipmentId.h"

#include <windows.h>
#include <oleauto.h>
#include <wbemcli.h>

#include <cstring>
#include <cwchar>
#include <memory>
#include <new>

#include "CheckLog.h"
#include "Checks.h"
#include "EvaluationRun.h"
#include "Handles.h"
#include "ItemQueue.h"
#include "Base64.h"
#include "LogFile.h"
#include "RQString.h"
#include "SerialText.h"

namespace kesi {

namespace {

constexpr LONG kNoIdentifier = -503;
constexpr unsigned kIdentifierChars = 260;

// {4590F811-1D3A-11D0-891F-00AA004B2E24} and {DC12A687-737F-11CF-884D-00AA004B2E24}.
constexpr CLSID kWbemLocatorClsid = {0x4590F811, 0x1D3A, 0x11D0, {0x89, 0x1F, 0x00, 0xAA, 0x00, 0x4B, 0x2E, 0x24}};
constexpr IID kWbemLocatorIid = {0xDC12A687, 0x737F, 0x11CF, {0x88, 0x4D, 0x00, 0xAA, 0x00, 0x4B, 0x2E, 0x24}};

EquipmentIdCalls g_calls = {QueryWmiProperty, CreateFileW, DeviceIoControl};

// The text of a VARIANT that holds a string, else null.
const wchar_t* TextOf(const VARIANT& value) {
  return value.vt == VT_BSTR && value.bstrVal ? value.bstrVal : nullptr;
}

bool StartsWithIgnoringCase(const wchar_t* text, const wchar_t* prefix) {
  const int length = static_cast<int>(wcslen(prefix));
  if (static_cast<int>(wcslen(text)) < length) return false;
  return CompareStringW(LOCALE_INVARIANT, NORM_IGNORECASE, text, length, prefix, length) == CSTR_EQUAL;
}

// Connects to root\cimv2 and reads the BIOS serial when the model says virtual machine. COM is set up
// by the caller; every interface is released before it returns.
LONG ReadBiosSerial(RQString* identifier) {
  HRESULT hr = CoInitializeSecurity(nullptr, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_PKT,
                                    RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE, nullptr);
  if (FAILED(hr) && hr != RPC_E_TOO_LATE) {
    kesi::LogError(CheckLog(), L"BiosSerial: Failed at CoInitializeSecurity [%u]", static_cast<unsigned>(hr));
    return kNoIdentifier;
  }
  kesi::ComPtr<IWbemLocator> locator;
  hr = CoCreateInstance(kWbemLocatorClsid, nullptr, CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER, kWbemLocatorIid,
                        locator.put_void());
  if (FAILED(hr)) {
    kesi::LogError(CheckLog(), L"BiosSerial: Failed at CoCreateInstance [%u]", static_cast<unsigned>(hr));
    return kNoIdentifier;
  }
  kesi::ComPtr<IWbemServices> services;
  UniqueBstr space(SysAllocString(L"root\\cimv2"));
  hr = locator->ConnectServer(space.get(), nullptr, nullptr, nullptr, 0, nullptr, nullptr, services.put());
  if (FAILED(hr)) {
    kesi::LogError(CheckLog(), L"BiosSerial: Failed at pIWbemLocator->ConnectServer [%u]", static_cast<unsigned>(hr));
    return kNoIdentifier;
  }
  hr = CoSetProxyBlanket(services.get(), RPC_C_AUTHN_WINNT, RPC_C_AUTHZ_NONE, nullptr, RPC_C_AUTHN_LEVEL_CALL,
                         RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE);
  if (FAILED(hr)) {
    kesi::LogError(CheckLog(), L"BiosSerial: Failed at CoSetProxyBlanket [%u]", static_cast<unsigned>(hr));
    return kNoIdentifier;
  }

  UniqueVariant model;
  if (FAILED(g_calls.queryProperty(services.get(), 1, L"Select Model from Win32_ComputerSystem", L"Model",
                                   model.put())))
    return kNoIdentifier;
  // A physical machine's BIOS serial is no identity of its own: only virtual machines use it.
  const wchar_t* modelText = TextOf(model.get());
  if (!modelText || !wcsstr(modelText, L"Virtual ")) return kNoIdentifier;

  UniqueVariant serial;
  if (FAILED(g_calls.queryProperty(services.get(), 2, L"Select SerialNumber from Win32_BIOS", L"SerialNumber",
                                   serial.put())))
    return kNoIdentifier;
  const wchar_t* text = TextOf(serial.get());
  if (!text) {
    kesi::LogError(CheckLog(), L"BiosSerial: Failed at pClassObject->Get2 [%u]",
                   static_cast<unsigned>(DISP_E_TYPEMISMATCH));
    return kNoIdentifier;
  }
  if (StartsWithIgnoringCase(text, L"vmware-"))
    text += 7;
  else if (StartsWithIgnoringCase(text, L"parallels-"))
    text += 10;
  *identifier += text;
  return 0;
}

// The drive letter of the system folder, or 0 (logged with the route's name).
wchar_t SystemDriveLetter(const wchar_t* route) {
  wchar_t folder[MAX_PATH] = {};
  const UINT length = GetSystemDirectoryW(folder, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) {
    kesi::LogError(CheckLog(), L"%s: Failed at GetSystemDirectory, %d", route, static_cast<int>(GetLastError()));
    return 0;
  }
  return folder[0];
}

// Appends 8-bit text from a disk to the identifier; the decoders let only printable text through, or
// bytes of the ANSI code page.
void AppendBytes(RQString* identifier, const char* text) {
  RQString wide;
  wide.AssignAnsi(text);
  *identifier += wide;
}

// The sources in their order: a virtual machine's BIOS serial, else (on NT) the disk's serial by the
// storage query, else by the miniport. Returns the status of the last source asked; what was found is
// appended to identifier.
LONG ReadSources(RQString* identifier) {
  LONG status = GetBiosSerial(identifier);
  if (status == 0 && !identifier->IsEmpty()) return status;
  OSVERSIONINFOEXW version = {};
  version.dwOSVersionInfoSize = sizeof(version);
  const bool nt = GetVersionExW(reinterpret_cast<OSVERSIONINFOW*>(&version)) &&
                  version.dwPlatformId == VER_PLATFORM_WIN32_NT;
  if (nt) {
    status = GetDiskSerialByStorageQuery(identifier);
    if (status != 0 || identifier->IsEmpty()) status = GetDiskSerialByMiniport(identifier);
  }
  return status;
}

// What the sources answered in this run.
struct RunEquipmentSources : RunCache {
  bool asked = false;
  LONG status = 0;
  RQString identifier;
};

}  // namespace

EquipmentIdCalls& EquipmentIdSystem() { return g_calls; }

void ResetEquipmentIdCalls() { g_calls = {QueryWmiProperty, CreateFileW, DeviceIoControl}; }

HRESULT QueryWmiProperty(IWbemServices* services, int round, const wchar_t* query, const wchar_t* property,
                         VARIANT* value) {
  if (!services || !query || !property || !value) return E_POINTER;
  UniqueBstr language(SysAllocString(L"WQL"));
  UniqueBstr text(SysAllocString(query));
  kesi::ComPtr<IEnumWbemClassObject> objects;
  HRESULT hr = services->ExecQuery(language.get(), text.get(), WBEM_FLAG_RETURN_IMMEDIATELY, nullptr, objects.put());
  if (FAILED(hr)) {
    kesi::LogError(CheckLog(), L"BiosSerial: Failed at pWbemServices->ExecQuery%d [%u]", round, static_cast<unsigned>(hr));
    return hr;
  }
  hr = objects->Reset();
  if (FAILED(hr)) {
    kesi::LogError(CheckLog(), L"BiosSerial: Failed at pEnumObject->Reset%d [%u]", round, static_cast<unsigned>(hr));
    return hr;
  }
  kesi::ComPtr<IWbemClassObject> object;
  ULONG returned = 0;
  hr = objects->Next(WBEM_INFINITE, 1, object.put(), &returned);
  if (FAILED(hr) || returned == 0 || !object) {
    // An empty answer has no object to read: a failure too, not a crash.
    if (SUCCEEDED(hr)) hr = WBEM_S_FALSE;
    kesi::LogError(CheckLog(), L"BiosSerial: Failed at pEnumObject->Next%d [%u]", round, static_cast<unsigned>(hr));
    return FAILED(hr) ? hr : E_FAIL;
  }
  hr = object->Get(property, 0, value, nullptr, nullptr);
  if (FAILED(hr)) {
    kesi::LogError(CheckLog(), L"BiosSerial: Failed at pClassObject->Get%d [%u]", round, static_cast<unsigned>(hr));
    return hr;
  }
  return S_OK;
}

LONG GetBiosSerial(RQString* identifier) {
  if (!identifier) return kNoIdentifier;
  // A thread that already has COM, in either model, can ask WMI as it is; only an initialisation made
  // here is undone here.
  const ComApartment com(COINIT_MULTITHREADED);
  if (!com.Usable()) {
    kesi::LogError(CheckLog(), L"BiosSerial: Failed at CoInitializeEx [%u]", static_cast<unsigned>(com.Result()));
    return kNoIdentifier;
  }
  return ReadBiosSerial(identifier);
}

// Opens the volume of the system drive for device queries; route and step name the failure in the log.
LONG OpenSystemVolume(const wchar_t* route, const wchar_t* step, kesi::UniqueFile* volume) {
  const wchar_t letter = SystemDriveLetter(route);
  if (!letter) return static_cast<LONG>(GetLastError());
  wchar_t name[8];
  _snwprintf(name, 8, L"\\\\.\\%c:", letter);
  name[7] = L'\0';
  volume->reset(g_calls.createFile(name, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                                   nullptr));
  if (!*volume) {
    const DWORD error = GetLastError();
    kesi::LogError(CheckLog(), L"%ls: Failed at %ls [%d]", route, step, static_cast<int>(error));
    return static_cast<LONG>(error);
  }
  return 0;
}

LONG GetDiskSerialByStorageQuery(RQString* identifier) {
  if (!identifier) return ERROR_INVALID_PARAMETER;
  kesi::UniqueFile device;
  if (const LONG status = OpenSystemVolume(L"VistaWay", L"CreateFile", &device)) return status;

  // STORAGE_PROPERTY_QUERY: the device property (0), the standard query (0), no further parameters.
  BYTE query[12] = {};
  std::unique_ptr<BYTE[]> answer(new (std::nothrow) BYTE[kStorageAnswerSize]());
  if (!answer) return ERROR_OUTOFMEMORY;
  DWORD returned = 0;
  if (!g_calls.deviceIoControl(device.get(), kStorageQueryProperty, query, sizeof(query), answer.get(),
                               kStorageAnswerSize, &returned, nullptr)) {
    const DWORD error = GetLastError();
    kesi::LogError(CheckLog(), L"VistaWay: Failed at DeviceControl [%d]", static_cast<int>(error));
    return static_cast<LONG>(error);
  }
  DWORD offset = 0;
  memcpy(&offset, answer.get() + kStorageSerialOffsetField, sizeof(offset));
  if (offset >= kStorageAnswerSize) offset = 0;
  std::unique_ptr<char[]> text(new (std::nothrow) char[kStorageAnswerSize + 1]);
  if (!text) return ERROR_OUTOFMEMORY;
  kesi::DecodeSerialText(answer.get(), kStorageAnswerSize, static_cast<long>(offset), text.get(),
                         kStorageAnswerSize + 1);
  AppendBytes(identifier, text.get());
  return 0;
}

LONG GetDiskSerialByMiniport(RQString* identifier) {
  if (!identifier) return ERROR_INVALID_PARAMETER;
  kesi::UniqueFile volume;
  if (const LONG status = OpenSystemVolume(L"XpWay", L"CreateFile1", &volume)) return status;
  // SCSI_ADDRESS: length, then port, path, target and unit numbers.
  BYTE address[8] = {};
  DWORD returned = 0;
  if (!g_calls.deviceIoControl(volume.get(), kScsiGetAddress, nullptr, 0, address, sizeof(address), &returned,
                               nullptr)) {
    const DWORD error = GetLastError();
    kesi::LogError(CheckLog(), L"XpWay: Failed at DeviceControl1 [%d]", static_cast<int>(error));
    return static_cast<LONG>(error);
  }
  volume.reset();

  wchar_t name[16];
  _snwprintf(name, 16, L"\\\\.\\Scsi%d:", static_cast<int>(address[4]));
  name[15] = L'\0';
  kesi::UniqueFile port(g_calls.createFile(name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                           nullptr, OPEN_EXISTING, 0, nullptr));
  if (!port) {
    const DWORD error = GetLastError();
    kesi::LogError(CheckLog(), L"XpWay: Failed at CreateFile2 [%d]", static_cast<int>(error));
    return static_cast<LONG>(error);
  }

  // One buffer carries the 60-byte request in and the 557-byte answer out, so it has the answer's size.
  BYTE buffer[kMiniportAnswerSize] = {};
  auto put32 = [&buffer](size_t at, DWORD value) { memcpy(buffer + at, &value, sizeof(value)); };
  put32(0, 28);                          // SRB_IO_CONTROL.HeaderLength
  memcpy(buffer + 4, "SCSIDISK", 8);     // .Signature, no terminator
  put32(12, 10000);                      // .Timeout, seconds
  put32(16, kMiniportIdentify);          // .ControlCode
  put32(20, 0);                          // .ReturnCode
  put32(24, kMiniportAnswerSize - 28);   // .Length: 529
  // SENDCMDINPARAMS behind it: buffer size 0, then the ATA registers with IDENTIFY DEVICE in the
  // command register, drive 0.
  buffer[28 + 4 + 6] = 0xEC;
  if (!g_calls.deviceIoControl(port.get(), kScsiMiniport, buffer, kMiniportRequestSize, buffer,
                               kMiniportAnswerSize, &returned, nullptr)) {
    const DWORD error = GetLastError();
    kesi::LogError(CheckLog(), L"XpWay: Failed at DeviceControl2 [%d]", static_cast<int>(error));
    return static_cast<LONG>(error);
  }
  char text[kesi::kIdentifySerialLength + 1];
  kesi::DecodeIdentifySerial(buffer + kMiniportIdentifyOffset, text, sizeof(text));
  AppendBytes(identifier, text);
  return 0;
}

LONG EvaluateEquipmentID(const wchar_t* parameters, LONG* verdict, ItemQueue* items, RQString* equipmentId) {
  kesi::LogInfo(CheckLog(), L"Entered EvaluateEquipmentID");
  if (!verdict || !items) return kNoIdentifier;
  *verdict = 0;
  RQString scratch;
  RQString* identifier = equipmentId ? equipmentId : &scratch;
  // The identifier describes this evaluation alone: a second EQUIPMENTID literal, or the next round of a
  // recurring interrogation, must not append to the previous identifier.
  *identifier = L"";

  // Within a run the sources are asked once, by the first EQUIPMENTID literal; the others take its answer.
  RunEquipmentSources* run = EvaluationRun::Cache<RunEquipmentSources>(EvaluationRun::kEquipmentSources);
  LONG status = 0;
  if (run && run->asked) {
    status = run->status;
    *identifier = run->identifier;
  } else {
    status = ReadSources(identifier);
    if (run) {
      run->identifier = *identifier;
      // An identifier that could not be kept would differ from this one: ask again next time.
      run->asked = run->identifier.GetLength() == identifier->GetLength();
      run->status = status;
    }
  }
  if (status != 0) return status;

  RQString cut(*identifier);
  if (cut.GetLength() > kIdentifierChars) cut.SetAt(kIdentifierChars, L'\0');
  const char* utf8 = cut.GetUtf8();
  const size_t length = utf8 ? strlen(utf8) : 0;
  size_t size = ((length + 2) / 3) * 4 + 1;
  size = (size + 3) / 4 * 4;
  std::unique_ptr<char[]> encoded(new (std::nothrow) char[size]);
  if (!encoded) return ERROR_INVALID_DATA;
  if (length == 0 ||
      kesi::Base64Encode(reinterpret_cast<const unsigned char*>(utf8), length, encoded.get(), size) <= 0)
    return ERROR_INVALID_DATA;

  std::unique_ptr<RQString> item(new (std::nothrow) RQString());
  if (!item) return ERROR_INVALID_DATA;
  item->AssignAnsi(encoded.get());
  if (item->IsEmpty()) return ERROR_INVALID_DATA;
  kesi::LogInfo(CheckLog(), L"HDD-SN: [%s], [%s]", static_cast<const wchar_t*>(*identifier),
                static_cast<const wchar_t*>(*item));
  // The queue takes the item in every case.
  if (items->PushBack(item.release()) != ERROR_SUCCESS) return ERROR_INVALID_DATA;
  *verdict = 1;
  return status;
}

}  // namespace kesi
