// Which copy of the batch loop runs: the scalar scan, or the scan with a block path compiled
// for an instruction set; a row of SCAN_PATH_TABLE (fast_batch.hpp) each. All give the same
// batches, byte for byte.
#pragma once

#include <cstdint>

namespace vorlenta {

// A row of SCAN_PATH_TABLE; the scalar scan is the first.
enum class ScanPath : uint8_t { SCALAR = 0 };

// "scalar", "avx2", ...: the names VORLENTA_SCAN_PATH takes.
const char* scan_path_name(ScanPath path);

// Whether this build has the path and this CPU (and its operating system) runs it.
bool cpu_runs(ScanPath path);

// The path every batch loop of the process takes, chosen at its first call: the one that
// VORLENTA_SCAN_PATH names, when the CPU runs it; else the fastest one the CPU runs.
ScanPath scan_path();

}  // namespace vorlenta
