#pragma once
// The log that the checks write their diagnostic lines to: the interrogator's log of the process that
// runs the interrogation, set by whoever owns that log. With none set the lines are dropped.
#include <windows.h>

namespace kesi {

class LogFile;

// The current check log, or null.
kesi::LogFile* CheckLog();
// Sets the check log (null stops the logging); the caller keeps the log open while checks may run and
// clears it before closing the log.
void SetCheckLog(kesi::LogFile* log);

}  // namespace kesi
