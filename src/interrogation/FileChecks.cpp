// The file and directory checks.
#include <cwchar>

#include "CheckLog.h"
#include "Checks.h"
#include "Handles.h"
#include "HostChecks.h"
#include "LocalPath.h"
#include "LogFile.h"
#include "SecurityChecks.h"

namespace kesi {

namespace {

// The fields of a file literal, in order.
enum FileField { kPath, kSizeOperator, kSize, kDateOperator, kTime, kDate, kAttributes, kCatalog, kFileFieldCount };
constexpr size_t kFieldChars = MAX_PATH - 1;  // a longer field is cut

struct FileFields {
  wchar_t text[kFileFieldCount][kFieldChars + 1] = {};
  // The field, or null when it is empty.
  const wchar_t* operator[](int index) const { return text[index][0] ? text[index] : nullptr; }
};

// Cuts text at every "," (quotes mean nothing here); text behind the last field is ignored.
void CutFields(const wchar_t* text, FileFields* fields) {
  const wchar_t* p = text;
  for (int index = 0; index < kFileFieldCount; ++index) {
    const wchar_t* end = wcschr(p, L',');
    size_t length = end ? static_cast<size_t>(end - p) : wcslen(p);
    if (length > kFieldChars) length = kFieldChars;
    wmemcpy(fields->text[index], p, length);
    fields->text[index][length] = 0;
    if (!end) break;
    p = end + 1;
  }
}

// A comparison operator is read for the characters it holds, not parsed.
struct Operator {
  bool equal;  // "=" present, or no operator at all
  bool less;
  bool greater;
  bool negate;

  explicit Operator(const wchar_t* text)
      : equal(!text || wcschr(text, L'=')),
        less(text && wcschr(text, L'<')),
        greater(text && wcschr(text, L'>')),
        negate(text && wcschr(text, L'!')) {}
};

bool SizeHolds(const Operator& op, DWORD actual, DWORD expected) {
  if (op.less) return op.equal ? actual <= expected : actual < expected;
  if (op.greater) return op.equal ? actual >= expected : actual > expected;
  if (op.negate) return actual != expected;
  return actual == expected;
}

enum class Order { kLess, kEqual, kGreater };

constexpr LONGLONG kUnitsPerSecond = 10000000;
constexpr LONGLONG kUnitsPerMinute = 60 * kUnitsPerSecond;
constexpr LONGLONG kUnitsPerHour = 60 * kUnitsPerMinute;
constexpr LONGLONG kUnitsPerDay = 24 * kUnitsPerHour;

LONGLONG Units(const FILETIME& time) {
  return static_cast<LONGLONG>((static_cast<ULONGLONG>(time.dwHighDateTime) << 32) | time.dwLowDateTime);
}

// Keeps an age part within a million days, far beyond the span of file times, so that the sum of the
// parts cannot overflow.
LONGLONG ClampedUnits(int count, LONGLONG unit) {
  const LONGLONG limit = 1000000 * kUnitsPerDay;
  LONGLONG maxCount = limit / unit;
  LONGLONG n = count;
  if (n > maxCount) n = maxCount;
  if (n < -maxCount) n = -maxCount;
  return n * unit;
}

bool InRange(int value, int low, int high) { return value >= low && value <= high; }

// The date test of one file. False when a date or time cannot be represented.
bool DateHolds(const Operator& op, const FILETIME& lastWrite, const wchar_t* timeField, const wchar_t* dateField) {
  SYSTEMTIME now;
  GetLocalTime(&now);
  FILETIME nowTime, fileTime;
  if (!SystemTimeToFileTime(&now, &nowTime) || !FileTimeToLocalFileTime(&lastWrite, &fileTime)) return false;
  LONGLONG nowUnits = Units(nowTime);
  LONGLONG fileUnits = Units(fileTime);

  int hours = 0, minutes = 0, seconds = 0;
  if (timeField) swscanf(timeField, L"%d:%d:%d", &hours, &minutes, &seconds);

  size_t dateLength = dateField ? wcslen(dateField) : 0;
  Order order;
  if (!dateField || dateField[dateLength - 1] == L'd') {
    int days = 0;
    if (dateField) swscanf(dateField, L"%dd", &days);
    LONGLONG reference = nowUnits - ClampedUnits(days, kUnitsPerDay) - ClampedUnits(hours, kUnitsPerHour) -
                         ClampedUnits(minutes, kUnitsPerMinute) - ClampedUnits(seconds, kUnitsPerSecond);
    if (fileUnits > reference && fileUnits < nowUnits)
      order = Order::kLess;  // younger than the age
    else if (fileUnits == nowUnits)
      order = Order::kEqual;
    else
      order = Order::kGreater;
  } else {
    int month = 0, day = 0, year = 0;
    swscanf(dateField, L"%d/%d/%d", &month, &day, &year);
    if (!InRange(year, 1601, 30827) || !InRange(month, 1, 12) || !InRange(day, 1, 31)) return false;
    SYSTEMTIME file;
    if (!FileTimeToSystemTime(&fileTime, &file)) return false;
    SYSTEMTIME reference = now;
    reference.wYear = static_cast<WORD>(year);
    reference.wMonth = static_cast<WORD>(month);
    reference.wDay = static_cast<WORD>(day);
    reference.wMilliseconds = 0;
    if (timeField && (hours || minutes || seconds)) {
      if (!InRange(hours, 0, 23) || !InRange(minutes, 0, 59) || !InRange(seconds, 0, 59)) return false;
      reference.wHour = static_cast<WORD>(hours);
      reference.wMinute = static_cast<WORD>(minutes);
      reference.wSecond = static_cast<WORD>(seconds);
      file.wMilliseconds = 0;
    } else {
      // Compared by date: both times at the start of their day.
      reference.wHour = reference.wMinute = reference.wSecond = 0;
      file.wHour = file.wMinute = file.wSecond = file.wMilliseconds = 0;
    }
    FILETIME referenceTime, fileDay;
    if (!SystemTimeToFileTime(&reference, &referenceTime) || !SystemTimeToFileTime(&file, &fileDay)) return false;
    LONGLONG referenceUnits = Units(referenceTime);
    fileUnits = Units(fileDay);
    if (op.equal && file.wYear == reference.wYear && file.wMonth == reference.wMonth && file.wDay == reference.wDay &&
        file.wHour == reference.wHour && file.wMinute == reference.wMinute && file.wSecond == reference.wSecond)
      order = Order::kEqual;
    else if (fileUnits < referenceUnits)
      order = Order::kLess;
    else if (fileUnits > referenceUnits)
      order = Order::kGreater;
    else
      order = Order::kEqual;
  }
  return (op.less && order == Order::kLess) || (op.greater && order == Order::kGreater) ||
         (op.equal && order == Order::kEqual) || (op.negate && order != Order::kEqual);
}

// Every letter must name an attribute the file has.
bool AttributesHold(DWORD attributes, const wchar_t* letters) {
  for (const wchar_t* p = letters; *p; ++p) {
    DWORD bit;
    switch (*p) {
      case L'S': case L's': bit = FILE_ATTRIBUTE_SYSTEM; break;
      case L'N': case L'n': bit = FILE_ATTRIBUTE_NORMAL; break;
      case L'R': case L'r': bit = FILE_ATTRIBUTE_READONLY; break;
      case L'H': case L'h': bit = FILE_ATTRIBUTE_HIDDEN; break;
      case L'A': case L'a': bit = FILE_ATTRIBUTE_ARCHIVE; break;
      default: return false;
    }
    if (!(attributes & bit)) return false;
  }
  return true;
}

bool CatalogHolds(const wchar_t* folder, const wchar_t* name, const wchar_t* catalog) {
  wchar_t path[MAX_PATH];
  size_t folderLength = wcslen(folder);
  size_t nameLength = wcslen(name);
  if (folderLength + nameLength >= MAX_PATH) return false;
  wmemcpy(path, folder, folderLength);
  wmemcpy(path + folderLength, name, nameLength + 1);
  DWORD status = ERROR_SUCCESS;
  return CheckCatalogSignature(path, catalog, &status) == 1;
}

// The tests of one file found by the search, in their order.
bool FileHolds(const FileFields& fields, const wchar_t* folder, const WIN32_FIND_DATAW& file) {
  if (fields[kSize]) {
    DWORD expected = static_cast<DWORD>(_wtoi(fields[kSize]));
    if (!SizeHolds(Operator(fields[kSizeOperator]), file.nFileSizeLow, expected)) return false;
  }
  if (fields[kTime] || fields[kDate]) {
    if (!DateHolds(Operator(fields[kDateOperator]), file.ftLastWriteTime, fields[kTime], fields[kDate])) return false;
  }
  if (fields[kAttributes] && !AttributesHold(file.dwFileAttributes, fields[kAttributes])) return false;
  if (fields[kCatalog] && !CatalogHolds(folder, file.cFileName, fields[kCatalog])) return false;
  return true;
}

// These literals check local files. A path that names another machine (or the device namespace, which
// reaches other machines too) is refused before any file call: looking it up would sign on to a host
// the list chose with the user's network credentials. 0 for a local path, else the status to report.
LONG RefusePath(const wchar_t* kind, const wchar_t* path) {
  const PathKind pathKind = ClassifyLocalPath(path);
  if (pathKind == PathKind::kLocal) return ERROR_SUCCESS;
  kesi::LogInfo(CheckLog(), L"%ls: %ls path refused, not looked up: %ls", kind,
                pathKind == PathKind::kNetwork ? L"network" : L"device", path);
  return static_cast<LONG>(RefusedPathStatus(pathKind));
}

}  // namespace

LONG EvaluateFile(const wchar_t* parameters, LONG* verdict) {
  if (!verdict) return kCheckUnprepared;
  // Prepared before the split, so an escaped comma separates fields here like a plain one.
  std::unique_ptr<wchar_t[]> prepared = ExpandLiteralText(parameters, true, true);
  if (!prepared) return kCheckUnprepared;
  FileFields fields;
  CutFields(prepared.get(), &fields);
  const wchar_t* path = fields[kPath];
  if (!path) return kCheckUnprepared;
  if (LONG refused = RefusePath(L"File", path)) {
    *verdict = 0;
    return refused;
  }

  // The folder part (up to the last separator) is put in front of each name the search finds.
  wchar_t folder[MAX_PATH] = {};
  const wchar_t* nameStart = path;
  for (const wchar_t* p = path; *p; ++p)
    if (*p == L'\\' || *p == L'/' || *p == L':') nameStart = p + 1;
  wmemcpy(folder, path, static_cast<size_t>(nameStart - path));

  WIN32_FIND_DATAW file;
  UniqueFind search(FindFirstFileW(path, &file));
  LONG result = 0;
  if (search) {
    do {
      if (file.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
      if (FileHolds(fields, folder, file)) {
        result = 1;
        break;
      }
    } while (FindNextFileW(search.get(), &file));
  }
  *verdict = result;
  return ERROR_SUCCESS;
}

LONG EvaluateDirectory(const wchar_t* parameters, LONG* verdict) {
  if (!verdict) return kCheckUnprepared;
  std::unique_ptr<wchar_t[]> path = ExpandLiteralText(parameters, true, true);
  if (!path) return kCheckUnprepared;
  if (LONG refused = RefusePath(L"Directory", path.get())) {
    *verdict = 0;
    return refused;
  }
  WIN32_FIND_DATAW found;
  UniqueFind search(FindFirstFileW(path.get(), &found));
  *verdict = (search && (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) ? 1 : 0;
  return ERROR_SUCCESS;
}

}  // namespace kesi
