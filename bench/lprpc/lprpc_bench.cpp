// Decodes and walks a Structure of N String members, as a reply carrying an interrogation list does, for
// N = 1,000, 10,000 and 65,535. Prints the time per member for each N (it must not grow with N) and the
// decoding rate against memcpy of the same bytes measured in the same run.
//
// Then the hostile replies against a real one of about the cap's size, each with its time and the peak
// of what the process holds from operator new while it runs (the decoder's vectors and entry storage):
// a list reply of 65,535 lines (the reference), the expansion reply (Structures of 65,535 empty
// Structures) refused by its decoding budget, the same decoded without a bound (what the budget
// prevents), and the refusal of a reply that announces more than the cap (its length is read, nothing
// is allocated).
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "LPRPC.h"
#include "ReplyLimit.h"

// ---- heap accounting: every operator new of the process, with a resettable peak ----------------------

namespace {

std::atomic<size_t> g_heapNow{0};
std::atomic<size_t> g_heapPeak{0};
constexpr size_t kHeader = 16;  // keeps the caller's block aligned as malloc's

void* Counted(size_t bytes) noexcept {
  auto* block = static_cast<unsigned char*>(std::malloc(bytes + kHeader));
  if (!block) return nullptr;
  std::memcpy(block, &bytes, sizeof bytes);
  size_t now = g_heapNow.fetch_add(bytes) + bytes;
  size_t peak = g_heapPeak.load();
  while (now > peak && !g_heapPeak.compare_exchange_weak(peak, now)) {
  }
  return block + kHeader;
}

void Uncounted(void* p) noexcept {
  if (!p) return;
  auto* block = static_cast<unsigned char*>(p) - kHeader;
  size_t bytes;
  std::memcpy(&bytes, block, sizeof bytes);
  g_heapNow.fetch_sub(bytes);
  std::free(block);
}

void* CountedOrThrow(size_t bytes) {
  void* p = Counted(bytes);
  if (!p) throw std::bad_alloc();
  return p;
}

}  // namespace

void* operator new(size_t bytes) { return CountedOrThrow(bytes); }
void* operator new[](size_t bytes) { return CountedOrThrow(bytes); }
void* operator new(size_t bytes, const std::nothrow_t&) noexcept { return Counted(bytes); }
void* operator new[](size_t bytes, const std::nothrow_t&) noexcept { return Counted(bytes); }
void operator delete(void* p) noexcept { Uncounted(p); }
void operator delete[](void* p) noexcept { Uncounted(p); }
void operator delete(void* p, size_t) noexcept { Uncounted(p); }
void operator delete[](void* p, size_t) noexcept { Uncounted(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { Uncounted(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { Uncounted(p); }

using namespace kesi;

using Clock = std::chrono::steady_clock;

namespace {

constexpr size_t kTextLength = 40;  // a typical interrogation line
constexpr int kBatches = 15;

// Keeps the compiler from dropping work whose result is otherwise unused.
void Sink(const void* p) { asm volatile("" : : "r"(p) : "memory"); }

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

std::vector<uint8_t> MakeMessage(uint32_t members) {
  std::vector<uint8_t> m = {0x10, static_cast<uint8_t>(members >> 8), static_cast<uint8_t>(members)};
  char text[kTextLength + 1];
  for (uint32_t i = 0; i < members; ++i) {
    std::snprintf(text, sizeof text, "FILE:C:\\Program Files\\Sample\\i%06u.dll", i);
    size_t length = kTextLength + 1;  // the text and its NUL
    m.push_back(0x04);
    m.push_back(static_cast<uint8_t>(length >> 8));
    m.push_back(static_cast<uint8_t>(length));
    m.insert(m.end(), text, text + length);
  }
  return m;
}

struct Figures {
  double decode = 0, walk = 0, release = 0, copy = 0;  // seconds per iteration, best batch
};

Figures Measure(const std::vector<uint8_t>& message, uint32_t members, int iterations) {
  Figures best{1e9, 1e9, 1e9, 1e9};
  std::vector<uint8_t> copy(message.size());
  const uint8_t* begin = message.data();
  const uint8_t* end = begin + message.size();
  for (int batch = 0; batch < kBatches; ++batch) {
    Clock::duration decode{}, walk{}, release{};
    for (int i = 0; i < iterations; ++i) {
      Clock::time_point t0 = Clock::now();
      auto* s = new kesi::LPRPCStructure;
      if (s->Decode(begin, end, 0) != end) {
        std::fprintf(stderr, "decoding failed\n");
        std::exit(1);
      }
      Clock::time_point t1 = Clock::now();
      s->Rewind();
      const char* text = nullptr;
      uint32_t seen = 0;
      unsigned sum = 0;
      while (s->NextString(&text)) {
        sum += static_cast<unsigned char>(text[kTextLength - 1]);
        ++seen;
      }
      Sink(&sum);
      Clock::time_point t2 = Clock::now();
      delete s;
      Clock::time_point t3 = Clock::now();
      if (seen != members) {
        std::fprintf(stderr, "walk saw %u of %u members\n", seen, members);
        std::exit(1);
      }
      decode += t1 - t0;
      walk += t2 - t1;
      release += t3 - t2;
    }
    Clock::time_point c0 = Clock::now();
    for (int i = 0; i < iterations; ++i) {
      std::memcpy(copy.data(), begin, message.size());
      Sink(copy.data());
    }
    Clock::duration copied = Clock::now() - c0;
    best.decode = std::min(best.decode, Seconds(decode) / iterations);
    best.walk = std::min(best.walk, Seconds(walk) / iterations);
    best.release = std::min(best.release, Seconds(release) / iterations);
    best.copy = std::min(best.copy, Seconds(copied) / iterations);
  }
  return best;
}

// ---- hostile replies ----------------------------------------------------------------------------

// {2, {list}} around a list Structure given as its bytes.
std::vector<uint8_t> ResultReply(const std::vector<uint8_t>& list) {
  std::vector<uint8_t> m = {0x10, 0x00, 0x02, 0x02, 0x00, 0x00, 0x00, 0x02, 0x10, 0x00, 0x01};
  m.insert(m.end(), list.begin(), list.end());
  return m;
}

// A list reply of 65,535 lines of 60 characters: 4,194,254 bytes, just under the cap.
std::vector<uint8_t> ReferenceReply() {
  std::vector<uint8_t> list = {0x10, 0xFF, 0xFF};
  char text[61];
  for (uint32_t i = 0; i < 0xFFFF; ++i) {
    std::snprintf(text, sizeof text, "R%05u=FILE,C:\\Program Files\\Sample\\components\\part%05u.dll", i, i);
    list.insert(list.end(), {0x04, 0x00, 61});
    list.insert(list.end(), text, text + 61);
  }
  return ResultReply(list);
}

// As many Structures of 65,535 empty Structures as fit under the cap: 4,128,782 bytes.
std::vector<uint8_t> ExpansionReply() {
  const size_t block = 3 + 3 * 0xFFFF;
  const uint32_t blocks = static_cast<uint32_t>((kesi::kMaxReplyBytes - 14) / block);
  std::vector<uint8_t> list = {0x10, static_cast<uint8_t>(blocks >> 8), static_cast<uint8_t>(blocks)};
  for (uint32_t b = 0; b < blocks; ++b) {
    list.insert(list.end(), {0x10, 0xFF, 0xFF});
    for (uint32_t i = 0; i < 0xFFFF; ++i) list.insert(list.end(), {0x10, 0x00, 0x00});
  }
  return ResultReply(list);
}

struct Hostile {
  double seconds = 1e9;  // best of the runs
  size_t peak = 0;       // bytes held from operator new at the most, over what was held before
  kesi::LPRPCStatus status = kesi::LPRPCStatus::kOk;
};

// ReadReply of body, with the budget of its size, or unbounded.
Hostile MeasureReply(const std::vector<uint8_t>& body, bool bounded, int runs) {
  Hostile h;
  for (int run = 0; run < runs; ++run) {
    size_t before = g_heapNow.load();
    g_heapPeak.store(before);
    Clock::time_point t0 = Clock::now();
    {
      kesi::LPRPCStructure reply;
      if (bounded) {
        kesi::LPRPCVector* result = nullptr;
        h.status = kesi::ReadReply(body.data(), body.size(), reply, &result, nullptr);
      } else {
        kesi::LPRPCDecodeBudget unbounded(SIZE_MAX);
        h.status = reply.Decode(body.data(), body.data() + body.size(), 0, unbounded) ? kesi::LPRPCStatus::kOk
                                                                                    : kesi::LPRPCStatus::kCodecFailed;
      }
    }
    h.seconds = std::min(h.seconds, Seconds(Clock::now() - t0));
    h.peak = std::max(h.peak, g_heapPeak.load() - before);
  }
  return h;
}

// The verdict on an announced length over the cap, best time per call over a batch.
Hostile MeasureRefusal() {
  Hostile h;
  const std::wstring text = std::to_wstring(kesi::kMaxReplyBytes + 1);
  constexpr int kCalls = 100000;
  for (int batch = 0; batch < kBatches; ++batch) {
    size_t before = g_heapNow.load();
    g_heapPeak.store(before);
    Clock::time_point t0 = Clock::now();
    unsigned refused = 0;
    for (int i = 0; i < kCalls; ++i) {
      uint32_t length = 0;
      refused += kesi::ReadAnnouncedLength(text.c_str(), text.size(), &length) == kesi::ReplyLength::kTooLarge;
      Sink(&length);
    }
    h.seconds = std::min(h.seconds, Seconds(Clock::now() - t0) / kCalls);
    h.peak = std::max(h.peak, g_heapPeak.load() - before);
    h.status = refused == kCalls ? kesi::LPRPCStatus::kTooLarge : kesi::LPRPCStatus::kOk;
  }
  return h;
}

const char* StatusName(kesi::LPRPCStatus status) {
  switch (status) {
    case kesi::LPRPCStatus::kOk: return "ok";
    case kesi::LPRPCStatus::kTooLarge: return "too large";
    default: return "failed";
  }
}

// firstReference: the reference measured once before anything else was decoded, when the chunk
// storage it needs is not yet cached and so counts in its peak.
void HostileReplies(const std::vector<uint8_t>& reference, const Hostile& firstReference) {
  std::vector<uint8_t> expansion = ExpansionReply();
  std::printf("\nHostile replies against a real list reply of about the cap's size (%u bytes); best of runs,\n"
              "peak = most bytes held from operator new during the call\n", kesi::kMaxReplyBytes);
  std::printf("%-44s %9s %10s %14s %9s | %8s %8s\n", "reply", "bytes", "status", "us", "peak KiB", "time", "peak");
  Hostile ref = MeasureReply(reference, true, 9);
  ref.peak = std::max(ref.peak, firstReference.peak);
  auto row = [&](const char* name, size_t bytes, const Hostile& h) {
    std::printf("%-44s %9zu %10s %14.4f %9zu | %7.2fx %7.2fx\n", name, bytes, StatusName(h.status), h.seconds * 1e6,
                h.peak / 1024, h.seconds / ref.seconds, static_cast<double>(h.peak) / static_cast<double>(ref.peak));
  };
  row("list of 65,535 lines (reference)", reference.size(), ref);
  row("expansion, bounded by its budget", expansion.size(), MeasureReply(expansion, true, 9));
  row("expansion, unbounded (what the budget stops)", expansion.size(), MeasureReply(expansion, false, 2));
  row("announced length over the cap", 0, MeasureRefusal());
  std::printf("(time and peak as ratios to the reference; the bounded expansion stops when it has taken its budget,\n"
              " %zu bytes per byte received and %zu KiB: the peak above, against the unbounded one)\n",
              kesi::kLPRPCDecodeBytesPerByte, kesi::kLPRPCDecodeAllowance / 1024);
}

}  // namespace

int main(int argc, char** argv) {
  // The hostile replies follow the table when no sizes are given.
  std::vector<uint8_t> reference;
  Hostile firstReference;
  if (argc == 1) {
    reference = ReferenceReply();
    firstReference = MeasureReply(reference, true, 1);
  }
  // Member counts: the arguments, else 1,000, 10,000 and 65,535.
  std::vector<uint32_t> sizes = {1000, 10000, 65535};
  if (argc > 1) {
    sizes.clear();
    for (int i = 1; i < argc; ++i) {
      unsigned long n = std::strtoul(argv[i], nullptr, 10);
      if (n == 0 || n > kesi::kLPRPCMaxLength) {
        std::fprintf(stderr, "usage: lprpc_bench [N...] with 1 <= N <= 65535\n");
        return 2;
      }
      sizes.push_back(static_cast<uint32_t>(n));
    }
  }
  std::printf("Structure of N String members of %zu bytes (%zu bytes each on the wire); best of %d batches\n",
              kTextLength, kTextLength + 4, kBatches);
  std::printf("%6s %9s | %8s %8s %8s %8s  ns/member | %9s %9s %6s\n", "N", "bytes", "decode", "walk", "release",
              "total", "decodeMB/s", "memcpyMB/s", "ratio");
  double first = 0, last = 0, worstRatio = 1e9;
  for (uint32_t n : sizes) {
    std::vector<uint8_t> message = MakeMessage(n);
    int iterations = static_cast<int>(std::max<uint32_t>(3, 4000000 / n));
    Figures f = Measure(message, n, iterations);
    double total = f.decode + f.walk + f.release;
    double perMember = total / n * 1e9;
    double decodeRate = message.size() / f.decode / 1e6;
    double copyRate = message.size() / f.copy / 1e6;
    double ratio = decodeRate / copyRate;
    std::printf("%6u %9zu | %8.2f %8.2f %8.2f %8.2f            | %9.0f %9.0f %6.3f\n", n, message.size(),
                f.decode / n * 1e9, f.walk / n * 1e9, f.release / n * 1e9, perMember, decodeRate, copyRate, ratio);
    if (first == 0) first = perMember;
    last = perMember;
    worstRatio = std::min(worstRatio, ratio);
  }
  std::printf("per-member time, N=%u against N=%u: %.2fx (flat is about 1)\n", sizes.back(), sizes.front(), last / first);
  std::printf("decode against memcpy, lowest ratio: %.3f (goal >= 0.3)\n", worstRatio);
  if (argc == 1) HostileReplies(reference, firstReference);
  return 0;
}
