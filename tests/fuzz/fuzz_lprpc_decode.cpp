// libFuzzer target: LPRPC decoding of untrusted reply bytes, and the reply and fault readers on top.
// Beyond "no crash, no over-read", it checks that whatever decodes encodes within its size estimate and
// that decoding that encoding gives the same bytes again, and that decoding stays within the budget of
// the input's size: a reply that would take more ends as kTooLarge, with no result.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "LPRPC.h"

using namespace kesi;

namespace {

void Check(bool condition) {
  if (!condition) __builtin_trap();
}

// Touches every byte each entry points at, so that a text or Binary reaching past the input shows.
unsigned Walk(LPRPCVector& v) {
  unsigned sum = 0;
  v.Rewind();
  uint32_t seen = 0;
  while (const LPRPCValue* e = v.Next()) {
    ++seen;
    switch (e->type) {
      case LPRPC_STRING: sum += static_cast<unsigned>(std::strlen(e->value.text)); break;
      case LPRPC_BINARY:
        for (uint32_t i = 0; i < e->length; ++i) sum += e->value.bytes[i];
        break;
      case LPRPC_STRUCTURE:
      case LPRPC_ARRAY:
        Check(e->value.vector && e->value.vector->GetKind() == e->type);
        sum += Walk(*e->value.vector);
        break;
      default: break;
    }
  }
  Check(seen == v.GetCount());
  return sum;
}

std::vector<uint8_t> EncodeOf(LPRPCVector& v, bool* ok) {
  std::vector<uint8_t> out(v.GetSize());
  uint8_t* end = v.Encode(out.data(), out.data() + out.size(), false);
  *ok = end != nullptr;
  if (end) out.resize(static_cast<size_t>(end - out.data()));
  return out;
}

void RoundTrip(LPRPCVector& decoded, size_t inputSize) {
  bool ok = false;
  std::vector<uint8_t> once = EncodeOf(decoded, &ok);
  // A received String of 65535 bytes without its NUL grows by one when terminated and can no longer be
  // encoded; nothing else that decodes may fail to encode.
  if (!ok) {
    Check(inputSize >= kLPRPCMaxLength);
    return;
  }
  LPRPCStructure again;
  LPRPCArray againArray;
  LPRPCVector& target = decoded.GetKind() == LPRPC_ARRAY ? static_cast<LPRPCVector&>(againArray) : again;
  // The encoding leaves out bytes after the vector, which counted towards the first budget; the same
  // tree takes no more to decode again.
  LPRPCDecodeBudget budget(inputSize);
  Check(target.Decode(once.data(), once.data() + once.size(), 0, budget) == once.data() + once.size());
  std::vector<uint8_t> twice = EncodeOf(target, &ok);
  Check(ok && twice == once);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const uint8_t* end = data + size;
  {
    LPRPCStructure s;
    LPRPCDecodeBudget budget(size);
    const uint8_t* stop = s.Decode(data, end, 0, budget);
    Check(!stop || !budget.Exhausted());
    if (stop) {
      Check(stop > data && stop <= end);
      Walk(s);
      RoundTrip(s, size);
    }
  }
  {
    LPRPCArray a;
    if (a.Decode(data, end, 0)) {
      Walk(a);
      RoundTrip(a, size);
    }
  }
  {
    LPRPCStructure reply;
    LPRPCVector* result = nullptr;
    LPRPCFault fault;
    kesi::LPRPCStatus status = ReadReply(data, size, reply, &result, &fault);
    Check(status == LPRPCStatus::kOk || status == LPRPCStatus::kCodecFailed || status == LPRPCStatus::kMalformed ||
          status == LPRPCStatus::kFault || status == LPRPCStatus::kTooLarge);
    Check((status == LPRPCStatus::kOk) == (result != nullptr));
    if (result) Walk(*result);
    if (status == LPRPCStatus::kFault) Check(std::strlen(fault.text.GetText()) <= fault.text.GetLength());
  }
  return 0;
}
