#pragma once
// The recurring interrogation: after a logon interrogation whose post succeeded, a thread of this process
// re-interrogates the end point at the appliance's interval (list, evaluation, procedure 21) and follows
// the appliance's classification until the session ends. "Global\REPC_EVENT" ends every such thread on
// the machine when signalled; "Global\PHASE_EVENT" tells the starter that the thread has begun.
//
// One thread per process: a new start stops and joins the previous one. The thread owns copies of what
// it needs and its own agent reference, so the starter may go away at once; it also holds the module, so
// the library stays loaded while it runs.
#include <windows.h>

#include "LogFile.h"
#include "LogonAgent.h"

namespace kesi::controls {

// What a recurring thread is started with; the start copies the texts and takes its own agent reference.
struct RecurringSession {
  LogonAgent* agent = nullptr;
  const wchar_t* teamCredential = nullptr;  // the credential without "FARLINK_ID="
  const wchar_t* serverName = nullptr;
};

// The events step of the post: creates "Global\REPC_EVENT" and "Global\PHASE_EVENT" as manual-reset
// events (created signalled, reset at once), each outcome logged to log. Called when the appliance gave
// an interval above 0, whatever the post's outcome.
void PrepareRecurringEvents(LogFile* log);

// Stops this process's previous recurring thread (if any), then starts a new one for session at the
// process-wide interval and waits up to 2000 ms for "Global\PHASE_EVENT". Logs the start or its failure to
// log. True when a thread was started. The thread copies the texts (at most 4096 characters each) and
// takes its own agent reference before this returns, so session may go away at once.
bool StartRecurringInterrogation(const RecurringSession& session, LogFile* log);

// Ends this process's recurring thread, if one runs, and waits (bounded) for it to finish. A thread that
// is in the middle of an exchange or an evaluation ends at its next step.
void StopRecurringInterrogation();

// A duplicate of the handle of this process's latest recurring thread (which may have ended since), or
// null when none was started since the last stop; the caller closes it.
HANDLE DuplicateRecurringThread();

// The process-wide interval in seconds, written by the post and by the thread.
int RecurringIntervalSeconds();
void SetRecurringIntervalSeconds(int seconds);

}  // namespace kesi::controls
