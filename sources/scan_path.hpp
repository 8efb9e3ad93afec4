// Which copy of the batch loop runs: the scalar scan, or the scan with a block path compiled
// for an instruction set; a row of SCAN_PATH_TABLE (scan_path.cpp) each. All give the same
// batches, byte for byte.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace vorlenta {

// A row of SCAN_PATH_TABLE; the scalar scan is the first.
enum class ScanPath : uint8_t { SCALAR = 0 };

// "scalar", "avx2", ...: the names VORLENTA_SCAN_PATH takes.
const char* scan_path_name(ScanPath path);

// The path of that name, if there is one (whether or not this build has its code).
std::optional<ScanPath> scan_path_named(std::string_view name);

// Every path, fastest first: the order of sources/scan_paths.txt.
std::span<const ScanPath> scan_paths_by_speed();

// Whether this build has the path and this CPU (and its operating system) runs it.
bool cpu_runs(ScanPath path);

// Takes what it can of the bytes from p to end in blocks of well-formed UTF-8, adding their
// non-ASCII bytes to `non_ascii`, and returns where the byte steps must go on.
using Utf8BlockRun = const uint8_t* (*)(const uint8_t* p, const uint8_t* end, uint64_t& non_ascii);

// The UTF-8 tally's vector step on the path; none (nullptr) on the scalar path and on a path
// the CPU does not run.
Utf8BlockRun utf8_block_run(ScanPath path);

// The path every batch loop of the process takes, chosen at its first call: the one that
// VORLENTA_SCAN_PATH names, when the CPU runs it; else the first of scan_paths_by_speed() that
// it runs.
ScanPath scan_path();

}  // namespace vorlenta
