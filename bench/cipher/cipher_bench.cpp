// Line cipher throughput on 100-byte log lines (98 characters and CR LF, as the log writes them).
//   cipher_bench [--lines N] [--repeat R]      prints key=value figures, best of R runs
//   cipher_bench --write-data FILE [--lines N] writes the same lines to FILE (for the reference run)
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "LineCipher.h"

using namespace kesi;

namespace {

constexpr size_t kLineBytes = 100;

std::vector<std::string> MakeLines(size_t count) {
  static const char kChars[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789 .:-_/()[]";
  std::vector<std::string> lines(count);
  unsigned seed = 12345;
  for (auto& line : lines) {
    line.resize(kLineBytes);
    for (size_t i = 0; i < kLineBytes - 2; ++i) {
      seed = seed * 1103515245u + 12345u;
      line[i] = kChars[(seed >> 16) % (sizeof kChars - 1)];
    }
    line[kLineBytes - 2] = '\r';
    line[kLineBytes - 1] = '\n';
  }
  return lines;
}

double Now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

}  // namespace

int main(int argc, char** argv) {
  size_t count = 200000;
  int repeat = 3;
  const char* dataPath = nullptr;
  for (int i = 1; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--lines") && i + 1 < argc) count = std::strtoul(argv[++i], nullptr, 10);
    else if (!std::strcmp(argv[i], "--repeat") && i + 1 < argc) repeat = std::atoi(argv[++i]);
    else if (!std::strcmp(argv[i], "--write-data") && i + 1 < argc) dataPath = argv[++i];
    else {
      std::fprintf(stderr, "usage: cipher_bench [--lines N] [--repeat R] [--write-data FILE]\n");
      return 2;
    }
  }
  if (count == 0 || repeat < 1) return 2;
  const std::vector<std::string> lines = MakeLines(count);

  if (dataPath) {
    FILE* f = std::fopen(dataPath, "wb");
    if (!f) return 1;
    for (const auto& line : lines) std::fwrite(line.data(), 1, line.size(), f);
    return std::fclose(f) == 0 ? 0 : 1;
  }

  // Enciphering as the log writer does it: one line in, its Base64 text out and released.
  double encBest = 1e30, decBest = 1e30;
  size_t textBytes = 0;
  for (int r = 0; r < repeat; ++r) {
    double t0 = Now();
    for (const auto& line : lines) {
      char* b64 = nullptr;
      if (!kesi::EncryptLine(line.c_str(), &b64)) return 1;
      textBytes += std::strlen(b64);
      std::free(b64);
    }
    double t = Now() - t0;
    if (t < encBest) encBest = t;
  }
  if (textBytes != repeat * count * 152) return 1;  // 112 cipher bytes per line: 152 characters

  // Deciphering as kesilog does it, checked against the original lines.
  std::vector<char*> ciphered(count, nullptr);
  for (size_t i = 0; i < count; ++i)
    if (!kesi::EncryptLine(lines[i].c_str(), &ciphered[i])) return 1;
  for (int r = 0; r < repeat; ++r) {
    size_t mismatches = 0;
    double t0 = Now();
    for (size_t i = 0; i < count; ++i) {
      char* plain = nullptr;
      if (!kesi::DecryptLine(ciphered[i], &plain)) return 1;
      mismatches += lines[i] != plain;
      std::free(plain);
    }
    double t = Now() - t0;
    if (mismatches) {
      std::fprintf(stderr, "%zu lines did not decipher to themselves\n", mismatches);
      return 1;
    }
    if (t < decBest) decBest = t;
  }
  for (char* c : ciphered) std::free(c);

  const double mb = count * kLineBytes / 1e6;
  std::printf("lines=%zu bytes_per_line=%zu\n", count, kLineBytes);
  std::printf("encrypt_lines_per_s=%.0f encrypt_mb_per_s=%.1f\n", count / encBest, mb / encBest);
  std::printf("decrypt_lines_per_s=%.0f decrypt_mb_per_s=%.1f\n", count / decBest, mb / decBest);
  return 0;
}
