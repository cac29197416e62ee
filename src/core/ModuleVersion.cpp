#include "ModuleVersion.h"

#include <cstdint>
#include <cstdlib>
#include <cwchar>

namespace kesi {

namespace {

const wchar_t kEmpty[] = L"";

// Appends text to dst (a buffer of size cells holding a terminated text), cutting it to fit.
void AppendBounded(wchar_t* dst, size_t size, const wchar_t* text) {
  size_t at = wcsnlen(dst, size);
  while (*text && at + 1 < size) dst[at++] = *text++;
  if (at < size) dst[at] = 0;
}

void AppendNumber(wchar_t* dst, size_t size, unsigned n) {
  wchar_t digits[12];
  int i = 11;
  digits[i] = 0;
  do {
    digits[--i] = static_cast<wchar_t>(L'0' + n % 10);
    n /= 10;
  } while (n != 0);
  AppendBounded(dst, size, digits + i);
}

void PutHex4(wchar_t* dst, unsigned value) {
  static const wchar_t kDigits[] = L"0123456789ABCDEF";
  for (int i = 3; i >= 0; --i) {
    dst[i] = kDigits[value & 0xF];
    value >>= 4;
  }
}

}  // namespace

CModuleVersion::CModuleVersion()
    : path_(nullptr),
      data_(nullptr),
      translation_{},
      fileVersionText_{},
      displayVersion_{},
      fixedInfo_(nullptr),
      dataSize_(0) {}

CModuleVersion::~CModuleVersion() { Free(); }

const wchar_t* CModuleVersion::GetComments() { return GetString(L"\\StringFileInfo\\%s\\Comments"); }
const wchar_t* CModuleVersion::GetCompanyName() { return GetString(L"\\StringFileInfo\\%s\\CompanyName"); }
const wchar_t* CModuleVersion::GetLegalNotice() { return GetString(L"\\StringFileInfo\\%s\\LegalCopyright"); }
const wchar_t* CModuleVersion::GetFileDescription() {
  return GetString(L"\\StringFileInfo\\%s\\FileDescription");
}

const wchar_t* CModuleVersion::GetDisplayVersion() {
  if (displayVersion_[0]) return displayVersion_;
  const wchar_t* version = GetFileVersionText();
  if (!*version) return kEmpty;
  AppendBounded(displayVersion_, 80, version);
  const wchar_t* comments = GetComments();
  if (*comments) {
    AppendBounded(displayVersion_, 80, L" (");
    AppendBounded(displayVersion_, 80, comments);
    AppendBounded(displayVersion_, 80, L")");
  }
  return displayVersion_;
}

const wchar_t* CModuleVersion::GetPath() const { return path_ ? path_ : kEmpty; }

DWORD CModuleVersion::Load(const wchar_t* path) {
  if (!path || !*path) return ERROR_INVALID_PARAMETER;
  Free();
  const size_t length = wcsnlen(path, MAX_PATH);
  if (length == MAX_PATH) return ERROR_INVALID_PARAMETER;
  path_ = static_cast<wchar_t*>(calloc(length + 1, sizeof(wchar_t)));
  if (!path_) return ERROR_OUTOFMEMORY;
  wmemcpy(path_, path, length);

  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeW(path_, &ignored);
  if (size != 0) {
    data_ = GlobalAlloc(GPTR, size);
    if (!data_) {
      const DWORD error = GetLastError();
      Free();
      return error ? error : ERROR_OUTOFMEMORY;
    }
    if (!GetFileVersionInfoW(path_, 0, size, data_)) {
      const DWORD error = GetLastError();
      Free();
      return error ? error : ERROR_GEN_FAILURE;
    }
    dataSize_ = size;
  }

  void* fixed = nullptr;
  UINT fixedSize = 0;
  if (!data_ || !VerQueryValueW(data_, L"\\", &fixed, &fixedSize) || !fixed ||
      fixedSize < sizeof(VS_FIXEDFILEINFO)) {
    Free();
    return ERROR_GEN_FAILURE;
  }
  fixedInfo_ = static_cast<VS_FIXEDFILEINFO*>(fixed);
  LoadTranslation();
  return ERROR_SUCCESS;
}

DWORD CModuleVersion::GetFileVersion(WORD* major, WORD* minor, WORD* build, WORD* revision) const {
  const DWORD ms = GetFileVersionMS();
  const DWORD ls = GetFileVersionLS();
  if (major) *major = HIWORD(ms);
  if (minor) *minor = LOWORD(ms);
  if (build) *build = HIWORD(ls);
  if (revision) *revision = LOWORD(ls);
  return fixedInfo_ ? 1 : 0;
}

DWORD CModuleVersion::GetFileVersionMS() const { return fixedInfo_ ? fixedInfo_->dwFileVersionMS : 0; }
DWORD CModuleVersion::GetFileVersionLS() const { return fixedInfo_ ? fixedInfo_->dwFileVersionLS : 0; }

DWORD CModuleVersion::LoadModule(HMODULE module) {
  wchar_t path[MAX_PATH];
  const DWORD n = GetModuleFileNameW(module, path, MAX_PATH);
  if (n == 0) {
    const DWORD error = GetLastError();
    return error ? error : ERROR_GEN_FAILURE;
  }
  if (n >= MAX_PATH) return ERROR_INSUFFICIENT_BUFFER;
  return Load(path);
}

const wchar_t* CModuleVersion::GetProductName() { return GetString(L"\\StringFileInfo\\%s\\ProductName"); }
const wchar_t* CModuleVersion::GetProductVersion() { return GetString(L"\\StringFileInfo\\%s\\ProductVersion"); }

const wchar_t* CModuleVersion::GetFileVersionText() {
  if (!fixedInfo_) return kEmpty;
  if (!fileVersionText_[0]) {
    WORD parts[4];
    GetFileVersion(&parts[0], &parts[1], &parts[2], &parts[3]);
    for (int i = 0; i < 4; ++i) {
      if (i) AppendBounded(fileVersionText_, 40, L".");
      AppendNumber(fileVersionText_, 40, parts[i]);
    }
  }
  return fileVersionText_;
}

const wchar_t* CModuleVersion::GetFileVersionString() { return GetString(L"\\StringFileInfo\\%s\\FileVersion"); }

void CModuleVersion::Free() {
  free(path_);
  path_ = nullptr;
  if (data_) GlobalFree(data_);
  data_ = nullptr;
  dataSize_ = 0;
  fixedInfo_ = nullptr;
  translation_[0] = 0;
  fileVersionText_[0] = 0;
  displayVersion_[0] = 0;
}

void CModuleVersion::LoadTranslation() {
  if (translation_[0] || !data_) return;
  void* value = nullptr;
  UINT size = 0;
  if (VerQueryValueW(data_, L"\\VarfileInfo\\Translation", &value, &size) && value && size >= 2 * sizeof(WORD)) {
    const WORD* pair = static_cast<const WORD*>(value);
    PutHex4(translation_, pair[0]);
    PutHex4(translation_ + 4, pair[1]);
    translation_[8] = 0;
  } else {
    wcscpy(translation_, L"040904E4");
  }
}

const wchar_t* CModuleVersion::GetString(const wchar_t* format) {
  if (!translation_[0] || !data_ || !format) return kEmpty;

  // The query: format with the translation in place of "%s" ("%%" is a percent sign), at most 79
  // characters; a longer one names no value.
  wchar_t query[80];
  size_t at = 0;
  for (const wchar_t* p = format; *p; ++p) {
    const wchar_t* piece = nullptr;
    wchar_t single[2] = {*p, 0};
    if (p[0] == L'%' && p[1] == L's') {
      piece = translation_;
      ++p;
    } else if (p[0] == L'%' && p[1] == L'%') {
      piece = L"%";
      ++p;
    } else {
      piece = single;
    }
    for (; *piece; ++piece) {
      if (at + 1 >= 80) return kEmpty;
      query[at++] = *piece;
    }
  }
  query[at] = 0;

  void* value = nullptr;
  UINT size = 0;
  if (!VerQueryValueW(data_, query, &value, &size) || !value || size == 0) return kEmpty;
  // The value must end inside the version data.
  const auto begin = reinterpret_cast<uintptr_t>(data_);
  const auto valueAt = reinterpret_cast<uintptr_t>(value);
  if (valueAt < begin || valueAt >= begin + dataSize_) return kEmpty;
  const size_t cells = (begin + dataSize_ - valueAt) / sizeof(wchar_t);
  const wchar_t* text = static_cast<const wchar_t*>(value);
  if (wcsnlen(text, cells) == cells) return kEmpty;
  return text;
}

}  // namespace kesi
