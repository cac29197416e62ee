// The configuration-file route: reading a configuration (file path or HTTPS), its MAC, the literals and
// their checks, the epcData document, and the post with its MAC header and the location it brings back.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "ConfigMac.h"
#include "ConfigText.h"
#include "ConfigurationRoute.h"
#include "FileTransfer.h"
#include "GlobalFacts.h"
#include "Handles.h"
#include "LogFile.h"
#include "LoopbackShare.h"
#include "SignedConfigs.h"
#include "SignedConfiguration.h"
#include "SimulatorClient.h"
#include "TestFiles.h"
#include "TestLogFile.h"
#include "TestText.h"

using namespace kesi;

namespace {

using kesi::test::MacOf;
using kesi::test::Narrow;
using kesi::test::Signed;
using kesi::test::Utf8;
using kesi::test::Widen;
using kesi::test::WithCrLf;

std::wstring Replace(std::wstring text, const std::wstring& from, const std::wstring& to) {
  size_t at = text.find(from);
  if (at != std::wstring::npos) text.replace(at, from.size(), to);
  return text;
}

// Global facts the document can be compared against byte for byte.
BOOL WINAPI AdministratorMembership(HANDLE, PSID, PBOOL member) {
  *member = TRUE;
  return TRUE;
}
HRESULT WINAPI FixedFolder(HWND, int, HANDLE, DWORD, LPWSTR path) {
  wcscpy(path, L"C:\\users\\tester\\AppData\\Roaming");
  return S_OK;
}
UINT WINAPI FixedSystemDirectory(LPWSTR buffer, UINT size) {
  wcscpy(buffer, L"C:\\windows\\system32");
  return 19;
}
HRESULT WINAPI NoFolder(HWND, int, HANDLE, DWORD, LPWSTR) { return E_FAIL; }
UINT WINAPI NoSystemDirectory(LPWSTR, UINT) { return 0; }

class ConfigurationRouteTest : public ::testing::Test {
 protected:
  ConfigurationRouteTest() : route_(log_.Log()) {}
  ~ConfigurationRouteTest() override { ResetGlobalFactCalls(); }

  LONG Run(const std::wstring& text) {
    EXPECT_TRUE(route_.SetConfigurationText(text.c_str()));
    LONG code = 12345;
    EXPECT_EQ(S_OK, route_.Run(&code));
    return code;
  }

  std::vector<const ConfigLiteral*> Literals() const {
    std::vector<const ConfigLiteral*> out;
    for (const ConfigLiteral* l = route_.FirstLiteral(); l; l = l->Next()) out.push_back(l);
    return out;
  }

  std::string Document() const {
    return route_.Document() ? std::string(route_.Document(), route_.DocumentSize()) : std::string();
  }

  // The interrogator's log, numbered messages from this program's message table.
  kesi::test::TestLogFile log_{L"config-route"};
  ConfigurationRoute route_;
};

// The configuration that Python's hmac signed is accepted whatever its line endings and the case of its
// MAC; literal lines behind an empty line are outside the protected text and are not read.
TEST_F(ConfigurationRouteTest, AcceptsPythonSignedConfiguration) {
  const std::wstring lf = signed_configs::kConfiguration;
  const std::wstring mac = Widen(signed_configs::kMacCases[sizeof(signed_configs::kMacCases) /
                                                              sizeof(signed_configs::kMacCases[0]) - 1].mac);
  std::wstring lower = mac;
  for (wchar_t& c : lower) c = towlower(c);
  ASSERT_NE(mac, lower);
  struct Case {
    const char* name;
    std::wstring text;
  } cases[] = {
      {"LF", lf},
      {"CR-LF", WithCrLf(lf)},
      {"MAC in lower case", Replace(lf, mac, lower)},
      {"unprotected literal after an empty line", lf + L"\nLiteral12=DIRECTORY,unprotected,C:\\windows\n"},
  };
  const int kinds[] = {4, 2, 1, 3, 5, 6, 7, 3, 1, 11, 0};
  const wchar_t* ids[] = {L"os_at_least_xp", L"windows_folder", L"kernel32", L"product_name", L"explorer",
                          L"corp_user", L"corp_machine", L"quoted,id", L"unicode_path", L"engine_av",
                          L"unlisted_kind"};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(0, Run(c.text));
    std::vector<const ConfigLiteral*> literals = Literals();
    ASSERT_EQ(11u, literals.size());
    for (size_t i = 0; i < literals.size(); ++i) {
      SCOPED_TRACE(Narrow(ids[i]));
      EXPECT_EQ(kinds[i], literals[i]->Kind());
      EXPECT_STREQ(ids[i], literals[i]->LiteralId());
      EXPECT_STREQ(signed_configs::kLiteralTexts[i], literals[i]->LineText());
    }
    EXPECT_STREQ(L"HKEY_CURRENT_USER\\Software\\Velmora Test & Co,Gr\u00f6\u00dfe,<5,<", literals[7]->Parameters());
    // The folder exists; the product engine's kind and the unlisted kind are never evaluated.
    EXPECT_EQ(1, literals[1]->Value());
    EXPECT_EQ(0, literals[1]->CheckCode());
    for (size_t i : {9u, 10u}) {
      EXPECT_EQ(0, literals[i]->Value());
      EXPECT_EQ(kesi::kConfigNotEvaluated, literals[i]->CheckCode());
    }
    EXPECT_NE(nullptr, route_.Document());
  }
  EXPECT_TRUE(log_.Contains("read cfg HMAC " + Narrow(lower)));
  EXPECT_TRUE(log_.Contains("calc cfg HMAC " + Narrow(mac)));
  EXPECT_TRUE(log_.Contains("ReadInterrogationConfiguration() success 0"));
  EXPECT_TRUE(log_.Contains("Evaluated C:\\windows to TRUE"));
  EXPECT_TRUE(log_.Contains("Evaluated x to FALSE"));
  EXPECT_TRUE(log_.Contains("Evaluated all literals"));
  EXPECT_TRUE(log_.Contains("Exit Run()."));
}

// A refused configuration ends with its code, builds no literals and leaves no document, not even the
// one an earlier run built, so that nothing stale can be posted.
TEST_F(ConfigurationRouteTest, RefusesConfigurationsWithStatedCodes) {
  const std::wstring body = L"[InterrogationLiterals]\nLiteral1=DIRECTORY,win,C:\\windows\nLiteral2=BOGUS,b,x\n";
  const std::wstring good = Signed(body);
  const std::wstring mac = good.substr(14, 28);
  struct Case {
    const char* name;
    std::wstring text;
    LONG code;
  } cases[] = {
      {"empty", L"", kesi::kConfigEmpty},
      {"no [Global]", body, kesi::kConfigNoMac},
      {"no HMAC line", L"[Global]\nName=x\n" + body, kesi::kConfigNoMac},
      {"empty HMAC", L"[Global]\nHMAC=\n" + body, kesi::kConfigNoMac},
      {"HMAC in another section", L"[Global]\n[Other]\nHMAC=" + mac + L"\n" + body, kesi::kConfigNoMac},
      {"HMAC of 128 characters", L"[Global]\nHMAC=" + std::wstring(128, L'A') + L"\n" + body, kesi::kConfigNoMac},
      {"HMAC of 127 characters", L"[Global]\nHMAC=" + std::wstring(127, L'A') + L"\n" + body, kesi::kConfigBadMac},
      {"parameter changed", Replace(good, L"C:\\windows", L"C:\\windowz"), kesi::kConfigBadMac},
      {"literal added", good + L"Literal3=DIRECTORY,added,C:\\\n", kesi::kConfigBadMac},
      {"literal removed", Replace(good, L"Literal2=BOGUS,b,x\n", L""), kesi::kConfigBadMac},
      {"no literal section", L"[Global]\nHMAC=" + mac + L"\n", kesi::kConfigBadMac},
      {"header in lower case", Replace(good, L"[InterrogationLiterals]", L"[interrogationliterals]"),
       kesi::kConfigBadMac},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(0, Run(good));
    ASSERT_NE(nullptr, route_.Document());
    EXPECT_EQ(c.code, Run(c.text));
    EXPECT_EQ(nullptr, route_.FirstLiteral());
    EXPECT_EQ(nullptr, route_.Document());
    LONG code = 0;
    EXPECT_EQ(S_OK, route_.PostResult(L"https://127.0.0.1:1/postauth/x", L"0", &code));
    EXPECT_EQ(kesi::kConfigNotEvaluated, code);
  }
  EXPECT_TRUE(log_.Contains("The HMAC of the configuration file is not correct."));
  EXPECT_TRUE(log_.Contains("ReadInterrogationConfiguration() failed 4294966791"));  // -505
  EXPECT_TRUE(log_.Contains("PostResult has been called but there is not response to send."));
}

// Lines without fields, missing parameters, an unknown registry root and overlong lines and fields are
// each reported through their literal; none stops the run.
TEST_F(ConfigurationRouteTest, BadLiteralLinesAreReportedOneByOne) {
  const std::wstring longId(3000, L'i');
  const std::wstring longLine = L"DIRECTORY,long_line,C:\\" + std::wstring(5000, L'w');
  const std::wstring body = L"[InterrogationLiterals]\n"
                            L"Literal1=\n"
                            L"Literal2=FILE\n"
                            L"Literal3=FILE,no_parameters\n"
                            L"Literal4=REGISTRY,bad_root,HKEY_NOWHERE\\Software,Value,1,=\n"
                            L"Literal5=" + longLine + L"\n"
                            L"Literal6=DIRECTORY," + longId + L",C:\\windows\n"
                            L"LiteralX=DIRECTORY,not_a_literal_line,C:\\windows\n"
                            L"Literal=DIRECTORY,no_number,C:\\windows\n"
                            L"Note=DIRECTORY,other_line,C:\\windows\n";
  ASSERT_EQ(0, Run(Signed(body)));
  struct Expected {
    const char* name;
    int kind;
    std::wstring id;
    std::wstring parameters;
    LONG value;
    LONG code;
  } expected[] = {
      {"no fields", 0, L"null", L"", 0, kesi::kConfigNotEvaluated},
      {"kind only", 1, L"null", L"", 0, -503},
      {"no parameters", 1, L"no_parameters", L"", 0, -503},
      {"unknown registry root", 3, L"bad_root", L"HKEY_NOWHERE\\Software,Value,1,=", 0, -503},
      {"line of 5000 characters", 2, L"long_line", L"C:\\" + std::wstring(5000, L'w'), 0, ERROR_INSUFFICIENT_BUFFER},
      {"id of 3000 characters", 2, longId, L"C:\\windows", 1, 0},
  };
  std::vector<const ConfigLiteral*> literals = Literals();
  ASSERT_EQ(sizeof(expected) / sizeof(expected[0]), literals.size());
  for (size_t i = 0; i < literals.size(); ++i) {
    const Expected& e = expected[i];
    SCOPED_TRACE(e.name);
    EXPECT_EQ(e.kind, literals[i]->Kind());
    EXPECT_EQ(e.id, static_cast<const wchar_t*>(literals[i]->LiteralId()));
    EXPECT_EQ(e.parameters, static_cast<const wchar_t*>(literals[i]->Parameters()));
    EXPECT_EQ(e.value, literals[i]->Value());
    EXPECT_EQ(e.code, literals[i]->CheckCode());
  }
  // Every literal is in the document, the long line whole.
  const std::string document = Document();
  EXPECT_NE(std::string::npos, document.find("<id>" + std::string(3000, 'i') + "</id>\n       <value>TRUE</value>"));
  EXPECT_NE(std::string::npos, document.find(Utf8(longLine) + "</literalDescription>"));
  EXPECT_NE(std::string::npos, document.find("<id>null</id>"));
  EXPECT_TRUE(log_.Contains("Literal long_line is " + std::to_string(longLine.size()) +
                            " characters long and is not evaluated"));
}

// The document of a small configuration, byte for byte, with the global facts read and unread.
TEST_F(ConfigurationRouteTest, DocumentIsByteExact) {
  const std::wstring body = L"[InterrogationLiterals]\n"
                            L"Literal1=DIRECTORY,windows_\u00dc,C:\\windows\n"
                            L"Literal2=BOGUS,size<5 & more,a<b\n";
  const std::string head =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      "<epcData xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" "
      "xsi:noNamespaceSchemaLocation=\"C:\\epc\\schema\\epc.xsd\">\n"
      "  <interrogationLiterals>\n"
      "     <literal>\n"
      "       <id>windows_\xc3\x9c</id>\n"
      "       <value>TRUE</value>\n"
      "       <literalDescription>DIRECTORY,windows_\xc3\x9c,C:\\windows</literalDescription>\n"
      "     </literal>\n"
      "     <literal>\n"
      "       <id>size&lt;5 &amp; more</id>\n"
      "       <value>FALSE</value>\n"
      "       <literalDescription>BOGUS,sizel5 &amp; more,alb</literalDescription>\n"
      "     </literal>\n"
      "   </interrogationLiterals>\n"
      "  <globalInformation>\n"
      "     <user>1</user>\n";
  struct Case {
    const char* name;
    decltype(GlobalFactCalls::getFolderPath) folder;
    decltype(GlobalFactCalls::getSystemDirectory) system;
    std::string tail;
  } cases[] = {
      {"facts read", FixedFolder, FixedSystemDirectory,
       "     <userHomeDirectory>C:\\users\\tester\\AppData</userHomeDirectory>\n"
       "     <systemDirectory>C:\\windows\\system32</systemDirectory>\n"
       "  </globalInformation>\n"
       "</epcData>"},
      {"folders unreadable", NoFolder, NoSystemDirectory, "  </globalInformation>\n</epcData>"},
  };
  GlobalFactSystem().checkTokenMembership = AdministratorMembership;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    GlobalFactSystem().getFolderPath = c.folder;
    GlobalFactSystem().getSystemDirectory = c.system;
    ASSERT_EQ(0, Run(Signed(body)));
    EXPECT_EQ(head + c.tail, Document());
    EXPECT_EQ(strlen(route_.Document()), route_.DocumentSize());
  }
}

// Writes a document to the folder in KESI_EPC_OUT (the xmllint check, epc_xmllint.sh), when it is set.
::testing::AssertionResult KeepDocument(const char* name, const std::string& document) {
  wchar_t folder[MAX_PATH];
  DWORD n = GetEnvironmentVariableW(L"KESI_EPC_OUT", folder, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return ::testing::AssertionSuccess();
  return kesi::test::WriteWholeFile(std::wstring(folder) + L"\\" + Widen(name) + L".xml", document);
}

// Literal text that is not XML: markup characters in ids and descriptions, the end of a character-data
// section, control characters and unpaired surrogates. The document keeps every literal and stays well
// formed (the xmllint check reads what KeepDocument writes).
TEST_F(ConfigurationRouteTest, DocumentsStayWellFormed) {
  const std::wstring hostile = L"[InterrogationLiterals]\n"
                               L"Literal1=FILE,<id>&amp;,C:\\a&b<c>d\n"
                               L"Literal2=BOGUS,\"quoted \"\"id\"\"\",]]>x\n"
                               L"Literal3=BOGUS,ctl\x01\x02\x1f,\x0b\x0c\x7f\n"
                               L"Literal4=BOGUS,half\xd800,end\xdc00\n"
                               L"Literal5=BOGUS,pair\xd83d\xde00,\xfffe\xffff\n"
                               L"Literal6=BOGUS,</literal>,</epcData>\n"
                               L"Literal7=BOGUS,tab\there,cr\rinside\n";
  struct Case {
    const char* name;
    std::wstring text;
    size_t literals;
  } cases[] = {
      {"python_signed", signed_configs::kConfiguration, 11},
      {"hostile", Signed(hostile), 7},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(0, Run(c.text));
    EXPECT_EQ(c.literals, Literals().size());
    const std::string document = Document();
    size_t entries = 0;
    for (size_t at = document.find("<literal>"); at != std::string::npos; at = document.find("<literal>", at + 1))
      ++entries;
    EXPECT_EQ(c.literals, entries);
    // No control character but LF, tab and the CR inside a description; no character-data end.
    for (char ch : document) {
      if (static_cast<unsigned char>(ch) < 0x20) {
        EXPECT_TRUE(ch == '\n' || ch == '\t' || ch == '\r');
      }
    }
    EXPECT_EQ(std::string::npos, document.find("]]>"));
    EXPECT_EQ(std::string::npos, document.find("\xef\xbf\xbd"));  // no replacement character from a surrogate
    EXPECT_TRUE(KeepDocument(c.name, document));
  }
  const std::string document = Document();
  EXPECT_NE(std::string::npos, document.find("<id>&lt;id>&amp;amp;</id>"));
  EXPECT_NE(std::string::npos, document.find("<literalDescription>FILE,lid>&amp;amp;,C:\\a&amp;blc>d</literalDescription>"));
  EXPECT_NE(std::string::npos, document.find("<id>pair\xf0\x9f\x98\x80</id>"));
  EXPECT_NE(std::string::npos, document.find("<id>half?</id>"));
}

// Reading from a file path: UTF-8 with or without a byte-order mark and with either line ending; failures
// leave no configuration behind and no temporary file.
TEST_F(ConfigurationRouteTest, ReadsConfigurationFromFilePath) {
  const std::wstring lf = signed_configs::kConfiguration;
  const std::string marker = "Literal11=BOGUS,unlisted_kind,x";
  auto tempFiles = []() {
    std::vector<std::wstring> names;
    wchar_t folder[MAX_PATH];
    GetTempPathW(MAX_PATH, folder);
    WIN32_FIND_DATAW data;
    kesi::UniqueFind find(FindFirstFileW((std::wstring(folder) + L"rqi*").c_str(), &data));
    if (!find) return names;
    do names.push_back(std::wstring(folder) + data.cFileName);
    while (FindNextFileW(find.get(), &data));
    return names;
  };
  const std::vector<std::wstring> before = tempFiles();

  struct Case {
    const char* name;
    std::string bytes;
    std::wstring text;
  } cases[] = {
      {"UTF-8", Utf8(lf), lf},
      {"byte-order mark and CR-LF", "\xef\xbb\xbf" + Utf8(WithCrLf(lf)), WithCrLf(lf)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    kesi::test::TempFile file(c.bytes);
    LONG code = 1;
    ASSERT_EQ(S_OK, route_.ReadInterrogationConfiguration(file.Path(), &code));
    EXPECT_EQ(0, code);
    EXPECT_EQ(c.text, static_cast<const wchar_t*>(route_.ConfigurationText()));
    ASSERT_EQ(S_OK, route_.Run(&code));
    EXPECT_EQ(0, code);
  }

  LONG code = 0;
  const std::wstring missing = L"C:\\no\\such\\folder\\config.ini";
  ASSERT_EQ(S_OK, route_.ReadInterrogationConfiguration(missing.c_str(), &code));
  EXPECT_EQ(ERROR_PATH_NOT_FOUND, code);
  EXPECT_TRUE(route_.ConfigurationText().IsEmpty());
  EXPECT_TRUE(log_.Contains("Failed to get C:\\no\\such\\folder\\config.ini error is 3"));
  ASSERT_EQ(S_OK, route_.ReadInterrogationConfiguration(nullptr, &code));
  EXPECT_EQ(kesi::kConfigEmpty, code);
  EXPECT_TRUE(log_.Contains("Downloading configuration from null"));
  EXPECT_EQ(E_POINTER, route_.ReadInterrogationConfiguration(missing.c_str(), nullptr));

  kesi::test::TempFile empty("");
  ASSERT_EQ(S_OK, route_.ReadInterrogationConfiguration(empty.Path(), &code));
  EXPECT_EQ(0, code);
  LONG runCode = 0;
  route_.Run(&runCode);
  EXPECT_EQ(kesi::kConfigEmpty, runCode);
  EXPECT_TRUE(log_.Contains("Successfully downloded configuration"));

  // No temporary copy that this test made is left behind.
  for (const std::wstring& name : tempFiles()) {
    if (std::find(before.begin(), before.end(), name) != before.end()) continue;
    kesi::UniqueFile file(
        CreateFileW(name.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr));
    if (!file) continue;
    char block[4096];
    DWORD read = 0;
    ReadFile(file.get(), block, sizeof(block), &read, nullptr);
    EXPECT_EQ(std::string::npos, std::string(block, read).find(marker)) << Narrow(name);
  }
}

// The route against the appliance: the configuration comes by HTTPS with the credential as cookie, the
// document goes back by POST with its MAC in "X-Velmora-MAC", and the server's Location is kept.
std::string JsonString(const std::string& utf8) {
  std::string out = "\"";
  for (unsigned char c : utf8) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

// Appends code point c as UTF-8.
void AppendUtf8(std::string* out, unsigned long c) {
  if (c < 0x80) {
    *out += static_cast<char>(c);
  } else if (c < 0x800) {
    *out += static_cast<char>(0xC0 | (c >> 6));
    *out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    *out += static_cast<char>(0xE0 | (c >> 12));
    *out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    *out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    *out += static_cast<char>(0xF0 | (c >> 18));
    *out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    *out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    *out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

// The JSON string that starts at json[at] (its opening quote), decoded to UTF-8.
std::string JsonStringAt(const std::string& json, size_t at) {
  std::string out;
  for (size_t i = at + 1; i < json.size() && json[i] != '"'; ++i) {
    if (json[i] != '\\') {
      out += json[i];
      continue;
    }
    const char e = json[++i];
    switch (e) {
      case 'n': out += '\n'; break;
      case 'r': out += '\r'; break;
      case 't': out += '\t'; break;
      case 'b': out += '\b'; break;
      case 'f': out += '\f'; break;
      case 'u': {
        unsigned long c = std::stoul(json.substr(i + 1, 4), nullptr, 16);
        i += 4;
        if (c >= 0xD800 && c <= 0xDBFF && json.compare(i + 1, 2, "\\u") == 0) {
          const unsigned long low = std::stoul(json.substr(i + 3, 4), nullptr, 16);
          c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
          i += 6;
        }
        AppendUtf8(&out, c);
        break;
      }
      default: out += e; break;  // '"', '\\', '/'
    }
  }
  return out;
}

// The bodies of the POST requests the appliance received, by path, in the order they came (from its
// JSON journal, which keeps each body as text).
std::vector<std::pair<std::string, std::string>> PostedBodies(kesi::test::Appliance& appliance) {
  const std::string json = appliance.Get("journal").body;
  std::vector<std::pair<std::string, std::string>> bodies;
  std::string method, path;
  for (size_t at = 0; (at = json.find("\": \"", at)) != std::string::npos; at += 4) {
    const size_t keyStart = json.rfind('"', at - 1);
    const std::string key = json.substr(keyStart + 1, at - keyStart - 1);
    const std::string value = JsonStringAt(json, at + 3);
    if (key == "method") method = value;
    else if (key == "path") path = value;
    else if (key == "body_text" && method == "POST") bodies.emplace_back(path, value);
  }
  return bodies;
}

std::vector<std::string> LinesWith(const std::vector<std::string>& journal, const std::string& part) {
  std::vector<std::string> out;
  for (const std::string& line : journal)
    if (line.find(part) != std::string::npos) out.push_back(line);
  return out;
}

TEST_F(ConfigurationRouteTest, ThroughTheAppliance) {
  const std::wstring config = WithCrLf(signed_configs::kConfiguration);
  kesi::test::Appliance appliance("{\"inline_files\": {\"cfg/branch.ini\": " + JsonString(Utf8(config)) + "}}");
  ASSERT_EQ("", appliance.Error());
  const std::wstring base = L"https://" + appliance.Server();
  // The simulator's certificate is self-signed, and Wine does not match its IP-address name.
  route_.Transfer().allowedSecurityFlags = SECURITY_FLAG_IGNORE_UNKNOWN_CA | SECURITY_FLAG_IGNORE_CERT_CN_INVALID;
  route_.Transfer().options = kesi::kTransferNoDialogs;
  LONG code = 1;

  // Before any cookie is stored for the server: "0" is no cookie.
  ASSERT_EQ(0, Run(config));
  const std::string firstDocument = Document();
  ASSERT_EQ(S_OK, route_.PostResult((base + L"/postauth/epc/first").c_str(), L"0", &code));
  EXPECT_EQ(0, code);

  ASSERT_TRUE(route_.SetCredential(L"FARLINK_ID=cred123"));
  ASSERT_EQ(S_OK, route_.ReadInterrogationConfiguration((base + L"/postauth/cfg/branch.ini").c_str(), &code));
  ASSERT_EQ(0, code);
  EXPECT_EQ(config, static_cast<const wchar_t*>(route_.ConfigurationText()));
  ASSERT_EQ(S_OK, route_.Run(&code));
  ASSERT_EQ(0, code);
  const std::string mac = MacOf(Document());
  ASSERT_EQ(S_OK, route_.PostResult((base + L"/postauth/epc/submit").c_str(), L"SESSION=abc", &code));
  EXPECT_EQ(0, code);
  const std::wstring location = base + L"/postauth/epc/result";
  ASSERT_NE(nullptr, route_.Location());
  EXPECT_EQ(location, route_.Location());
  kesi::UniqueBstr got;
  ASSERT_EQ(S_OK, route_.GetLocation(got.put()));
  ASSERT_TRUE(got);
  EXPECT_EQ(location, got.get());
  EXPECT_EQ(E_POINTER, route_.GetLocation(nullptr));
  ASSERT_EQ(S_OK, route_.PostResult((base + L"/postauth/epc/second").c_str(), &code));
  EXPECT_EQ(0, code);

  const std::vector<std::string> journal = appliance.Journal();
  std::vector<std::string> first = LinesWith(journal, "POST /postauth/epc/first 200");
  ASSERT_EQ(1u, first.size());
  EXPECT_EQ(std::string::npos, first[0].find("cookie="));
  std::vector<std::string> get = LinesWith(journal, "GET /postauth/cfg/branch.ini 200");
  ASSERT_EQ(1u, get.size());
  EXPECT_NE(std::string::npos, get[0].find("ua=\"Velmora Interrogator\""));
  EXPECT_NE(std::string::npos, get[0].find("cred123"));
  std::vector<std::string> post = LinesWith(journal, "POST /postauth/epc/submit 200");
  ASSERT_EQ(1u, post.size());
  EXPECT_NE(std::string::npos, post[0].find("mac=\"" + mac + "\"")) << post[0];
  EXPECT_NE(std::string::npos, post[0].find("SESSION=abc"));
  EXPECT_NE(std::string::npos, post[0].find("ua=\"Velmora Interrogator\""));
  std::vector<std::string> second = LinesWith(journal, "POST /postauth/epc/second 200");
  ASSERT_EQ(1u, second.size());
  EXPECT_NE(std::string::npos, second[0].find("cred123"));
  EXPECT_NE(std::string::npos, second[0].find("mac=\"" + mac + "\""));

  // What the appliance received is the document, byte for byte, and nothing else.
  const std::vector<std::pair<std::string, std::string>> expected = {
      {"/postauth/epc/first", firstDocument}, {"/postauth/epc/submit", Document()}, {"/postauth/epc/second", Document()}};
  EXPECT_EQ(expected, PostedBodies(appliance));

  const std::string size = std::to_string(route_.DocumentSize());
  EXPECT_TRUE(log_.Contains("PostResult to " + Narrow(base) + "/postauth/epc/submit xml size is " + size));
  EXPECT_TRUE(log_.Contains("PostResult succeeded location is " + Narrow(location)));
  EXPECT_TRUE(log_.Contains("GetLocation() returning " + Narrow(location)));

  // A configuration the server does not have.
  ASSERT_EQ(S_OK, route_.ReadInterrogationConfiguration((base + L"/postauth/cfg/missing.ini").c_str(), &code));
  EXPECT_EQ(ERROR_INTERNET_ITEM_NOT_FOUND, code);
  EXPECT_TRUE(route_.ConfigurationText().IsEmpty());
  EXPECT_TRUE(log_.Contains("Failed to get " + Narrow(base) + "/postauth/cfg/missing.ini error is 12028"));
}

// A configuration is a local file: a network path (which Wine maps to the share below, so a route that
// looked would read it) or a device path is refused with 53 or 161 before anything is opened.
TEST_F(ConfigurationRouteTest, NetworkAndDeviceSourcesAreRefused) {
  const std::string bytes = Utf8(signed_configs::kConfiguration);
  kesi::test::TempFile local(bytes);
  kesi::test::LoopbackShare share(L"kesi-route");
  if (share.Available()) {
    ASSERT_TRUE(kesi::test::WriteWholeFile(share.Folder() + L"\\cfg.ini", bytes));
  }
  std::wstring forward = share.Unc() + L"/cfg.ini";
  for (wchar_t& c : forward)
    if (c == L'\\') c = L'/';
  ASSERT_TRUE(SetEnvironmentVariableW(L"KESI_ROUTE_SHARE", share.Unc().c_str()));
  struct Case {
    std::wstring url;
    LONG code;
  } cases[] = {
      {local.Path(), 0},
      {share.Unc() + L"\\cfg.ini", ERROR_BAD_NETPATH},
      {forward, ERROR_BAD_NETPATH},
      {L"\\\\?\\UNC\\127.0.0.1\\" + share.Name() + L"\\cfg.ini", ERROR_BAD_NETPATH},
      {L"\\\\127.0.0.1@SSL@443\\DavWWWRoot\\cfg.ini", ERROR_BAD_NETPATH},
      {L"\\\\?\\" + std::wstring(local.Path()), ERROR_BAD_PATHNAME},
      {L"\\\\.\\" + std::wstring(local.Path()), ERROR_BAD_PATHNAME},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(Narrow(c.url));
    LONG code = 1;
    ASSERT_EQ(S_OK, route_.ReadInterrogationConfiguration(c.url.c_str(), &code));
    EXPECT_EQ(c.code, code);
    EXPECT_EQ(c.code == 0, !route_.ConfigurationText().IsEmpty());
    if (c.code) {
      EXPECT_TRUE(log_.Contains("Failed to get " + Narrow(c.url) + " error is " + std::to_string(c.code)));
    }
  }
  // Not expanded: a reference stays a relative name, which names nothing here.
  LONG code = 0;
  ASSERT_EQ(S_OK, route_.ReadInterrogationConfiguration(L"%KESI_ROUTE_SHARE%\\cfg.ini", &code));
  EXPECT_EQ(ERROR_PATH_NOT_FOUND, code);
  SetEnvironmentVariableW(L"KESI_ROUTE_SHARE", nullptr);
}

// The downloaded configuration stays in one temporary file that the route alone holds from the download
// to the read: while the appliance delays its answer the file is already there, and no other handle can
// open, delete or replace it; once the configuration is read, the file is gone.
TEST_F(ConfigurationRouteTest, DownloadIsHeldInOneExclusiveTemporaryFile) {
  const std::wstring config = WithCrLf(signed_configs::kConfiguration);
  kesi::test::Appliance appliance("{\"inline_files\": {\"cfg/slow.ini\": " + JsonString(Utf8(config)) +
                                  "}, \"faults\": [{\"path\": \"/postauth/cfg/slow.ini\", \"delay\": 2}]}");
  ASSERT_EQ("", appliance.Error());
  route_.Transfer().allowedSecurityFlags = SECURITY_FLAG_IGNORE_UNKNOWN_CA | SECURITY_FLAG_IGNORE_CERT_CN_INVALID;
  route_.Transfer().options = kesi::kTransferNoDialogs;
  wchar_t folder[MAX_PATH];
  ASSERT_NE(0u, GetTempPathW(MAX_PATH, folder));
  auto tempFiles = [&folder]() {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW data;
    kesi::UniqueFind find(FindFirstFileW((std::wstring(folder) + L"rqi*.tmp").c_str(), &data));
    if (find) {
      do names.push_back(std::wstring(folder) + data.cFileName);
      while (FindNextFileW(find.get(), &data));
    }
    return names;
  };
  const std::vector<std::wstring> before = tempFiles();

  const std::wstring url = L"https://" + appliance.Server() + L"/postauth/cfg/slow.ini";
  LONG code = 1;
  std::thread reader([&] { route_.ReadInterrogationConfiguration(url.c_str(), &code); });
  std::wstring held;
  for (int i = 0; i < 150 && held.empty(); ++i) {
    for (const std::wstring& name : tempFiles())
      if (std::find(before.begin(), before.end(), name) == before.end()) held = name;
    if (held.empty()) Sleep(10);
  }
  EXPECT_FALSE(held.empty()) << "no temporary file while the download was under way";
  if (!held.empty()) {
    kesi::UniqueFile other(CreateFileW(held.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                       nullptr, OPEN_EXISTING, 0, nullptr));
    EXPECT_FALSE(other) << "another handle opened " << Narrow(held);
    EXPECT_FALSE(DeleteFileW(held.c_str()));
    kesi::test::TempFile swap("swapped in");
    EXPECT_FALSE(MoveFileExW(swap.Path(), held.c_str(), MOVEFILE_REPLACE_EXISTING));
  }
  reader.join();
  EXPECT_EQ(0, code);
  EXPECT_EQ(config, static_cast<const wchar_t*>(route_.ConfigurationText()));
  if (!held.empty()) {
    EXPECT_FALSE(kesi::test::PathExists(held));
  }
}

// The MAC header of a post: the line itself, and a buffer too small for it leaves no cut line behind.
TEST(ConfigMacHeader, WholeLineOrNone) {
  const char* body = "<epcData/>";
  wchar_t header[kMacHeaderChars];
  ASSERT_TRUE(BuildMacHeader(body, header, kMacHeaderChars));
  EXPECT_EQ(L"X-Velmora-MAC: " + Widen(MacOf(body)) + L"\r\n", header);
  wchar_t small[20] = L"junk";
  EXPECT_FALSE(BuildMacHeader(body, small, 20));
  EXPECT_STREQ(L"", small);
  EXPECT_FALSE(BuildMacHeader(nullptr, header, kMacHeaderChars));
  EXPECT_STREQ(L"", header);
}

}  // namespace
