#pragma once
// CModuleVersion: the version resource of a file or loaded module: its fixed file version and the texts
// of its string table (in the resource's first translation, "040904E4" when it lists none).
#include <windows.h>

namespace kesi {

class CModuleVersion {
 public:
  CModuleVersion();
  CModuleVersion(const CModuleVersion&) = delete;
  CModuleVersion& operator=(const CModuleVersion&) = delete;

  // The virtual operations below are declared in the class's fixed slot order.

  // Releases path and version data.
  virtual ~CModuleVersion();
  // The "Comments" text, or an empty text.
  virtual const wchar_t* GetComments();
  // The "CompanyName" text, or an empty text.
  virtual const wchar_t* GetCompanyName();
  // The "LegalCopyright" text, or an empty text.
  virtual const wchar_t* GetLegalNotice();
  // The "FileDescription" text, or an empty text.
  virtual const wchar_t* GetFileDescription();
  // The file version, with " (comments)" after it when there are comments; at most 79 characters.
  virtual const wchar_t* GetDisplayVersion();
  // The path loaded, or an empty text.
  virtual const wchar_t* GetPath() const;
  // Reads the version resource of the file at path: 0, 87 (no path, or longer than 259 characters), 14,
  // 31 (no version resource or no fixed information) or the error of GetFileVersionInfoW.
  virtual DWORD Load(const wchar_t* path);
  // The four parts of the fixed file version (each out-argument optional); 1 when loaded, else 0.
  virtual DWORD GetFileVersion(WORD* major, WORD* minor, WORD* build, WORD* revision) const;
  // The fixed file version's high and low halves; 0 when not loaded.
  virtual DWORD GetFileVersionMS() const;
  virtual DWORD GetFileVersionLS() const;
  // Load of the module's own file (GetModuleFileNameW; null is the program); 122 when its path does not
  // fit in 260 characters.
  virtual DWORD LoadModule(HMODULE module);
  // The "ProductName" text, or an empty text.
  virtual const wchar_t* GetProductName();
  // The "ProductVersion" text, or an empty text.
  virtual const wchar_t* GetProductVersion();
  // The fixed file version as "major.minor.build.revision"; empty when not loaded.
  virtual const wchar_t* GetFileVersionText();
  // The "FileVersion" text of the string table, or an empty text.
  virtual const wchar_t* GetFileVersionString();
  // Releases path and version data and forgets the cached texts.
  virtual void Free();
  // Picks the translation of the string queries: the resource's first language and code page, else
  // "040904E4". Does nothing when one is already set or nothing is loaded.
  virtual void LoadTranslation();
  // The string-table value at the query made from format with the translation in place of its "%s"
  // (e.g. "\\StringFileInfo\\%s\\Comments"); an empty text when absent. Lives as long as the data.
  virtual const wchar_t* GetString(const wchar_t* format);

 private:
  wchar_t* path_;
  void* data_;  // from GlobalAlloc, filled by GetFileVersionInfoW
  wchar_t translation_[9];
  wchar_t fileVersionText_[40];
  wchar_t displayVersion_[80];
  VS_FIXEDFILEINFO* fixedInfo_;
  DWORD dataSize_;
};

}  // namespace kesi
