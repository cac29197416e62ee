#pragma once
// The configuration-file route of the interrogation: fetch a configuration (by HTTP or HTTPS, or by
// copying a file path), check its MAC, evaluate its literals one by one, build the epcData document and
// post it back with its MAC in the "X-Velmora-MAC" header, keeping the Location the server answers.
//
// These are operations of the interrogator object; the object keeps one ConfigurationRoute and forwards
// to it, so the route holds what the object would: the credential, the configuration text, the literal
// list, the document and the post location. Operations return S_OK (E_POINTER for a null out argument)
// and put their outcome into *code, as the object's methods do. Unlike the logon route, literals are not
// grouped into results: each carries its own verdict.
//
// One thread at a time, like the object.
#include <windows.h>
#include <oleauto.h>
#include <wininet.h>

#include <memory>

#include "FileTransfer.h"
#include "ItemQueue.h"
#include "LiteralLine.h"
#include "RQString.h"

namespace kesi {

class LogFile;

// The user agent of every request the route makes.
constexpr wchar_t kInterrogatorAgent[] = L"Velmora Interrogator";
// Characters of the post location, terminator included.
constexpr DWORD kLocationChars = 1024;

// One literal of a configuration, in file order.
class ConfigLiteral {
 public:
  ConfigLiteral() noexcept = default;
  ConfigLiteral(const ConfigLiteral&) = delete;
  ConfigLiteral& operator=(const ConfigLiteral&) = delete;

  ConfigLiteral* Next() const { return next_.get(); }
  // The configuration kind number (ConfigText.h); 0 for an unlisted kind.
  int Kind() const { return kind_; }
  // Everything behind the id, unparsed.
  const RQString& Parameters() const { return parameters_; }
  // The second field; "null" when there is none.
  const RQString& LiteralId() const { return literalId_; }
  // The text behind "Literal<n>=".
  const RQString& LineText() const { return lineText_; }
  // 0 FALSE; the check writes 1 for TRUE.
  LONG Value() const { return value_; }
  // Texts a certificate check attaches.
  ItemQueue* Items() { return &items_; }
  // The check's status; -503 until it ran, 122 for a literal too long to be evaluated.
  LONG CheckCode() const { return checkCode_; }

 private:
  friend class ConfigurationRoute;
  std::unique_ptr<ConfigLiteral> next_;
  int kind_ = 0;
  LiteralCheck check_ = LiteralCheck::kNone;
  RQString parameters_;
  RQString literalId_;
  RQString lineText_;
  LONG value_ = 0;
  ItemQueue items_;
  LONG checkCode_ = -503;
};

// How the route's requests go out (WinINet settings of the file transfer, FileTransfer.h).
struct ConfigTransferSettings {
  HWND ownerWindow = nullptr;
  DWORD allowedSecurityFlags = 0;  // certificate problems that may be ignored
  DWORD accessType = INTERNET_OPEN_TYPE_PRECONFIG;
  DWORD requestFlags = 0;
  DWORD options = 0;               // kTransferNoDialogs to never show WinINet's error dialog
};

class ConfigurationRoute {
 public:
  // log (may be null) is the interrogator's log ("KESInterrogator.log"), opened with the message table.
  explicit ConfigurationRoute(kesi::LogFile* log = nullptr) noexcept;
  ~ConfigurationRoute();
  ConfigurationRoute(const ConfigurationRoute&) = delete;
  ConfigurationRoute& operator=(const ConfigurationRoute&) = delete;

  void SetLog(kesi::LogFile* log) { log_ = log; }
  // The session credential: the cookie text of the download and of the post without a cookie argument.
  // False when memory ran out (the credential is then empty).
  bool SetCredential(const wchar_t* credential);
  ConfigTransferSettings& Transfer() { return transfer_; }

  // Fetches the configuration at url and reads it as UTF-8: an "http" URL (any case) through the HTTP
  // transfer into a temporary file that one exclusive handle holds until it is read (deleted on close),
  // anything else as a local file path. The previous text is dropped first. Codes: 0, -500 for a null
  // url, 53 for a network path and 161 for a device path (LocalPath.h; nothing is opened), a Win32 or
  // WinINet code, 13 for a file too large.
  HRESULT ReadInterrogationConfiguration(const wchar_t* url, LONG* code);
  // Checks the configuration's MAC, evaluates its literals and builds the document. Codes: 0, -500 (no
  // configuration), -504 (no MAC), -505 (no literal section or a wrong MAC), -502 (out of memory). The
  // previous document is dropped first, so a refused configuration leaves nothing to post.
  HRESULT Run(LONG* code);
  // Posts the document to url with cookie ("0" or null: none). Codes: 0, -500 for a null url, -503 when
  // there is no document, or the transfer's code.
  HRESULT PostResult(const wchar_t* url, const wchar_t* cookie, LONG* code);
  // The same with the credential as cookie, logged with numbered messages.
  HRESULT PostResult(const wchar_t* url, LONG* code);
  // A copy of the post location, or null when the last post returned none.
  HRESULT GetLocation(BSTR* location);

  // What the operations above work on.
  const RQString& ConfigurationText() const { return configuration_; }
  // Replaces the configuration text (as a read would); false when memory ran out.
  bool SetConfigurationText(const wchar_t* text);
  ConfigLiteral* FirstLiteral() const { return literals_.get(); }
  // The document as UTF-8, zero-terminated; null when there is none.
  const char* Document() const { return document_.get(); }
  DWORD DocumentSize() const { return documentSize_; }
  // The location of the last post; null when there is none.
  const wchar_t* Location() const { return location_.get(); }

 private:
  LONG ParseConfiguration();
  LONG AddLiteral(const wchar_t* text, size_t length, std::unique_ptr<ConfigLiteral>** tail);
  void EvaluateLiterals();
  LONG BuildDocument();
  LONG Post(const wchar_t* url, const wchar_t* cookie, bool numbered);
  // A transfer to url with the route's settings and user agent.
  TransferRequest NewRequest(const wchar_t* url) const;
  // Reads the configuration from the start of file (held open by the caller).
  LONG ReadConfigurationFile(HANDLE file);
  void ClearLiterals();
  void ClearDocument();

  kesi::LogFile* log_;
  RQString credential_;
  ConfigTransferSettings transfer_;
  RQString configuration_;
  std::unique_ptr<ConfigLiteral> literals_;
  std::unique_ptr<char[]> document_;
  DWORD documentSize_ = 0;
  std::unique_ptr<wchar_t[]> location_;
};

}  // namespace kesi
