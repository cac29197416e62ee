// The texts of the transfer's debugger trace: the names of its steps and of WinINet's status callbacks.
#include <cstdio>

#include "FileTransfer.h"

namespace kesi {
namespace {

const wchar_t* OperationName(DWORD operation) {
  switch (operation) {
    case eInternetCloseInternet: return L"eInternetCloseInternet";
    case eInternetCloseRequest: return L"eInternetCloseRequest";
    case eInternetCloseConnection: return L"eInternetCloseConnection";
    case eInternetOpenUrl: return L"eInternetOpenUrl";
    case eInternetConnect: return L"eInternetConnect";
    case eHttpOpenRequest: return L"eHttpOpenRequest";
    case eHttpSendRequest: return L"eHttpSendRequest";
    case eHttpQueryInfo: return L"eHttpQueryInfo";
    case eInternetErrorDlg: return L"eInternetErrorDlg";
    case eInternetReadFile: return L"eInternetReadFile";
    case eFileCopyEx: return L"eFileCopyEx";
    case eInternetWriteFile: return L"eInternetWriteFile";
    case eFtpOpenFile: return L"eFtpOpenFile";
    default: return L"eUnknownOperation";
  }
}

const wchar_t* StatusName(DWORD status) {
  switch (status) {
    case INTERNET_STATUS_RESOLVING_NAME: return L"INTERNET_STATUS_RESOLVING_NAME";
    case INTERNET_STATUS_NAME_RESOLVED: return L"INTERNET_STATUS_NAME_RESOLVED";
    case INTERNET_STATUS_CONNECTING_TO_SERVER: return L"INTERNET_STATUS_CONNECTING_TO_SERVER";
    case INTERNET_STATUS_CONNECTED_TO_SERVER: return L"INTERNET_STATUS_CONNECTED_TO_SERVER";
    case INTERNET_STATUS_SENDING_REQUEST: return L"INTERNET_STATUS_SENDING_REQUEST";
    case INTERNET_STATUS_REQUEST_SENT: return L"INTERNET_STATUS_REQUEST_SENT";
    case INTERNET_STATUS_RECEIVING_RESPONSE: return L"INTERNET_STATUS_RECEIVING_RESPONSE";
    case INTERNET_STATUS_RESPONSE_RECEIVED: return L"INTERNET_STATUS_RESPONSE_RECEIVED";
    case INTERNET_STATUS_CTL_RESPONSE_RECEIVED: return L"INTERNET_STATUS_CTL_RESPONSE_RECEIVED";
    case INTERNET_STATUS_PREFETCH: return L"INTERNET_STATUS_PREFETCH";
    case INTERNET_STATUS_CLOSING_CONNECTION: return L"INTERNET_STATUS_CLOSING_CONNECTION";
    case INTERNET_STATUS_CONNECTION_CLOSED: return L"INTERNET_STATUS_CONNECTION_CLOSED";
    case INTERNET_STATUS_HANDLE_CREATED: return L"INTERNET_STATUS_HANDLE_CREATED";
    case INTERNET_STATUS_HANDLE_CLOSING: return L"INTERNET_STATUS_HANDLE_CLOSING";
    case INTERNET_STATUS_DETECTING_PROXY: return L"INTERNET_STATUS_DETECTING_PROXY";
    case INTERNET_STATUS_REQUEST_COMPLETE: return L"INTERNET_STATUS_REQUEST_COMPLETE";
    case INTERNET_STATUS_REDIRECT: return L"INTERNET_STATUS_REDIRECT";
    case INTERNET_STATUS_INTERMEDIATE_RESPONSE: return L"INTERNET_STATUS_INTERMEDIATE_RESPONSE";
    case INTERNET_STATUS_USER_INPUT_REQUIRED: return L"INTERNET_STATUS_USER_INPUT_REQUIRED";
    case INTERNET_STATUS_STATE_CHANGE: return L"INTERNET_STATUS_STATE_CHANGE";
    case INTERNET_STATUS_COOKIE_SENT: return L"INTERNET_STATUS_COOKIE_SENT";
    case INTERNET_STATUS_COOKIE_RECEIVED: return L"INTERNET_STATUS_COOKIE_RECEIVED";
    case INTERNET_STATUS_PRIVACY_IMPACTED: return L"INTERNET_STATUS_PRIVACY_IMPACTED";
    case INTERNET_STATUS_P3P_HEADER: return L"INTERNET_STATUS_P3P_HEADER";
    case INTERNET_STATUS_P3P_POLICYREF: return L"INTERNET_STATUS_P3P_POLICYREF";
    case INTERNET_STATUS_COOKIE_HISTORY: return L"INTERNET_STATUS_COOKIE_HISTORY";
    default: return nullptr;
  }
}

}  // namespace

void FormatTransferTrace(DWORD operation, DWORD status, wchar_t* out, size_t size) {
  if (!out || !size) return;
  const wchar_t* name = StatusName(status);
  if (name) _snwprintf(out, size, L"%ls: %ls\n", OperationName(operation), name);
  else _snwprintf(out, size, L"%ls: Status %u\n", OperationName(operation), static_cast<unsigned>(status));
  out[size - 1] = L'\0';
}

}  // namespace kesi
