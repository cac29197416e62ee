#pragma once
// The client of the appliance's logon interface: it opens the transport, obtains or resumes a session,
// and offers one operation per remote procedure of the end-point interrogation. Every procedure is an
// LPRPC call posted to "/__api__/__logon__"; log files go to "/postauth/__EPClogfilesubmit".
//
// Results are Windows error codes or the agent codes below; the agent writes no log of its own.
//
// One agent may be shared between threads (the logon flow and the recurring interrogation hold it at
// once): each exchange with the appliance (every procedure, the log upload, Connect, Disconnect) runs
// whole under the agent's lock, so exchanges never interleave on its transport and session.
#include <windows.h>

#include <memory>
#include <vector>

#include "AgentList.h"
#include "Handles.h"
#include "LPRPC.h"
#include "LPRPCTransport.h"
#include "ReplyLimit.h"
#include "RQString.h"
#include "Utf8Buffer.h"

namespace kesi {

// Agent codes.
constexpr DWORD kAgentNoSession = 0xE3080001;        // the call needs a session and there is none
constexpr DWORD kAgentReplyUnreadable = 0xE3080004;  // the reply could not be read, or it was a fault
constexpr DWORD kAgentCallNotBuilt = 0xE3080005;     // the call could not be built (or not at this version)
// A reply too large to take in is ERROR_MESSAGE_EXCEEDS_MAX_SIZE (4336), a Windows code rather than an
// agent code so that it reads the same from the transport and from the file transfer: a body that
// announces more than kMaxReplyBytes (ReplyLimit.h; refused before any of it is read) or whose decoding
// would take more memory than its size allows (LPRPCStatus::kTooLarge). A reply without a Content-Length
// stays ERROR_HTTP_HEADER_NOT_FOUND (12150) and one whose Content-Length is not a number
// ERROR_HTTP_INVALID_SERVER_RESPONSE (12152); neither is read. kReplyTooLarge is in ReplyLimit.h.

constexpr wchar_t kLogonPath[] = L"/__api__/__logon__";
constexpr wchar_t kLogUploadPath[] = L"/postauth/__EPClogfilesubmit";
constexpr int32_t kAnnouncedVersion = 15;
constexpr DWORD kAgentDefaultTimeout = 45000;

// Procedure numbers.
enum LogonProcedure : int32_t {
  kProcNewSession = 1,
  kProcLogoff = 2,
  kProcResumeSession = 8,
  kProcGetInterrogationList = 10,
  kProcPostResults = 11,
  kProcGetDeployList = 12,
  kProcReportDeployList = 13,
  kProcGetAgentList = 17,
  kProcPostTextList = 18,
  kProcReportAgentList = 19,
  kProcPostSubsequentResults = 21,
  kProcQueryNumber = 35,
};

// One named result of the interrogation engine as the logon procedures read it (ResultSI implements it).
class LogonResult {
 public:
  // The name as UTF-8 (null or "" for none).
  virtual const char* NameUtf8() = 0;
  // 0 is FALSE; anything else is sent as TRUE.
  virtual int Value() = 0;
  // Destroys previous (when not null) and takes the next item text out of the result, or null when none
  // is left. The procedures drain every result this way.
  virtual RQString* NextItem(RQString* previous) = 0;
  // The following result in the engine's order, or null.
  virtual LogonResult* Next() = 0;

 protected:
  ~LogonResult() = default;
};

// The interrogation engine as the logon procedures use it (SystemInterrogator implements it): lists go
// in through Clear and AddLiteral, the interval through SetRecurringInterval; results and global facts
// come out.
class LogonInterrogator {
 public:
  virtual int Clear() = 0;
  virtual int AddLiteral(const wchar_t* line) = 0;
  virtual void SetRecurringInterval(int seconds) = 0;
  virtual LogonResult* FirstResult() = 0;
  virtual DWORD User() = 0;
  virtual RQString& UserHomeDirectory() = 0;
  virtual RQString& SystemDirectory() = 0;
  virtual RQString& EquipmentId() = 0;
  virtual bool Is64Bit() = 0;
  virtual RQString& ResultHash() = 0;

 protected:
  ~LogonInterrogator() = default;
};

// Texts for PostTextList; the procedure empties the list (destroying every text) whatever the outcome.
using TextList = std::vector<std::unique_ptr<RQString>>;

class LogonAgent {
 public:
  LogonAgent() noexcept;
  LogonAgent(const LogonAgent&) = delete;
  LogonAgent& operator=(const LogonAgent&) = delete;

  // Virtual operations in their slot order.
  virtual ULONG AddRef();
  // At 0: Disconnect and destroy.
  virtual ULONG Release();

 protected:
  virtual ~LogonAgent();

 public:
  virtual bool IsConnected();
  // Values kept for the embedding object; the agent never reads them.
  virtual DWORD GetSetting1();
  virtual void SetSetting1(DWORD value);
  virtual DWORD GetSetting2();
  virtual void SetPair1(DWORD first, DWORD second);
  virtual DWORD GetPair1First();
  virtual DWORD GetPair1Second();
  virtual void SetPair2(DWORD first, DWORD second);
  virtual DWORD GetPair2First();
  virtual DWORD GetPair2Second();
  virtual void SetPair3(DWORD first, DWORD second);
  virtual DWORD GetPair3First();
  virtual DWORD GetPair3Second();
  virtual DWORD Reserved16();
  // The session text as UTF-16 ("" when logged off).
  virtual const wchar_t* GetSession();
  virtual const wchar_t* GetProxyAddress();
  virtual RQCredential* GetProxyCredential();
  virtual RQCertificateInfo* GetSecondCertificate();
  virtual RQCertificateInfo* GetServerCertificate();
  // The protocol version the appliance chose at logon (0 before).
  virtual int32_t GetVersion();
  virtual bool HasVersion4();
  virtual DWORD CloseRequest();
  // Opens the transport to host ("host" or "host:port") and logs on: resumes sessionText when it is not
  // empty, else starts a new session. The server certificate accepted first from here on is pinned:
  // until the next Connect or Disconnect an exchange with another certificate ends with
  // kCertificateRefused (12169), before its body is sent.
  virtual DWORD Connect(const wchar_t* host, const RQCertificateInfo* trustedCertificate, const wchar_t* sessionText,
                        const wchar_t* proxyAddress, const RQCredential* proxyCredentialSource, BOOL allowUI,
                        HWND parentWindow, BOOL ignoreCertificateErrors, DWORD reserved1, DWORD reserved2);
  virtual DWORD Disconnect();
  // Procedure 1.
  virtual DWORD NewSession();
  // Procedure 2; the session is forgotten whatever the outcome.
  virtual DWORD Logoff();
  // Procedure 8; 87 for an empty text.
  virtual DWORD ResumeSession(const wchar_t* text);
  // Procedure 35 (version 15 only).
  virtual DWORD QueryNumber(int32_t n, int32_t* result);
  // Procedure 10: the list goes into receiver (Clear at the "[InterrogationLiterals]" line, AddLiteral for
  // each line of that section), and at version 7 the interval.
  virtual DWORD GetInterrogationList(LogonInterrogator* receiver);
  // Procedure 11. zone and zoneCommands are optional; zoneCommands is emptied first.
  virtual DWORD PostResults(LogonInterrogator* interrogator, BOOL* continueFlag, RQString* zone,
                            RQStringMZ* zoneCommands);
  // Procedure 21 (versions 7 to 15; needs no session). zone carries the current zone in and the new one
  // out; a new list and the interval go to interrogator.
  virtual DWORD PostSubsequentResults(LogonInterrogator* interrogator, const wchar_t* teamCredential,
                                      int32_t* classification, RQString* zone, RQStringMZ* zoneCommands);
  // Procedure 17: list is emptied and refilled.
  virtual DWORD GetAgentList(AgentList* list);
  // Procedure 19: the name and provisioned flag of every record; answer (optional) receives the reply.
  virtual DWORD ReportAgentList(AgentList* list, BOOL* answer);
  // Procedure 12.
  virtual DWORD GetDeployList(AgentList* list);
  // Procedure 13.
  virtual DWORD ReportDeployList(AgentList* list, BOOL* answer);
  // Procedure 18 (version 4 on); texts is emptied in every case.
  virtual DWORD PostTextList(int32_t kind, TextList* texts);
  virtual DWORD PostLogFile2(const wchar_t* cookie, const wchar_t* filePath);
  virtual DWORD Logon(const wchar_t* sessionText);
  // Uploads a file as the log upload form with the cookie FARLINK_ID=cookie.
  virtual DWORD PostLogFile(const wchar_t* cookie, const wchar_t* filePath);
  // One exchange with the logon service.
  virtual DWORD Call(Utf8Buffer* message);
  // 2250 when not connected, kAgentNoSession when needSession and there is no session, else 0.
  virtual DWORD CheckConnection(bool needSession);
  virtual DWORD Unsupported44();

 private:
  // What one exchange reads: result is the result Structure inside structure, whose Strings point into
  // message (the call's text, then the reply's).
  struct Reply {
    Utf8Buffer message;
    LPRPCStructure structure;
    LPRPCVector* result = nullptr;
  };
  // BuildCall, Call, ReadReply: the steps every procedure shares. On 0, reply.result is set, rewound.
  DWORD Exchange(int32_t procedure, LPRPCStructure& parameters, Reply& reply);
  // The start of a call within the session: a connection with a session, a version this agent speaks
  // (else kAgentCallNotBuilt) and the common head of parameters.
  DWORD BeginSessionCall(LPRPCStructure& parameters);
  DWORD StartSession(int32_t procedure, const char* text);
  DWORD GetAgents(int32_t procedure, AgentList* list);
  DWORD ReportAgents(int32_t procedure, AgentList* list, BOOL* answer);
  int AddCommonHead(LPRPCStructure& parameters);

  LONG refCount_ = 1;
  // Held for each exchange; it is re-entered when one operation calls another (Connect, Logon...).
  CriticalSection exchangeLock_;
  std::unique_ptr<LPRPCTransport> transport_;
  int32_t version_ = 0;
  Utf8Buffer session_;
  DWORD settings_[8] = {};
  DWORD timeout_ = kAgentDefaultTimeout;
};

}  // namespace kesi
