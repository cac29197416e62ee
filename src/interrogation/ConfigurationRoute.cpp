#include "ConfigurationRoute.h"

#include <climits>
#include <cwchar>
#include <memory>
#include <new>

#include "Checks.h"
#include "ConfigMac.h"
#include "ConfigText.h"
#include "EvaluationRun.h"
#include "FileTransfer.h"
#include "GlobalFacts.h"
#include "Handles.h"
#include "LastError.h"
#include "LocalPath.h"
#include "LogFile.h"
#include "messages.h"

namespace kesi {

namespace {

const wchar_t* OrNull(const wchar_t* text) { return text ? text : L"null"; }

// Assigns length characters of text; false when the copy could not be made.
bool AssignSpan(RQString* target, const wchar_t* text, size_t length) {
  if (length == 0) {
    target->Free();
    return true;
  }
  if (length >= UINT_MAX) return false;
  if (target->Allocate(static_cast<unsigned>(length), 0) < length + 1 || !target->GetBuffer()) return false;
  wmemcpy(target->GetBuffer(), text, length);
  target->GetBuffer()[length] = 0;
  target->FreeConversions();
  return true;
}

bool AssignText(RQString* target, const wchar_t* text) { return AssignSpan(target, text, text ? wcslen(text) : 0); }

// A new temporary file (system temporary folder, prefix "rqinterro") that only this handle can reach: not
// shared (no other process can open, read or replace it while the route holds it) and deleted when it is
// closed. The name is never opened twice, so nothing can be swapped in between the download and the read.
DWORD CreateTempFile(kesi::UniqueFile* file) {
  wchar_t folder[MAX_PATH];
  DWORD length = GetTempPathW(MAX_PATH, folder);
  if (length == 0) return GetLastError();
  if (length >= MAX_PATH) return ERROR_BUFFER_OVERFLOW;
  DWORD error = ERROR_FILE_EXISTS;
  // GetTempFileNameW with a number of our own only forms the name; CREATE_NEW then claims it.
  UINT unique = GetTickCount() ^ GetCurrentProcessId();
  for (int attempt = 0; attempt < 100 && error == ERROR_FILE_EXISTS; ++attempt) {
    wchar_t name[MAX_PATH];
    unique = (unique + 1) & 0xFFFF;  // the name holds 16 bits of it
    if (unique == 0) unique = 1;
    if (!GetTempFileNameW(folder, L"rqinterro", unique, name)) return GetLastError();
    file->reset(CreateFileW(name, GENERIC_READ | GENERIC_WRITE | DELETE, 0, nullptr, CREATE_NEW,
                            FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr));
    error = *file ? ERROR_SUCCESS : GetLastError();
  }
  return error;
}

}  // namespace

TransferRequest ConfigurationRoute::NewRequest(const wchar_t* url) const {
  TransferRequest request;
  request.ownerWindow = transfer_.ownerWindow;
  request.url = url;
  request.allowedSecurityFlags = transfer_.allowedSecurityFlags;
  request.accessType = transfer_.accessType;
  request.requestFlags = transfer_.requestFlags;
  request.options = transfer_.options;
  request.userAgent = kInterrogatorAgent;
  return request;
}

ConfigurationRoute::ConfigurationRoute(kesi::LogFile* log) noexcept : log_(log) {}

ConfigurationRoute::~ConfigurationRoute() {
  ClearLiterals();
  credential_.Clear(true);
}

bool ConfigurationRoute::SetCredential(const wchar_t* credential) {
  credential_.Clear(true);
  credential_.Free();
  return AssignText(&credential_, credential);
}

bool ConfigurationRoute::SetConfigurationText(const wchar_t* text) { return AssignText(&configuration_, text); }

void ConfigurationRoute::ClearLiterals() {
  // One literal at a time: letting the chain of owners unwind itself would recurse once per literal.
  while (literals_) literals_ = std::move(literals_->next_);
}

void ConfigurationRoute::ClearDocument() {
  document_.reset();
  documentSize_ = 0;
}

// Reading the configuration

HRESULT ConfigurationRoute::ReadInterrogationConfiguration(const wchar_t* url, LONG* code) {
  if (!code) return E_POINTER;
  kesi::LogMsgInfo(log_, MSG_DOWNLOADING_CONFIGURATION, OrNull(url));
  // A failed read must not leave an older configuration behind for the next Run.
  configuration_.Free();

  LONG rc = kesi::kConfigEmpty;
  kesi::UniqueFile file;
  if (url && _wcsnicmp(url, L"http", 4) == 0) {
    // Downloaded into a temporary file that this one handle holds from the download to the read.
    rc = static_cast<LONG>(CreateTempFile(&file));
    if (rc == 0) {
      TransferRequest request = NewRequest(url);
      request.localFile = file.get();
      request.direction = kTransferDownload;
      request.cookies = credential_.IsEmpty() ? nullptr : static_cast<const wchar_t*>(credential_);
      rc = static_cast<LONG>(RunTransfer(request));
    }
    LARGE_INTEGER start = {};
    if (rc == 0 && !SetFilePointerEx(file.get(), start, nullptr, FILE_BEGIN)) rc = static_cast<LONG>(GetLastError());
  } else if (url) {
    // Any other text is a path, read where it stands. A configuration is a local file: a network or
    // device path is refused before any file call, as the file literals are.
    rc = static_cast<LONG>(RefusedPathStatus(ClassifyLocalPath(url)));
    if (rc == 0) {
      file.reset(CreateFileW(url, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL, nullptr));
      if (!file) rc = static_cast<LONG>(LastErrorOr(ERROR_FILE_NOT_FOUND));
    }
  }
  if (rc != 0) {
    kesi::LogMsgInfo(log_, MSG_GET_FAILED, OrNull(url), static_cast<unsigned long>(rc));
  } else {
    kesi::LogMsgInfo(log_, MSG_CONFIGURATION_DOWNLOADED);
    rc = ReadConfigurationFile(file.get());
  }
  *code = rc;
  return S_OK;
}

LONG ConfigurationRoute::ReadConfigurationFile(HANDLE file) {
  LARGE_INTEGER size = {};
  if (!GetFileSizeEx(file, &size)) return static_cast<LONG>(GetLastError());
  if (size.QuadPart >= INT_MAX) return ERROR_INVALID_DATA;
  const DWORD bytes = static_cast<DWORD>(size.QuadPart);
  std::unique_ptr<char[]> utf8(new (std::nothrow) char[bytes + 1]);
  if (!utf8) return kesi::kConfigNoMemory;
  DWORD done = 0;
  while (done < bytes) {
    DWORD read = 0;
    if (!ReadFile(file, utf8.get() + done, bytes - done, &read, nullptr)) return static_cast<LONG>(GetLastError());
    if (read == 0) break;
    done += read;
  }
  const char* text = utf8.get();
  int length = static_cast<int>(done);
  // A byte-order mark is no part of the text (it would hide the first section header).
  if (length >= 3 && static_cast<unsigned char>(text[0]) == 0xEF && static_cast<unsigned char>(text[1]) == 0xBB &&
      static_cast<unsigned char>(text[2]) == 0xBF) {
    text += 3;
    length -= 3;
  }
  if (length == 0) return 0;  // an empty configuration; Run refuses it
  int chars = MultiByteToWideChar(CP_UTF8, 0, text, length, nullptr, 0);
  if (chars <= 0) return static_cast<LONG>(GetLastError());
  if (configuration_.Allocate(static_cast<unsigned>(chars), 0) < static_cast<unsigned>(chars) + 1 ||
      !configuration_.GetBuffer())
    return kesi::kConfigNoMemory;
  MultiByteToWideChar(CP_UTF8, 0, text, length, configuration_.GetBuffer(), chars);
  configuration_.GetBuffer()[chars] = 0;
  configuration_.FreeConversions();
  return 0;
}

// Running

HRESULT ConfigurationRoute::Run(LONG* code) {
  if (!code) return E_POINTER;
  kesi::LogMsgInfo(log_, MSG_ENTER_RUN);
  ClearDocument();
  LONG rc = ParseConfiguration();
  kesi::LogMsgInfo(log_, rc != 0 ? MSG_READ_CONFIGURATION_FAILED : MSG_READ_CONFIGURATION_SUCCEEDED,
                   static_cast<unsigned long>(rc));
  if (rc == 0) {
    {
      EvaluationRun run;  // the literals share one process list and one opening of the certificate stores
      EvaluateLiterals();
    }
    kesi::LogMsgInfo(log_, MSG_EVALUATED_ALL_LITERALS);
    kesi::LogMsgInfo(log_, MSG_GENERATING_RESPONSE);
    rc = BuildDocument();
  }
  kesi::LogMsgInfo(log_, MSG_EXIT_RUN);
  *code = rc;
  return S_OK;
}

LONG ConfigurationRoute::ParseConfiguration() {
  ClearLiterals();
  const wchar_t* text = configuration_;
  if (configuration_.IsEmpty()) return kesi::kConfigEmpty;

  wchar_t mac[kConfigMacBufferChars];
  if (ReadConfigMac(text, mac, kConfigMacBufferChars) != 0) return kesi::kConfigNoMac;
  if (VerifyConfigMac(text, mac, log_) != 0) {
    kesi::LogMsgInfo(log_, MSG_CONFIGURATION_HMAC_INCORRECT);
    return kesi::kConfigBadMac;
  }

  // Literals are read from the protected text only: a line behind the end of the section (after an
  // empty line, say) is not covered by the MAC, so it is not evaluated either.
  kesi::TextSpan section;
  kesi::FindLiteralSection(text, &section);
  std::unique_ptr<wchar_t[]> copy(new (std::nothrow) wchar_t[section.length + 1]);
  if (!copy) return kesi::kConfigNoMemory;
  wmemcpy(copy.get(), section.text, section.length);
  copy[section.length] = 0;

  std::unique_ptr<ConfigLiteral>* tail = &literals_;
  const wchar_t* cursor = copy.get();
  kesi::ConfigLine line;
  kesi::NextConfigLine(&cursor, &line);  // the header
  while (kesi::NextConfigLine(&cursor, &line)) {
    kesi::TextSpan literalText;
    if (!kesi::LiteralLineText(line, &literalText)) continue;
    if (LONG rc = AddLiteral(literalText.text, literalText.length, &tail)) {
      ClearLiterals();
      return rc;
    }
  }
  return 0;
}

LONG ConfigurationRoute::AddLiteral(const wchar_t* text, size_t length, std::unique_ptr<ConfigLiteral>** tail) {
  std::unique_ptr<ConfigLiteral> literal(new (std::nothrow) ConfigLiteral());
  if (!literal) return kesi::kConfigNoMemory;
  std::unique_ptr<wchar_t[]> fields(new (std::nothrow) wchar_t[length + 1]);
  if (!fields || !AssignSpan(&literal->lineText_, text, length)) return kesi::kConfigNoMemory;
  wmemcpy(fields.get(), text, length);
  fields[length] = 0;
  kesi::ConfigLiteralFields parts;
  kesi::SplitConfigLiteral(fields.get(), &parts);
  const kesi::LiteralKindEntry* kind = FindLiteralKind(kConfigLiteralKinds, kConfigLiteralKindCount, parts.kind);
  if (kind) {
    literal->kind_ = kind->number;
    literal->check_ = kind->check;
  }
  bool stored = AssignText(&literal->literalId_, parts.id ? parts.id : L"null") &&
                AssignText(&literal->parameters_, parts.parameters);
  if (!stored) return kesi::kConfigNoMemory;
  // The checks take their text from fixed buffers of this size: a longer literal is reported FALSE rather
  // than evaluated in a cut form that would mean something else.
  if (length >= kesi::kConfigLineChars) {
    literal->checkCode_ = ERROR_INSUFFICIENT_BUFFER;
    kesi::LogInfo(log_, L"Literal %ls is %lu characters long and is not evaluated",
                  static_cast<const wchar_t*>(literal->literalId_), static_cast<unsigned long>(length));
  }
  **tail = std::move(literal);
  *tail = &(**tail)->next_;
  return 0;
}

void ConfigurationRoute::EvaluateLiterals() {
  for (ConfigLiteral* literal = literals_.get(); literal; literal = literal->Next()) {
    // This route evaluates the host and security-product kinds; the product-check engine's kinds and
    // unlisted kinds keep their "not evaluated" code.
    const bool evaluated = literal->kind_ >= kesi::kConfigKindFile && literal->kind_ <= kesi::kConfigKindCertificate;
    if (evaluated && literal->checkCode_ == kesi::kConfigNotEvaluated)
      literal->checkCode_ = RunLiteralCheck(literal->check_, literal->parameters_, &literal->value_,
                                            &literal->items_, nullptr);
    kesi::LogMsgInfo(log_, literal->value_ != 0 ? MSG_EVALUATED_TRUE : MSG_EVALUATED_FALSE,
                     static_cast<const wchar_t*>(literal->parameters_));
  }
}

LONG ConfigurationRoute::BuildDocument() {
  RQString home, system;
  kesi::EpcGlobalFacts facts;
  facts.user = ReadUserNumber();
  if (ReadUserHomeDirectory(&home)) facts.userHomeDirectory = home;
  if (ReadSystemDirectory(&system)) facts.systemDirectory = system;

  kesi::WideTextBuffer text;
  bool ok = kesi::AppendEpcHead(&text);
  for (ConfigLiteral* literal = literals_.get(); ok && literal; literal = literal->Next()) {
    kesi::EpcLiteralEntry entry;
    entry.id = literal->literalId_;
    entry.value = literal->value_ != 0;
    entry.description = literal->lineText_;
    entry.descriptionLength = literal->lineText_.GetLength();
    ok = kesi::AppendEpcLiteral(&text, entry);
  }
  ok = ok && kesi::AppendEpcTail(&text, facts);
  if (!ok) return kesi::kConfigNoMemory;
  if (text.Length() >= static_cast<size_t>(INT_MAX)) return kesi::kConfigNoMemory;

  const int chars = static_cast<int>(text.Length());
  int bytes = WideCharToMultiByte(CP_UTF8, 0, text.Text(), chars, nullptr, 0, nullptr, nullptr);
  if (bytes <= 0) return static_cast<LONG>(GetLastError());
  std::unique_ptr<char[]> utf8(new (std::nothrow) char[static_cast<size_t>(bytes) + 1]);
  if (!utf8) return kesi::kConfigNoMemory;
  WideCharToMultiByte(CP_UTF8, 0, text.Text(), chars, utf8.get(), bytes, nullptr, nullptr);
  utf8[bytes] = 0;
  document_ = std::move(utf8);
  documentSize_ = static_cast<DWORD>(bytes);
  return 0;
}

// Posting

HRESULT ConfigurationRoute::PostResult(const wchar_t* url, const wchar_t* cookie, LONG* code) {
  if (!code) return E_POINTER;
  if (cookie && wcscmp(cookie, L"0") == 0) cookie = nullptr;
  *code = Post(url, cookie, false);
  return S_OK;
}

HRESULT ConfigurationRoute::PostResult(const wchar_t* url, LONG* code) {
  if (!code) return E_POINTER;
  *code = Post(url, credential_.IsEmpty() ? nullptr : static_cast<const wchar_t*>(credential_), true);
  return S_OK;
}

LONG ConfigurationRoute::Post(const wchar_t* url, const wchar_t* cookie, bool numbered) {
  if (!document_) {
    if (numbered) kesi::LogMsgInfo(log_, MSG_POST_RESULT_NOTHING_TO_SEND);
    else kesi::LogInfo(log_, L"PostResult has been called but there is not response to send.");
    return kesi::kConfigNotEvaluated;
  }
  const unsigned long size = documentSize_;
  if (numbered) kesi::LogMsgInfo(log_, MSG_POST_RESULT, OrNull(url), size);
  else kesi::LogInfo(log_, L"PostResult to %ls xml size is %lu", OrNull(url), size);

  LONG rc = kesi::kConfigEmpty;
  location_.reset();
  if (url) {
    location_.reset(new (std::nothrow) wchar_t[kLocationChars]());
    if (!location_) {
      rc = kesi::kConfigNoMemory;
    } else {
      wchar_t header[kMacHeaderChars];
      const bool signed_ = BuildMacHeader(document_.get(), header, kMacHeaderChars);
      TransferRequest request = NewRequest(url);
      request.cookies = cookie;
      rc = static_cast<LONG>(PostTransfer(request, document_.get(), documentSize_, signed_ ? header : nullptr,
                                          location_.get(), kLocationChars));
      if (!location_[0]) location_.reset();
    }
  }

  if (rc != 0) {
    if (numbered) kesi::LogMsgInfo(log_, MSG_POST_RESULT_FAILED, OrNull(url), static_cast<unsigned long>(rc));
    else kesi::LogInfo(log_, L"PostResult failed to %ls error is %lu", OrNull(url), static_cast<unsigned long>(rc));
  } else {
    const wchar_t* location = location_ ? location_.get() : L"";
    if (numbered) kesi::LogMsgInfo(log_, MSG_POST_RESULT_SUCCEEDED, location);
    else kesi::LogInfo(log_, L"PostResult succeeded location is %ls", location);
  }
  return rc;
}

HRESULT ConfigurationRoute::GetLocation(BSTR* location) {
  if (!location) return E_POINTER;
  *location = nullptr;
  if (!location_) {
    kesi::LogMsgInfo(log_, MSG_GET_LOCATION_ZERO);
    return S_OK;
  }
  *location = SysAllocString(location_.get());
  if (!*location) return E_OUTOFMEMORY;
  kesi::LogMsgInfo(log_, MSG_GET_LOCATION_RETURNING, location_.get());
  return S_OK;
}

}  // namespace kesi
