#pragma once
// A test's own appliance: an instance of the appliance simulator made through its control server (the
// address is in KESI_SIM_CONTROL, set by the "simulator" ctest fixture) and stopped when the object goes.
// Stopping it checks its journal: every problem the simulator noted in a request (a wrong version or
// session, bytes after the call, an undecodable body...) fails the test unless the test said it expects
// it (ExpectProblem).
#include <windows.h>

#include <string>
#include <vector>

namespace kesi::test {

// One plain-HTTP request to the control server: the status (0 when it could not be made) and the body.
struct ControlReply {
  DWORD status = 0;
  std::string body;
  DWORD error = 0;
};
ControlReply ControlRequest(const wchar_t* method, const std::wstring& path, const std::string& body = {});

class Appliance {
 public:
  // Starts an instance for scenario (a JSON object; "{}" is the simulator's defaults).
  explicit Appliance(const std::string& scenario = "{}");
  ~Appliance();
  Appliance(const Appliance&) = delete;
  Appliance& operator=(const Appliance&) = delete;

  // Empty when the instance runs; else what went wrong.
  const std::string& Error() const { return error_; }
  int Port() const { return port_; }
  // "127.0.0.1:PORT", the server name the client connects to.
  std::wstring Server() const;
  // The journal as text lines (see tests/appliance/README.md).
  std::vector<std::string> Journal();
  // The journal lines of logon calls to one procedure.
  std::vector<std::string> Calls(int procedure);
  // When the logon calls to one procedure arrived, in seconds since the instance started (the journal's
  // "time"), in arrival order.
  std::vector<double> CallTimes(int procedure);
  // The args=... field of a journal line (the parameters in compact JSON), or "".
  static std::string Args(const std::string& line);
  // The problems noted in a journal line (the texts of its problems=[...] field, JSON escapes kept).
  static std::vector<std::string> Problems(const std::string& line);
  // GET of a resource of this instance ("uploads/0/body", ...).
  ControlReply Get(const std::string& resource);
  // Serves the certificate of another kind ("other", "wrong-name", ...; see tests/appliance) from now on,
  // and closes kept-alive connections so that the client's next request makes a new handshake. Empty
  // when it did, else what went wrong.
  std::string SwitchCertificate(const std::string& kind);
  // SHA-256 of the DER certificate the instance serves, as 64 upper-case hexadecimal digits ("" when
  // it cannot be read).
  std::string CertificateSha256();

  // A problem the test provokes on purpose: journalled problems that contain fragment do not fail the
  // test, and the test fails when no journalled problem contains it.
  void ExpectProblem(const std::string& fragment);
  // Checks the journal for problems (as above), then stops the instance (its port then refuses
  // connections). The destructor does this when the test has not.
  void Stop();

 private:
  void CheckProblems();

  int id_ = 0;
  int port_ = 0;
  std::string error_;
  std::vector<std::string> expected_;
};

}  // namespace kesi::test
