#include "RQVersion.h"

#include <cstdint>

#include "VersionText.h"

namespace kesi {

RQVersion::RQVersion(const char* text) : major_(0), minor_(0), build_(0), revision_(0) { ParseAnsi(text); }

RQVersion::~RQVersion() = default;

RQVersion& RQVersion::operator=(const wchar_t* text) {
  Parse(text);
  return *this;
}

bool RQVersion::operator<(const RQVersion& other) const { return Compare(other) < 0; }
bool RQVersion::operator>(const RQVersion& other) const { return Compare(other) > 0; }
bool RQVersion::operator<=(const RQVersion& other) const { return Compare(other) <= 0; }
bool RQVersion::operator>=(const RQVersion& other) const { return Compare(other) >= 0; }

bool RQVersion::IsZero() const { return (major_ | minor_ | build_ | revision_) == 0; }

WORD RQVersion::GetMajor() const { return major_; }
WORD RQVersion::GetMinor() const { return minor_; }
WORD RQVersion::GetBuild() const { return build_; }
WORD RQVersion::GetRevision() const { return revision_; }

DWORD RQVersion::Clear() {
  major_ = minor_ = build_ = revision_ = 0;
  text_.Clear(false);
  return 0;
}

int RQVersion::Compare(const RQVersion& other) const {
  if (major_ != other.major_) return int(major_) - int(other.major_);
  if (minor_ != other.minor_) return int(minor_) - int(other.minor_);
  if (build_ != other.build_) return int(build_) - int(other.build_);
  return int(revision_) - int(other.revision_);
}

const wchar_t* RQVersion::GetText() const { return text_; }

DWORD RQVersion::Parse(const wchar_t* text) {
  text_.Assign(text, 0);
  return ParseStored();
}

DWORD RQVersion::ParseAnsi(const char* text) {
  text_.AssignAnsi(text, 0);
  return ParseStored();
}

DWORD RQVersion::ParseStored() {
  uint16_t parts[4];
  const DWORD result = kesi::ParseVersionText(text_, parts);
  major_ = parts[0];
  minor_ = parts[1];
  build_ = parts[2];
  revision_ = parts[3];
  return result;
}

}  // namespace kesi
