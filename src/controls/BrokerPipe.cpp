#include "BrokerPipe.h"

#include <shlobj.h>

#include <memory>

#include "BrokerCommand.h"
#include "ControlsSystem.h"
#include "LastError.h"

namespace kesi::controls {
namespace {

// The rights each of the two trustees gets; generic read and write include creating further instances
// (FILE_APPEND_DATA) and the client's change to message read mode.
constexpr DWORD kPipeRights = GENERIC_READ | GENERIC_WRITE;

// A security descriptor whose DACL grants kPipeRights to the process's user and to SYSTEM only, and
// does not inherit from the parent.
class OwnerOnlyDescriptor {
 public:
  DWORD Build() {
    UniqueHandle token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.put())) return LastErrorOr(ERROR_ACCESS_DENIED);
    DWORD size = 0;
    GetTokenInformation(token.get(), TokenUser, nullptr, 0, &size);
    if (size == 0) return LastErrorOr(ERROR_INVALID_DATA);
    user_.reset(new (std::nothrow) BYTE[size]);
    if (!user_) return ERROR_OUTOFMEMORY;
    if (!GetTokenInformation(token.get(), TokenUser, user_.get(), size, &size)) return LastErrorOr(ERROR_INVALID_DATA);
    PSID userSid = reinterpret_cast<TOKEN_USER*>(user_.get())->User.Sid;

    DWORD systemSize = sizeof system_;
    if (!CreateWellKnownSid(WinLocalSystemSid, nullptr, system_, &systemSize)) return LastErrorOr(ERROR_INVALID_SID);

    const DWORD aclSize = sizeof(ACL) + 2 * (sizeof(ACCESS_ALLOWED_ACE) - sizeof(DWORD)) + GetLengthSid(userSid) +
                          GetLengthSid(system_);
    acl_.reset(new (std::nothrow) BYTE[aclSize]);
    if (!acl_) return ERROR_OUTOFMEMORY;
    PACL acl = reinterpret_cast<PACL>(acl_.get());
    if (!InitializeAcl(acl, aclSize, ACL_REVISION) || !AddAccessAllowedAce(acl, ACL_REVISION, kPipeRights, userSid) ||
        !AddAccessAllowedAce(acl, ACL_REVISION, kPipeRights, system_) ||
        !InitializeSecurityDescriptor(&descriptor_, SECURITY_DESCRIPTOR_REVISION) ||
        !SetSecurityDescriptorDacl(&descriptor_, TRUE, acl, FALSE) ||
        !SetSecurityDescriptorControl(&descriptor_, SE_DACL_PROTECTED, SE_DACL_PROTECTED))
      return LastErrorOr(ERROR_INVALID_ACL);
    return 0;
  }
  SECURITY_DESCRIPTOR* Get() { return &descriptor_; }

 private:
  std::unique_ptr<BYTE[]> user_;
  BYTE system_[SECURITY_MAX_SID_SIZE] = {};
  std::unique_ptr<BYTE[]> acl_;
  SECURITY_DESCRIPTOR descriptor_ = {};
};

// Waits for an overlapped operation on pipe that has been started (pending or already done) until it
// ends, timeoutMs pass or peer (when not null) is signalled; a time-out or the peer's end cancels it.
// 0 with *bytes; else the operation's error (ERROR_MORE_DATA with *bytes), ERROR_TIMEOUT, or peerGone.
DWORD FinishOverlapped(HANDLE pipe, OVERLAPPED* overlapped, HANDLE peer, DWORD timeoutMs, DWORD peerGone,
                       DWORD* bytes) {
  const HANDLE waits[2] = {overlapped->hEvent, peer};
  const DWORD waited = WaitForMultipleObjects(peer ? 2 : 1, waits, FALSE, timeoutMs);
  DWORD ended = 0;
  if (waited != WAIT_OBJECT_0) {
    ended = waited == WAIT_TIMEOUT ? ERROR_TIMEOUT
            : waited == WAIT_OBJECT_0 + 1 ? peerGone
                                          : LastErrorOr(ERROR_INVALID_HANDLE);
    CancelIoEx(pipe, overlapped);
  }
  DWORD got = 0;
  if (GetOverlappedResult(pipe, overlapped, &got, TRUE)) {  // it may have ended just before the cancel
    *bytes = got;
    return 0;
  }
  const DWORD error = LastErrorOr(ERROR_OPERATION_ABORTED);
  *bytes = got;
  return ended && error == ERROR_OPERATION_ABORTED ? ended : error;
}


bool IsBroker(const BrokerIdentity& broker, DWORD clientId) {
  if (broker.processId) return clientId == broker.processId;
  if (broker.imagePath.empty()) return false;
  std::wstring image;
  if (CurrentControlsSystem().processImagePath(clientId, &image) != 0) return false;
  return CompareStringOrdinal(image.c_str(), static_cast<int>(image.size()), broker.imagePath.c_str(),
                              static_cast<int>(broker.imagePath.size()), TRUE) == CSTR_EQUAL;
}

}  // namespace

DWORD TransferOnPipe(HANDLE pipe, bool write, void* buffer, DWORD size, HANDLE peer, DWORD timeoutMs, DWORD* bytes) {
  *bytes = 0;
  UniqueHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  if (!event) return LastErrorOr(ERROR_OUTOFMEMORY);
  OVERLAPPED overlapped = {};
  overlapped.hEvent = event.get();
  const BOOL started = write ? WriteFile(pipe, buffer, size, nullptr, &overlapped)
                             : ReadFile(pipe, buffer, size, nullptr, &overlapped);
  if (!started) {
    const DWORD error = GetLastError();
    if (error != ERROR_IO_PENDING && error != ERROR_MORE_DATA) return error ? error : ERROR_GEN_FAILURE;
  }
  return FinishOverlapped(pipe, &overlapped, peer, timeoutMs, ERROR_BROKEN_PIPE, bytes);
}

DWORD BrokerProgramPath(std::wstring* path) {
  wchar_t folder[MAX_PATH];
  const HRESULT hr = SHGetFolderPathW(nullptr, CSIDL_APPDATA | CSIDL_FLAG_CREATE, nullptr, SHGFP_TYPE_CURRENT, folder);
  if (FAILED(hr)) return HRESULT_FACILITY(hr) == FACILITY_WIN32 ? HRESULT_CODE(hr) : static_cast<DWORD>(hr);
  path->assign(folder);
  path->append(L"\\Velmora\\kesi\\");
  path->append(kBrokerProgramName);
  return 0;
}

DWORD CreateBrokerPipeInstance(DWORD bufferBytes, UniqueFile* pipe) {
  OwnerOnlyDescriptor descriptor;
  const DWORD error = descriptor.Build();
  if (error) return error;
  SECURITY_ATTRIBUTES attributes = {sizeof attributes, descriptor.Get(), FALSE};
  pipe->reset(CreateNamedPipeW(kBrokerPipeName, PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                               PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS,
                               PIPE_UNLIMITED_INSTANCES, bufferBytes, bufferBytes, 0, &attributes));
  return *pipe ? 0 : LastErrorOr(ERROR_PIPE_BUSY);
}

DWORD WaitForBroker(HANDLE pipe, const BrokerIdentity& broker, DWORD timeoutMs, LogFile* log, DWORD* clientId) {
  LogInfo(log, L"kesiVista::pipeThread - Named Pipe server: Waiting for client connection");
  UniqueHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  DWORD error = event ? 0 : LastErrorOr(ERROR_OUTOFMEMORY);
  const ULONGLONG deadline = GetTickCount64() + timeoutMs;
  bool refused = false;
  while (!error) {
    const ULONGLONG now = GetTickCount64();
    OVERLAPPED overlapped = {};
    overlapped.hEvent = event.get();
    if (!ConnectNamedPipe(pipe, &overlapped)) {
      error = GetLastError();
      if (error == ERROR_PIPE_CONNECTED) {  // the client came before the wait
        error = 0;
      } else if (error == ERROR_IO_PENDING) {
        DWORD unused = 0;
        error = FinishOverlapped(pipe, &overlapped, broker.process, now < deadline ? DWORD(deadline - now) : 0,
                                 ERROR_PIPE_NOT_CONNECTED, &unused);
      } else if (error == 0) {
        error = ERROR_PIPE_NOT_CONNECTED;
      }
    }
    if (error) break;

    DWORD id = 0;
    if (GetNamedPipeClientProcessId(pipe, &id) && IsBroker(broker, id)) {
      *clientId = id;
      LogInfo(log, L"KESInterrogator::remoteIt named pipe connection established");
      return 0;
    }
    // Someone else took the instance: it learns nothing, and the broker may still come.
    refused = true;
    LogError(log, L"KESInterrogator::remoteIt - pipe client (process %u) is not the broker; disconnected", id);
    DisconnectNamedPipe(pipe);
  }
  if (error == ERROR_TIMEOUT && refused) error = ERROR_ACCESS_DENIED;
  LogError(log, L"kesiVista::pipeThread - Error occurred on client connection: %d", static_cast<int>(error));
  return error;
}

DWORD ExchangeBrokerCommand(HANDLE pipe, DWORD clientId, const std::wstring& line, DWORD* result, LogFile* log) {
  const ControlsSystem& system = CurrentControlsSystem();
  std::string message = EncodeBrokerMessage(line);
  const DWORD textBytes = static_cast<DWORD>(message.size() - kBrokerLengthBytes);
  LogInfo(log, L"KESInterrogator::remoteIt cmdLine length %d", static_cast<int>(textBytes));
  LogInfo(log, L"KESInterrogator::remoteIt commandLine %s", CommandLineForLog(line).c_str());
  // The broker's exit ends every wait at once; without a handle only the bounds do.
  UniqueHandle client(OpenProcess(SYNCHRONIZE, FALSE, clientId));

  DWORD done = 0;
  DWORD error = TransferOnPipe(pipe, true, &message[0], kBrokerLengthBytes, client.get(), system.brokerWriteMs, &done);
  if (!error && done == 0) error = ERROR_WRITE_FAULT;
  if (error) {
    LogError(log, L"KESInterrogator::remoteIt - Error occurred while writing data length to client: %d",
             static_cast<int>(error));
    return error;
  }
  LogInfo(log, L"KESInterrogator::remoteIt wrote length on named pipe");

  for (DWORD sent = 0; sent < textBytes; sent += done) {
    error = TransferOnPipe(pipe, true, &message[kBrokerLengthBytes + sent], textBytes - sent, client.get(),
                     system.brokerWriteMs, &done);
    if (!error && done == 0) error = ERROR_WRITE_FAULT;
    if (error) {
      LogError(log, L"KESInterrogator::remoteIt - Error occurred while writing data to client: %d",
               static_cast<int>(error));
      return error;
    }
    LogInfo(log, L"KESInterrogator::remoteIt - Wrote %d bytes of data to client", static_cast<int>(done));
  }
  LogInfo(log, L"KESInterrogator::remoteIt wrote data on named pipe");

  char reply[kBrokerReplyBytes];
  error = TransferOnPipe(pipe, false, reply, sizeof reply, client.get(), system.brokerReplyMs, &done);
  const bool overlong = error == ERROR_MORE_DATA;  // longer than any result: garbage, refused below
  if (overlong) {
    error = 0;
  } else if (!error && done == 0) {
    error = ERROR_INVALID_DATA;
  }
  if (error) {
    LogError(log, L"KESInterrogator::remoteIt - Error occurred while reading from the client: %d",
             static_cast<int>(error));
    return error;
  }
  LogInfo(log, L"KESInterrogator::remoteIt - Named Pipe ReadFile() was successful.");
  uint32_t value = 0;
  if (overlong || DecodeBrokerReply(reply, done, &value) != 0) {
    LogError(log, L"KESInterrogator::remoteIt - the reply is not a result code (%u bytes%s)", done,
             overlong ? L" and more" : L"");
    return ERROR_INVALID_DATA;
  }
  *result = value;
  return 0;
}

}  // namespace kesi::controls
