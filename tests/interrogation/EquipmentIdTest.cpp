// The equipment identifier: on Wine as it is (a physical machine named "Wine" whose disk has no serial),
// and through the seam for what Wine cannot play: virtual machines' BIOS serials and disks that answer
// the storage query or the miniport identify request.
#include <gtest/gtest.h>
#include <wbemcli.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "CheckLogCapture.h"
#include "Checks.h"
#include "EquipmentId.h"
#include "ItemQueue.h"
#include "RQString.h"
#include "TestText.h"

using namespace kesi;
using namespace kesi::test;

namespace {

// Drains the queue's texts in order.
std::vector<std::string> Drain(ItemQueue* items) {
  std::vector<std::string> texts;
  for (std::unique_ptr<RQString> item(items->PopFront()); item; item.reset(items->PopFront()))
    texts.push_back(Narrow(static_cast<const wchar_t*>(*item)));
  return texts;
}

// What the fake platform answers.
struct FakeMachine {
  const wchar_t* model = L"Wine";
  HRESULT modelResult = S_OK;
  const wchar_t* serial = L"0";
  HRESULT serialResult = S_OK;
  DWORD storageError = 0;      // DeviceIoControl's error for the storage query; 0 answers
  std::string storageSerial;   // the descriptor's serial text; empty: offset 0
  DWORD addressError = 0;      // for IOCTL_SCSI_GET_ADDRESS
  BYTE port = 2;
  std::string identifySerial;  // the identify data's serial bytes as stored

  // What the sources did.
  std::vector<std::wstring> queries;
  std::vector<std::wstring> opened;
  std::vector<DWORD> controls;
  std::string requestProblem;  // what was wrong with the miniport request, if anything
};
FakeMachine* g_machine = nullptr;

HRESULT FakeQuery(IWbemServices*, int round, const wchar_t* query, const wchar_t* property, VARIANT* value) {
  g_machine->queries.push_back(query);
  const bool model = round == 1;
  if (model != (wcscmp(property, L"Model") == 0)) return E_UNEXPECTED;
  const HRESULT result = model ? g_machine->modelResult : g_machine->serialResult;
  if (FAILED(result)) return result;
  value->vt = VT_BSTR;
  value->bstrVal = SysAllocString(model ? g_machine->model : g_machine->serial);
  return S_OK;
}

HANDLE WINAPI FakeCreateFile(LPCWSTR name, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE) {
  g_machine->opened.push_back(name);
  return CreateEventW(nullptr, TRUE, FALSE, nullptr);  // a real handle, so that closing it is real too
}

BOOL WINAPI FakeDeviceIoControl(HANDLE, DWORD code, LPVOID in, DWORD inSize, LPVOID out, DWORD outSize,
                                LPDWORD returned, LPOVERLAPPED) {
  g_machine->controls.push_back(code);
  BYTE* answer = static_cast<BYTE*>(out);
  switch (code) {
    case kStorageQueryProperty: {
      if (g_machine->storageError) break;
      if (inSize != 12 || outSize != kStorageAnswerSize) return FALSE;
      const DWORD offset = g_machine->storageSerial.empty() ? 0 : 100;
      memcpy(answer + kStorageSerialOffsetField, &offset, 4);
      memcpy(answer + 100, g_machine->storageSerial.data(), g_machine->storageSerial.size());
      *returned = 100 + static_cast<DWORD>(g_machine->storageSerial.size()) + 1;
      return TRUE;
    }
    case kScsiGetAddress:
      if (g_machine->addressError) {
        SetLastError(g_machine->addressError);
        return FALSE;
      }
      if (outSize != 8) return FALSE;
      answer[0] = 8;
      answer[4] = g_machine->port;
      *returned = 8;
      return TRUE;
    case kScsiMiniport: {
      const BYTE* request = static_cast<const BYTE*>(in);
      DWORD value = 0;
      std::string& problem = g_machine->requestProblem;
      if (inSize != kMiniportRequestSize || outSize != kMiniportAnswerSize) problem += "sizes;";
      if (memcmp(request, "\x1c\0\0\0SCSIDISK", 12) != 0) problem += "header length or signature;";
      memcpy(&value, request + 12, 4);
      if (value != 10000) problem += "time-out;";
      memcpy(&value, request + 16, 4);
      if (value != kMiniportIdentify) problem += "control code;";
      memcpy(&value, request + 24, 4);
      if (value != 529) problem += "length;";
      if (request[38] != 0xEC) problem += "command;";
      memset(answer, 0, outSize);
      memcpy(answer + kMiniportIdentifyOffset + 20, g_machine->identifySerial.data(), g_machine->identifySerial.size());
      *returned = outSize;
      return TRUE;
    }
    default:
      break;
  }
  SetLastError(g_machine->storageError ? g_machine->storageError : ERROR_INVALID_FUNCTION);
  return FALSE;
}

// Plays the fake machine for the life of the object.
class FakePlatform {
 public:
  explicit FakePlatform(FakeMachine* machine) {
    g_machine = machine;
    EquipmentIdCalls& calls = EquipmentIdSystem();
    calls.queryProperty = FakeQuery;
    calls.createFile = FakeCreateFile;
    calls.deviceIoControl = FakeDeviceIoControl;
  }
  ~FakePlatform() {
    ResetEquipmentIdCalls();
    g_machine = nullptr;
  }
  FakePlatform(const FakePlatform&) = delete;
  FakePlatform& operator=(const FakePlatform&) = delete;
};

TEST(EquipmentId, RoutesAndTheirFallbacks) {
  struct Case {
    const char* name;
    FakeMachine machine;
    LONG status;
    const wchar_t* identifier;  // the raw text handed back
    const char* item;           // its Base64 form, null: no item and verdict 0
    std::vector<DWORD> controls;
  };
  auto machine = [](auto change) {
    FakeMachine m;
    change(m);
    return m;
  };
  const Case cases[] = {
      {"VMware: the BIOS serial without its prefix",
       machine([](FakeMachine& m) { m.model = L"VMware Virtual Platform"; m.serial = L"VMware-56 4d 8e"; }),
       0, L"56 4d 8e", "NTYgNGQgOGU=", {}},
      {"Parallels: the prefix in any case",
       machine([](FakeMachine& m) { m.model = L"Parallels Virtual Platform"; m.serial = L"PARALLELS-ABC"; }),
       0, L"ABC", "QUJD", {}},
      {"another virtual machine: the serial as it is",
       machine([](FakeMachine& m) { m.model = L"Virtual Machine"; m.serial = L"Hyper-V-1234"; }),
       0, L"Hyper-V-1234", "SHlwZXItVi0xMjM0", {}},
      {"a serial outside ASCII is encoded as UTF-8",
       machine([](FakeMachine& m) { m.model = L"VMware Virtual Platform"; m.serial = L"vmware-Z\u00fcrich"; }),
       0, L"Z\u00fcrich", "WsO8cmljaA==", {}},
      {"a model without \"Virtual \" goes to the disk",
       machine([](FakeMachine& m) { m.model = L"VirtualBox"; m.storageSerial = "202044572D573158"; }),
       0, L"WDW-X1", "V0RXLVgx", {kStorageQueryProperty}},
      {"a virtual machine whose serial cannot be read goes to the disk",
       machine([](FakeMachine& m) {
         m.model = L"VMware Virtual Platform";
         m.serialResult = WBEM_E_FAILED;
         m.storageSerial = "WD-W";
       }),
       0, L"DWW-", "RFdXLQ==", {kStorageQueryProperty}},
      {"no model answer goes to the disk",
       machine([](FakeMachine& m) { m.modelResult = WBEM_E_FAILED; m.storageSerial = "3234"; }),
       0, L"42", "NDI=", {kStorageQueryProperty}},
      {"a descriptor without serial goes to the miniport",
       machine([](FakeMachine& m) { m.identifySerial = "      DWW-AC1V3254  "; }),
       0, L"WD-WCAV12345", "V0QtV0NBVjEyMzQ1", {kStorageQueryProperty, kScsiGetAddress, kScsiMiniport}},
      {"a failing storage query goes to the miniport",
       machine([](FakeMachine& m) { m.storageError = ERROR_NOT_SUPPORTED; m.identifySerial = "BADC"; }),
       0, L"ABCD", "QUJDRA==", {kStorageQueryProperty, kScsiGetAddress, kScsiMiniport}},
      {"every route fails: the last one's status",
       machine([](FakeMachine& m) { m.addressError = ERROR_NOT_SUPPORTED; }),
       ERROR_NOT_SUPPORTED, L"", nullptr, {kStorageQueryProperty, kScsiGetAddress}},
      {"an empty identifier encodes to nothing",
       machine([](FakeMachine&) {}),
       ERROR_INVALID_DATA, L"", nullptr, {kStorageQueryProperty, kScsiGetAddress, kScsiMiniport}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeMachine m = c.machine;
    FakePlatform platform(&m);
    CheckLogCapture log(L"equipment");
    ItemQueue items;
    RQString identifier;
    LONG verdict = 7;
    EXPECT_EQ(EvaluateEquipmentID(L"ignored", &verdict, &items, &identifier), c.status);
    EXPECT_EQ(Narrow(static_cast<const wchar_t*>(identifier)), Narrow(c.identifier));
    EXPECT_EQ(std::wstring(identifier), std::wstring(c.identifier));
    EXPECT_EQ(verdict, c.item ? 1 : 0);
    EXPECT_EQ(Drain(&items), c.item ? std::vector<std::string>{c.item} : std::vector<std::string>{});
    EXPECT_EQ(m.controls, c.controls);
    EXPECT_EQ(m.requestProblem, "");
    EXPECT_TRUE(log.Contains("Entered EvaluateEquipmentID")) << log.Text();
    if (c.item && Narrow(c.identifier).find('?') == std::string::npos) {
      EXPECT_TRUE(log.Contains("HDD-SN: [" + Narrow(c.identifier) + "], [" + c.item + "]")) << log.Text();
    }
    if (!m.controls.empty()) {
      // Both disk routes open the system folder's drive; the miniport route then its SCSI port.
      wchar_t folder[MAX_PATH];
      GetSystemDirectoryW(folder, MAX_PATH);
      EXPECT_EQ(m.opened.front(), std::wstring(L"\\\\.\\") + folder[0] + L":");
      if (m.controls.back() == kScsiMiniport) {
        EXPECT_EQ(m.opened.back(), L"\\\\.\\Scsi2:");
      }
    }
  }
}

// A second evaluation (another EQUIPMENTID literal, the next round of a recurring interrogation) gives the
// same identifier rather than appending to the first; a long identifier is encoded from its first 260
// characters and handed back whole.
TEST(EquipmentId, RepeatedAndLongIdentifiers) {
  FakeMachine m;
  m.model = L"VMware Virtual Platform";
  m.serial = L"VMware-56 4d 8e";
  FakePlatform platform(&m);
  ItemQueue items;
  RQString identifier;
  for (int round = 0; round < 2; ++round) {
    LONG verdict = 0;
    EXPECT_EQ(EvaluateEquipmentID(nullptr, &verdict, &items, &identifier), 0);
    EXPECT_EQ(verdict, 1);
    EXPECT_EQ(std::wstring(identifier), L"56 4d 8e");
  }
  EXPECT_EQ(Drain(&items), (std::vector<std::string>{"NTYgNGQgOGU=", "NTYgNGQgOGU="}));

  const std::wstring longSerial = L"vmware-" + std::wstring(300, L'A');
  m.serial = longSerial.c_str();
  LONG verdict = 0;
  EXPECT_EQ(EvaluateEquipmentID(nullptr, &verdict, &items, &identifier), 0);
  EXPECT_EQ(identifier.GetLength(), 300u);
  std::string expected;
  for (int i = 0; i < 86; ++i) expected += "QUFB";  // 258 x "A"
  expected += "QUE=";                                // and 2 more
  EXPECT_EQ(Drain(&items), std::vector<std::string>{expected});

  // Without a place for the identifier the item is still made.
  EXPECT_EQ(EvaluateEquipmentID(nullptr, &verdict, &items, nullptr), 0);
  EXPECT_EQ(Drain(&items).size(), 1u);
}

TEST(EquipmentId, MissingVerdictOrItems) {
  CheckLogCapture log(L"equipment-args");
  ItemQueue items;
  RQString identifier(L"unchanged");
  LONG verdict = 7;
  EXPECT_EQ(EvaluateEquipmentID(nullptr, nullptr, &items, &identifier), -503);
  EXPECT_EQ(EvaluateEquipmentID(nullptr, &verdict, nullptr, &identifier), -503);
  EXPECT_EQ(verdict, 7);
  EXPECT_EQ(std::wstring(identifier), L"unchanged");
  const std::string text = log.Text();
  size_t entries = 0;
  for (size_t at = text.find("Entered EvaluateEquipmentID"); at != std::string::npos;
       at = text.find("Entered EvaluateEquipmentID", at + 1))
    ++entries;
  EXPECT_EQ(entries, 2u) << text;
}

// Wine as it is: WMI answers for a physical machine named "Wine", the storage query has no serial and the
// volume has no SCSI address, so every route is tried and the last one's error comes back.
TEST(EquipmentId, OnWine) {
  // Watch the real WMI answers on their way through the default query.
  static std::vector<std::string> answers;
  answers.clear();
  EquipmentIdSystem().queryProperty = [](IWbemServices* services, int round, const wchar_t* query,
                                         const wchar_t* property, VARIANT* value) {
    const HRESULT hr = QueryWmiProperty(services, round, query, property, value);
    answers.push_back(Narrow(query) + " -> " +
                      (SUCCEEDED(hr) && value->vt == VT_BSTR ? Narrow(value->bstrVal) : "failed"));
    if (round == 1) {
      // The BIOS query is not made for a physical machine: ask it here, to see that it answers too.
      VARIANT serial;
      VariantInit(&serial);
      const HRESULT serialResult = QueryWmiProperty(services, 2, L"Select SerialNumber from Win32_BIOS",
                                                    L"SerialNumber", &serial);
      answers.push_back(SUCCEEDED(serialResult) && serial.vt == VT_BSTR ? "serial is text" : "serial failed");
      VariantClear(&serial);
    }
    return hr;
  };
  CheckLogCapture log(L"equipment-wine");
  ItemQueue items;
  RQString identifier;
  LONG verdict = 7;
  const LONG status = EvaluateEquipmentID(nullptr, &verdict, &items, &identifier);
  ResetEquipmentIdCalls();

  EXPECT_EQ(answers, (std::vector<std::string>{"Select Model from Win32_ComputerSystem -> Wine", "serial is text"}));
  EXPECT_EQ(status, ERROR_NOT_SUPPORTED);
  EXPECT_EQ(verdict, 0);
  EXPECT_TRUE(identifier.IsEmpty());
  EXPECT_EQ(items.Count(), 0u);
  EXPECT_TRUE(log.Contains("XpWay: Failed at DeviceControl1 [50]")) << log.Text();
  EXPECT_FALSE(log.Contains("BiosSerial: Failed")) << log.Text();
  EXPECT_FALSE(log.Contains("VistaWay: Failed")) << log.Text();
}

}  // namespace
