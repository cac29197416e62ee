#include "RQCredential.h"

#include <wincrypt.h>

#include <cstring>
#include <cwchar>
#include <memory>
#include <new>

#include "Base64.h"
#include "Handles.h"
#include "LastError.h"
#include "SecureWipe.h"

namespace kesi {
namespace {

// A blob that CryptProtectData or CryptUnprotectData returned: zeroed and released whatever happens.
class OutputBlob {
 public:
  OutputBlob() = default;
  OutputBlob(const OutputBlob&) = delete;
  OutputBlob& operator=(const OutputBlob&) = delete;
  ~OutputBlob() {
    if (blob_.pbData) SecureWipe(blob_.pbData, blob_.cbData);
    UniqueLocal memory(blob_.pbData);  // released here, keeping the last error
  }
  DATA_BLOB* put() { return &blob_; }
  const DATA_BLOB& get() const { return blob_; }

 private:
  DATA_BLOB blob_{};
};

// The target name's UTF-16 bytes without the NUL: the protection's extra entropy.
DATA_BLOB Entropy(const RQString& target) {
  DATA_BLOB e;
  e.cbData = target.GetLength() * sizeof(wchar_t);
  e.pbData = e.cbData ? reinterpret_cast<BYTE*>(const_cast<wchar_t*>(static_cast<const wchar_t*>(target)))
                      : nullptr;
  return e;
}

// Length in characters of a NUL-terminated UTF-16 text that starts at p and must end before limit;
// -1 when no NUL lies within. p need not be aligned.
long long MeasureWide(const BYTE* p, const BYTE* limit) {
  for (long long n = 0; p + 2 * n + 1 < limit; ++n) {
    if (p[2 * n] == 0 && p[2 * n + 1] == 0) return n;
  }
  return -1;
}

void PutDword(BYTE* p, DWORD v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<BYTE>(v >> (8 * i));
}

DWORD GetDword(const BYTE* p) {
  return DWORD(p[0]) | DWORD(p[1]) << 8 | DWORD(p[2]) << 16 | DWORD(p[3]) << 24;
}

// Writes n characters of text and a NUL as little-endian UTF-16; returns the position after them.
BYTE* PutWide(BYTE* p, const wchar_t* text, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    p[2 * i] = static_cast<BYTE>(text[i]);
    p[2 * i + 1] = static_cast<BYTE>(text[i] >> 8);
  }
  p[2 * n] = p[2 * n + 1] = 0;
  return p + 2 * (n + 1);
}

// Reads n characters of little-endian UTF-16 into a string.
bool GetWide(const BYTE* p, size_t n, RQString& out) {
  if (n == 0) {
    out.Free();
    return true;
  }
  if (out.Allocate(static_cast<unsigned>(n), 0) < n + 1 || !out.GetBuffer()) return false;
  wchar_t* b = out.GetBuffer();
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<wchar_t>(p[2 * i] | p[2 * i + 1] << 8);
  out.FreeConversions();
  return true;
}

}  // namespace

RQCredential::RQCredential(const wchar_t* targetName, DWORD protectionFlags) noexcept
    : targetName_(targetName), protectionFlags_(protectionFlags) {}

RQCredential::~RQCredential() { Forget(); }

DWORD RQCredential::Serialize(BYTE* buffer, DWORD* size) {
  if (!size) return ERROR_INVALID_PARAMETER;
  const unsigned userLength = userName_.GetLength();
  const unsigned targetLength = targetName_.GetLength();
  const unsigned long long need =
      2ull * (userLength + 1) + 2ull * (targetLength + 1) + 8 + protectedLength_;
  if (need > 0xFFFFFFFFull) return ERROR_INVALID_DATA;
  if (!buffer) {
    *size = static_cast<DWORD>(need);
    return 0;
  }
  if (*size == 0) return ERROR_INVALID_PARAMETER;
  if (*size < need) {
    *size = static_cast<DWORD>(need);
    return ERROR_INSUFFICIENT_BUFFER;
  }
  BYTE* p = PutWide(buffer, userName_, userLength);
  p = PutWide(p, targetName_, targetLength);
  PutDword(p, protectionFlags_);
  PutDword(p + 4, protectedLength_);
  if (protectedLength_) memcpy(p + 8, Secret(), protectedLength_);
  *size = static_cast<DWORD>(need);
  return 0;
}

DWORD RQCredential::GetCredential(RQString& user, BYTE* secret, DWORD* size, BOOL raw) {
  user.Assign(userName_);
  return GetSecret(secret, size, raw);
}

DWORD RQCredential::GetCredential(wchar_t* userBuffer, DWORD userCapacity, BYTE* secret, DWORD* size,
                                  BOOL raw) {
  if (!userBuffer || !secret || !size) return ERROR_INVALID_PARAMETER;
  const unsigned length = userName_.GetLength();
  if (length + 1 > userCapacity) return ERROR_INSUFFICIENT_BUFFER;
  memcpy(userBuffer, static_cast<const wchar_t*>(userName_), length * sizeof(wchar_t));
  userBuffer[length] = 0;
  return GetSecret(secret, size, raw);
}

DWORD RQCredential::GetSecretSize() { return protectedLength_; }

DWORD RQCredential::GetSecret(BYTE* buffer, DWORD* size, BOOL raw) {
  if (!size) return ERROR_INVALID_PARAMETER;
  if (!HasSecret()) {
    *size = 0;
    return 0;
  }
  if (raw) {
    const DWORD room = *size;
    *size = protectedLength_;
    if (!buffer || room < protectedLength_) return ERROR_INSUFFICIENT_BUFFER;
    memcpy(buffer, Secret(), protectedLength_);
    return 0;
  }
  DATA_BLOB in{protectedLength_, Secret()};
  DATA_BLOB entropy = Entropy(targetName_);
  OutputBlob plain;
  if (!CryptUnprotectData(&in, nullptr, entropy.cbData ? &entropy : nullptr, nullptr, nullptr,
                          CRYPTPROTECT_UI_FORBIDDEN, plain.put())) {
    return LastErrorOr(ERROR_INVALID_DATA);
  }
  const DWORD room = *size;
  *size = plain.get().cbData;
  if (room < plain.get().cbData || (!buffer && plain.get().cbData)) return ERROR_INSUFFICIENT_BUFFER;
  if (plain.get().cbData) memcpy(buffer, plain.get().pbData, plain.get().cbData);
  return 0;
}

const BYTE* RQCredential::GetSecretData() { return Secret(); }

const RQString& RQCredential::GetEncodedSecret() {
  if (encodedSecret_.IsEmpty() && HasSecret()) {
    const size_t room = ((size_t(protectedLength_) + 2) / 3) * 4 + 1;
    std::unique_ptr<char[]> text(new (std::nothrow) char[room]);
    if (text) {
      const int n = Base64Encode(Secret(), protectedLength_, text.get(), room);
      if (n > 0) encodedSecret_.AssignAnsi(text.get(), static_cast<unsigned>(n));
    }
  }
  return encodedSecret_;
}

const RQString& RQCredential::GetTargetName() { return targetName_; }

const RQString& RQCredential::GetUserName() { return userName_; }

DWORD RQCredential::GetProtectionFlags() { return protectionFlags_; }

DWORD RQCredential::Deserialize(const BYTE* buffer, DWORD size) {
  if (!buffer || size == 0) return ERROR_INVALID_PARAMETER;
  const BYTE* const end = buffer + size;
  const long long userLength = MeasureWide(buffer, end);
  if (userLength < 0) return ERROR_INVALID_DATA;
  const BYTE* target = buffer + 2 * (userLength + 1);
  const long long targetLength = MeasureWide(target, end);
  if (targetLength < 0) return ERROR_INVALID_DATA;
  const BYTE* fields = target + 2 * (targetLength + 1);
  if (end - fields < 8) return ERROR_INVALID_DATA;
  const DWORD flags = GetDword(fields);
  const DWORD length = GetDword(fields + 4);
  // The protected bytes fill the rest of the record exactly: a record that is cut short or carries
  // anything behind them is not one that Serialize wrote.
  if (static_cast<unsigned long long>(end - (fields + 8)) != length) return ERROR_INVALID_DATA;

  RQString user, name;
  if (!GetWide(buffer, static_cast<size_t>(userLength), user) ||
      !GetWide(target, static_cast<size_t>(targetLength), name)) {
    return ERROR_OUTOFMEMORY;
  }
  Forget();
  if (length) {
    const DWORD e = StoreProtected(fields + 8, length);
    if (e) return e;
  }
  userName_.Assign(user);
  targetName_.Assign(name);
  protectionFlags_ = flags;
  return 0;
}

DWORD RQCredential::SetUserAndPassword(const wchar_t* user, const wchar_t* password) {
  SetUserName(user);
  if (!password || !*password) {
    ClearSecret();
    return 0;
  }
  const size_t bytes = (wcslen(password) + 1) * sizeof(wchar_t);
  if (bytes > 0xFFFFFFFFu) return ERROR_INVALID_PARAMETER;
  return Protect(reinterpret_cast<const BYTE*>(password), static_cast<DWORD>(bytes));
}

DWORD RQCredential::Set(const wchar_t* user, const BYTE* bytes, DWORD length) {
  Forget();
  SetUserName(user);
  return Protect(bytes, length);
}

DWORD RQCredential::SetProtectedSecret(const DATA_BLOB* blob) {
  if (!blob) return ERROR_INVALID_PARAMETER;
  ClearSecret();
  if (blob->cbData == 0) return 0;
  if (!blob->pbData) return ERROR_INVALID_PARAMETER;
  return StoreProtected(blob->pbData, blob->cbData);
}

DWORD RQCredential::Protect(const BYTE* bytes, DWORD length) {
  ClearSecret();
  if (length == 0) return 0;
  if (!bytes) return ERROR_INVALID_PARAMETER;
  DATA_BLOB in{length, const_cast<BYTE*>(bytes)};
  DATA_BLOB entropy = Entropy(targetName_);
  DWORD flags = CRYPTPROTECT_UI_FORBIDDEN;
  if (protectionFlags_ == 0) flags |= CRYPTPROTECT_LOCAL_MACHINE;
  OutputBlob out;
  if (!CryptProtectData(&in, L"SecurityEncryptData", entropy.cbData ? &entropy : nullptr, nullptr,
                        nullptr, flags, out.put())) {
    return LastErrorOr(ERROR_INVALID_DATA);
  }
  return StoreProtected(out.get().pbData, out.get().cbData);
}

DWORD RQCredential::SetEncodedSecret(const wchar_t* text) {
  ClearSecret();
  if (!text || !*text) return 0;
  encodedSecret_.Assign(text, static_cast<unsigned>(wcslen(text)));
  const char* ansi = encodedSecret_.GetAnsi();
  size_t room = (strlen(ansi) / 4) * 3 + 3;
  std::unique_ptr<BYTE[]> bytes(new (std::nothrow) BYTE[room]);
  if (!bytes) return ERROR_OUTOFMEMORY;
  if (Base64Decode(ansi, bytes.get(), &room) != 0 || room == 0) {
    encodedSecret_.Clear(true);
    return ERROR_INVALID_DATA;
  }
  DATA_BLOB blob{static_cast<DWORD>(room), bytes.get()};
  return SetProtectedSecret(&blob);
}

DWORD RQCredential::SetUserName(const wchar_t* text) {
  userName_.Clear(true);
  if (text && *text) userName_.Assign(text, static_cast<unsigned>(wcslen(text)));
  return 0;
}

void RQCredential::Forget() {
  ClearSecret();
  userName_.Clear(true);
}

bool RQCredential::ClearSecret() {
  encodedSecret_.Clear(true);
  if (!protectedSecret_) {
    protectedLength_ = 0;
    return true;
  }
  SecureWipe(Secret(), protectedLength_);
  protectedLength_ = 0;
  // Freed here rather than through the owner's reset: whether the release succeeded is the result.
  return LocalFree(protectedSecret_.release()) == nullptr;
}

DWORD RQCredential::CopyFrom(const RQCredential& other) {
  if (&other == this) return 0;
  ClearSecret();
  userName_.Clear(true);
  userName_.Assign(other.userName_);
  targetName_.Assign(other.targetName_);
  protectionFlags_ = other.protectionFlags_;
  if (other.HasSecret()) return StoreProtected(other.Secret(), other.protectedLength_);
  return 0;
}

DWORD RQCredential::StoreProtected(const BYTE* bytes, DWORD length) {
  UniqueLocal copy(LocalAlloc(LMEM_FIXED | LMEM_ZEROINIT, length));
  if (!copy) return ERROR_OUTOFMEMORY;
  memcpy(copy.get(), bytes, length);
  protectedSecret_ = std::move(copy);
  protectedLength_ = length;
  return 0;
}

}  // namespace kesi
