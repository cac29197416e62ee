#include "SystemInterrogator.h"

#include <cwchar>
#include <memory>
#include <new>

#include "Checks.h"
#include "EvaluationRun.h"
#include "GlobalFacts.h"
#include "Handles.h"
#include "LiteralLine.h"
#include "OpswatEngine.h"

namespace kesi {

namespace {

const char* Utf8OrEmpty(const RQString& s) {
  const char* text = s.GetUtf8();
  return text ? text : "";
}

// The index key of a result name: its sort key in the user's locale with case, diacritics, symbols, kana
// type and width ignored. The engine's comparison (CompareStringW, user locale, kana type and width
// ignored) works from the same weights, so two names it holds equal differ at most in what is ignored
// here and share the key; the key is coarser on purpose, and names that share it are told apart by that
// comparison. A name the platform cannot map goes under the empty key, where it is compared with every
// other such name.
std::string ResultKey(const wchar_t* name) {
  constexpr DWORD kFlags = LCMAP_SORTKEY | NORM_IGNORECASE | NORM_IGNORENONSPACE | NORM_IGNORESYMBOLS |
                           NORM_IGNOREKANATYPE | NORM_IGNOREWIDTH;
  std::string key;
  const int bytes = LCMapStringW(LOCALE_USER_DEFAULT, kFlags, name, -1, nullptr, 0);
  if (bytes <= 0) return key;
  key.resize(static_cast<size_t>(bytes));
  const int written = LCMapStringW(LOCALE_USER_DEFAULT, kFlags, name, -1, reinterpret_cast<LPWSTR>(&key[0]), bytes);
  key.resize(written > 0 ? static_cast<size_t>(written) : 0);
  return key;
}

}  // namespace

// ResultSI

ResultSI::~ResultSI() = default;

const char* ResultSI::NameUtf8() { return Utf8OrEmpty(name_); }
void ResultSI::SetNext(ResultSI* next) { next_ = next; }
ResultSI* ResultSI::Next() { return next_; }
RQString& ResultSI::Name() { return name_; }
LONG* ResultSI::ValueCell() { return &value_; }
ItemQueue* ResultSI::Items() { return &items_; }

DWORD ResultSI::SetName(const wchar_t* name) {
  name_ = name;
  return (name && *name) ? ERROR_SUCCESS : ERROR_INVALID_PARAMETER;
}

LONG ResultSI::Value() { return value_; }

RQString* ResultSI::NextItem(RQString* previous) {
  std::unique_ptr<RQString> done(previous);
  return items_.PopFront();
}

// LiteralSI

LiteralSI::~LiteralSI() = default;

const char* LiteralSI::ResultNameUtf8() { return result_ ? result_->NameUtf8() : ""; }
void LiteralSI::SetNext(LiteralSI* next) { next_ = next; }
LiteralSI* LiteralSI::Next() { return next_; }
RQString& LiteralSI::KindName() { return kindName_; }
RQString& LiteralSI::Parameters() { return parameters_; }
RQString& LiteralSI::ResultName() { return resultName_; }
LONG LiteralSI::Value() { return result_ ? result_->Value() : 0; }

DWORD LiteralSI::Parse(SystemInterrogator* engine, const wchar_t* line) {
  if (!line || !*line) return ERROR_INVALID_PARAMETER;
  const size_t length = wcslen(line);
  std::unique_ptr<wchar_t[]> copy(new (std::nothrow) wchar_t[length + 1]);
  if (!copy) return ERROR_OUTOFMEMORY;
  wmemcpy(copy.get(), line, length + 1);

  kesi::LiteralLineFields fields;
  kesi::SplitLiteralLine(copy.get(), &fields);
  resultName_.Free();
  result_ = nullptr;
  parameters_.Free();
  literalId_ = fields.id;
  const kesi::LiteralKindEntry* kind = FindLiteralKind(kLiteralKinds, kLiteralKindCount, fields.kind);
  if (kind) {
    kind_ = kind->number;
    check_ = kind->check;
    kindName_ = kind->name;
  } else {
    kind_ = kesi::kKindUnknown;
    check_ = LiteralCheck::kNone;
    kindName_.Free();
  }
  if (fields.result) {
    resultName_ = fields.result;
    result_ = engine ? engine->FindOrCreateResult(fields.result) : nullptr;
  }
  if (!kind) return ERROR_NOT_FOUND;
  parameters_ = fields.rest ? fields.rest : L"";
  return ERROR_SUCCESS;
}

LONG LiteralSI::Evaluate(RQString* equipmentId) {
  checkRan_ = false;
  checkVerdict_ = 0;
  if (!result_) return checkStatus_ = ERROR_INVALID_STATE;
  // A result is the OR of its literals: once one holds, the others are not asked.
  if (result_->Value() != 0) return checkStatus_ = ERROR_SUCCESS;
  if (kind_ < kesi::kKindFile || kind_ > kesi::kKindOpswatAntiSpyware) return checkStatus_ = ERROR_SUCCESS;
  checkStatus_ = RunCheck(equipmentId);
  checkRan_ = true;
  checkVerdict_ = result_->Value();
  return checkStatus_;
}

LONG LiteralSI::RunCheck(RQString* equipmentId) {
  return RunLiteralCheck(check_, parameters_, result_->ValueCell(), result_->Items(), equipmentId);
}

// SystemInterrogator

SystemInterrogator::SystemInterrogator() noexcept = default;

SystemInterrogator::~SystemInterrogator() { Clear(); }

SystemInterrogator* SystemInterrogator::AddRef() {
  InterlockedIncrement(&refCount_);
  return this;
}

ULONG SystemInterrogator::Release() {
  LONG count = InterlockedDecrement(&refCount_);
  if (count == 0) {
    delete this;
    return 0;
  }
  return static_cast<ULONG>(count);
}

LiteralSI* SystemInterrogator::FirstLiteral() { return literals_; }
ResultSI* SystemInterrogator::FirstResult() { return results_; }
DWORD SystemInterrogator::User() { return user_; }
RQString& SystemInterrogator::UserHomeDirectory() { return userHomeDirectory_; }
RQString& SystemInterrogator::SystemDirectory() { return systemDirectory_; }
RQString& SystemInterrogator::EquipmentId() { return equipmentId_; }
bool SystemInterrogator::Is64Bit() { return is64Bit_; }
int SystemInterrogator::RecurringInterval() { return recurringInterval_; }
void SystemInterrogator::SetRecurringInterval(int seconds) { recurringInterval_ = seconds; }

DWORD SystemInterrogator::Clear() {
  while (LiteralSI* literal = literals_) {
    literals_ = literal->Next();
    delete literal;
  }
  resultIndex_.clear();
  while (ResultSI* result = results_) {
    results_ = result->Next();
    delete result;
  }
  user_ = kUserOther;
  userHomeDirectory_.Free();
  systemDirectory_.Free();
  equipmentId_.Free();
  recurringInterval_ = -1;
  is64Bit_ = false;
  return ERROR_SUCCESS;
}

DWORD SystemInterrogator::AddLiteral(const wchar_t* line) {
  if (!line || !*line) return ERROR_INVALID_PARAMETER;
  std::unique_ptr<LiteralSI> literal(new (std::nothrow) LiteralSI());
  if (!literal) return ERROR_OUTOFMEMORY;
  // An unlisted kind still joins the list: it contributes nothing, but its result is reported.
  literal->Parse(this, line);
  LiteralSI* pushed = literal.release();
  const DWORD rc = PushLiteral(&pushed);
  literal.reset(pushed);  // null when the list took it
  return rc;
}

DWORD SystemInterrogator::PushLiteral(LiteralSI** literal) {
  if (!literal || !*literal) return ERROR_INVALID_PARAMETER;
  (*literal)->SetNext(literals_);
  literals_ = *literal;
  *literal = nullptr;
  return ERROR_SUCCESS;
}

ResultSI* SystemInterrogator::FindOrCreateResult(const wchar_t* name) {
  if (!name || !*name) return nullptr;
  try {
    auto bucket = resultIndex_.find(ResultKey(name));
    if (bucket != resultIndex_.end()) {
      for (auto it = bucket->second.rbegin(); it != bucket->second.rend(); ++it)
        if ((*it)->Name() == name) return *it;
    }
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
  std::unique_ptr<ResultSI> result(new (std::nothrow) ResultSI());
  if (!result) return nullptr;
  // A name that could not be stored makes no result.
  if (result->SetName(name) != ERROR_SUCCESS || result->Name().IsEmpty()) return nullptr;
  ResultSI* pushed = result.get();
  if (PushResult(&pushed) != ERROR_SUCCESS) return nullptr;
  return result.release();
}

DWORD SystemInterrogator::PushResult(ResultSI** result) {
  if (!result || !*result) return ERROR_INVALID_PARAMETER;
  try {
    resultIndex_[ResultKey((*result)->Name())].push_back(*result);
  } catch (const std::bad_alloc&) {
    return ERROR_OUTOFMEMORY;
  }
  (*result)->SetNext(results_);
  results_ = *result;
  *result = nullptr;
  return ERROR_SUCCESS;
}

DWORD SystemInterrogator::RemoveResult(ResultSI* result) {
  if (!result) return ERROR_INVALID_PARAMETER;
  ResultSI* previous = nullptr;
  for (ResultSI* r = results_; r; previous = r, r = r->Next()) {
    if (r != result) continue;
    if (previous)
      previous->SetNext(r->Next());
    else
      results_ = r->Next();
    r->SetNext(nullptr);
    UnindexResult(r);
    // The caller owns it now: no literal may keep pointing at it.
    for (LiteralSI* literal = literals_; literal; literal = literal->Next())
      if (literal->Result() == r) literal->Unlink();
    return ERROR_SUCCESS;
  }
  return ERROR_NOT_FOUND;
}

void SystemInterrogator::UnindexResult(ResultSI* result) {
  auto drop = [result](std::vector<ResultSI*>& bucket) {
    for (auto it = bucket.begin(); it != bucket.end(); ++it) {
      if (*it != result) continue;
      bucket.erase(it);
      return true;
    }
    return false;
  };
  try {
    auto bucket = resultIndex_.find(ResultKey(result->Name()));
    if (bucket != resultIndex_.end() && drop(bucket->second)) return;
  } catch (const std::bad_alloc&) {
  }
  // Renamed since it joined, or no room to form the key: look in every bucket.
  for (auto& entry : resultIndex_)
    if (drop(entry.second)) return;
}

DWORD SystemInterrogator::EvaluateAll() {
  ResetResults();
  // One apartment for the whole run: the checks that use COM then find it ready, instead of building it
  // up and tearing it down again for every literal (a tenth of a second each under Wine). A thread that
  // already has COM keeps what it has.
  {
    ComApartment com;
    // The literals see one moment of the machine: one process list, one opening of the certificate
    // stores, one answer of the equipment identifier's sources (taken when first needed).
    EvaluationRun run;
    OpswatRunScope opswat;  // ends with the outside engine's closing call
    for (LiteralSI* literal = literals_; literal; literal = literal->Next()) literal->Evaluate(&equipmentId_);
  }
  RefreshGlobalFacts();
  return ERROR_SUCCESS;
}

RQString& SystemInterrogator::ResultHash() { return resultHash_; }
void SystemInterrogator::SetResultHash(const RQString& hash) { resultHash_ = hash; }

DWORD SystemInterrogator::ResetResults() {
  for (ResultSI* result = results_; result; result = result->Next()) {
    *result->ValueCell() = 0;
    result->Items()->Clear();
  }
  return ERROR_SUCCESS;
}

void SystemInterrogator::RefreshGlobalFacts() {
  user_ = ReadUserNumber();
  ReadUserHomeDirectory(&userHomeDirectory_);
  ReadSystemDirectory(&systemDirectory_);
  is64Bit_ = ReadIs64Bit();
}

}  // namespace kesi
