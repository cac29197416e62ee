// kesiprobe interrogate: the logon interrogation as the interrogator object runs it (log on, fetch the
// list, evaluate it on this machine, post the results, read the zone), with a report of every step for an
// administrator who wants to know why a machine lands in a zone. With --list a local list is evaluated and
// nothing is sent.
//
// The engine and the logon route are the product's own; the probe only watches them: a view over the
// logon route keeps each list line the agent hands in and each result and item text the agent takes out.
#include <windows.h>

#include <algorithm>
#include <cwchar>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "GlobalFacts.h"
#include "HostChecks.h"
#include "Handles.h"
#include "LastError.h"
#include "LiteralLine.h"
#include "LogonAgent.h"
#include "LogonRoute.h"
#include "Probe.h"
#include "SystemInterrogator.h"

namespace kesi::probe {

namespace {

using kesi::LogonAgent;
using kesi::LogonResult;

constexpr wchar_t kCommand[] = L"interrogate";
constexpr wchar_t kLiteralSection[] = L"[InterrogationLiterals]";
// A list file is read whole; lists are a few hundred lines at most.
constexpr DWORD kMaxListFileBytes = 16u << 20;
// Item texts (certificate chains) longer than this are shortened in the report.
constexpr size_t kMaxItemChars = 100;

std::wstring Wide(const char* utf8) {
  if (!utf8 || !*utf8) return std::wstring();
  int size = MultiByteToWideChar(CP_UTF8, 0, utf8, -1, nullptr, 0);
  if (size <= 1) return std::wstring();
  std::wstring text(static_cast<size_t>(size - 1), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8, -1, &text[0], size);
  return text;
}

// ---- watching the logon route ------------------------------------------------------------------------

// One result as the agent took it out for the post.
struct PostedResult {
  std::wstring name;
  bool value = false;
  std::vector<std::wstring> items;
};

// The logon route with a record of what passes through it: the literal lines the engine took in, in
// arrival order, and the results as the agent read them for the post.
class WatchedRoute final : public kesi::LogonInterrogator {
 public:
  explicit WatchedRoute(SystemInterrogator* engine) : route_(engine) {}

  int Clear() override {
    lines_.clear();
    return route_.Clear();
  }
  int AddLiteral(const wchar_t* line) override {
    int rc = route_.AddLiteral(line);
    // 0 means the engine's list took a literal for this line (its parse may still have failed).
    if (rc == 0) lines_.push_back(line);
    return rc;
  }
  void SetRecurringInterval(int seconds) override { route_.SetRecurringInterval(seconds); }
  LogonResult* FirstResult() override {
    views_.clear();
    posted_.clear();
    size_t count = 0;
    for (LogonResult* r = route_.FirstResult(); r; r = r->Next()) ++count;
    views_.resize(count);
    posted_.resize(count);
    size_t i = 0;
    for (LogonResult* r = route_.FirstResult(); r; r = r->Next(), ++i) {
      views_[i].inner = r;
      views_[i].record = &posted_[i];
      views_[i].next = i + 1 < count ? &views_[i + 1] : nullptr;
      posted_[i].name = Wide(r->NameUtf8());
      posted_[i].value = r->Value() != 0;
    }
    return count ? &views_[0] : nullptr;
  }
  DWORD User() override { return route_.User(); }
  RQString& UserHomeDirectory() override { return route_.UserHomeDirectory(); }
  RQString& SystemDirectory() override { return route_.SystemDirectory(); }
  RQString& EquipmentId() override { return route_.EquipmentId(); }
  bool Is64Bit() override { return route_.Is64Bit(); }
  RQString& ResultHash() override { return route_.ResultHash(); }

  const std::vector<std::wstring>& Lines() const { return lines_; }
  const std::vector<PostedResult>& Posted() const { return posted_; }

 private:
  class View final : public LogonResult {
   public:
    const char* NameUtf8() override { return inner->NameUtf8(); }
    int Value() override { return inner->Value(); }
    RQString* NextItem(RQString* previous) override {
      RQString* item = inner->NextItem(previous);
      if (item) record->items.emplace_back(static_cast<const wchar_t*>(*item));
      return item;
    }
    LogonResult* Next() override { return next; }

    LogonResult* inner = nullptr;
    PostedResult* record = nullptr;
    View* next = nullptr;
  };

  kesi::LogonRoute route_;
  std::vector<std::wstring> lines_;
  std::vector<View> views_;
  std::vector<PostedResult> posted_;
};

// ---- the local list file -----------------------------------------------------------------------------

// The lines of a list file: UTF-16 with its byte-order mark, else UTF-8 (a mark is skipped), else the
// ANSI code page when the bytes are not UTF-8. Line ends are LF or CR LF.
DWORD ReadListFile(const wchar_t* path, std::vector<std::wstring>* lines) {
  std::string bytes;
  {
    UniqueFile file(CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                                nullptr));
    if (!file) return GetLastError();
    LARGE_INTEGER size = {};
    if (!GetFileSizeEx(file.get(), &size)) return GetLastError();
    if (size.QuadPart > kMaxListFileBytes) return ERROR_FILE_TOO_LARGE;
    bytes.resize(static_cast<size_t>(size.QuadPart));
    DWORD read = 0;
    if (!bytes.empty() && (!ReadFile(file.get(), &bytes[0], static_cast<DWORD>(bytes.size()), &read, nullptr) ||
                           read != bytes.size()))
      return LastErrorOr(ERROR_READ_FAULT);
  }

  std::wstring text;
  if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF && static_cast<unsigned char>(bytes[1]) == 0xFE) {
    text.assign(reinterpret_cast<const wchar_t*>(bytes.data() + 2), (bytes.size() - 2) / sizeof(wchar_t));
  } else {
    size_t start = bytes.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
    const char* data = bytes.data() + start;
    int length = static_cast<int>(bytes.size() - start);
    UINT codePage = CP_UTF8;
    int chars = length ? MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, data, length, nullptr, 0) : 0;
    if (length && chars == 0) {
      codePage = CP_ACP;
      chars = MultiByteToWideChar(CP_ACP, 0, data, length, nullptr, 0);
    }
    if (chars > 0) {
      text.resize(static_cast<size_t>(chars));
      MultiByteToWideChar(codePage, 0, data, length, &text[0], chars);
    }
  }

  size_t begin = 0;
  while (begin <= text.size()) {
    size_t end = text.find(L'\n', begin);
    if (end == std::wstring::npos) end = text.size();
    std::wstring line = text.substr(begin, end - begin);
    if (!line.empty() && line.back() == L'\r') line.pop_back();
    lines->push_back(line);
    begin = end + 1;
  }
  return 0;
}

bool IsBlank(const std::wstring& line) {
  return line.find_first_not_of(L" \t") == std::wstring::npos;
}

// Hands a local list to the engine as a list reply would: when a line names the literal section (any case),
// only the lines of that section count, and a line starting with "[" ends it; without the header every
// line is a literal. Blank lines are passed over.
void FeedLocalList(const std::vector<std::wstring>& lines, WatchedRoute* route) {
  bool hasHeader = std::any_of(lines.begin(), lines.end(), [](const std::wstring& line) {
    return lstrcmpiW(line.c_str(), kLiteralSection) == 0;
  });
  route->Clear();
  bool inSection = !hasHeader;
  for (const std::wstring& line : lines) {
    if (hasHeader && lstrcmpiW(line.c_str(), kLiteralSection) == 0) {
      route->Clear();
      inSection = true;
    } else if (hasHeader && !line.empty() && line[0] == L'[') {
      inSection = false;
    } else if (inSection && !IsBlank(line)) {
      route->AddLiteral(line.c_str());
    }
  }
}

// ---- the report ----------------------------------------------------------------------------------

// An aligned table: the columns are as wide as their widest cell; the last column is not padded.
class Table {
 public:
  explicit Table(std::vector<std::wstring> head) { rows_.push_back(std::move(head)); }
  void Add(std::vector<std::wstring> row) { rows_.push_back(std::move(row)); }
  std::wstring Text() const {
    std::vector<size_t> widths(rows_[0].size(), 0);
    for (const auto& row : rows_)
      for (size_t i = 0; i < row.size(); ++i) widths[i] = std::max(widths[i], row[i].size());
    std::wstring text;
    for (const auto& row : rows_) {
      std::wstring line = L"  ";
      for (size_t i = 0; i < row.size(); ++i) {
        line += row[i];
        if (i + 1 < row.size()) line.append(widths[i] - row[i].size() + 2, L' ');
      }
      while (!line.empty() && line.back() == L' ') line.pop_back();
      text += line + L"\n";
    }
    return text;
  }

 private:
  std::vector<std::vector<std::wstring>> rows_;
};

// How a literal's status is shown: a word when no check ran, else the code (small codes in decimal,
// HRESULTs in hexadecimal).
enum class NotRun { kNo, kNoResult, kSkipped, kUnlisted };

NotRun WhyNotRun(LiteralSI* literal) {
  if (literal->CheckRan()) return NotRun::kNo;
  if (!literal->Result()) return NotRun::kNoResult;
  if (literal->Kind() == kesi::kKindUnknown) return NotRun::kUnlisted;
  return NotRun::kSkipped;
}

std::wstring StatusText(LONG status) {
  if (status < -0xFFFF || status > 0xFFFF) return Hex(static_cast<DWORD>(status));
  return std::to_wstring(status);
}

std::wstring NotRunText(NotRun why) {
  switch (why) {
    case NotRun::kNoResult: return L"no result";
    case NotRun::kSkipped: return L"skipped";
    case NotRun::kUnlisted: return L"unlisted";
    default: return std::wstring();
  }
}

std::wstring NotRunMeaning(NotRun why) {
  switch (why) {
    case NotRun::kNoResult: return L"not run: the line names no result";
    case NotRun::kSkipped: return L"not run: a literal evaluated earlier had already made its result TRUE";
    case NotRun::kUnlisted: return L"not run: the client does not know this kind";
    default: return std::wstring();
  }
}

std::wstring StatusMeaning(LONG status, int kind) {
  if (status == 0) return L"the check ran";
  // The file checks refuse, without looking, a path that would make Windows sign on to another machine.
  if (kind == kesi::kKindFile || kind == kesi::kKindDirectory) {
    if (status == ERROR_BAD_NETPATH)
      return L"refused: a network path (UNC or WebDAV); FILE and DIRECTORY check local files only, nothing was opened";
    if (status == ERROR_BAD_PATHNAME)
      return L"refused: a device path (\\\\.\\, \\\\?\\ or \\?" L"?\\); FILE and DIRECTORY check local files only, nothing was opened";
  }
  if (status == kCheckUnprepared) return L"parameters missing or not prepared";
  if (status == REGDB_E_CLASSNOTREG) return L"class not registered: the product-check engine is not installed";
  std::wstring text = Describe(static_cast<DWORD>(status));
  if (text.empty() && status < 0) text = L"failure";
  return text;
}

// The literal's kind as the report shows it: the canonical name, or the name as written for a kind the
// client does not know (taken from the line with the engine's own tokenizer).
std::wstring KindText(LiteralSI* literal, const std::wstring* line) {
  if (!literal->KindName().IsEmpty()) return static_cast<const wchar_t*>(literal->KindName());
  std::wstring written;
  if (line) {
    std::vector<wchar_t> copy(line->begin(), line->end());
    copy.push_back(L'\0');
    kesi::LiteralLineFields fields;
    kesi::SplitLiteralLine(copy.data(), &fields);
    if (fields.kind) written = fields.kind;
  }
  return written.empty() ? L"?" : written;
}

std::wstring OrDash(const wchar_t* text) { return text && *text ? std::wstring(text) : std::wstring(L"-"); }

std::wstring ShortItem(const std::wstring& item) {
  if (item.size() <= kMaxItemChars) return item;
  return item.substr(0, kMaxItemChars - 40) + L"... (" + std::to_wstring(item.size()) + L" characters)";
}

// Every literal in list order with its verdict and status, and what the statuses mean.
void PrintLiterals(SystemInterrogator* engine, const std::vector<std::wstring>& lines) {
  std::vector<LiteralSI*> literals;
  for (LiteralSI* literal = engine->FirstLiteral(); literal; literal = literal->Next()) literals.push_back(literal);
  std::reverse(literals.begin(), literals.end());  // the engine keeps the newest first
  const bool haveLines = lines.size() == literals.size();

  std::wstring text = L"literals (" + std::to_wstring(literals.size()) +
                      L", in list order; they are evaluated from the last one up,\n"
                      L"and once a result is TRUE the checks of its other literals are skipped)\n";
  if (literals.empty()) {
    Print(stdout, text + L"  (none)\n\n");
    return;
  }
  Table table({L"ID", L"KIND", L"RESULT", L"VERDICT", L"STATUS", L"PARAMETERS"});
  std::vector<std::wstring> legendKeys;
  std::vector<std::wstring> legendTexts;
  auto explain = [&](const std::wstring& key, const std::wstring& meaning) {
    if (std::find(legendKeys.begin(), legendKeys.end(), key) != legendKeys.end()) return;
    legendKeys.push_back(key);
    legendTexts.push_back(meaning);
  };
  // The anti-virus check reports -503 on every path; its verdict stands all the same.
  const bool antiVirusUnprepared = std::any_of(literals.begin(), literals.end(), [](LiteralSI* literal) {
    return literal->CheckRan() && literal->Kind() == kesi::kKindAntiVirus && literal->CheckStatus() == kCheckUnprepared;
  });
  for (size_t i = 0; i < literals.size(); ++i) {
    LiteralSI* literal = literals[i];
    NotRun why = WhyNotRun(literal);
    std::wstring verdict = L"-";
    std::wstring status;
    if (why == NotRun::kNo) {
      LONG value = literal->CheckVerdict();
      verdict = value == 0 ? L"FALSE" : value == 1 ? L"TRUE" : L"TRUE (" + std::to_wstring(value) + L")";
      status = StatusText(literal->CheckStatus());
      std::wstring meaning = StatusMeaning(literal->CheckStatus(), literal->Kind());
      if (literal->CheckStatus() == kCheckUnprepared && antiVirusUnprepared)
        meaning += L" (AVIRUS reports it with every verdict)";
      explain(status, meaning);
    } else {
      status = NotRunText(why);
      explain(status, NotRunMeaning(why));
    }
    table.Add({OrDash(literal->LiteralId()), KindText(literal, haveLines ? &lines[i] : nullptr),
               literal->Result() ? OrDash(literal->ResultName()) : std::wstring(L"-"), verdict, status,
               static_cast<const wchar_t*>(literal->Parameters())});
  }
  text += table.Text();
  Table legend({L"STATUS", L"MEANING"});
  for (size_t i = 0; i < legendKeys.size(); ++i) legend.Add({legendKeys[i], legendTexts[i]});
  Print(stdout, text + L"\n" + legend.Text() + L"\n");
}

void PrintResults(const std::wstring& title, const std::wstring& valueHead, const std::vector<PostedResult>& results) {
  std::wstring text = title + L"\n";
  if (results.empty()) {
    Print(stdout, text + L"  (none)\n\n");
    return;
  }
  Table table({L"RESULT", valueHead, L"ITEMS"});
  for (const PostedResult& result : results) {
    const wchar_t* value = result.value ? L"TRUE" : L"FALSE";
    if (result.items.empty()) {
      table.Add({OrDash(result.name.c_str()), value, L"-"});
      continue;
    }
    for (size_t i = 0; i < result.items.size(); ++i)
      table.Add({i == 0 ? OrDash(result.name.c_str()) : L"", i == 0 ? value : L"", ShortItem(result.items[i])});
  }
  Print(stdout, text + table.Text() + L"\n");
}

// The engine's results in its order, their items taken out of the queues (nothing else reads them then).
std::vector<PostedResult> TakeResults(SystemInterrogator* engine) {
  std::vector<PostedResult> results;
  for (ResultSI* result = engine->FirstResult(); result; result = result->Next()) {
    PostedResult entry;
    entry.name = static_cast<const wchar_t*>(result->Name());
    entry.value = result->Value() != 0;
    RQString* item = nullptr;
    while ((item = result->NextItem(item)) != nullptr) entry.items.emplace_back(static_cast<const wchar_t*>(*item));
    results.push_back(std::move(entry));
  }
  return results;
}

void PrintFacts(SystemInterrogator* engine) {
  DWORD user = engine->User();
  const wchar_t* userText = user == kUserAdministrator ? L"administrator" : user == kUserPowerUser ? L"power user" : L"other";
  Table table({L"FACT", L"VALUE"});
  table.Add({L"user", std::to_wstring(user) + L" (" + userText + L")"});
  table.Add({L"userHomeDirectory", OrDash(engine->UserHomeDirectory())});
  table.Add({L"systemDirectory", OrDash(engine->SystemDirectory())});
  table.Add({L"equipmentID", OrDash(engine->EquipmentId())});
  table.Add({L"x64", engine->Is64Bit() ? L"true" : L"false"});
  Print(stdout, L"global facts (sent with the results as the protocol version allows)\n" + table.Text() + L"\n");
}

// ---- the two modes -------------------------------------------------------------------------------------

struct Options {
  const wchar_t* appliance = nullptr;
  const wchar_t* credential = nullptr;
  const wchar_t* listFile = nullptr;
  BOOL ignoreCertificateErrors = FALSE;
  bool certificateOption = false;  // --insecure or --strict-certificate was given
};

// A new engine with its first reference in an owner (empty when memory ran out).
ComPtr<SystemInterrogator> NewEngine() {
  ComPtr<SystemInterrogator> engine;
  engine.attach(new (std::nothrow) SystemInterrogator());
  return engine;
}

int RunLocal(const Options& options) {
  std::vector<std::wstring> lines;
  if (DWORD rc = ReadListFile(options.listFile, &lines))
    return Failed(kCommand, (std::wstring(L"reading ") + options.listFile).c_str(), rc);
  const ComPtr<SystemInterrogator> owner = NewEngine();
  if (!owner) return Failed(kCommand, L"making the engine", ERROR_OUTOFMEMORY);
  SystemInterrogator* engine = owner.get();
  WatchedRoute route(engine);
  FeedLocalList(lines, &route);
  Print(stdout, std::wstring(L"list ") + options.listFile + L" (evaluated here; nothing is sent)\n\n");
  engine->EvaluateAll();
  PrintLiterals(engine, route.Lines());
  PrintResults(L"results (in the order they would be posted)", L"VALUE", TakeResults(engine));
  PrintFacts(engine);
  return 0;
}

int RunAppliance(const Options& options) {
  ComPtr<LogonAgent> agent;
  agent.attach(new (std::nothrow) LogonAgent());
  if (!agent) return Failed(kCommand, L"making the agent", ERROR_OUTOFMEMORY);
  const ComPtr<SystemInterrogator> owner = NewEngine();
  if (!owner) return Failed(kCommand, L"making the engine", ERROR_OUTOFMEMORY);
  SystemInterrogator* engine = owner.get();

  // As the interrogator object connects, except that no dialog is ever shown to a console user and the
  // certificate is verified unless --insecure says otherwise.
  PrintCertificateMode(options.ignoreCertificateErrors);
  if (DWORD rc = agent->Connect(options.appliance, nullptr, options.credential, nullptr, nullptr, FALSE, nullptr,
                                options.ignoreCertificateErrors, 0, 0))
    return Failed(kCommand, L"logon", rc);
  Print(stdout, std::wstring(L"appliance ") + options.appliance + L", protocol version " +
                    std::to_wstring(agent->GetVersion()) + L", session " + agent->GetSession() + L"\n");

  WatchedRoute route(engine);
  if (DWORD rc = agent->GetInterrogationList(&route)) return Failed(kCommand, L"fetching the list (procedure 10)", rc);
  size_t results = 0;
  for (ResultSI* r = engine->FirstResult(); r; r = r->Next()) ++results;
  Print(stdout, L"list: " + std::to_wstring(route.Lines().size()) + L" literals naming " + std::to_wstring(results) +
                    L" results\n\n");

  engine->EvaluateAll();
  PrintLiterals(engine, route.Lines());

  BOOL proceed = FALSE;
  RQString zone;
  RQStringMZ zoneCommands;
  DWORD posted = agent->PostResults(&route, &proceed, &zone, &zoneCommands);
  PrintResults(L"results as posted (procedure 11), in the order sent", L"POSTED", route.Posted());
  PrintFacts(engine);
  if (posted) return Failed(kCommand, L"posting the results (procedure 11)", posted);

  int interval = engine->RecurringInterval();
  std::wstring commands;
  for (unsigned i = 0; i < zoneCommands.GetCount(); ++i) commands += (i ? L", " : L"") + std::wstring(zoneCommands[i]);
  Table table({L"REPLY", L"VALUE"});
  table.Add({L"continue", proceed ? L"true" : L"false"});
  table.Add({L"interval", interval > 0 ? std::to_wstring(interval) + L" s (recurring interrogation)"
                                       : std::to_wstring(interval) + L" (no recurring interrogation)"});
  table.Add({L"zone", OrDash(zone)});
  table.Add({L"zone commands", commands.empty() ? std::wstring(L"(none)") : commands});
  Print(stdout, L"the appliance's answer\n" + table.Text());
  if (zoneCommands.GetCount() && std::wstring(zoneCommands[0]) == L"LOGOUT")
    Print(stdout, L"  (LOGOUT: the appliance ends the session)\n");
  return 0;
}

}  // namespace

int RunInterrogate(int argc, wchar_t** argv) {
  Options options;
  for (int i = 0; i < argc; ++i) {
    std::wstring option = argv[i];
    if ((option == L"--appliance" || option == L"--credential" || option == L"--list") && i + 1 < argc) {
      const wchar_t* value = argv[++i];
      (option == L"--appliance" ? options.appliance : option == L"--credential" ? options.credential : options.listFile) =
          value;
    } else if (ParseCertificateOption(option, &options.ignoreCertificateErrors)) {
      options.certificateOption = true;
    } else {
      return UsageError(L"interrogate: unexpected \"" + option + L"\"");
    }
  }
  const bool appliance = options.appliance && *options.appliance;
  const bool local = options.listFile && *options.listFile;
  if (appliance == local) return UsageError(L"interrogate: give either --appliance HOST[:PORT] or --list FILE");
  if (local && (options.credential || options.certificateOption))
    return UsageError(L"interrogate: --credential, --insecure and --strict-certificate go with --appliance");
  try {
    return local ? RunLocal(options) : RunAppliance(options);
  } catch (const std::bad_alloc&) {
    return Failed(kCommand, L"the report", ERROR_OUTOFMEMORY);
  }
}

}  // namespace kesi::probe
