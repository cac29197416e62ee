// Decodes and walks a Structure of N String members, as a reply carrying an interrogation list does, for
// N = 1,000, 10,000 and 65,535. Prints the time per member for each N (it must not grow with N) and the
// decoding rate against memcpy of the same bytes measured in the same run.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "LPRPC.h"

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

}  // namespace

int main(int argc, char** argv) {
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
  return 0;
}
