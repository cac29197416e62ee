#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "RQString.h"

using namespace kesi;

namespace {

// True when every cell of s from its terminator to the end of its buffer is zero.
bool TailIsZero(RQString& s) {
  const wchar_t* b = s.GetBuffer();
  if (!b) return true;
  for (unsigned i = s.GetLength(); i < s.GetCapacity(); ++i) {
    if (b[i] != 0) return false;
  }
  return true;
}

std::wstring Cells(RQStringMZ& mz) {
  return std::wstring(mz.GetBuffer(), mz.GetLength());
}

}  // namespace

TEST(RQString, ConstructionAndEmptyReads) {
  RQString none;
  EXPECT_EQ(nullptr, none.GetBuffer());
  EXPECT_STREQ(L"", static_cast<const wchar_t*>(none));
  EXPECT_TRUE(none.IsEmpty());
  EXPECT_EQ(0u, none.GetLength());
  EXPECT_EQ(0, none.GetAt(0));
  EXPECT_EQ(0, none.GetLastChar());
  EXPECT_EQ(nullptr, none.FindChar(L'a'));
  EXPECT_EQ(nullptr, none.FindString(L""));
  EXPECT_STREQ("", none.GetAnsi());
  EXPECT_EQ(nullptr, none.GetUtf8());

  RQString sized(0, 0);
  EXPECT_EQ(1u, sized.GetCapacity());
  ASSERT_NE(nullptr, sized.GetBuffer());
  EXPECT_TRUE(sized.IsEmpty());

  RQString stepped(10, 7);
  EXPECT_EQ(11u, stepped.GetCapacity());
  EXPECT_EQ(7u, stepped.GetGrowBy());

  RQString text(L"abc");
  EXPECT_STREQ(L"abc", text);
  EXPECT_EQ(0u, text.GetGrowBy());
  EXPECT_EQ(4u, text.GetCapacity());

  RQString copy(text);
  EXPECT_NE(text.GetBuffer(), copy.GetBuffer());
  copy.SetAt(0, L'x');
  EXPECT_STREQ(L"abc", text);

  RQString moved(std::move(copy));
  EXPECT_STREQ(L"xbc", moved);
  EXPECT_EQ(nullptr, copy.GetBuffer());
}

TEST(RQString, AllocateAlwaysEmptiesAndGrowsByStep) {
  RQString s(L"hello");
  wchar_t* before = s.GetBuffer();
  EXPECT_EQ(6u, s.Allocate(3, 0));
  EXPECT_EQ(before, s.GetBuffer());  // no new buffer was needed
  EXPECT_TRUE(s.IsEmpty());
  EXPECT_TRUE(TailIsZero(s));

  struct Case {
    const char* name;
    unsigned capacity, growBy, length, newGrowBy, expected;
  } cases[] = {
      {"fits", 10, 0, 9, 0, 10},
      {"grows to the length", 10, 0, 20, 0, 21},
      {"grows by the step", 10, 50, 20, 0, 60},
      {"length beyond the step", 10, 5, 40, 0, 41},
      {"new step replaces the old", 10, 5, 11, 100, 110},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RQString t(c.capacity - 1, 0);
    t.SetGrowBy(c.growBy);
    EXPECT_EQ(c.expected, t.Allocate(c.length, c.newGrowBy));
    EXPECT_EQ(c.expected, t.GetCapacity());
    if (c.newGrowBy) {
      EXPECT_EQ(c.newGrowBy, t.GetGrowBy());
    }
  }
}

TEST(RQString, AssignCopiesAndHandlesOwnText) {
  RQString s(L"abcdef");
  wchar_t* before = s.GetBuffer();
  s = s.GetBuffer();
  EXPECT_STREQ(L"abcdef", s);
  EXPECT_EQ(before, s.GetBuffer());
  s = s;
  EXPECT_STREQ(L"abcdef", s);

  // A piece of the string's own text is copied out before the buffer is reused.
  s.Assign(s.GetBuffer() + 2, 100);
  EXPECT_STREQ(L"cdef", s);
  EXPECT_GE(s.GetCapacity(), 101u);

  // Null and empty texts empty the string and keep its buffer.
  const unsigned capacity = s.GetCapacity();
  s = static_cast<const wchar_t*>(nullptr);
  EXPECT_TRUE(s.IsEmpty());
  EXPECT_EQ(capacity, s.GetCapacity());
  s = L"xy";
  s = L"";
  EXPECT_TRUE(s.IsEmpty());
  EXPECT_TRUE(TailIsZero(s));

  // Shorter text over longer leaves no stale cells.
  s = L"a long piece of text";
  s = L"ab";
  EXPECT_TRUE(TailIsZero(s));
}

// Long texts are kept whole: a fixed measuring ceiling would silently cut or drop them.
TEST(RQString, LongTextsAreKeptWhole) {
  const std::wstring big(5000, L'q');
  RQString small(99, 0);
  small.Assign(big.c_str(), 0);
  EXPECT_EQ(5000u, small.GetLength());

  RQString fresh(big.c_str());
  EXPECT_EQ(big, static_cast<const wchar_t*>(fresh));

  const std::string bytes(6000, 'u');
  RQString fromAnsi;
  fromAnsi.AssignAnsi(bytes.c_str());
  EXPECT_EQ(6000u, fromAnsi.GetLength());
  RQString fromUtf8;
  fromUtf8.AssignUtf8(bytes.c_str());
  EXPECT_EQ(6000u, fromUtf8.GetLength());

  RQString joined(std::wstring(3000, L'a').c_str());
  joined += std::wstring(3000, L'b').c_str();
  EXPECT_EQ(6000u, joined.GetLength());
  EXPECT_EQ(L'a', joined.GetAt(2999));
  EXPECT_EQ(L'b', joined.GetAt(3000));
}

TEST(RQString, Append) {
  RQString s;
  s += L"abc";
  EXPECT_STREQ(L"abc", s);
  s.Append(nullptr).Append(L"");
  EXPECT_STREQ(L"abc", s);
  s += RQString(L"de");
  wchar_t writable[] = L"fg";
  s += writable;
  EXPECT_STREQ(L"abcdefg", s);

  s += s;  // its own text
  EXPECT_STREQ(L"abcdefgabcdefg", s);
  s += s.GetBuffer() + 12;
  EXPECT_STREQ(L"abcdefgabcdefgfg", s);

  // Growth takes the larger of the joined length and the step.
  RQString stepped(L"ab");
  stepped.SetGrowBy(40);
  stepped += L"cd";
  EXPECT_EQ(43u, stepped.GetCapacity());
  EXPECT_STREQ(L"abcd", stepped);
  EXPECT_TRUE(TailIsZero(stepped));
}

TEST(RQString, Compare) {
  enum Letters { kCaseKept, kCaseIgnored };
  struct Case {
    const char* name;
    const wchar_t* self;  // null: no buffer
    const wchar_t* other;
    Letters letters;
    int expected;
  } cases[] = {
      {"null against empty", nullptr, L"", kCaseKept, 0},
      {"null against null", nullptr, nullptr, kCaseKept, 0},
      {"empty against null", L"", nullptr, kCaseKept, 0},
      {"null against a", nullptr, L"a", kCaseKept, 1},
      {"a against null", L"a", nullptr, kCaseKept, -1},
      {"a against empty", L"a", L"", kCaseKept, -1},
      {"case ignored", L"ABC", L"abc", kCaseIgnored, 0},
      {"case kept", L"ABC", L"ABC", kCaseKept, 0},
      {"other sorts after", L"a", L"b", kCaseKept, 1},
      {"other sorts before", L"b", L"a", kCaseKept, -1},
      {"prefix sorts before", L"abc", L"ab", kCaseKept, -1},
      {"full width ignored", L"A", L"\xFF21", kCaseKept, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RQString s;
    if (c.self) {
      s.Allocate(0, 0);
      s += c.self;
    }
    const bool ignoreCase = c.letters == kCaseIgnored;
    EXPECT_EQ(c.expected, s.Compare(c.other, ignoreCase, false));
    EXPECT_EQ(c.expected, s.Compare(c.other, ignoreCase, true));
  }
  RQString upper(L"ABC");
  EXPECT_NE(0, upper.Compare(L"abc", false, false));
  EXPECT_TRUE(upper == L"ABC");
  EXPECT_FALSE(upper == L"abc");
  EXPECT_TRUE(L"ABC" == upper);
  EXPECT_TRUE(L"abc" != upper);
  EXPECT_TRUE(upper != L"abc");
  EXPECT_TRUE(upper == RQString(L"ABC"));
  EXPECT_TRUE(upper != RQString(L"ABD"));
  EXPECT_TRUE(RQString(L"b") > RQString(L"a"));
  EXPECT_FALSE(RQString(L"a") > RQString(L"b"));
  EXPECT_FALSE(RQString(L"a") > RQString(L"a"));
}

TEST(RQString, ConversionCachesFollowTheText) {
  RQString s(L"h\u00e9llo \u20ac");
  EXPECT_STREQ("h\xC3\xA9llo \xE2\x82\xAC", s.GetUtf8());
  const char* ansi = s.GetAnsi();
  EXPECT_EQ(ansi, s.GetAnsi());  // cached

  struct Change {
    const char* name;
    void (*apply)(RQString&);
    const char* expected;
  } changes[] = {
      {"assign", [](RQString& t) { t = L"abc"; }, "abc"},
      {"append", [](RQString& t) { t += L"!"; }, "abc!"},
      {"set", [](RQString& t) { t.SetAt(0, L'x'); }, "xbc!"},
      {"upper", [](RQString& t) { t.MakeUpper(); }, "XBC!"},
      {"lower", [](RQString& t) { t.MakeLower(); }, "xbc!"},
      {"trim", [](RQString& t) { t = L"  t  "; t.GetAnsi(); t.Trim(); }, "t"},
      {"number", [](RQString& t) { t.AssignNumber(12); }, "12"},
      {"format", [](RQString& t) { t.Format(L"%1!s!%2!lu!", L"f", 7ul); }, "f7"},
      {"clear", [](RQString& t) { t.Clear(true); }, ""},
  };
  for (const Change& c : changes) {
    SCOPED_TRACE(c.name);
    s.GetAnsi();
    s.GetUtf8();
    c.apply(s);
    EXPECT_STREQ(c.expected, s.GetAnsi());
    EXPECT_STREQ(c.expected, s.GetUtf8());
  }

  // A conversion round-trips, also when the source is the string's own cache.
  s = L"plain text";
  s.AssignAnsi(s.GetAnsi());
  EXPECT_STREQ(L"plain text", s);
  s.AssignUtf8(s.GetUtf8());
  EXPECT_STREQ(L"plain text", s);
  s.AssignUtf8("\xE2\x82\xAC\xF0\x9F\x98\x80");
  EXPECT_STREQ(L"\u20ac\xD83D\xDE00", s);
  s.Assign("ansi", 40);
  EXPECT_STREQ(L"ansi", s);
  EXPECT_GE(s.GetCapacity(), 41u);
}

// A buffer written to the end without a terminator reads as empty and is never read past its end.
TEST(RQString, UnterminatedBufferReadsAsEmpty) {
  RQString s(3, 0);
  wchar_t* b = s.GetBuffer();
  for (int i = 0; i < 4; ++i) b[i] = L'z';
  EXPECT_EQ(0u, s.GetLength());
  EXPECT_EQ(0, s.GetAt(0));
  EXPECT_EQ(0, s.GetLastChar());
  EXPECT_EQ(nullptr, s.FindChar(L'z'));
  EXPECT_STREQ("", s.GetAnsi());
  EXPECT_STREQ("", s.GetUtf8());
  EXPECT_EQ(1, s.Compare(L"z", false, false));
  RQString copy(s);
  EXPECT_TRUE(copy.IsEmpty());
}

TEST(RQString, Format) {
  RQString s;
  EXPECT_TRUE(s.Format(L"%1!s! has %2!lu! items, %3!d!", L"list", 42ul, -3));
  EXPECT_STREQ(L"list has 42 items, -3", s);

  // The format and the inserts may be the string itself.
  s = L"%1!s!+";
  EXPECT_TRUE(s.Format(s, static_cast<const wchar_t*>(s)));
  EXPECT_STREQ(L"%1!s!++", s);

  const std::wstring longInsert(5000, L'w');
  EXPECT_TRUE(s.Format(L"<%1!s!>", longInsert.c_str()));
  EXPECT_EQ(5002u, s.GetLength());

  EXPECT_FALSE(s.Format(L""));
  EXPECT_TRUE(s.IsEmpty());
  s = L"old";
  EXPECT_FALSE(s.Format(nullptr));
  EXPECT_TRUE(s.IsEmpty());
}

TEST(RQString, LoadSystemMessage) {
  RQString s;
  EXPECT_TRUE(s.LoadSystemMessage(ERROR_FILE_NOT_FOUND));
  EXPECT_NE(nullptr, s.FindString(L"ile"));
  EXPECT_FALSE(s.LoadSystemMessage(0x2FFFFFFF));
  EXPECT_TRUE(s.IsEmpty());
}

TEST(RQString, SearchAndCharacters) {
  RQString s(L"one two one");
  EXPECT_EQ(s.GetBuffer() + 1, s.FindChar(L'n'));
  EXPECT_EQ(nullptr, s.FindChar(L'x'));
  EXPECT_EQ(s.GetBuffer() + 4, s.FindString(L"two"));
  EXPECT_EQ(nullptr, s.FindString(L"three"));
  EXPECT_EQ(s.GetBuffer(), s.FindString(nullptr));
  EXPECT_EQ(L'o', s.GetAt(0));
  EXPECT_EQ(L'e', s.GetAt(10));
  EXPECT_EQ(0, s.GetAt(11));
  EXPECT_EQ(L'e', s.GetLastChar());

  s.SetAt(11, L'x');  // past the end: nothing
  EXPECT_STREQ(L"one two one", s);
  s.SetAt(3, 0);
  EXPECT_STREQ(L"one", s);
  EXPECT_TRUE(TailIsZero(s));

  s = L"MiXeD \x00C4";
  s.MakeLower();
  EXPECT_STREQ(L"mixed \x00E4", s);
  s.MakeUpper();
  EXPECT_STREQ(L"MIXED \x00C4", s);
  RQString none;
  EXPECT_TRUE(none.MakeLower());
  EXPECT_TRUE(none.MakeUpper());

  struct Number {
    unsigned long value;
    const wchar_t* text;
  } numbers[] = {{0, L"0"}, {7, L"7"}, {4294967295ul, L"4294967295"}};
  for (const Number& n : numbers) {
    SCOPED_TRACE(n.value);
    s.AssignNumber(n.value);
    EXPECT_STREQ(n.text, s);
    EXPECT_GE(s.GetCapacity(), 81u);
  }
}

TEST(RQString, Trim) {
  struct Case {
    const wchar_t* in;
    const wchar_t* out;
  } cases[] = {
      {L"abc", L"abc"},          {L"  abc", L"abc"},          {L"abc  ", L"abc"},
      {L"\t a b \r\n", L"a b"},  {L"   ", L""},                {L"", L""},
      {L"x", L"x"},              {L" \x3000x\x3000 ", L"x"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "[" << c.in << "]");
    RQString s(c.in);
    EXPECT_TRUE(s.Trim());
    EXPECT_STREQ(c.out, s);
    EXPECT_TRUE(TailIsZero(s));
  }
  RQString none;
  EXPECT_TRUE(none.Trim());
}

TEST(RQString, ClearAndFree) {
  RQString s(L"secret");
  s.GetAnsi();
  const unsigned capacity = s.GetCapacity();
  s.Clear(true);
  EXPECT_EQ(capacity, s.GetCapacity());
  EXPECT_TRUE(s.IsEmpty());
  EXPECT_TRUE(TailIsZero(s));

  s = L"again";
  s.Clear(false);
  EXPECT_TRUE(TailIsZero(s));

  s.SetGrowBy(9);
  s.Free();
  EXPECT_EQ(nullptr, s.GetBuffer());
  EXPECT_EQ(0u, s.GetCapacity());
  EXPECT_EQ(9u, s.GetGrowBy());
  s += L"reused";
  EXPECT_STREQ(L"reused", s);
}

// --- RQStringMZ --------------------------------------------------------------------------------------

TEST(RQStringMZ, AddBuildsTheDoubleNulLayout) {
  RQStringMZ mz;
  EXPECT_EQ(nullptr, mz.GetAt(0));  // no buffer yet
  mz.Add(L"a");
  mz += L"bc";
  EXPECT_EQ(std::wstring(L"a\0bc\0\0", 6), Cells(mz));
  EXPECT_EQ(2u, mz.GetCount());
  EXPECT_EQ(6u, mz.GetLength());
  EXPECT_STREQ(L"a", mz.GetAt(0));
  EXPECT_STREQ(L"bc", mz[1]);
  EXPECT_EQ(nullptr, mz.GetAt(2));
  EXPECT_EQ(nullptr, mz.GetAt(7));

  enum Letters { kIgnoreCase, kMatchCase };
  enum Outcome { kAbsent, kFound };
  struct Case {
    const char* name;
    const wchar_t* needle;
    Letters letters;
    Outcome outcome;
    unsigned index;
  } cases[] = {
      {"B ignoring case", L"B", kIgnoreCase, kFound, 1},
      {"B matching case", L"B", kMatchCase, kAbsent, 2},
      {"substring", L"c", kMatchCase, kFound, 1},
      {"first match wins", L"", kMatchCase, kFound, 0},
      {"absent", L"x", kIgnoreCase, kAbsent, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    unsigned index = 99;
    EXPECT_EQ(c.outcome == kFound, mz.Find(c.needle, c.letters == kMatchCase, &index));
    EXPECT_EQ(c.index, index);
  }
  EXPECT_TRUE(mz.Find(L"BC", false, nullptr));

  unsigned used = 0, freeCells = 0;
  wchar_t* end = mz.GetEnd(&used, &freeCells);
  EXPECT_EQ(mz.GetBuffer() + 5, end);
  EXPECT_EQ(6u, used);
  EXPECT_EQ(mz.GetCapacity() - 6, freeCells);
  EXPECT_EQ(end, mz.GetEnd(nullptr, nullptr));
}

TEST(RQStringMZ, GrowsKeepingContentsAndReadsInAnyOrder) {
  RQStringMZ mz;
  std::vector<std::wstring> expected;
  for (int i = 0; i < 200; ++i) {
    expected.push_back(L"item" + std::to_wstring(i) + std::wstring(i % 7, L'x'));
    mz.Add(expected.back().c_str());
  }
  ASSERT_EQ(200u, mz.GetCount());
  for (unsigned i = 0; i < 200; ++i) EXPECT_EQ(expected[i], mz.GetAt(i)) << i;
  const unsigned order[] = {150, 3, 3, 4, 199, 0, 198, 57};
  for (unsigned i : order) EXPECT_EQ(expected[i], mz.GetAt(i)) << i;
  EXPECT_EQ(nullptr, mz.GetAt(200));
  EXPECT_EQ(expected[5], mz.GetAt(5));  // the cursor recovers after a miss

  // An empty string would read as the list's end: it is not added.
  mz.Add(L"").Add(nullptr);
  EXPECT_EQ(200u, mz.GetCount());
  mz.Add(L"last");
  EXPECT_STREQ(L"last", mz.GetAt(200));

  // A string of the list itself, added while the buffer must grow.
  RQStringMZ own;
  own.Add(std::wstring(70, L'o').c_str());
  own.Add(own.GetAt(0));
  EXPECT_EQ(2u, own.GetCount());
  EXPECT_EQ(std::wstring(70, L'o'), own.GetAt(1));
}

TEST(RQStringMZ, AssignCopiesAList) {
  const wchar_t list[] = L"one\0two\0three\0";
  RQStringMZ mz(list);
  EXPECT_EQ(3u, mz.GetCount());
  EXPECT_EQ(15u, mz.GetLength());
  EXPECT_STREQ(L"three", mz.GetAt(2));

  mz = mz;
  EXPECT_EQ(3u, mz.GetCount());
  mz = mz.GetBuffer();
  EXPECT_EQ(3u, mz.GetCount());
  mz = mz.GetAt(1);  // its own tail
  EXPECT_EQ(2u, mz.GetCount());
  EXPECT_STREQ(L"two", mz.GetAt(0));
  EXPECT_STREQ(L"three", mz.GetAt(1));

  RQStringMZ copy(mz);
  EXPECT_NE(copy.GetBuffer(), mz.GetBuffer());
  EXPECT_EQ(Cells(mz), Cells(copy));

  mz.Assign(list, 500);
  EXPECT_GE(mz.GetCapacity(), 502u);
  EXPECT_EQ(3u, mz.GetCount());

  mz = L"";
  EXPECT_TRUE(mz.IsEmpty());
  EXPECT_STREQ(L"", mz.GetAt(0));  // the empty list reads as one final NUL
  EXPECT_EQ(1u, mz.GetLength());
  mz = static_cast<const wchar_t*>(nullptr);
  EXPECT_EQ(0u, mz.GetCount());

  RQStringMZ empty(L"");
  EXPECT_EQ(nullptr, empty.GetBuffer());
  EXPECT_EQ(0u, empty.GetLength());
  unsigned used = 7, freeCells = 7;
  EXPECT_EQ(nullptr, empty.GetEnd(&used, &freeCells));
  EXPECT_EQ(0u, used);
  EXPECT_EQ(0u, freeCells);
}

TEST(RQStringMZ, AddAll) {
  RQStringMZ a(L"x\0");
  RQStringMZ b(L"long string one\0two\0");
  a.AddAll(b);
  EXPECT_EQ(3u, a.GetCount());
  EXPECT_EQ(std::wstring(L"x\0long string one\0two\0\0", 23), Cells(a));

  a.AddAll(a);  // itself
  EXPECT_EQ(6u, a.GetCount());
  EXPECT_STREQ(L"x", a.GetAt(3));
  EXPECT_STREQ(L"two", a.GetAt(5));

  RQStringMZ empty;
  empty.AddAll(b);
  EXPECT_EQ(Cells(b), Cells(empty));
  EXPECT_EQ(2u, empty.GetCount());
  b.AddAll(RQStringMZ());
  EXPECT_EQ(2u, b.GetCount());
}

TEST(RQStringMZ, ReserveClearAndFree) {
  RQStringMZ mz(L"keep\0me\0");
  EXPECT_EQ(mz.GetCapacity(), mz.Reserve(1));  // smaller request: unchanged
  const unsigned grown = mz.Reserve(1000);
  EXPECT_EQ(1002u, grown);
  EXPECT_STREQ(L"me", mz.GetAt(1));
  mz.Add(L"more");
  EXPECT_EQ(1002u, mz.GetCapacity());

  mz.Clear(true);
  EXPECT_EQ(0u, mz.GetCount());
  EXPECT_EQ(1002u, mz.GetCapacity());
  for (unsigned i = 0; i < mz.GetCapacity(); ++i) ASSERT_EQ(0, mz.GetBuffer()[i]) << i;
  mz.Add(L"after");
  EXPECT_STREQ(L"after", mz.GetAt(0));

  mz.Free();
  EXPECT_EQ(nullptr, mz.GetBuffer());
  EXPECT_EQ(0u, mz.GetCapacity());
  EXPECT_EQ(0u, mz.GetCount());
  mz.Add(L"again");
  EXPECT_EQ(80u, mz.GetCapacity());  // the growth step
}
