#pragma once
// The equipment identifier behind the EQUIPMENTID literal (entry point EvaluateEquipmentID in Checks.h):
// a virtual machine's BIOS serial number, else the serial number of the disk that holds the system
// folder, asked for through the storage query and, failing that, through the disk miniport.
#include <windows.h>
#include <oaidl.h>

struct IWbemServices;

namespace kesi {

class RQString;

// Each source appends what it found to identifier and returns 0, or a failure status (logged).
// 0 when a virtual machine's BIOS serial was appended; -503 when the machine is not a virtual machine
// (its model has no "Virtual ") or a step failed.
LONG GetBiosSerial(RQString* identifier);
// The storage device descriptor's serial text of the system drive ("VistaWay" in the log). 0 also when
// the descriptor carries no serial (nothing appended).
LONG GetDiskSerialByStorageQuery(RQString* identifier);
// The ATA identify data's serial through the system drive's SCSI port ("XpWay" in the log).
LONG GetDiskSerialByMiniport(RQString* identifier);

// The platform calls behind the sources. Wine has no disk serial and reports a physical machine, so
// tests replace entries to play a virtual machine or a disk that answers, and put the defaults back with
// ResetEquipmentIdCalls.
struct EquipmentIdCalls {
  // Runs a WQL query and reads one property of its first object into *value (VariantInit-ed by the
  // caller, cleared by the caller). round (1 or 2) numbers the log lines of the steps.
  HRESULT (*queryProperty)(IWbemServices* services, int round, const wchar_t* query, const wchar_t* property,
                           VARIANT* value);
  // CreateFileW.
  HANDLE(WINAPI* createFile)(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                             DWORD disposition, DWORD flags, HANDLE templateFile);
  // DeviceIoControl.
  BOOL(WINAPI* deviceIoControl)(HANDLE device, DWORD code, LPVOID in, DWORD inSize, LPVOID out, DWORD outSize,
                                LPDWORD returned, LPOVERLAPPED overlapped);
};
EquipmentIdCalls& EquipmentIdSystem();
void ResetEquipmentIdCalls();

// The default queryProperty: ExecQuery (WQL, return immediately), Reset, Next (no time limit) and Get,
// each failure logged as "BiosSerial: Failed at <step><round> [code]". A query that returns no object
// fails at Next with WBEM_S_FALSE.
HRESULT QueryWmiProperty(IWbemServices* services, int round, const wchar_t* query, const wchar_t* property,
                         VARIANT* value);

// Control codes and sizes of the disk routes.
constexpr DWORD kStorageQueryProperty = 0x2D1400;    // IOCTL_STORAGE_QUERY_PROPERTY
constexpr DWORD kStorageAnswerSize = 10000;
constexpr DWORD kStorageSerialOffsetField = 24;      // STORAGE_DEVICE_DESCRIPTOR.SerialNumberOffset
constexpr DWORD kScsiGetAddress = 0x41018;           // IOCTL_SCSI_GET_ADDRESS
constexpr DWORD kScsiMiniport = 0x4D008;             // IOCTL_SCSI_MINIPORT
constexpr DWORD kMiniportIdentify = 0x1B0501;        // IOCTL_SCSI_MINIPORT_IDENTIFY
constexpr DWORD kMiniportRequestSize = 60;           // SRB_IO_CONTROL + SENDCMDINPARAMS - 1
constexpr DWORD kMiniportAnswerSize = 557;           // SRB_IO_CONTROL + SENDCMDOUTPARAMS - 1 + 512
constexpr DWORD kMiniportIdentifyOffset = 44;        // identify data: behind the header, size and status

}  // namespace kesi
