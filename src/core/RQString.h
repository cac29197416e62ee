#pragma once
// RQString: the client's string type, an owned, NUL-terminated UTF-16 text with cached ANSI and UTF-8
// copies. RQStringMZ: a list of strings in one double-NUL-terminated buffer (REG_MULTI_SZ layout).
//
// A null buffer reads as the empty string everywhere, and a null text argument counts as empty. Nothing
// throws: a failed allocation leaves a null buffer. Format strings use the message formatter's numbered
// inserts ("%1!s!", "%2!lu!"), not printf conversions.
#include <windows.h>
#include <cstdarg>

namespace kesi {

class RQString {
 public:
  // An empty string with no buffer (growth step 0).
  RQString() noexcept;
  // The given growth step and a zeroed buffer as Allocate(capacity) makes it: capacity+1 cells, or the
  // growth step when that is larger.
  RQString(unsigned capacity, unsigned growBy) noexcept;
  // A copy of text (no buffer when text is null).
  RQString(const wchar_t* text) noexcept;  // NOLINT: a wide text converts to a string on purpose
  // A copy of other's text and growth step.
  RQString(const RQString& other) noexcept;
  // Takes over other's buffer and caches; other is left empty.
  RQString(RQString&& other) noexcept;

  // The virtual operations below are declared in the class's fixed slot order.

  // Releases buffer and caches.
  virtual ~RQString();
  // Assigns ANSI text (as Assign(text, 0)).
  virtual RQString& operator=(const char* text);
  // Assigns other's text.
  virtual RQString& operator=(const RQString& other);
  // Assigns wide text.
  virtual RQString& operator=(const wchar_t* text);
  // Appends text.
  virtual RQString& operator+=(const wchar_t* text);
  // Appends other's text.
  virtual RQString& operator+=(const RQString& other);
  // Appends text held in a writable buffer (same as the const form).
  virtual RQString& operator+=(wchar_t* text);
  // Case-sensitive equality in the user's locale.
  virtual bool operator==(const RQString& other) const;
  // Case-sensitive equality with a wide text in the user's locale.
  virtual bool operator==(const wchar_t* text) const;
  // Same as the const form, for a writable buffer.
  virtual bool operator==(wchar_t* text) const;
  // Negation of operator==.
  virtual bool operator!=(const RQString& other) const;
  // True when other sorts before this string (user locale, case-sensitive).
  virtual bool operator>(const RQString& other) const;
  // Empties the string, growing to at least length+1 cells (by the growth step when larger); returns the
  // capacity. A non-zero growBy replaces the stored growth step.
  virtual unsigned Allocate(unsigned length, unsigned growBy);
  // Appends text, growing as needed; returns the string.
  virtual RQString& Append(const wchar_t* text);
  // Zeroes every cell (as a secret, the caches too, when wipe) and drops the caches; capacity is kept.
  virtual void Clear(bool wipe);
  // CompareStringW of other against this text: <0 when other sorts first, 0 equal, >0 after (-2 when the
  // comparison fails). Null and empty texts are equal; a null buffer sorts after any other text.
  virtual int Compare(const wchar_t* other, bool ignoreCase, bool englishLocale) const;
  // Drops the caches and releases the buffer (capacity 0).
  virtual void Free();
  // The system's text for an error code; true when it is not empty.
  virtual bool LoadSystemMessage(DWORD code);
  // Formats with FormatMessageW ("%1!s!" inserts); true when the result is not empty.
  virtual bool Format(const wchar_t* format, ...);
  // Formats with FormatMessageW over an argument list; true when the result is not empty.
  virtual bool FormatV(const wchar_t* format, va_list* args);
  // First occurrence of ch in the text, or null.
  virtual wchar_t* FindChar(wchar_t ch) const;
  // First occurrence of the substring in the text, or null.
  virtual wchar_t* FindString(const wchar_t* text) const;
  // The text; never null (an empty text when there is no buffer).
  virtual operator const wchar_t*() const;
  // The text in the ANSI code page, cached until the next change; never null; owned by the string.
  virtual const char* GetAnsi() const;
  // The text in UTF-8, cached until the next change; null when there is no buffer; owned by the string.
  virtual const char* GetUtf8() const;
  // The growth step.
  virtual unsigned GetGrowBy() const;
  // The character at index, or 0 past the end.
  virtual wchar_t GetAt(unsigned index) const;
  // The buffer itself (may be null); writable over GetCapacity() cells. Call FreeConversions after writing.
  virtual wchar_t* GetBuffer();
  // Cells in the buffer, terminator included.
  virtual unsigned GetCapacity() const;
  // True when there is no buffer or its first cell is 0.
  virtual bool IsEmpty() const;
  // The last character (stepping with CharNextW), or 0 when empty.
  virtual wchar_t GetLastChar() const;
  // Characters before the terminator; 0 when there is no terminator within the capacity.
  virtual unsigned GetLength() const;
  // Lower-cases the whole buffer in place (CharLowerBuffW); returns true.
  virtual bool MakeLower();
  // Replaces the text with the decimal form of n.
  virtual RQString& AssignNumber(unsigned long n);
  // Assigns ANSI text (as AssignAnsi).
  virtual RQString& Assign(const char* text, unsigned minCapacity = 0);
  // Assigns wide text, with at least minCapacity+1 cells.
  virtual RQString& Assign(const wchar_t* text, unsigned minCapacity = 0);
  // Assigns other's text.
  virtual RQString& Assign(const RQString& other);
  // Assigns text converted from the ANSI code page, with at least minCapacity+1 cells.
  virtual RQString& AssignAnsi(const char* text, unsigned minCapacity = 0);
  // Assigns text converted from UTF-8, with at least minCapacity+1 cells.
  virtual RQString& AssignUtf8(const char* text, unsigned minCapacity = 0);
  // Sets the growth step; returns it.
  virtual unsigned SetGrowBy(unsigned n);
  // Stores ch at index when index < length (a 0 cuts the text there).
  virtual RQString& SetAt(unsigned index, wchar_t ch);
  // Removes leading and trailing white space (iswspace); returns true.
  virtual bool Trim();
  // Upper-cases the whole buffer in place (CharUpperBuffW); returns true.
  virtual bool MakeUpper();
  // Releases the ANSI and UTF-8 caches.
  virtual void FreeConversions();

  // Inequality with a wide text (so that the comparison never falls back to comparing pointers).
  bool operator!=(const wchar_t* text) const { return !(*this == text); }

 private:
  bool Owns(const void* p) const;
  void AssignWide(const wchar_t* text, size_t length, unsigned minCapacity);
  RQString& AssignMultiByte(UINT codePage, const char* text, unsigned minCapacity);
  const char* Convert(UINT codePage, char** cache) const;

  wchar_t* buffer_;
  mutable char* ansiCopy_;
  mutable char* utf8Copy_;
  unsigned capacity_;
  unsigned growBy_;
};

// A wide text on the left compares as text too.
inline bool operator==(const wchar_t* text, const RQString& s) { return s == text; }
inline bool operator!=(const wchar_t* text, const RQString& s) { return !(s == text); }

class RQStringMZ {
 public:
  // A copy of a double-NUL-terminated list (empty when list is null or empty); growth step 80.
  explicit RQStringMZ(const wchar_t* list = nullptr) noexcept;
  // A copy of other's strings.
  RQStringMZ(const RQStringMZ& other) noexcept;
  // Takes over other's buffer; other is left empty.
  RQStringMZ(RQStringMZ&& other) noexcept;

  // The virtual operations below are declared in the class's fixed slot order.

  // Releases the buffer.
  virtual ~RQStringMZ();
  // Replaces the contents with a copy of other's strings.
  virtual RQStringMZ& operator=(const RQStringMZ& other);
  // Replaces the contents with a copy of a double-NUL-terminated list.
  virtual RQStringMZ& operator=(const wchar_t* list);
  // String index, or null (as GetAt).
  virtual const wchar_t* operator[](unsigned index) const;
  // Adds one string at the end (as Add).
  virtual RQStringMZ& operator+=(const wchar_t* text);
  // Adds every string of other, in order.
  virtual RQStringMZ& AddAll(const RQStringMZ& other);
  // Grows to at least minChars+2 cells, keeping the contents; returns the capacity.
  virtual unsigned Reserve(unsigned minChars);
  // Adds one string at the end of the list; an empty or null text adds nothing.
  virtual RQStringMZ& Add(const wchar_t* text);
  // Empties the list and zeroes every cell (as a secret when wipe); capacity is kept.
  virtual void Clear(bool wipe);
  // Number of strings.
  virtual unsigned GetCount() const;
  // Empties the list and releases the buffer.
  virtual void Free();
  // Looks for the first string that contains needle (case-insensitive unless matchCase); *index (when
  // given) receives its position, or the count when none does.
  virtual bool Find(const wchar_t* needle, bool matchCase, unsigned* index) const;
  // String index, or null past the end; in-order access costs one step per call.
  virtual const wchar_t* GetAt(unsigned index) const;
  // The buffer itself (may be null).
  virtual wchar_t* GetBuffer();
  // Cells in the buffer.
  virtual unsigned GetCapacity() const;
  // True when the list holds no string.
  virtual bool IsEmpty() const;
  // Cells used, final NUL included (0 when there is no buffer).
  virtual unsigned GetLength() const;
  // Replaces the contents with a copy of a double-NUL-terminated list, with room for at least minChars.
  virtual RQStringMZ& Assign(const wchar_t* list, unsigned minChars = 0);
  // The final NUL, where the next string goes (null when there is no buffer); *used receives the cells up
  // to and including it, *freeCells the cells after it. Either out-argument may be null.
  virtual wchar_t* GetEnd(unsigned* used, unsigned* freeCells) const;

 private:
  bool Owns(const void* p) const;
  void AssignCells(const wchar_t* list, size_t limit, unsigned minChars);

  wchar_t* buffer_;
  unsigned capacity_;
  unsigned growBy_;
  unsigned count_;
  mutable unsigned cursorIndex_;
  mutable wchar_t* cursorPointer_;
};

}  // namespace kesi
