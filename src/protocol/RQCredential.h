#pragma once
// RQCredential: a user name and a secret (a proxy password) that is only ever held in its protected form
// (CryptProtectData, with the target name as extra entropy). It can be copied between objects and
// threads, written out and read back without the plain secret existing longer than one call.
#include <windows.h>
#include <wincrypt.h>

#include "Handles.h"
#include "RQString.h"

namespace kesi {

// The target name of every credential the client makes; it is also the protection's extra entropy, so a
// secret protected under it can only be unprotected under it.
constexpr wchar_t kCredentialTargetName[] = L"{7A41C3E2-5B9D-4F08-9C6E-2D81F0B4A357}";

class RQCredential {
 public:
  // An empty credential held under targetName. protectionFlags 0 protects for the local machine (any
  // process of this machine can unprotect); non-zero protects for the current user only.
  RQCredential(const wchar_t* targetName, DWORD protectionFlags) noexcept;
  RQCredential(const RQCredential&) = delete;
  RQCredential& operator=(const RQCredential&) = delete;

  // The virtual operations below are declared in the class's fixed slot order. Results are Windows error
  // codes (0 success) unless said otherwise.

  // Forgets user and secret (the secret's memory is zeroed) and releases the strings.
  virtual ~RQCredential();
  // Writes the record: user name (UTF-16, NUL), target name (UTF-16, NUL), protection flags (4 bytes),
  // protected length L (4 bytes), L protected bytes; little-endian. A null buffer only sets *size to the
  // record's size. 87 when size is null or *size is 0, 122 (with *size set) when the buffer is too small.
  virtual DWORD Serialize(BYTE* buffer, DWORD* size);
  // user receives the user name; then as GetSecret.
  virtual DWORD GetCredential(RQString& user, BYTE* secret, DWORD* size, BOOL raw);
  // Copies the user name into userBuffer (122 when it does not fit in userCapacity characters with its
  // NUL); then as GetSecret. 87 on any null argument.
  virtual DWORD GetCredential(wchar_t* userBuffer, DWORD userCapacity, BYTE* secret, DWORD* size,
                              BOOL raw);
  // Length of the protected secret (an upper bound of the plain secret's length).
  virtual DWORD GetSecretSize();
  // raw: copies the protected bytes. Otherwise unprotects them and copies the plain bytes, zeroing the
  // temporary plain copy. *size holds the room in buffer on entry and the byte count on return; 122 when
  // the room is smaller (buffer may then be null), 87 when size is null. No secret gives 0 bytes.
  virtual DWORD GetSecret(BYTE* buffer, DWORD* size, BOOL raw);
  // The protected bytes (null when there is no secret); GetSecretSize of them.
  virtual const BYTE* GetSecretData();
  // The protected secret as Base64 text, made on first request and cached; empty when there is none.
  virtual const RQString& GetEncodedSecret();
  virtual const RQString& GetTargetName();
  virtual const RQString& GetUserName();
  virtual DWORD GetProtectionFlags();
  // Reads a record written by Serialize (the record must fill size exactly): user, target name, flags and
  // protected secret replace the current ones. 13 when the record does not hold together, 14 on memory.
  virtual DWORD Deserialize(const BYTE* buffer, DWORD size);
  // Sets the user name and protects the password's UTF-16 bytes with their terminating NUL; an empty or
  // null password leaves no secret.
  virtual DWORD SetUserAndPassword(const wchar_t* user, const wchar_t* password);
  // Forgets everything, then sets the user name and protects length bytes.
  virtual DWORD Set(const wchar_t* user, const BYTE* bytes, DWORD length);
  // Replaces the secret by a copy of an already protected blob. 87 on null.
  virtual DWORD SetProtectedSecret(const DATA_BLOB* blob);
  // Replaces the secret by the protected form of length bytes (length 0: no secret). Errors of
  // CryptProtectData are returned as GetLastError gave them.
  virtual DWORD Protect(const BYTE* bytes, DWORD length);
  // Replaces the secret by the protected bytes that text holds in Base64 (empty text: no secret). 13
  // when text holds no Base64 bytes.
  virtual DWORD SetEncodedSecret(const wchar_t* text);
  // Replaces the user name (null or empty: none).
  virtual DWORD SetUserName(const wchar_t* text);
  // Drops secret and user name.
  virtual void Forget();
  // Wipes the encoded text and zeroes and frees the protected bytes; true when the memory was released
  // (or there was none).
  virtual bool ClearSecret();

  // Copies user name, target name, protection flags and (raw) the protected secret of other.
  DWORD CopyFrom(const RQCredential& other);
  // True when a secret is held.
  bool HasSecret() const { return protectedSecret_ && protectedLength_ != 0; }

 private:
  DWORD StoreProtected(const BYTE* bytes, DWORD length);
  BYTE* Secret() const { return static_cast<BYTE*>(protectedSecret_.get()); }

  RQString userName_;
  RQString targetName_;
  RQString encodedSecret_;
  DWORD protectionFlags_;
  DWORD protectedLength_ = 0;
  UniqueLocal protectedSecret_;  // LocalAlloc'd, zero-filled
};

}  // namespace kesi
