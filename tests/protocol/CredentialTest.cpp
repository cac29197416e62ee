// RQCredential over the system's data protection: secrets held protected, records written and read back,
// and a secret protected in one process opened in another (credpeer.exe, built beside this test).
#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

#include "RQCredential.h"
#include "TestText.h"

using namespace kesi;

using kesi::kCredentialTargetName;
using kesi::RQCredential;

namespace {

std::vector<BYTE> Serialized(RQCredential& c) {
  DWORD size = 0;
  EXPECT_EQ(0u, c.Serialize(nullptr, &size));
  std::vector<BYTE> record(size);
  EXPECT_EQ(0u, c.Serialize(record.data(), &size));
  EXPECT_EQ(record.size(), size);
  return record;
}

// The plain secret as bytes (empty on failure).
std::vector<BYTE> PlainSecret(RQCredential& c, DWORD* error = nullptr) {
  std::vector<BYTE> secret(c.GetSecretSize() + 16);
  DWORD size = static_cast<DWORD>(secret.size());
  const DWORD e = c.GetSecret(secret.data(), &size, FALSE);
  if (error) *error = e;
  secret.resize(e ? 0 : size);
  return secret;
}

std::vector<BYTE> PasswordBytes(const wchar_t* password) {
  const BYTE* p = reinterpret_cast<const BYTE*>(password);
  return std::vector<BYTE>(p, p + (wcslen(password) + 1) * sizeof(wchar_t));
}

std::string Hex(const std::vector<BYTE>& bytes) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string s;
  for (BYTE b : bytes) {
    s += kDigits[b >> 4];
    s += kDigits[b & 15];
  }
  return s;
}

std::wstring WideHex(const std::vector<BYTE>& bytes) {
  const std::string s = Hex(bytes);
  return test::Widen(s);
}

std::vector<BYTE> FromHex(const std::string& text) {
  std::vector<BYTE> out;
  for (size_t i = 0; i + 1 < text.size(); i += 2) out.push_back(static_cast<BYTE>(std::stoul(text.substr(i, 2), nullptr, 16)));
  return out;
}

struct PeerResult {
  DWORD exitCode = 0xFFFFFFFF;
  std::vector<std::string> lines;
};

// Runs credpeer.exe from this test's folder and collects its output lines.
PeerResult RunPeer(const std::wstring& arguments) {
  PeerResult result;
  wchar_t self[MAX_PATH];
  const DWORD n = GetModuleFileNameW(nullptr, self, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return result;
  std::wstring path(self);
  path.resize(path.find_last_of(L'\\') + 1);
  path += L"credpeer.exe";
  std::wstring command = L"\"" + path + L"\" " + arguments;

  SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
  HANDLE readEnd = nullptr, writeEnd = nullptr;
  if (!CreatePipe(&readEnd, &writeEnd, &sa, 0)) return result;
  SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
  STARTUPINFOW si{};
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdOutput = writeEnd;
  si.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  PROCESS_INFORMATION pi{};
  std::vector<wchar_t> line(command.begin(), command.end());
  line.push_back(0);
  const BOOL started = CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi);
  CloseHandle(writeEnd);
  if (!started) {
    CloseHandle(readEnd);
    return result;
  }
  std::string output;
  char buffer[4096];
  DWORD got = 0;
  while (ReadFile(readEnd, buffer, sizeof buffer, &got, nullptr) && got) output.append(buffer, got);
  CloseHandle(readEnd);
  WaitForSingleObject(pi.hProcess, 30000);
  GetExitCodeProcess(pi.hProcess, &result.exitCode);
  CloseHandle(pi.hProcess);
  CloseHandle(pi.hThread);
  size_t start = 0;
  while (start < output.size()) {
    size_t end = output.find('\n', start);
    if (end == std::string::npos) end = output.size();
    std::string l = output.substr(start, end - start);
    if (!l.empty() && l.back() == '\r') l.pop_back();
    result.lines.push_back(l);
    start = end + 1;
  }
  return result;
}

}  // namespace

// A secret protected for the machine (flags 0) opens in another process under the same target name, in
// both directions; under another target name (another entropy) it does not.
TEST(CredentialTest, SecretCrossesProcessesUnderTheSameTargetName) {
  RQCredential mine(kCredentialTargetName, 0);
  ASSERT_EQ(0u, mine.SetUserAndPassword(L"proxyuser", L"pa55 w\u00F6rd"));
  const std::vector<BYTE> record = Serialized(mine);

  PeerResult opened = RunPeer(L"unprotect " + WideHex(record));
  ASSERT_EQ(0u, opened.exitCode);
  ASSERT_EQ(2u, opened.lines.size());
  EXPECT_EQ("proxyuser", opened.lines[0]);
  EXPECT_EQ(Hex(PasswordBytes(L"pa55 w\u00F6rd")), opened.lines[1]);

  PeerResult made = RunPeer(std::wstring(L"protect ") + kCredentialTargetName + L" 0 peeruser s3cr3t");
  ASSERT_EQ(0u, made.exitCode);
  ASSERT_EQ(1u, made.lines.size());
  const std::vector<BYTE> theirs = FromHex(made.lines[0]);
  RQCredential received(L"", 0);
  ASSERT_EQ(0u, received.Deserialize(theirs.data(), static_cast<DWORD>(theirs.size())));
  EXPECT_STREQ(L"peeruser", received.GetUserName());
  EXPECT_STREQ(kCredentialTargetName, received.GetTargetName());
  EXPECT_EQ(PasswordBytes(L"s3cr3t"), PlainSecret(received));

  // The same protected bytes under another target name.
  RQCredential renamed(L"{00000000-0000-0000-0000-000000000000}", 0);
  DATA_BLOB blob{mine.GetSecretSize(), const_cast<BYTE*>(mine.GetSecretData())};
  ASSERT_EQ(0u, renamed.SetProtectedSecret(&blob));
  const std::vector<BYTE> wrong = Serialized(renamed);
  PeerResult refused = RunPeer(L"unprotect " + WideHex(wrong));
  EXPECT_NE(0u, refused.exitCode);
  EXPECT_TRUE(refused.lines.empty());
  DWORD error = 0;
  EXPECT_TRUE(PlainSecret(renamed, &error).empty());
  EXPECT_NE(0u, error);
}

// The record's bytes, built here from its layout (not through the code under test): user name and target
// name in UTF-16LE, each with its NUL, protection flags and protected length as 4 little-endian bytes,
// then the protected bytes. A writer and a reader that agree on another order would still round-trip.
std::vector<BYTE> LayoutRecord(const std::wstring& user, const std::wstring& target, DWORD flags,
                               const std::vector<BYTE>& secret) {
  std::vector<BYTE> record;
  for (const std::wstring* text : {&user, &target}) {
    for (wchar_t c : *text) {
      record.push_back(static_cast<BYTE>(c & 0xFF));
      record.push_back(static_cast<BYTE>(c >> 8));
    }
    record.push_back(0);
    record.push_back(0);
  }
  for (DWORD value : {flags, static_cast<DWORD>(secret.size())}) {
    for (int i = 0; i < 4; ++i) record.push_back(static_cast<BYTE>(value >> (8 * i)));
  }
  record.insert(record.end(), secret.begin(), secret.end());
  return record;
}

TEST(CredentialTest, RecordBytesFollowTheLayout) {
  // Protected bytes need not be a real protection's output to be written and read.
  const std::vector<BYTE> secret = {0xDE, 0xAD, 0xBE, 0xEF, 0x01};
  const DWORD flags = 0x01020304;
  const std::vector<BYTE> expected = LayoutRecord(L"us\u00E9r", L"tgt", flags, secret);

  RQCredential written(L"tgt", flags);
  ASSERT_EQ(0u, written.SetUserName(L"us\u00E9r"));
  DATA_BLOB blob{static_cast<DWORD>(secret.size()), const_cast<BYTE*>(secret.data())};
  ASSERT_EQ(0u, written.SetProtectedSecret(&blob));
  EXPECT_EQ(Hex(expected), Hex(Serialized(written)));

  RQCredential read(L"other", 0);
  ASSERT_EQ(0u, read.Deserialize(expected.data(), static_cast<DWORD>(expected.size())));
  EXPECT_STREQ(L"us\u00E9r", read.GetUserName());
  EXPECT_STREQ(L"tgt", read.GetTargetName());
  EXPECT_EQ(flags, read.GetProtectionFlags());
  ASSERT_EQ(secret.size(), read.GetSecretSize());
  EXPECT_EQ(secret, std::vector<BYTE>(read.GetSecretData(), read.GetSecretData() + read.GetSecretSize()));
}

TEST(CredentialTest, RecordRoundTrips) {
  struct Case {
    const char* name;
    const wchar_t* target;
    DWORD flags;
    const wchar_t* user;
    const wchar_t* password;
  } cases[] = {
      {"machine", kCredentialTargetName, 0, L"alice", L"correct horse"},
      {"current user", kCredentialTargetName, 1, L"bob", L"x"},
      {"no user", kCredentialTargetName, 0, nullptr, L"only a secret"},
      {"no secret", kCredentialTargetName, 0, L"carol", nullptr},
      {"non-ASCII", L"target \u00E9\u4E2D", 0, L"J\u00FCrgen \u03A9", L"\u00DF\u00E4\u2603"},
      {"empty target", L"", 0, L"dave", L"pw"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RQCredential original(c.target, c.flags);
    ASSERT_EQ(0u, original.SetUserAndPassword(c.user, c.password));
    const std::vector<BYTE> record = Serialized(original);

    RQCredential copy(L"something else", 7);
    ASSERT_EQ(0u, copy.SetUserAndPassword(L"old user", L"old secret"));
    ASSERT_EQ(0u, copy.Deserialize(record.data(), static_cast<DWORD>(record.size())));
    EXPECT_STREQ(c.user ? c.user : L"", copy.GetUserName());
    EXPECT_STREQ(c.target, copy.GetTargetName());
    EXPECT_EQ(c.flags, copy.GetProtectionFlags());
    ASSERT_EQ(original.GetSecretSize(), copy.GetSecretSize());
    if (original.GetSecretSize()) {
      EXPECT_EQ(0, memcmp(original.GetSecretData(), copy.GetSecretData(), original.GetSecretSize()));
    }
    EXPECT_EQ(c.password ? PasswordBytes(c.password) : std::vector<BYTE>(), PlainSecret(copy));
    EXPECT_EQ(record, Serialized(copy));
  }
}

// Every cut of a valid record, and a record with bytes behind it, is refused without touching the
// credential; a length field that claims more than is there is refused too.
TEST(CredentialTest, DeserializeRefusesRecordsThatDoNotHoldTogether) {
  RQCredential original(kCredentialTargetName, 0);
  ASSERT_EQ(0u, original.SetUserAndPassword(L"erin", L"secret"));
  std::vector<BYTE> record = Serialized(original);

  RQCredential target(L"kept", 0);
  ASSERT_EQ(0u, target.SetUserAndPassword(L"kept user", L"kept secret"));
  for (size_t cut = 1; cut < record.size(); ++cut) {
    SCOPED_TRACE(cut);
    EXPECT_EQ(DWORD(ERROR_INVALID_DATA), target.Deserialize(record.data(), static_cast<DWORD>(cut)));
  }
  std::vector<BYTE> longer = record;
  longer.push_back(0);
  EXPECT_EQ(DWORD(ERROR_INVALID_DATA), target.Deserialize(longer.data(), static_cast<DWORD>(longer.size())));
  std::vector<BYTE> lying = record;
  const size_t lengthField = record.size() - original.GetSecretSize() - 4;
  lying[lengthField] += 1;
  EXPECT_EQ(DWORD(ERROR_INVALID_DATA), target.Deserialize(lying.data(), static_cast<DWORD>(lying.size())));
  EXPECT_EQ(DWORD(ERROR_INVALID_PARAMETER), target.Deserialize(nullptr, 10));

  EXPECT_STREQ(L"kept user", target.GetUserName());
  EXPECT_STREQ(L"kept", target.GetTargetName());
  EXPECT_EQ(PasswordBytes(L"kept secret"), PlainSecret(target));
}

TEST(CredentialTest, SerializeSizes) {
  RQCredential c(L"T", 0);
  ASSERT_EQ(0u, c.SetUserAndPassword(L"u", L"p"));
  DWORD size = 0;
  ASSERT_EQ(0u, c.Serialize(nullptr, &size));
  EXPECT_EQ(4u + 4u + 8u + c.GetSecretSize(), size);  // "u\0" "T\0" flags length secret
  std::vector<BYTE> buffer(size);
  DWORD small = size - 1;
  EXPECT_EQ(DWORD(ERROR_INSUFFICIENT_BUFFER), c.Serialize(buffer.data(), &small));
  EXPECT_EQ(size, small);
  DWORD zero = 0;
  EXPECT_EQ(DWORD(ERROR_INVALID_PARAMETER), c.Serialize(buffer.data(), &zero));
  EXPECT_EQ(DWORD(ERROR_INVALID_PARAMETER), c.Serialize(buffer.data(), nullptr));
}

TEST(CredentialTest, EmptyPasswordLeavesNoSecret) {
  RQCredential c(kCredentialTargetName, 0);
  ASSERT_EQ(0u, c.SetUserAndPassword(L"frank", L"earlier"));
  ASSERT_NE(0u, c.GetSecretSize());
  EXPECT_EQ(0u, c.SetUserAndPassword(L"grace", L""));
  EXPECT_STREQ(L"grace", c.GetUserName());
  EXPECT_EQ(0u, c.GetSecretSize());
  EXPECT_EQ(nullptr, c.GetSecretData());
  EXPECT_TRUE(c.GetEncodedSecret().IsEmpty());
  EXPECT_TRUE(PlainSecret(c).empty());
}

TEST(CredentialTest, EncodedSecretTravelsAsBase64) {
  RQCredential source(kCredentialTargetName, 0);
  ASSERT_EQ(0u, source.SetUserAndPassword(L"heidi", L"base64 me"));
  const RQString& encoded = source.GetEncodedSecret();
  ASSERT_FALSE(encoded.IsEmpty());
  EXPECT_EQ((source.GetSecretSize() + 2) / 3 * 4, encoded.GetLength());

  RQCredential target(kCredentialTargetName, 0);
  EXPECT_EQ(0u, target.SetEncodedSecret(encoded));
  EXPECT_EQ(PasswordBytes(L"base64 me"), PlainSecret(target));
  EXPECT_STREQ(encoded, target.GetEncodedSecret());

  EXPECT_EQ(DWORD(ERROR_INVALID_DATA), target.SetEncodedSecret(L"!!!!"));
  EXPECT_EQ(0u, target.GetSecretSize());
  EXPECT_EQ(0u, target.SetEncodedSecret(L""));
  EXPECT_EQ(0u, target.GetSecretSize());
}

TEST(CredentialTest, SecretBuffersAndCopies) {
  RQCredential c(kCredentialTargetName, 0);
  ASSERT_EQ(0u, c.Set(L"ivan", reinterpret_cast<const BYTE*>("\x01\x02\x03\x04\x05"), 5));
  BYTE buffer[1024] = {};
  DWORD size = 4;
  EXPECT_EQ(DWORD(ERROR_INSUFFICIENT_BUFFER), c.GetSecret(buffer, &size, FALSE));
  EXPECT_EQ(5u, size);
  size = c.GetSecretSize() - 1;
  EXPECT_EQ(DWORD(ERROR_INSUFFICIENT_BUFFER), c.GetSecret(buffer, &size, TRUE));
  EXPECT_EQ(c.GetSecretSize(), size);
  size = sizeof buffer;
  ASSERT_EQ(0u, c.GetSecret(buffer, &size, TRUE));
  EXPECT_EQ(0, memcmp(buffer, c.GetSecretData(), size));
  EXPECT_EQ(DWORD(ERROR_INVALID_PARAMETER), c.GetSecret(buffer, nullptr, FALSE));

  wchar_t user[5];
  size = sizeof buffer;
  EXPECT_EQ(DWORD(ERROR_INSUFFICIENT_BUFFER), c.GetCredential(user, 4, buffer, &size, FALSE));
  ASSERT_EQ(0u, c.GetCredential(user, 5, buffer, &size, FALSE));
  EXPECT_STREQ(L"ivan", user);
  EXPECT_EQ(5u, size);
  EXPECT_EQ(0, memcmp(buffer, "\x01\x02\x03\x04\x05", 5));

  // A copy stands on its own: forgetting the source leaves it whole.
  RQCredential copy(L"other", 9);
  ASSERT_EQ(0u, copy.CopyFrom(c));
  c.Forget();
  EXPECT_TRUE(c.GetUserName().IsEmpty());
  EXPECT_EQ(0u, c.GetSecretSize());
  RQString name;
  size = sizeof buffer;
  ASSERT_EQ(0u, copy.GetCredential(name, buffer, &size, FALSE));
  EXPECT_STREQ(L"ivan", name);
  EXPECT_STREQ(kCredentialTargetName, copy.GetTargetName());
  EXPECT_EQ(0u, copy.GetProtectionFlags());
  EXPECT_EQ(5u, size);

  // Copying a credential without secret drops the copy's old one.
  RQCredential bare(kCredentialTargetName, 0);
  ASSERT_EQ(0u, bare.SetUserName(L"judy"));
  ASSERT_EQ(0u, copy.CopyFrom(bare));
  EXPECT_EQ(0u, copy.GetSecretSize());
  EXPECT_STREQ(L"judy", copy.GetUserName());
}
