#include "RQString.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <cwctype>

#include "SecureWipe.h"

namespace kesi {

namespace {

// Largest text a string holds: its cell count, terminator included, stays within 32 bits.
constexpr uint64_t kMaxCells = 0xFFFFFFFFu;

const wchar_t kEmpty[] = L"";

wchar_t* NewCells(uint64_t cells) {
  if (cells == 0 || cells > kMaxCells) return nullptr;
  return static_cast<wchar_t*>(calloc(static_cast<size_t>(cells), sizeof(wchar_t)));
}

// Every block is zeroed before it goes back to the heap: a string may have held a secret, and growth
// must not leave copies of it behind.
void ReleaseCells(wchar_t* p, size_t cells) {
  if (!p) return;
  SecureWipe(p, cells * sizeof(wchar_t));
  free(p);
}

void ReleaseBytes(char* p) {
  if (!p) return;
  SecureWipe(p, strlen(p));
  free(p);
}

}  // namespace

// ---------------------------------------------------------------------------------------------------
// RQString

RQString::RQString() noexcept
    : buffer_(nullptr), ansiCopy_(nullptr), utf8Copy_(nullptr), capacity_(0), growBy_(0) {}

RQString::RQString(unsigned capacity, unsigned growBy) noexcept : RQString() {
  growBy_ = growBy;
  Allocate(capacity, 0);
}

RQString::RQString(const wchar_t* text) noexcept : RQString() {
  if (text) Assign(text, 0);
}

RQString::RQString(const RQString& other) noexcept : RQString() {
  growBy_ = other.growBy_;
  Assign(other);
}

RQString::RQString(RQString&& other) noexcept
    : buffer_(other.buffer_),
      ansiCopy_(other.ansiCopy_),
      utf8Copy_(other.utf8Copy_),
      capacity_(other.capacity_),
      growBy_(other.growBy_) {
  other.buffer_ = nullptr;
  other.ansiCopy_ = nullptr;
  other.utf8Copy_ = nullptr;
  other.capacity_ = 0;
}

RQString::~RQString() { Free(); }

RQString& RQString::operator=(const char* text) { return Assign(text, 0); }
RQString& RQString::operator=(const RQString& other) { return Assign(other); }
RQString& RQString::operator=(const wchar_t* text) { return Assign(text, 0); }
RQString& RQString::operator+=(const wchar_t* text) { return Append(text); }

RQString& RQString::operator+=(const RQString& other) {
  return Append(other.GetLength() != 0 ? other.buffer_ : nullptr);
}

RQString& RQString::operator+=(wchar_t* text) { return Append(text); }

bool RQString::operator==(const RQString& other) const { return Compare(other, false, false) == 0; }
bool RQString::operator==(const wchar_t* text) const { return Compare(text, false, false) == 0; }
bool RQString::operator==(wchar_t* text) const { return Compare(text, false, false) == 0; }
bool RQString::operator!=(const RQString& other) const { return Compare(other, false, false) != 0; }
bool RQString::operator>(const RQString& other) const { return Compare(other, false, false) < 0; }

unsigned RQString::Allocate(unsigned length, unsigned growBy) {
  FreeConversions();
  if (growBy != 0) growBy_ = growBy;
  const uint64_t needed = uint64_t(length) + 1;
  if (needed > capacity_) {
    uint64_t cells = uint64_t(capacity_) + growBy_;
    if (cells < needed || cells > kMaxCells) cells = needed;
    wchar_t* fresh = NewCells(cells);
    ReleaseCells(buffer_, capacity_);
    buffer_ = fresh;
    capacity_ = fresh ? static_cast<unsigned>(cells) : 0;
  }
  if (buffer_) memset(buffer_, 0, size_t(capacity_) * sizeof(wchar_t));
  return capacity_;
}

bool RQString::Owns(const void* p) const {
  if (!buffer_ || !p) return false;
  auto at = reinterpret_cast<uintptr_t>(p);
  auto begin = reinterpret_cast<uintptr_t>(buffer_);
  return at >= begin && at < begin + uintptr_t(capacity_) * sizeof(wchar_t);
}

// Replaces the text with length characters of text (which must not lie in this buffer).
void RQString::AssignWide(const wchar_t* text, size_t length, unsigned minCapacity) {
  if (length >= kMaxCells) length = kMaxCells - 1;
  const unsigned want = length > minCapacity ? static_cast<unsigned>(length) : minCapacity;
  Allocate(want, 0);
  if (!buffer_) return;
  const size_t n = length < capacity_ ? length : capacity_ - 1;
  memcpy(buffer_, text, n * sizeof(wchar_t));
}

RQString& RQString::Append(const wchar_t* text) {
  FreeConversions();
  const size_t current = GetLength();
  if (current == 0) return Assign(text, 0);
  if (!text || !*text) return *this;

  size_t length;
  if (Owns(text)) {
    // A piece of this very text: measured within the buffer, and copied before the buffer changes.
    length = wcsnlen(text, buffer_ + capacity_ - text);
  } else {
    length = wcslen(text);
  }
  const uint64_t total = uint64_t(current) + length;
  if (total + 1 > kMaxCells) return *this;

  if (total + 1 <= capacity_) {
    memmove(buffer_ + current, text, length * sizeof(wchar_t));
    buffer_[total] = 0;
    return *this;
  }
  wchar_t* joined = NewCells(total + 1);
  if (!joined) return *this;
  memcpy(joined, buffer_, current * sizeof(wchar_t));
  memcpy(joined + current, text, length * sizeof(wchar_t));
  AssignWide(joined, static_cast<size_t>(total), 0);
  ReleaseCells(joined, static_cast<size_t>(total + 1));
  return *this;
}

void RQString::Clear(bool wipe) {
  if (buffer_) {
    if (wipe) {
      SecureWipe(buffer_, size_t(capacity_) * sizeof(wchar_t));
    } else {
      memset(buffer_, 0, size_t(capacity_) * sizeof(wchar_t));
    }
  }
  if (wipe) {
    if (ansiCopy_) SecureWipe(ansiCopy_, strlen(ansiCopy_));
    if (utf8Copy_) SecureWipe(utf8Copy_, strlen(utf8Copy_));
  }
  FreeConversions();
}

int RQString::Compare(const wchar_t* other, bool ignoreCase, bool englishLocale) const {
  const unsigned length = GetLength();
  const bool otherEmpty = !other || !*other;
  if (length == 0 && otherEmpty) return 0;
  if (!buffer_) return 1;
  if (!other) return -1;
  const LCID locale = englishLocale ? 0x409 : LOCALE_USER_DEFAULT;
  DWORD flags = NORM_IGNOREKANATYPE | NORM_IGNOREWIDTH;
  if (ignoreCase) flags |= NORM_IGNORECASE;
  const int r = CompareStringW(locale, flags, other, -1, buffer_, static_cast<int>(length));
  return r == 0 ? -2 : r - 2;
}

void RQString::Free() {
  FreeConversions();
  ReleaseCells(buffer_, capacity_);
  buffer_ = nullptr;
  capacity_ = 0;
}

bool RQString::LoadSystemMessage(DWORD code) {
  wchar_t* text = nullptr;
  FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_FROM_SYSTEM,
                 nullptr, code, LANG_USER_DEFAULT, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  Assign(text, 0);
  if (text) LocalFree(text);
  return !IsEmpty();
}

bool RQString::Format(const wchar_t* format, ...) {
  va_list args;
  va_start(args, format);
  const bool ok = FormatV(format, &args);
  va_end(args);
  return ok;
}

bool RQString::FormatV(const wchar_t* format, va_list* args) {
  // The text is produced before this string changes, so the format and the inserts may be this string.
  wchar_t* text = nullptr;
  if (format) {
    FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_STRING, format, 0, LANG_USER_DEFAULT,
                   reinterpret_cast<wchar_t*>(&text), 256, args);
  }
  Clear(false);
  Assign(text, 0);
  if (text) LocalFree(text);
  return !IsEmpty();
}

wchar_t* RQString::FindChar(wchar_t ch) const {
  if (!buffer_ || wcsnlen(buffer_, capacity_) == capacity_) return nullptr;
  return const_cast<wchar_t*>(wcschr(buffer_, ch));
}

wchar_t* RQString::FindString(const wchar_t* text) const {
  if (!buffer_ || wcsnlen(buffer_, capacity_) == capacity_) return nullptr;
  return const_cast<wchar_t*>(wcsstr(buffer_, text ? text : kEmpty));
}

RQString::operator const wchar_t*() const { return buffer_ ? buffer_ : kEmpty; }

// Converts the text (bounded by the capacity) into a new cache in the given code page.
const char* RQString::Convert(UINT codePage, char** cache) const {
  if (*cache) return *cache;
  const int length = static_cast<int>(GetLength());
  int size = 0;
  if (length > 0) size = WideCharToMultiByte(codePage, 0, buffer_, length, nullptr, 0, nullptr, nullptr);
  if (size < 0) size = 0;
  char* copy = static_cast<char*>(calloc(size_t(size) + 1, 1));
  if (!copy) return nullptr;
  if (size > 0) WideCharToMultiByte(codePage, 0, buffer_, length, copy, size, nullptr, nullptr);
  *cache = copy;
  return copy;
}

const char* RQString::GetAnsi() const {
  const char* text = Convert(CP_ACP, &ansiCopy_);
  return text ? text : "";
}

const char* RQString::GetUtf8() const {
  if (!buffer_) return nullptr;
  return Convert(CP_UTF8, &utf8Copy_);
}

unsigned RQString::GetGrowBy() const { return growBy_; }

wchar_t RQString::GetAt(unsigned index) const { return index < GetLength() ? buffer_[index] : 0; }

wchar_t* RQString::GetBuffer() { return buffer_; }

unsigned RQString::GetCapacity() const { return capacity_; }

bool RQString::IsEmpty() const { return !buffer_ || buffer_[0] == 0; }

wchar_t RQString::GetLastChar() const {
  if (GetLength() == 0) return 0;
  const wchar_t* last = buffer_;
  for (const wchar_t* p = buffer_; *p;) {
    last = p;
    const wchar_t* next = CharNextW(p);
    if (next == p) break;
    p = next;
  }
  return *last;
}

unsigned RQString::GetLength() const {
  if (!buffer_) return 0;
  const size_t n = wcsnlen(buffer_, capacity_);
  return n < capacity_ ? static_cast<unsigned>(n) : 0;
}

bool RQString::MakeLower() {
  FreeConversions();
  if (buffer_) CharLowerBuffW(buffer_, capacity_);
  return true;
}

RQString& RQString::AssignNumber(unsigned long n) {
  Allocate(80, 0);
  if (!buffer_) return *this;
  wchar_t digits[24];
  int i = 0;
  do {
    digits[i++] = static_cast<wchar_t>(L'0' + n % 10);
    n /= 10;
  } while (n != 0);
  for (int j = 0; j < i; ++j) buffer_[j] = digits[i - 1 - j];
  return *this;
}

RQString& RQString::Assign(const char* text, unsigned minCapacity) { return AssignAnsi(text, minCapacity); }

RQString& RQString::Assign(const wchar_t* text, unsigned minCapacity) {
  FreeConversions();
  if (text && text == buffer_) return *this;
  if (!text || !*text) {
    Clear(false);
    return *this;
  }
  if (Owns(text)) {
    // A piece of this very text: copy it out before the buffer is emptied.
    RQString piece;
    piece.AssignWide(text, wcsnlen(text, buffer_ + capacity_ - text), 0);
    AssignWide(piece.buffer_ ? piece.buffer_ : kEmpty, piece.GetLength(), minCapacity);
    return *this;
  }
  AssignWide(text, wcslen(text), minCapacity);
  return *this;
}

RQString& RQString::Assign(const RQString& other) {
  if (&other == this) {
    FreeConversions();
    return *this;
  }
  const unsigned length = other.GetLength();
  if (length == 0) {
    FreeConversions();
    Clear(false);
    return *this;
  }
  AssignWide(other.buffer_, length, 0);
  return *this;
}

RQString& RQString::AssignMultiByte(UINT codePage, const char* text, unsigned minCapacity) {
  // The source may be one of this string's own caches, which the change releases: keep a copy.
  char* own = nullptr;
  if (text && (text == ansiCopy_ || text == utf8Copy_)) {
    own = _strdup(text);
    text = own;
  }
  FreeConversions();
  if (!text || !*text) {
    Clear(false);
  } else {
    size_t bytes = strlen(text);
    if (bytes > 0x7FFFFFFE) bytes = 0x7FFFFFFE;
    // No character takes fewer bytes than the UTF-16 cells it becomes, so bytes+1 cells always suffice.
    Allocate(bytes > minCapacity ? static_cast<unsigned>(bytes) : minCapacity, 0);
    if (buffer_) {
      MultiByteToWideChar(codePage, 0, text, static_cast<int>(bytes), buffer_, static_cast<int>(capacity_ - 1));
    }
  }
  ReleaseBytes(own);
  return *this;
}

RQString& RQString::AssignAnsi(const char* text, unsigned minCapacity) {
  return AssignMultiByte(CP_ACP, text, minCapacity);
}

RQString& RQString::AssignUtf8(const char* text, unsigned minCapacity) {
  return AssignMultiByte(CP_UTF8, text, minCapacity);
}

unsigned RQString::SetGrowBy(unsigned n) {
  growBy_ = n;
  return n;
}

RQString& RQString::SetAt(unsigned index, wchar_t ch) {
  FreeConversions();
  const unsigned length = GetLength();
  if (index < length) {
    buffer_[index] = ch;
    // Cutting the text keeps every cell after the terminator zero.
    if (ch == 0) memset(buffer_ + index, 0, size_t(length - index) * sizeof(wchar_t));
  }
  return *this;
}

bool RQString::Trim() {
  const unsigned length = GetLength();
  if (length == 0) return true;
  FreeConversions();
  wchar_t* start = buffer_;
  while (*start && iswspace(*start)) start = CharNextW(start);
  unsigned remaining = length;
  if (start != buffer_) {
    remaining = static_cast<unsigned>(length - (start - buffer_));
    memmove(buffer_, start, (size_t(remaining) + 1) * sizeof(wchar_t));
  }
  wchar_t* end = buffer_;  // just after the last character that is not white space
  for (wchar_t* p = buffer_; *p;) {
    wchar_t* next = CharNextW(p);
    if (!iswspace(*p)) end = next;
    if (next == p) break;
    p = next;
  }
  // The cells from the new terminator to the old one (which now hold stale characters) go back to zero.
  memset(end, 0, (size_t(length) - (end - buffer_)) * sizeof(wchar_t));
  return true;
}

bool RQString::MakeUpper() {
  FreeConversions();
  if (buffer_) CharUpperBuffW(buffer_, capacity_);
  return true;
}

void RQString::FreeConversions() {
  ReleaseBytes(ansiCopy_);
  ReleaseBytes(utf8Copy_);
  ansiCopy_ = nullptr;
  utf8Copy_ = nullptr;
}

// ---------------------------------------------------------------------------------------------------
// RQStringMZ

namespace {

// Cells of a double-NUL list, final NUL included, reading at most limit cells; 0 when the list is not
// closed within them. *count receives the number of strings.
size_t ListCells(const wchar_t* list, size_t limit, unsigned* count) {
  size_t i = 0;
  unsigned n = 0;
  while (i < limit && list[i]) {
    while (i < limit && list[i]) ++i;
    ++i;  // the string's NUL
    ++n;
  }
  *count = n;
  return i < limit ? i + 1 : 0;
}

}  // namespace

RQStringMZ::RQStringMZ(const wchar_t* list) noexcept
    : buffer_(nullptr), capacity_(0), growBy_(80), count_(0), cursorIndex_(0), cursorPointer_(nullptr) {
  if (list && *list) Assign(list, 0);
}

RQStringMZ::RQStringMZ(const RQStringMZ& other) noexcept : RQStringMZ() {
  growBy_ = other.growBy_;
  AssignCells(other.buffer_, other.capacity_, 0);
}

RQStringMZ::RQStringMZ(RQStringMZ&& other) noexcept
    : buffer_(other.buffer_),
      capacity_(other.capacity_),
      growBy_(other.growBy_),
      count_(other.count_),
      cursorIndex_(other.cursorIndex_),
      cursorPointer_(other.cursorPointer_) {
  other.buffer_ = nullptr;
  other.capacity_ = 0;
  other.count_ = 0;
  other.cursorIndex_ = 0;
  other.cursorPointer_ = nullptr;
}

RQStringMZ::~RQStringMZ() { Free(); }

RQStringMZ& RQStringMZ::operator=(const RQStringMZ& other) {
  if (&other != this) AssignCells(other.buffer_, other.capacity_, 0);
  return *this;
}

RQStringMZ& RQStringMZ::operator=(const wchar_t* list) { return Assign(list, 0); }

const wchar_t* RQStringMZ::operator[](unsigned index) const { return GetAt(index); }

RQStringMZ& RQStringMZ::operator+=(const wchar_t* text) { return Add(text); }

RQStringMZ& RQStringMZ::AddAll(const RQStringMZ& other) {
  const unsigned n = other.count_;  // fixed first: other may be this list
  if (n == 0) return *this;
  unsigned used = 0;
  GetEnd(&used, nullptr);
  const uint64_t want = uint64_t(other.GetLength()) + used;
  if (want <= kMaxCells - 2) Reserve(static_cast<unsigned>(want));
  unsigned freeCells = 0;
  wchar_t* dst = GetEnd(&used, &freeCells);
  if (!dst) return *this;

  const wchar_t* src = other.buffer_;
  size_t srcLeft = other.capacity_;
  size_t room = size_t(freeCells) + 1;  // from the current final NUL to the end of the buffer
  for (unsigned i = 0; i < n && srcLeft > 0; ++i) {
    const size_t length = wcsnlen(src, srcLeft);
    if (length == 0 || length == srcLeft) break;
    // The string, its NUL and the list's final NUL must fit.
    if (length + 2 > room) break;
    memmove(dst, src, length * sizeof(wchar_t));
    dst[length] = 0;
    dst += length + 1;
    room -= length + 1;
    src += length + 1;
    srcLeft -= length + 1;
    ++count_;
  }
  *dst = 0;
  return *this;
}

unsigned RQStringMZ::Reserve(unsigned minChars) {
  const uint64_t needed = uint64_t(minChars) + 2;
  if (needed <= capacity_ || needed > kMaxCells) return capacity_;
  uint64_t cells = uint64_t(capacity_) + growBy_;
  if (cells < needed || cells > kMaxCells) cells = needed;
  wchar_t* fresh = NewCells(cells);
  if (!fresh) return capacity_;  // the list stays as it was
  cursorIndex_ = 0;
  cursorPointer_ = nullptr;
  if (buffer_) memcpy(fresh, buffer_, size_t(capacity_) * sizeof(wchar_t));
  ReleaseCells(buffer_, capacity_);
  buffer_ = fresh;
  capacity_ = static_cast<unsigned>(cells);
  return capacity_;
}

bool RQStringMZ::Owns(const void* p) const {
  if (!buffer_ || !p) return false;
  auto at = reinterpret_cast<uintptr_t>(p);
  auto begin = reinterpret_cast<uintptr_t>(buffer_);
  return at >= begin && at < begin + uintptr_t(capacity_) * sizeof(wchar_t);
}

RQStringMZ& RQStringMZ::Add(const wchar_t* text) {
  // An empty string would read as the end of the list and leave the count wrong: it is not added.
  if (!text || !*text) return *this;
  if (Owns(text)) {
    // One of this list's own strings: copy it out before the buffer may move.
    const RQString copy(text);
    return Add(copy);
  }
  const size_t length = wcslen(text);
  if (length + 3 > kMaxCells) return *this;
  unsigned used = 0, freeCells = 0;
  wchar_t* end = GetEnd(&used, &freeCells);
  if (length + 1 > freeCells) {
    if (uint64_t(capacity_) + length + 3 <= kMaxCells) Reserve(static_cast<unsigned>(capacity_ + length + 1));
    end = GetEnd(&used, &freeCells);
  }
  if (!end || length + 1 > freeCells) return *this;
  memcpy(end, text, length * sizeof(wchar_t));
  end[length] = 0;
  end[length + 1] = 0;
  ++count_;
  return *this;
}

void RQStringMZ::Clear(bool wipe) {
  count_ = 0;
  cursorIndex_ = 0;
  cursorPointer_ = nullptr;
  if (!buffer_) return;
  if (wipe) {
    SecureWipe(buffer_, size_t(capacity_) * sizeof(wchar_t));
  } else {
    memset(buffer_, 0, size_t(capacity_) * sizeof(wchar_t));
  }
}

unsigned RQStringMZ::GetCount() const { return count_; }

void RQStringMZ::Free() {
  Clear(false);
  free(buffer_);
  buffer_ = nullptr;
  capacity_ = 0;
}

bool RQStringMZ::Find(const wchar_t* needle, bool matchCase, unsigned* index) const {
  RQString wanted(needle);
  if (!matchCase) wanted.MakeLower();
  bool found = false;
  unsigned i = 0;
  for (; i < count_; ++i) {
    const wchar_t* s = GetAt(i);
    if (!s) {
      i = count_;
      break;
    }
    RQString work;
    work.Assign(s, 255);
    if (!matchCase) work.MakeLower();
    if (work.FindString(wanted)) {
      found = true;
      break;
    }
  }
  if (index) *index = i;
  return found;
}

const wchar_t* RQStringMZ::GetAt(unsigned index) const {
  if (!buffer_) return nullptr;
  if (!cursorPointer_ || cursorIndex_ > index) {
    cursorPointer_ = buffer_;
    cursorIndex_ = 0;
  }
  if (index > count_) {
    cursorPointer_ = nullptr;
    cursorIndex_ = 0;
    return nullptr;
  }
  while (cursorIndex_ < index && index < count_ && *cursorPointer_) {
    const size_t left = buffer_ + capacity_ - cursorPointer_;
    const size_t length = wcsnlen(cursorPointer_, left);
    if (length + 1 >= left) break;  // no further string inside the buffer
    cursorPointer_ += length + 1;
    ++cursorIndex_;
  }
  if (cursorIndex_ != index) {
    cursorPointer_ = nullptr;
    cursorIndex_ = 0;
    return nullptr;
  }
  return cursorPointer_;
}

wchar_t* RQStringMZ::GetBuffer() { return buffer_; }

unsigned RQStringMZ::GetCapacity() const { return capacity_; }

bool RQStringMZ::IsEmpty() const { return count_ == 0; }

unsigned RQStringMZ::GetLength() const {
  unsigned used = 0;
  GetEnd(&used, nullptr);
  return used;
}

// Replaces the contents with a list read from at most limit cells.
void RQStringMZ::AssignCells(const wchar_t* list, size_t limit, unsigned minChars) {
  if (list && list == buffer_) return;  // the list itself
  if (Owns(list)) {
    // A tail of this list: copy it out before the buffer is cleared.
    RQStringMZ copy;
    copy.AssignCells(list, buffer_ + capacity_ - list, 0);
    AssignCells(copy.buffer_, copy.capacity_, minChars);
    return;
  }
  Clear(false);
  if (!list || !*list) return;
  unsigned n = 0;
  const size_t total = ListCells(list, limit, &n);
  if (total == 0 || total > kMaxCells - 2) return;
  const unsigned want = total > minChars ? static_cast<unsigned>(total) : minChars;
  Reserve(want);
  if (capacity_ < total) return;
  memcpy(buffer_, list, total * sizeof(wchar_t));
  count_ = n;
}

RQStringMZ& RQStringMZ::Assign(const wchar_t* list, unsigned minChars) {
  AssignCells(list, SIZE_MAX, minChars);
  return *this;
}

wchar_t* RQStringMZ::GetEnd(unsigned* used, unsigned* freeCells) const {
  unsigned u = 0;
  wchar_t* end = nullptr;
  if (buffer_) {
    unsigned n = 0;
    const size_t cells = ListCells(buffer_, capacity_, &n);
    if (cells != 0) {
      end = buffer_ + cells - 1;
      u = static_cast<unsigned>(cells);
    } else {
      u = capacity_;  // not closed within the buffer: no room left
    }
  }
  if (used) *used = u;
  if (freeCells) *freeCells = u < capacity_ ? capacity_ - u : 0;
  return end;
}

}  // namespace kesi
