#include "LPRPC.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "ErrorCodes.h"
#include "SecureWipe.h"

namespace kesi {

namespace {

// The codes of the entry list's operations (their int results).
constexpr int kNoMemory = static_cast<int>(kErrorOutOfMemory);
constexpr int kInvalidParameter = static_cast<int>(kErrorInvalidParameter);
constexpr uint32_t kMaxChunkEntries = 4096;

// The empty text that a String of length 0 decodes to.
const char kEmptyText[] = "";

int32_t TypeOfTag(uint8_t tag) {
  switch (tag) {
    case 0x01: case 0x02: case 0x03: case 0x04: case 0x05: return tag;
    case 0x10: return LPRPC_STRUCTURE;
    case 0x11: return LPRPC_ARRAY;
    default: return LPRPC_INVALID;
  }
}

uint8_t TagOfType(int32_t type) {
  switch (type) {
    case LPRPC_STRUCTURE: return 0x10;
    case LPRPC_ARRAY: return 0x11;
    default: return static_cast<uint8_t>(type);
  }
}

size_t Room(const uint8_t* p, const uint8_t* end) { return static_cast<size_t>(end - p); }

uint8_t* Put16(uint8_t* p, uint32_t value) {
  p[0] = static_cast<uint8_t>(value >> 8);
  p[1] = static_cast<uint8_t>(value);
  return p + 2;
}

uint32_t Get16(const uint8_t* p) { return (static_cast<uint32_t>(p[0]) << 8) | p[1]; }

uint32_t Get32(const uint8_t* p) {
  return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
         (static_cast<uint32_t>(p[2]) << 8) | p[3];
}

// Out of line: most entries own nothing, and the check in ReleasePayload keeps the walk over them short.
__attribute__((noinline)) void ReleaseOwnedPayload(LPRPCValue& entry) {
  switch (entry.type) {
    // Owned texts are copies of what the caller added (the team credential, the session): wiped as they go.
    case LPRPC_STRING: {
      char* text = const_cast<char*>(entry.value.text);
      ReleaseSecret(text, std::strlen(text) + 1);
      break;
    }
    case LPRPC_BINARY:
      SecureWipe(const_cast<uint8_t*>(entry.value.bytes), entry.length);
      delete[] entry.value.bytes;
      break;
    case LPRPC_STRUCTURE:
    case LPRPC_ARRAY: delete entry.value.vector; break;
    default: break;
  }
  entry.owned = false;
}

inline void ReleasePayload(LPRPCValue& entry) {
  if (entry.owned) ReleaseOwnedPayload(entry);
}

// The fewest bytes one entry of the type takes on the wire (with its tag unless inner), so that a
// declared count can size the entry storage without trusting it beyond the bytes that remain.
size_t MinimumEntryBytes(int32_t type, bool inner) {
  size_t tag = inner ? 0 : 1;
  switch (type) {
    case LPRPC_BOOLEAN: return tag + 1;
    case LPRPC_INTEGER: case LPRPC_INTEGER_ALT: return tag + 4;
    case LPRPC_STRING: case LPRPC_BINARY: case LPRPC_STRUCTURE: return tag + 2;
    case LPRPC_ARRAY: return tag + 3;
    default: return 2;  // a tag and the smallest payload
  }
}

// A received String whose last byte is not its NUL gets a terminated copy of its own, so that it is
// never read past its bytes.
const uint8_t* CopyUnterminatedText(const uint8_t* p, uint32_t length, LPRPCValue* entry,
                                    LPRPCDecodeBudget& budget) {
  if (!budget.Take(static_cast<size_t>(length) + 1)) return nullptr;
  char* copy = static_cast<char*>(std::malloc(length + 1));
  if (!copy) return nullptr;
  std::memcpy(copy, p, length);
  copy[length] = 0;
  entry->value.text = copy;
  entry->owned = true;
  return p + length;
}

// Reads the payload of a Boolean, number, String or Binary entry; null for any other type.
inline const uint8_t* DecodeScalar(const uint8_t* p, const uint8_t* end, int32_t type, LPRPCValue* entry,
                                   LPRPCDecodeBudget& budget) {
  entry->type = static_cast<uint8_t>(type);
  entry->length = 0;
  entry->owned = false;
  switch (type) {
    case LPRPC_BOOLEAN:
      if (Room(p, end) < 1) return nullptr;
      entry->value.boolean = *p != 0;
      return p + 1;
    case LPRPC_INTEGER:
    case LPRPC_INTEGER_ALT:
      if (Room(p, end) < 4) return nullptr;
      entry->value.integer = static_cast<int32_t>(Get32(p));
      return p + 4;
    case LPRPC_STRING: {
      if (Room(p, end) < 2) return nullptr;
      uint32_t length = Get16(p);
      p += 2;
      if (Room(p, end) < length) return nullptr;
      if (length == 0) {
        entry->value.text = kEmptyText;
        return p;
      }
      if (p[length - 1] != 0) return CopyUnterminatedText(p, length, entry, budget);
      entry->value.text = reinterpret_cast<const char*>(p);
      return p + length;
    }
    case LPRPC_BINARY: {
      if (Room(p, end) < 2) return nullptr;
      uint32_t length = Get16(p);
      p += 2;
      if (Room(p, end) < length) return nullptr;
      entry->value.bytes = p;
      entry->length = length;
      return p + length;
    }
    default:
      return nullptr;
  }
}

// The bytes a String of fewer than 256 bytes can take with its tag: tag, two length bytes, 255 bytes.
constexpr size_t kShortStringBytes = 3 + 0xFF;

// Reads tagged, terminated Strings of 1 to 255 bytes into [slot, stop) for as long as they follow one
// another, and returns the slot after the last one; p moves past them. These make up almost every reply,
// and the loop is kept to what they need: where the next entry begins hangs on one byte loaded from this
// one, and everything else (the room, the tag, the NUL) is a check that the processor predicts past.
// Whatever is not such a String, and the last bytes of the body, are left to the general reader.
inline LPRPCValue* DecodeShortStrings(const uint8_t*& p, const uint8_t* end, LPRPCValue* slot,
                                      const LPRPCValue* stop) {
  const uint8_t* q = p;
  while (slot != stop && Room(q, end) >= kShortStringBytes && q[0] == 0x04 && q[1] == 0) {
    uint32_t length = q[2];
    // Length 0 is the empty text, read elsewhere; its "NUL" here would be the length byte itself.
    if (length == 0 || q[2 + length] != 0) break;
    LPRPCValue entry;
    entry.type = LPRPC_STRING;
    entry.owned = false;
    entry.length = 0;
    entry.value.text = reinterpret_cast<const char*>(q + 3);
    *slot++ = entry;
    q += 3 + length;
  }
  p = q;
  return slot;
}

// Full-size chunk storage freed by one vector is kept for the next, up to a megabyte. Without it, a long
// message costs fresh pages on every decode on heaps that return large free ranges to the system (Wine's
// does, at about 10 us a page here), and that cost, not the codec's, decided the time per member.
#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KESI_LPRPC_NO_CHUNK_CACHE  // let ASan see every chunk freed
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(KESI_LPRPC_NO_CHUNK_CACHE)
constexpr size_t kCachedChunks = 0;
#else
constexpr size_t kCachedChunks = 16;
#endif
std::mutex cacheLock;  // constant-initialised, trivially destroyed: usable during static destruction
LPRPCValue* cachedChunks[kCachedChunks + 1];
size_t cachedCount = 0;

LPRPCValue* NewChunkStorage(uint32_t capacity) {
  if (capacity == kMaxChunkEntries) {
    std::lock_guard<std::mutex> guard(cacheLock);
    if (cachedCount) return cachedChunks[--cachedCount];
  }
  return new (std::nothrow) LPRPCValue[capacity];
}

void DeleteChunkStorage(LPRPCValue* entries, uint32_t capacity) {
  if (capacity == kMaxChunkEntries) {
    std::lock_guard<std::mutex> guard(cacheLock);
    if (cachedCount < kCachedChunks) {
      cachedChunks[cachedCount++] = entries;
      return;
    }
  }
  delete[] entries;
}

}  // namespace

// ---- entry list --------------------------------------------------------------------------------

void LPRPCVector::ChunkDelete::operator()(Chunk* chunk) const noexcept {
  if (chunk->entries) DeleteChunkStorage(chunk->entries, chunk->capacity);
  delete chunk;  // and with it the chunks after it
}

LPRPCVector::LPRPCVector(int32_t kind)
    : kind_(kind), head_{{}, kInlineEntries, inline_}, tail_(&head_), cursorChunk_(&head_) {}

LPRPCVector::~LPRPCVector() {
  uint32_t used = GetCount();
  for (Chunk* chunk = &head_; chunk; chunk = chunk->next.get()) {
    uint32_t inChunk = used < chunk->capacity ? used : chunk->capacity;
    for (uint32_t i = 0; i < inChunk; ++i) ReleasePayload(chunk->entries[i]);
    used -= inChunk;
  }
}

bool LPRPCVector::AdvanceLocked(uint32_t wanted, LPRPCDecodeBudget* budget) {
  // Chunks grow with the vector so that a long one takes few allocations, but stay small enough for the
  // allocator's ordinary path: a block of a megabyte costs a fresh mapping on every decode under Wine.
  uint32_t capacity = GetCount();
  if (capacity < wanted) capacity = wanted;
  if (capacity > kMaxChunkEntries) capacity = kMaxChunkEntries;
  if (capacity == 0) capacity = 1;
  if (budget && !budget->Take(sizeof(Chunk) + static_cast<size_t>(capacity) * sizeof(LPRPCValue))) return false;
  std::unique_ptr<Chunk, ChunkDelete> chunk(new (std::nothrow) Chunk{{}, capacity, nullptr});
  if (!chunk) return false;
  chunk->entries = NewChunkStorage(capacity);
  if (!chunk->entries) return false;
  // Linked before any entry in it is published, so a reader that reaches the chunk finds the link.
  tail_->next = std::move(chunk);
  tail_ = tail_->next.get();
  tailUsed_ = 0;
  return true;
}

int LPRPCVector::Append(const LPRPCValue& entry) {
  std::lock_guard<std::mutex> guard(lock_);
  if (tailUsed_ == tail_->capacity && !AdvanceLocked(1)) return kNoMemory;
  tail_->entries[tailUsed_++] = entry;
  // Publishing the count after the entry (and the link to its chunk) lets Next read without the lock.
  count_.store(count_.load(std::memory_order_relaxed) + 1, std::memory_order_release);
  return 0;
}

int LPRPCVector::AddBoolean(bool value) {
  LPRPCValue entry{};
  entry.type = LPRPC_BOOLEAN;
  entry.value.boolean = value ? 1 : 0;
  return Append(entry);
}

int LPRPCVector::AddInteger(int32_t value) {
  LPRPCValue entry{};
  entry.type = LPRPC_INTEGER;
  entry.value.integer = value;
  return Append(entry);
}

int LPRPCVector::AddString(const char* text) {
  if (!text) text = kEmptyText;
  size_t size = std::strlen(text) + 1;
  char* copy = static_cast<char*>(std::malloc(size));
  if (!copy) return kNoMemory;
  std::memcpy(copy, text, size);
  LPRPCValue entry{};
  entry.type = LPRPC_STRING;
  entry.value.text = copy;
  entry.owned = true;
  int rc = Append(entry);
  if (rc) ReleaseSecret(copy, size);
  return rc;
}

int LPRPCVector::AddStructure(LPRPCVector* vector, bool owned) {
  if (!vector || vector == this) return kInvalidParameter;
  LPRPCValue entry{};
  entry.type = static_cast<uint8_t>(vector->GetKind());
  entry.value.vector = vector;
  entry.owned = owned;
  return Append(entry);
}

void LPRPCVector::Rewind() {
  cursorChunk_ = &head_;
  cursorIndex_ = 0;
  cursorPosition_ = 0;
}

const uint8_t* LPRPCVector::Decode(const uint8_t* start, const uint8_t* end, int32_t type) {
  LPRPCDecodeBudget budget(start && end > start ? static_cast<size_t>(end - start) : 0);
  return Decode(start, end, type, budget);
}

const uint8_t* LPRPCVector::Decode(const uint8_t* start, const uint8_t* end, int32_t type, LPRPCDecodeBudget& budget) {
  return DecodeNested(start, end, type, 0, budget);
}

// ---- entries -----------------------------------------------------------------------------------

size_t LPRPCVector::EntrySize(const LPRPCValue& entry) {
  switch (entry.type) {
    case LPRPC_BOOLEAN: return 2;
    case LPRPC_INTEGER: case LPRPC_INTEGER_ALT: return 5;
    case LPRPC_STRING: return std::strlen(entry.value.text) + 4;
    case LPRPC_BINARY: return static_cast<size_t>(entry.length) + 4;
    case LPRPC_STRUCTURE:
    case LPRPC_ARRAY: return entry.value.vector ? entry.value.vector->GetSize() : 0;
    default: return 0;
  }
}

uint8_t* LPRPCVector::EncodeEntry(uint8_t* p, uint8_t* end, const LPRPCValue& entry, bool inner, int depth) {
  if (entry.type == LPRPC_STRUCTURE || entry.type == LPRPC_ARRAY) {
    LPRPCVector* vector = entry.value.vector;
    if (!vector || vector->GetKind() != entry.type) return nullptr;
    return vector->EncodeNested(p, end, inner, depth + 1);
  }
  if (!inner) {
    if (Room(p, end) < 1) return nullptr;
    *p++ = TagOfType(entry.type);
  }
  switch (entry.type) {
    case LPRPC_BOOLEAN:
      if (Room(p, end) < 1) return nullptr;
      *p++ = entry.value.boolean ? 1 : 0;
      return p;
    case LPRPC_INTEGER:
    case LPRPC_INTEGER_ALT: {
      if (Room(p, end) < 4) return nullptr;
      uint32_t v = static_cast<uint32_t>(entry.value.integer);
      p[0] = static_cast<uint8_t>(v >> 24);
      p[1] = static_cast<uint8_t>(v >> 16);
      p[2] = static_cast<uint8_t>(v >> 8);
      p[3] = static_cast<uint8_t>(v);
      return p + 4;
    }
    case LPRPC_STRING: {
      // The NUL is written and counted. A length that does not fit in 16 bits is refused rather than
      // cut down, which would leave the declared length disagreeing with the bytes.
      size_t length = std::strlen(entry.value.text) + 1;
      if (length > kLPRPCMaxLength || Room(p, end) < length + 2) return nullptr;
      p = Put16(p, static_cast<uint32_t>(length));
      std::memcpy(p, entry.value.text, length);
      return p + length;
    }
    case LPRPC_BINARY: {
      size_t length = entry.length;
      // Binary keeps one byte of room beyond what it writes.
      if (length > kLPRPCMaxLength || Room(p, end) < length + 3) return nullptr;
      p = Put16(p, static_cast<uint32_t>(length));
      if (length) std::memcpy(p, entry.value.bytes, length);
      return p + length;
    }
    default:
      return nullptr;
  }
}

const uint8_t* LPRPCVector::DecodeVectorEntry(const uint8_t* p, const uint8_t* end, int32_t type, LPRPCValue* entry,
                                              int depth, LPRPCDecodeBudget& budget) {
  if (!budget.Take(type == LPRPC_STRUCTURE ? sizeof(LPRPCStructure) : sizeof(LPRPCArray))) return nullptr;
  LPRPCVector* vector = type == LPRPC_STRUCTURE ? static_cast<LPRPCVector*>(new (std::nothrow) LPRPCStructure)
                                                : static_cast<LPRPCVector*>(new (std::nothrow) LPRPCArray);
  if (!vector) return nullptr;
  entry->type = static_cast<uint8_t>(type);
  entry->value.vector = vector;
  entry->length = 0;
  entry->owned = true;
  const uint8_t* next = vector->DecodeNested(p, end, type, depth + 1, budget);
  if (!next) {
    ReleasePayload(*entry);
    return nullptr;
  }
  return next;
}

const uint8_t* LPRPCVector::DecodeEntries(const uint8_t* p, const uint8_t* end, uint32_t count, int32_t type,
                                          int depth, LPRPCDecodeBudget& budget) {
  std::lock_guard<std::mutex> guard(lock_);
  // Every entry takes at least a few bytes, so a declared count is trusted only as far as they go.
  const size_t minimum = MinimumEntryBytes(type, type != LPRPC_INVALID);
  // The loop keeps the tail in locals: the entries it writes could otherwise alias the list's fields.
  LPRPCValue* slot = tail_->entries + tailUsed_;
  LPRPCValue* limit = tail_->entries + tail_->capacity;
  uint32_t added = 0;
  while (added < count) {
    if (slot == limit) {
      tailUsed_ = tail_->capacity;
      size_t fit = Room(p, end) / minimum;
      uint32_t left = count - added;
      if (!AdvanceLocked(fit < left ? static_cast<uint32_t>(fit) : left, &budget)) {
        p = nullptr;
        break;
      }
      slot = tail_->entries;
      limit = slot + tail_->capacity;
    }
    if (type == LPRPC_INVALID) {
      // Replies are mostly Strings: runs of short ones first, then a long one without the general reader.
      size_t room = static_cast<size_t>(limit - slot);
      LPRPCValue* first = slot;
      slot = DecodeShortStrings(p, end, slot, slot + (count - added < room ? count - added : room));
      if (slot != first) {
        added += static_cast<uint32_t>(slot - first);
        continue;
      }
      if (Room(p, end) >= 3 && p[0] == 0x04) {
        uint32_t length = Get16(p + 1);
        if (length && Room(p, end) - 3 >= length && p[2 + length] == 0) {
          slot->type = LPRPC_STRING;
          slot->owned = false;
          slot->length = 0;
          slot->value.text = reinterpret_cast<const char*>(p + 3);
          p += 3 + length;
          ++slot;
          ++added;
          continue;
        }
      }
    }
    int32_t entryType = type;
    if (entryType == LPRPC_INVALID) {
      if (p == end) {
        p = nullptr;
        break;
      }
      entryType = TypeOfTag(*p++);
    }
    p = entryType >= LPRPC_STRUCTURE ? DecodeVectorEntry(p, end, entryType, slot, depth, budget)
                                     : DecodeScalar(p, end, entryType, slot, budget);
    if (!p) break;
    ++slot;
    ++added;
  }
  tailUsed_ = static_cast<uint32_t>(slot - tail_->entries);
  // Published once for the whole run; on failure the entries read so far stay.
  count_.store(count_.load(std::memory_order_relaxed) + added, std::memory_order_release);
  return p;
}

// ---- Structure ---------------------------------------------------------------------------------

size_t LPRPCStructure::GetSize() const {
  size_t size = 3;
  ForEach([&size](const LPRPCValue& entry) {
    size += EntrySize(entry);
    return true;
  });
  return size;
}

uint8_t* LPRPCStructure::Encode(uint8_t* start, uint8_t* end, bool inner) {
  return EncodeNested(start, end, inner, 0);
}

uint8_t* LPRPCStructure::EncodeNested(uint8_t* start, uint8_t* end, bool inner, int depth) {
  if (depth > kLPRPCMaxDepth || !start || start > end) return nullptr;
  uint8_t* p = start;
  if (!inner) {
    if (Room(p, end) < 1) return nullptr;
    *p++ = 0x10;
  }
  uint32_t count = GetCount();
  if (count > kLPRPCMaxLength || Room(p, end) < 2) return nullptr;
  p = Put16(p, count);
  uint32_t written = 0;
  ForEach([&](const LPRPCValue& entry) {
    if (written++ == count) return false;  // appended while encoding: not part of this message
    p = EncodeEntry(p, end, entry, false, depth);
    return p != nullptr;
  });
  return p;
}

const uint8_t* LPRPCStructure::DecodeNested(const uint8_t* start, const uint8_t* end, int32_t type, int depth,
                                            LPRPCDecodeBudget& budget) {
  if (depth > kLPRPCMaxDepth || !start || start > end) return nullptr;
  const uint8_t* p = start;
  if (type == LPRPC_INVALID) {
    if (Room(p, end) < 1) return nullptr;
    type = TypeOfTag(*p++);
  }
  if (type != LPRPC_STRUCTURE || Room(p, end) < 2) return nullptr;
  uint32_t count = Get16(p);
  return DecodeEntries(p + 2, end, count, LPRPC_INVALID, depth, budget);
}

// ---- Array -------------------------------------------------------------------------------------

size_t LPRPCArray::GetSize() const {
  size_t size = 4;
  ForEach([&size](const LPRPCValue& entry) {
    size += EntrySize(entry);
    return true;
  });
  return size;
}

uint8_t* LPRPCArray::Encode(uint8_t* start, uint8_t* end, bool inner) { return EncodeNested(start, end, inner, 0); }

uint8_t* LPRPCArray::EncodeNested(uint8_t* start, uint8_t* end, bool inner, int depth) {
  if (depth > kLPRPCMaxDepth || !start || start > end) return nullptr;
  uint8_t* p = start;
  if (!inner) {
    if (Room(p, end) < 1) return nullptr;
    *p++ = 0x11;
  }
  uint32_t count = GetCount();
  if (count > kLPRPCMaxLength || Room(p, end) < 3) return nullptr;
  *p++ = TagOfType(elementType_);
  p = Put16(p, count);
  uint32_t written = 0;
  int32_t elementType = elementType_;
  ForEach([&](const LPRPCValue& entry) {
    if (written++ == count) return false;
    if (entry.type != elementType) {
      p = nullptr;
      return false;
    }
    p = EncodeEntry(p, end, entry, true, depth);
    return p != nullptr;
  });
  return p;
}

const uint8_t* LPRPCArray::DecodeNested(const uint8_t* start, const uint8_t* end, int32_t type, int depth,
                                        LPRPCDecodeBudget& budget) {
  if (depth > kLPRPCMaxDepth || !start || start > end) return nullptr;
  const uint8_t* p = start;
  if (type == LPRPC_INVALID) {
    if (Room(p, end) < 1) return nullptr;
    type = TypeOfTag(*p++);
  }
  if (type != LPRPC_ARRAY || Room(p, end) < 3) return nullptr;
  elementType_ = TypeOfTag(p[0]);
  uint32_t count = Get16(p + 1);
  p += 3;
  // Elements carry no tags of their own, so without a valid element type there is nothing to read them as.
  if (count > 0 && elementType_ == LPRPC_INVALID) return nullptr;
  return DecodeEntries(p, end, count, elementType_, depth, budget);
}

// ---- calls, results and faults -----------------------------------------------------------------

LPRPCStatus BuildCall(int32_t procedure, LPRPCVector* parameters, Utf8Buffer& out) {
  out.Clear();
  if (!parameters) return LPRPCStatus::kCodecFailed;
  LPRPCStructure call;
  if (call.AddInteger(1) || call.AddInteger(procedure) || call.AddStructure(parameters, false)) {
    return LPRPCStatus::kNoMemory;
  }
  size_t size = call.GetSize();
  if (size >= UINT32_MAX) return LPRPCStatus::kCodecFailed;
  uint8_t* start = out.Allocate(static_cast<uint32_t>(size));
  if (!start) return LPRPCStatus::kNoMemory;
  uint8_t* end = call.Encode(start, start + size, false);
  if (!end) {
    out.Clear();
    return LPRPCStatus::kCodecFailed;
  }
  out.Truncate(static_cast<uint32_t>(end - start));
  return LPRPCStatus::kOk;
}

LPRPCStatus ReadReply(const uint8_t* body, size_t length, LPRPCStructure& reply, LPRPCVector** result,
                      LPRPCFault* fault) {
  if (result) *result = nullptr;
  if (!body) return LPRPCStatus::kCodecFailed;
  LPRPCDecodeBudget budget(length);
  if (!reply.Decode(body, body + length, LPRPC_INVALID, budget))
    return budget.Exhausted() ? LPRPCStatus::kTooLarge : LPRPCStatus::kCodecFailed;
  reply.Rewind();
  int32_t kind = 0;
  if (!reply.NextInteger(&kind)) return LPRPCStatus::kMalformed;
  if (kind != 2) return ParseFault(kind, reply, fault);
  LPRPCVector* values = reply.NextStructure();
  if (!values) return LPRPCStatus::kMalformed;
  values->Rewind();
  if (result) *result = values;
  return LPRPCStatus::kOk;
}

LPRPCStatus ReadReply(const Utf8Buffer& body, LPRPCStructure& reply, LPRPCVector** result, LPRPCFault* fault) {
  return ReadReply(body.GetData(), body.GetLength(), reply, result, fault);
}

LPRPCStatus ParseFault(int32_t kind, LPRPCVector& reply, LPRPCFault* fault) {
  if (kind != 3) return LPRPCStatus::kMalformed;
  LPRPCVector* record = reply.NextStructure();
  if (!record) return LPRPCStatus::kMalformed;
  record->Rewind();
  int32_t code = 0, secondCode = 0;
  if (!record->NextInteger(&code) || !record->NextInteger(&secondCode)) return LPRPCStatus::kMalformed;
  const LPRPCValue* entry = record->Next();
  if (entry && entry->type == LPRPC_INTEGER) entry = record->Next();  // an optional number, not used
  if (!entry || entry->type != LPRPC_STRING) return LPRPCStatus::kMalformed;
  if (fault) {
    fault->code = code;
    fault->secondCode = secondCode;
    if (fault->text.SetText(entry->value.text)) return LPRPCStatus::kNoMemory;
  }
  return LPRPCStatus::kFault;
}

}  // namespace kesi
