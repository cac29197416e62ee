#pragma once
// RQVersion: a dotted version in four 16-bit parts (major, minor, build, revision), with the text it was
// read from. Used to compare component versions.
#include <windows.h>

#include "RQString.h"

namespace kesi {

class RQVersion {
 public:
  // Zero parts, then parses text (ANSI; null gives 0.0.0.0).
  explicit RQVersion(const char* text = nullptr);

  // The virtual operations below are declared in the class's fixed slot order.

  virtual ~RQVersion();
  // Parses text; returns the version.
  virtual RQVersion& operator=(const wchar_t* text);
  // Compare(other) < 0.
  virtual bool operator<(const RQVersion& other) const;
  // Compare(other) > 0.
  virtual bool operator>(const RQVersion& other) const;
  // Compare(other) <= 0.
  virtual bool operator<=(const RQVersion& other) const;
  // Compare(other) >= 0.
  virtual bool operator>=(const RQVersion& other) const;
  // True when all four parts are 0.
  virtual bool IsZero() const;
  // The parts.
  virtual WORD GetMajor() const;
  virtual WORD GetMinor() const;
  virtual WORD GetBuild() const;
  virtual WORD GetRevision() const;
  // Parts to 0, text emptied; returns 0.
  virtual DWORD Clear();
  // This minus other at the first part that differs (major, minor, build, revision); 0 when equal.
  virtual int Compare(const RQVersion& other) const;
  // The text last parsed; never null.
  virtual const wchar_t* GetText() const;
  // Stores and parses text: "7", "7.2", "8.60.123" (= 8.6.0.123), "8.6.0.123". Returns 0, or 13 for four
  // or more dots (then only major is set).
  virtual DWORD Parse(const wchar_t* text);
  // Parse of a text in the ANSI code page.
  virtual DWORD ParseAnsi(const char* text);

 private:
  DWORD ParseStored();

  WORD major_;
  WORD minor_;
  WORD build_;
  WORD revision_;
  RQString text_;
};

}  // namespace kesi
