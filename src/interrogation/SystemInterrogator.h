#pragma once
// The interrogation engine: the list of literals the appliance sent, the named results they feed, and
// the global facts about the machine that go out with the results.
//
// A literal line reads  ID=KIND,RESULT,PARAMETERS. Literals naming the same result share one ResultSI,
// whose value is the OR of their verdicts. Both lists are kept newest first, so after a list has been
// read they stand in reverse order of arrival.
//
// One engine serves one interrogation run and one thread at a time; it is reference counted because
// the logon flow and the recurring interrogation each hold it. Results are Win32 codes.
#include <windows.h>

#include <string>
#include <unordered_map>
#include <vector>

#include "ItemQueue.h"
#include "LiteralLine.h"
#include "RQString.h"

namespace kesi {

class SystemInterrogator;

// One named result.
class ResultSI {
 public:
  ResultSI() noexcept = default;
  ResultSI(const ResultSI&) = delete;
  ResultSI& operator=(const ResultSI&) = delete;

  // Virtual operations in their slot order.
  virtual ~ResultSI();
  // The name as UTF-8 (never null; "" for no name). Owned by the result.
  virtual const char* NameUtf8();
  virtual void SetNext(ResultSI* next);
  virtual ResultSI* Next();
  virtual RQString& Name();
  // The verdict cell the checks write (0 FALSE, non-zero TRUE).
  virtual LONG* ValueCell();
  // The extra texts that checks attach; created with the result, owned by it.
  virtual ItemQueue* Items();
  // Stores the name; 87 (after storing it) for a null or empty name.
  virtual DWORD SetName(const wchar_t* name);
  virtual LONG Value();
  // Destroys previous (when not null), then takes the next item out of the queue; null when none is
  // left. Used to drain the queue while the result is sent.
  virtual RQString* NextItem(RQString* previous);

 private:
  ResultSI* next_ = nullptr;
  RQString name_;
  LONG value_ = 0;
  ItemQueue items_;
};

// One line of the list.
class LiteralSI {
 public:
  LiteralSI() noexcept = default;
  LiteralSI(const LiteralSI&) = delete;
  LiteralSI& operator=(const LiteralSI&) = delete;

  // Virtual operations in their slot order.
  virtual ~LiteralSI();
  // The linked result's name as UTF-8, or "" when the literal has no result.
  virtual const char* ResultNameUtf8();
  virtual void SetNext(LiteralSI* next);
  virtual LiteralSI* Next();
  // The kind's canonical spelling ("REGISTRY" for "registry"); empty for an unlisted kind.
  virtual RQString& KindName();
  // Everything behind the result field, unparsed; empty for an unlisted kind.
  virtual RQString& Parameters();
  // The result field as written (without its quotes).
  virtual RQString& ResultName();
  // The linked result's value; 0 when unlinked.
  virtual LONG Value();
  // Reads one line: 0; 87 for a null or empty line; 14 out of memory; 1168 for an unlisted kind (the
  // result it names is still created and linked).
  virtual DWORD Parse(SystemInterrogator* engine, const wchar_t* line);
  // Runs the check for the kind unless the linked result is already TRUE: 5023 without a result, 0 when
  // nothing was run, else the check's status. equipmentId receives what an EQUIPMENTID check computes.
  virtual LONG Evaluate(RQString* equipmentId);

  // The kind number (0 for an unlisted kind), the text before the "=", the linked result (not owned).
  int Kind() const { return kind_; }
  RQString& LiteralId() { return literalId_; }
  ResultSI* Result() { return result_; }
  // Forgets the linked result (the engine calls this when it hands a result back to a caller).
  void Unlink() { result_ = nullptr; }

  // What the last Evaluate did, for reports: a result is shared, so its value cannot tell which literal
  // made it TRUE. CheckRan is false when no check was run (no result, the result was already TRUE, an
  // unlisted kind); CheckStatus is what Evaluate returned; CheckVerdict the result's value right after
  // this literal's check (0 when none ran).
  bool CheckRan() const { return checkRan_; }
  LONG CheckStatus() const { return checkStatus_; }
  LONG CheckVerdict() const { return checkVerdict_; }

 private:
  LONG RunCheck(RQString* equipmentId);

  LiteralSI* next_ = nullptr;
  int kind_ = 0;
  LiteralCheck check_ = LiteralCheck::kNone;
  RQString resultName_;
  RQString literalId_;
  RQString kindName_;
  RQString parameters_;
  ResultSI* result_ = nullptr;
  bool checkRan_ = false;
  LONG checkStatus_ = 0;
  LONG checkVerdict_ = 0;
};

class SystemInterrogator {
 public:
  // An empty engine with one reference and no interval (-1).
  SystemInterrogator() noexcept;
  SystemInterrogator(const SystemInterrogator&) = delete;
  SystemInterrogator& operator=(const SystemInterrogator&) = delete;

  // Virtual operations in their slot order.
  virtual SystemInterrogator* AddRef();
  // At zero destroys the engine and returns 0; else the new count.
  virtual ULONG Release();

 protected:
  virtual ~SystemInterrogator();

 public:
  virtual LiteralSI* FirstLiteral();
  virtual ResultSI* FirstResult();
  // 1 administrator, 2 power user, 0 neither (as of the last EvaluateAll).
  virtual DWORD User();
  // The parent folder of the user's application-data folder.
  virtual RQString& UserHomeDirectory();
  virtual RQString& SystemDirectory();
  // What the last EQUIPMENTID literal computed; empty otherwise.
  virtual RQString& EquipmentId();
  virtual bool Is64Bit();
  // Seconds between recurring interrogations; -1 until the appliance sends one.
  virtual int RecurringInterval();
  virtual void SetRecurringInterval(int seconds);
  // Destroys every literal and result and forgets the facts (the interval goes back to -1). Returns 0.
  virtual DWORD Clear();
  // Parses one line into a new literal in front of the list; an unlisted kind still joins the list (it
  // is never evaluated). 0, 87 (null or empty line), 14, or PushLiteral's code.
  virtual DWORD AddLiteral(const wchar_t* line);
  // Links *literal in front of the list and takes it over (*literal becomes null); 87 for null.
  virtual DWORD PushLiteral(LiteralSI** literal);
  // The result of that name (case-sensitive), created in front of the list when new; null for a null or
  // empty name or when out of memory. Names are compared as RQString::operator== compares them (in the
  // user's locale, ignoring kana type and width); the first result in list order that matches is taken.
  // Results are found through an index by name, kept by PushResult and RemoveResult: a result renamed
  // after it joined the list is found under the name it had then.
  virtual ResultSI* FindOrCreateResult(const wchar_t* name);
  // As PushLiteral, for results.
  virtual DWORD PushResult(ResultSI** result);
  // Unlinks result from the list and hands it to the caller; literals that fed it become unlinked.
  // 87 for null, 1168 when it is not in the list.
  virtual DWORD RemoveResult(ResultSI* result);
  // Resets the results, evaluates every literal in list order, lets the outside product-check engine
  // close, and refreshes the global facts. Returns 0.
  virtual DWORD EvaluateAll();
  // The classification token the recurring interrogation last reported.
  virtual RQString& ResultHash();
  virtual void SetResultHash(const RQString& hash);
  // Every result FALSE with an empty items queue. Returns 0.
  virtual DWORD ResetResults();

  // Re-reads the user number, the two folders and the 64-bit flag (EvaluateAll does this last).
  void RefreshGlobalFacts();

 private:
  LONG refCount_ = 1;
  // The engine owns both lists and everything in them; their links are the items' own (SetNext), so
  // that literals and results can be handed over and taken back (PushLiteral, RemoveResult).
  LiteralSI* literals_ = nullptr;
  ResultSI* results_ = nullptr;
  DWORD user_ = 0;
  RQString userHomeDirectory_;
  RQString systemDirectory_;
  RQString equipmentId_;
  bool is64Bit_ = false;
  int recurringInterval_ = -1;
  RQString resultHash_;
  // Takes result out of the index.
  void UnindexResult(ResultSI* result);
  // The results by a key that all names equal under the comparison share (ResultKey in the .cpp); each
  // bucket in the order the results joined, so the list's first match is the bucket's last match.
  std::unordered_map<std::string, std::vector<ResultSI*>> resultIndex_;
};

}  // namespace kesi
