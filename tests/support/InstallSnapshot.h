#pragma once
// What an install run may change, recorded before and compared after: the file trees under given folders
// (name, size, content hash, attributes), given registry subtrees (value names, types and data), single
// files (the catalog) and the PendingFileRenameOperations value. A failed run must leave all of it as it
// was; Difference() names what changed.
#include <windows.h>

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "Handles.h"
#include "HexText.h"
#include "Sha1.h"
#include "TestFiles.h"
#include "TestText.h"

namespace kesi::test {

constexpr wchar_t kSessionManagerKey[] = L"SYSTEM\\CurrentControlSet\\Control\\Session Manager";
constexpr wchar_t kPendingRenamesValue[] = L"PendingFileRenameOperations";

// The raw bytes of a registry value, with its type in front ("" when it is missing).
inline std::string RegistryValueBytes(HKEY root, const wchar_t* key, const wchar_t* name) {
  UniqueKey opened;
  if (RegOpenKeyExW(root, key, 0, KEY_QUERY_VALUE, opened.put()) != ERROR_SUCCESS) return "";
  DWORD type = 0, bytes = 0;
  if (RegQueryValueExW(opened.get(), name, nullptr, &type, nullptr, &bytes) != ERROR_SUCCESS) return "";
  std::string data(bytes, '\0');
  if (RegQueryValueExW(opened.get(), name, nullptr, &type, reinterpret_cast<BYTE*>(&data[0]), &bytes) != ERROR_SUCCESS)
    return "";
  data.resize(bytes);
  return std::to_string(type) + ":" + data;
}

// The strings of the PendingFileRenameOperations value (empty strings, the deletion targets, included).
inline std::vector<std::wstring> PendingRenames() {
  std::vector<std::wstring> entries;
  std::string bytes = RegistryValueBytes(HKEY_LOCAL_MACHINE, kSessionManagerKey, kPendingRenamesValue);
  const size_t colon = bytes.find(':');
  if (colon == std::string::npos) return entries;
  bytes.erase(0, colon + 1);
  const std::wstring text(reinterpret_cast<const wchar_t*>(bytes.data()), bytes.size() / sizeof(wchar_t));
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find(L'\0', start);
    if (end == std::wstring::npos) end = text.size();
    entries.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  while (!entries.empty() && entries.back().empty()) entries.pop_back();
  return entries;
}

// Saves PendingFileRenameOperations and puts it back (or deletes it) with the object: a test that makes
// the engine schedule deletions leaves the prefix's list as it found it.
class PendingRenamesGuard {
 public:
  PendingRenamesGuard() { saved_ = Read(&type_, &existed_); }
  ~PendingRenamesGuard() {
    UniqueKey key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSessionManagerKey, 0, KEY_SET_VALUE, key.put()) != ERROR_SUCCESS) return;
    if (existed_)
      RegSetValueExW(key.get(), kPendingRenamesValue, 0, type_, reinterpret_cast<const BYTE*>(saved_.data()),
                     static_cast<DWORD>(saved_.size()));
    else
      RegDeleteValueW(key.get(), kPendingRenamesValue);
  }
  PendingRenamesGuard(const PendingRenamesGuard&) = delete;
  PendingRenamesGuard& operator=(const PendingRenamesGuard&) = delete;

 private:
  static std::string Read(DWORD* type, bool* existed) {
    *existed = false;
    UniqueKey key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSessionManagerKey, 0, KEY_QUERY_VALUE, key.put()) != ERROR_SUCCESS) return "";
    DWORD bytes = 0;
    if (RegQueryValueExW(key.get(), kPendingRenamesValue, nullptr, type, nullptr, &bytes) != ERROR_SUCCESS) return "";
    std::string data(bytes, '\0');
    if (RegQueryValueExW(key.get(), kPendingRenamesValue, nullptr, type, reinterpret_cast<BYTE*>(&data[0]), &bytes) !=
        ERROR_SUCCESS)
      return "";
    *existed = true;
    data.resize(bytes);
    return data;
  }

  std::string saved_;
  DWORD type_ = REG_MULTI_SZ;
  bool existed_ = false;
};

class InstallSnapshot {
 public:
  // What to record; call before Take().
  InstallSnapshot& Folder(const std::wstring& folder) {
    folders_.push_back(folder);
    return *this;
  }
  InstallSnapshot& RegistryTree(HKEY root, const std::wstring& key) {
    keys_.emplace_back(root, key);
    return *this;
  }
  InstallSnapshot& File(const std::wstring& path) {
    files_.push_back(path);
    return *this;
  }

  // Records everything named: a map of "what" to a description of its state.
  InstallSnapshot& Take() {
    state_.clear();
    for (const std::wstring& folder : folders_) AddTree(folder, folder);
    for (const auto& key : keys_) AddKey(key.first, key.second);
    for (const std::wstring& file : files_) state_["file " + Narrow(file)] = Describe(file);
    const std::string pending = RegistryValueBytes(HKEY_LOCAL_MACHINE, kSessionManagerKey, kPendingRenamesValue);
    state_["PendingFileRenameOperations"] = Hash(pending);
    return *this;
  }

  // "" when now is the same as this snapshot; else one line per difference.
  std::string Difference(const InstallSnapshot& now) const {
    std::string out;
    for (const auto& entry : state_) {
      auto other = now.state_.find(entry.first);
      if (other == now.state_.end()) out += "gone: " + entry.first + "\n";
      else if (other->second != entry.second) out += "changed: " + entry.first + " (" + entry.second + " -> " + other->second + ")\n";
    }
    for (const auto& entry : now.state_)
      if (!state_.count(entry.first)) out += "new: " + entry.first + " (" + entry.second + ")\n";
    return out;
  }

  // A second snapshot of the same things, taken now.
  InstallSnapshot Again() const {
    InstallSnapshot again;
    again.folders_ = folders_;
    again.keys_ = keys_;
    again.files_ = files_;
    again.Take();
    return again;
  }

 private:
  static std::string Hash(const std::string& bytes) {
    unsigned char digest[kSha1DigestSize];
    Sha1Digest(bytes.data(), bytes.size(), digest);
    char hex[2 * kSha1DigestSize + 1];
    size_t length = sizeof hex;
    BytesToHex(digest, kSha1DigestSize, hex, &length);
    return std::to_string(bytes.size()) + " bytes sha1 " + std::string(hex, 12);
  }

  static std::string Describe(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return "missing";
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) return "folder attributes " + std::to_string(attributes);
    return Hash(ReadWholeFile(path)) + " attributes " + std::to_string(attributes);
  }

  void AddTree(const std::wstring& root, const std::wstring& folder) {
    state_["path " + Narrow(folder)] = Describe(folder);
    WIN32_FIND_DATAW found;
    UniqueFind search(FindFirstFileW((folder + L"\\*").c_str(), &found));
    if (!search) return;
    do {
      const std::wstring name = found.cFileName;
      if (name == L"." || name == L"..") continue;
      const std::wstring path = folder + L"\\" + name;
      if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) AddTree(root, path);
      else state_["path " + Narrow(path)] = Describe(path);
    } while (FindNextFileW(search.get(), &found));
  }

  void AddKey(HKEY root, const std::wstring& path) {
    UniqueKey key;
    if (RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, key.put()) != ERROR_SUCCESS) {
      state_["key " + Narrow(path)] = "missing";
      return;
    }
    state_["key " + Narrow(path)] = "present";
    for (DWORD i = 0;; ++i) {
      wchar_t name[16384];
      DWORD nameChars = 16384, type = 0, bytes = 0;
      if (RegEnumValueW(key.get(), i, name, &nameChars, nullptr, &type, nullptr, &bytes) != ERROR_SUCCESS) break;
      std::string data(bytes, '\0');
      nameChars = 16384;
      RegEnumValueW(key.get(), i, name, &nameChars, nullptr, &type, reinterpret_cast<BYTE*>(&data[0]), &bytes);
      state_["value " + Narrow(path) + "\\" + Narrow(name)] = "type " + std::to_string(type) + " " + Hash(data);
    }
    std::vector<std::wstring> subkeys;
    for (DWORD i = 0;; ++i) {
      wchar_t name[256];
      DWORD nameChars = 256;
      if (RegEnumKeyExW(key.get(), i, name, &nameChars, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
      subkeys.push_back(name);
    }
    key.reset();
    for (const std::wstring& subkey : subkeys) AddKey(root, path + L"\\" + subkey);
  }

  std::vector<std::wstring> folders_;
  std::vector<std::pair<HKEY, std::wstring>> keys_;
  std::vector<std::wstring> files_;
  std::map<std::string, std::string> state_;
};

}  // namespace kesi::test
