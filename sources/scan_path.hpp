// Which copy of the batch loop runs: the scalar scan, or the scan with its block path compiled
// for AVX2. Both give the same batches, byte for byte.
#pragma once

#include <cstdint>

// The block paths are x86-64 code, compiled by target attributes.
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define VORLENTA_BLOCKS 1
#endif

namespace vorlenta {

enum class ScanPath : uint8_t { SCALAR, AVX2 };

inline constexpr ScanPath SCAN_PATHS[] = {ScanPath::SCALAR, ScanPath::AVX2};

// "scalar" or "avx2": the names VORLENTA_SCAN_PATH takes.
const char* scan_path_name(ScanPath path);

// Whether this build has the path and this CPU (and its operating system) runs it.
bool cpu_runs(ScanPath path);

// The path every batch loop of the process takes, chosen at its first call: the one that
// VORLENTA_SCAN_PATH names, when the CPU runs it; else the fastest one the CPU runs.
ScanPath scan_path();

}  // namespace vorlenta
