#pragma once
// Agent descriptions as the logon service lists them (agents to provision, agents to deploy), and the
// locked list in which they arrive.
#include <windows.h>

#include <memory>

#include "Handles.h"
#include "RQString.h"

namespace kesi {

// One agent description. The texts arrive as UTF-8; number1, text1, number2 and number3 are carried as
// the appliance sends them.
class AgentRecord {
 public:
  AgentRecord() noexcept = default;
  virtual ~AgentRecord() = default;
  AgentRecord(const AgentRecord&) = delete;
  AgentRecord& operator=(const AgentRecord&) = delete;

  RQString name;
  int number1 = 0;
  RQString text1;
  int number2 = 0;
  RQString fileType;
  RQString version;
  RQString url;
  int number3 = 0;
  RQString targetUser;
  RQString installArguments;  // from protocol version 5
  bool provisioned = false;   // set by the caller once it tried the agent; sent back by the reports

 private:
  friend class AgentList;
  std::unique_ptr<AgentRecord> next_;
};

// An owned list of records in arrival order. Every step takes the list's lock.
class AgentList {
 public:
  AgentList() noexcept;
  virtual ~AgentList();
  AgentList(const AgentList&) = delete;
  AgentList& operator=(const AgentList&) = delete;

  // The first record, or null.
  virtual AgentRecord* First();
  // The record after record, or null (also for null).
  virtual AgentRecord* Next(AgentRecord* record);
  // Appends record and takes ownership of it: 0, or 87 for null (or the record already at the end).
  virtual DWORD Add(AgentRecord* record);
  // Destroys every record.
  virtual void Clear();
  virtual unsigned GetCount();

 private:
  CriticalSection lock_;
  std::unique_ptr<AgentRecord> head_;
  AgentRecord* tail_ = nullptr;  // the last record of the chain from head_
  unsigned count_ = 0;
};

}  // namespace kesi
