#include "BrokerCommand.h"

namespace kesi::controls {

void AppendCommandWord(std::wstring& line, std::wstring_view word) {
  // Placeholder until the broker pipe lands: plain words.
  if (!line.empty()) line += L' ';
  line.append(word);
}

bool BuildInterrogationCommand(std::wstring_view authId, std::wstring_view urlConfiguration,
                               std::wstring_view urlPost, std::wstring* line) {
  std::wstring built = L"1";
  AppendCommandWord(built, authId);
  AppendCommandWord(built, urlConfiguration);
  AppendCommandWord(built, urlPost);
  if (built.size() > kBrokerCommandChars) return false;
  *line = std::move(built);
  return true;
}

bool BuildMsiInstallCommand(std::wstring_view credential, std::wstring_view configuration, std::wstring_view serverIp,
                            std::wstring_view msiUrl, std::wstring* line) {
  std::wstring built = L"5";
  AppendCommandWord(built, credential);
  AppendCommandWord(built, configuration);
  AppendCommandWord(built, serverIp);
  AppendCommandWord(built, msiUrl);
  if (built.size() > kBrokerCommandChars) return false;
  *line = std::move(built);
  return true;
}

}  // namespace kesi::controls
