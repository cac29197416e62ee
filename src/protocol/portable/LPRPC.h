#pragma once
// LPRPC values and their binary encoding: trees of typed values, big-endian on the wire, in which the
// client calls the appliance's remote procedures and receives the results and faults.
//
//   tag  type              payload
//   01   Boolean      (1)  1 byte (any non-zero byte reads as true)
//   02   Integer      (2)  4 bytes big-endian
//   03   second number(3)  4 bytes big-endian, handled like Integer
//   04   String       (4)  2-byte length L, L bytes; the encoder writes the NUL and counts it in L
//   05   Binary       (5)  2-byte length L, L bytes
//   10   Structure    (6)  2-byte member count, members each with its own tag
//   11   Array        (7)  element tag, 2-byte element count, elements without tags
//
// OS-free: built for Windows and natively (ASan, UBSan, libFuzzer).
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>

#include "Utf8Buffer.h"

namespace kesi {

enum LPRPCType : int32_t {
  LPRPC_INVALID = 0,
  LPRPC_BOOLEAN = 1,
  LPRPC_INTEGER = 2,
  LPRPC_INTEGER_ALT = 3,  // the second 32-bit number type: read when received, never built
  LPRPC_STRING = 4,
  LPRPC_BINARY = 5,
  LPRPC_STRUCTURE = 6,
  LPRPC_ARRAY = 7,
};

// Status of BuildCall, ReadReply and ParseFault. Not a Windows error code: the logon procedures turn
// a status other than kOk into one of their agent codes.
enum class LPRPCStatus : int {
  kOk = 0,
  kCodecFailed = 1,  // the bytes could not be encoded or decoded
  kMalformed = 2,    // the reply was not of the expected shape (or an argument was out of range)
  kNoMemory = 3,
  kFault = 4,        // the appliance answered with a fault
  kTooLarge = 5,     // decoding the reply would take more memory than its size allows (LPRPCDecodeBudget)
};

// Lengths and counts on the wire are 16-bit.
constexpr uint32_t kLPRPCMaxLength = 0xFFFF;
// Deepest nesting of Structures and Arrays that is encoded or decoded. Real messages nest four or five
// levels; the bound keeps a hostile reply from exhausting the stack.
constexpr int kLPRPCMaxDepth = 32;

// What decoding one message may allocate: its vectors, their entry storage and the copies of unterminated
// Strings, in bytes. A tagged empty Structure is 3 bytes on the wire but a vector object of 100 to 200
// bytes, so without a bound a reply of nested empty Structures multiplies its size about sixty times. Real
// replies stay under 8 bytes per wire byte (an agent record of empty texts is the densest, about 6); the
// factor leaves room for that, and the allowance covers the few vectors of the smallest replies.
constexpr size_t kLPRPCDecodeBytesPerByte = 16;
constexpr size_t kLPRPCDecodeAllowance = 64 * 1024;

class LPRPCDecodeBudget {
 public:
  // The budget of a message of messageBytes bytes.
  explicit LPRPCDecodeBudget(size_t messageBytes)
      : left_(messageBytes > (SIZE_MAX - kLPRPCDecodeAllowance) / kLPRPCDecodeBytesPerByte
                  ? SIZE_MAX
                  : kLPRPCDecodeAllowance + messageBytes * kLPRPCDecodeBytesPerByte) {}
  // Takes bytes from what is left before they are allocated; false (and exhausted from then on) when
  // they are more than that.
  bool Take(size_t bytes) {
    if (exhausted_ || bytes > left_) {
      exhausted_ = true;
      return false;
    }
    left_ -= bytes;
    return true;
  }
  bool Exhausted() const { return exhausted_; }

 private:
  size_t left_;
  bool exhausted_ = false;
};

class LPRPCVector;

// One entry of a vector. A String entry points at a NUL-terminated text; a Binary entry at length bytes.
// Decoded String and Binary entries point into the received bytes, which must outlive the tree (a String
// received without its final NUL is the exception: it gets a terminated copy, owned by the entry).
struct LPRPCValue {
  uint8_t type;     // an LPRPCType
  bool owned;       // the entry releases its payload
  uint32_t length;  // byte count of a Binary
  union {
    uint8_t boolean;  // 1 or 0
    int32_t integer;  // types 2 and 3
    const char* text;
    const uint8_t* bytes;
    LPRPCVector* vector;  // types 6 and 7
  } value;
};

// An ordered list of entries; Structure and Array are its two kinds. Entries may be appended and counted
// from several threads; one reader at a time walks a vector with Rewind and Next.
class LPRPCVector {
 public:
  virtual ~LPRPCVector();
  LPRPCVector(const LPRPCVector&) = delete;
  LPRPCVector& operator=(const LPRPCVector&) = delete;

  // Upper bound of the encoded size in bytes.
  virtual size_t GetSize() const = 0;
  // Writes the vector into [start, end), with its tag unless inner. Returns the position after the last
  // byte written, or null when it does not fit or cannot be encoded (what was written stays).
  virtual uint8_t* Encode(uint8_t* start, uint8_t* end, bool inner) = 0;
  // Reads the vector from [start, end) and appends its entries; type 0 reads a tag first, else type is
  // this vector's type (6 or 7). Returns the position after the last byte read, or null on failure (the
  // entries read so far stay). Allocations are taken from budget (or from one for end - start bytes),
  // and decoding fails when it runs out (budget.Exhausted() tells that failure from the others).
  const uint8_t* Decode(const uint8_t* start, const uint8_t* end, int32_t type);
  const uint8_t* Decode(const uint8_t* start, const uint8_t* end, int32_t type, LPRPCDecodeBudget& budget);

  // Each appends one entry at the end: 0, 14 without memory, 87 for a null or self vector.
  int AddBoolean(bool value);
  int AddInteger(int32_t value);
  // A private copy of text (null is stored as the empty text).
  int AddString(const char* text);
  // The vector itself, released with this one when owned. The entry's type is the vector's kind.
  int AddStructure(LPRPCVector* vector, bool owned);

  // Puts the cursor on the first entry.
  void Rewind();
  // The entry under the cursor (null at the end); moves the cursor to the following entry.
  const LPRPCValue* Next() {
    if (cursorPosition_ >= GetCount()) return nullptr;
    if (cursorIndex_ == cursorChunk_->capacity) {
      cursorChunk_ = cursorChunk_->next.get();
      cursorIndex_ = 0;
    }
    ++cursorPosition_;
    return &cursorChunk_->entries[cursorIndex_++];
  }
  uint32_t GetCount() const { return count_.load(std::memory_order_acquire); }

  // Next, checked for one type: true and the value when the entry exists and has exactly that type.
  // The cursor moves on either way.
  bool NextBoolean(bool* value) {
    const LPRPCValue* entry = Next();
    if (!entry || entry->type != LPRPC_BOOLEAN) return false;
    if (value) *value = entry->value.boolean != 0;
    return true;
  }
  bool NextInteger(int32_t* value) {  // type 2 only
    const LPRPCValue* entry = Next();
    if (!entry || entry->type != LPRPC_INTEGER) return false;
    if (value) *value = entry->value.integer;
    return true;
  }
  bool NextString(const char** text) {
    const LPRPCValue* entry = Next();
    if (!entry || entry->type != LPRPC_STRING) return false;
    if (text) *text = entry->value.text;
    return true;
  }
  LPRPCVector* NextStructure() {  // type 6 only; null otherwise
    const LPRPCValue* entry = Next();
    return entry && entry->type == LPRPC_STRUCTURE ? entry->value.vector : nullptr;
  }

  // LPRPC_STRUCTURE or LPRPC_ARRAY.
  int32_t GetKind() const { return kind_; }

 protected:
  explicit LPRPCVector(int32_t kind);

  // Encode and Decode with the nesting depth of this vector; they fail beyond kLPRPCMaxDepth.
  virtual uint8_t* EncodeNested(uint8_t* start, uint8_t* end, bool inner, int depth) = 0;
  virtual const uint8_t* DecodeNested(const uint8_t* start, const uint8_t* end, int32_t type, int depth,
                                      LPRPCDecodeBudget& budget) = 0;

  // Entry writer shared by both kinds (inner: no tag), and the reader of a nested Structure or Array.
  static uint8_t* EncodeEntry(uint8_t* p, uint8_t* end, const LPRPCValue& entry, bool inner, int depth);
  static const uint8_t* DecodeVectorEntry(const uint8_t* p, const uint8_t* end, int32_t type, LPRPCValue* entry,
                                          int depth, LPRPCDecodeBudget& budget);
  static size_t EntrySize(const LPRPCValue& entry);

  // Reads count entries (each with its tag when type is 0, else all of that type) and appends them.
  const uint8_t* DecodeEntries(const uint8_t* p, const uint8_t* end, uint32_t count, int32_t type, int depth,
                               LPRPCDecodeBudget& budget);
  int Append(const LPRPCValue& entry);

  // Walks the entries published so far without touching the reader's cursor.
  template <typename F>
  bool ForEach(F&& f) const {
    uint32_t n = GetCount();
    const Chunk* chunk = &head_;
    uint32_t index = 0;
    for (uint32_t i = 0; i < n; ++i, ++index) {
      if (index == chunk->capacity) {
        chunk = chunk->next.get();
        index = 0;
      }
      if (!f(chunk->entries[index])) return false;
    }
    return true;
  }

 private:
  // Entries live in chunks that never move once made, so the pointers Next hands out stay valid while
  // other threads append, and the cursor steps in constant time. Each chunk owns the next one and, but
  // for the head (whose entries are inline_), its entry storage; the vector releases the payloads of the
  // entries it owns (owned) before the chunks go.
  struct Chunk;
  struct ChunkDelete {
    void operator()(Chunk* chunk) const noexcept;
  };
  struct Chunk {
    std::unique_ptr<Chunk, ChunkDelete> next;
    uint32_t capacity;
    LPRPCValue* entries;
  };
  static constexpr uint32_t kInlineEntries = 4;

  // With lock_ held and the tail chunk full: appends a chunk for about wanted more entries, taking its
  // bytes from budget when one is given.
  bool AdvanceLocked(uint32_t wanted, LPRPCDecodeBudget* budget = nullptr);

  int32_t kind_;
  std::mutex lock_;  // serialises appends
  std::atomic<uint32_t> count_{0};  // entries published; written after the entry, under lock_
  LPRPCValue inline_[kInlineEntries];
  Chunk head_;
  Chunk* tail_;
  uint32_t tailUsed_ = 0;
  // Reader's cursor.
  const Chunk* cursorChunk_;
  uint32_t cursorIndex_ = 0;
  uint32_t cursorPosition_ = 0;
};

class LPRPCStructure final : public LPRPCVector {
 public:
  LPRPCStructure() : LPRPCVector(LPRPC_STRUCTURE) {}
  size_t GetSize() const override;
  uint8_t* Encode(uint8_t* start, uint8_t* end, bool inner) override;

 protected:
  uint8_t* EncodeNested(uint8_t* start, uint8_t* end, bool inner, int depth) override;
  const uint8_t* DecodeNested(const uint8_t* start, const uint8_t* end, int32_t type, int depth,
                              LPRPCDecodeBudget& budget) override;
};

class LPRPCArray final : public LPRPCVector {
 public:
  // The element type is 0 unless given; Decode sets it. An Array whose element type is 0 can only be
  // encoded empty, and every element must have the element type.
  explicit LPRPCArray(int32_t elementType = 0) : LPRPCVector(LPRPC_ARRAY), elementType_(elementType) {}
  int32_t GetElementType() const { return elementType_; }

  size_t GetSize() const override;
  uint8_t* Encode(uint8_t* start, uint8_t* end, bool inner) override;

 protected:
  uint8_t* EncodeNested(uint8_t* start, uint8_t* end, bool inner, int depth) override;
  const uint8_t* DecodeNested(const uint8_t* start, const uint8_t* end, int32_t type, int depth,
                              LPRPCDecodeBudget& budget) override;

 private:
  int32_t elementType_;
};

// The code, second code and text of a fault reply.
struct LPRPCFault {
  int32_t code = 0;
  int32_t secondCode = 0;
  Utf8Buffer text;
};

// Encodes the call envelope {Integer 1, Integer procedure, Structure parameters} with its tag into out.
// The parameters stay the caller's. kOk, kCodecFailed (also for null parameters or a value beyond the
// format's 16-bit limits), kNoMemory.
LPRPCStatus BuildCall(int32_t procedure, LPRPCVector* parameters, Utf8Buffer& out);

// Decodes a reply body into reply (a fresh Structure) and checks its envelope. On kOk *result is the
// result Structure inside reply (kind 2). A decoding failure is kCodecFailed, or kTooLarge when the
// decoding budget of the body ran out (*result stays null either way); a first member that is not
// an Integer, or a result kind without a Structure, kMalformed; any other kind goes to ParseFault.
// String entries point into body, which must outlive reply.
LPRPCStatus ReadReply(const uint8_t* body, size_t length, LPRPCStructure& reply, LPRPCVector** result,
                      LPRPCFault* fault);
LPRPCStatus ReadReply(const Utf8Buffer& body, LPRPCStructure& reply, LPRPCVector** result, LPRPCFault* fault);

// Reads the fault that follows the kind in reply: kind 3, then a Structure {Integer code, Integer
// second code, [Integer skipped], String text}. kFault with fault filled in (fault may be null), or
// kMalformed for any other shape, or kNoMemory when the text cannot be copied.
LPRPCStatus ParseFault(int32_t kind, LPRPCVector& reply, LPRPCFault* fault);

}  // namespace kesi
