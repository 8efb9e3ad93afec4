#include "sources/scan_path.hpp"

#include <cstdlib>
#include <cstring>

#include "sources/fast_batch.hpp"

namespace vorlenta {

const char* scan_path_name(ScanPath path) {
    return static_cast<size_t>(path) < SCAN_PATHS.size() ? scan_path_row(path).name : "scalar";
}

bool cpu_runs(ScanPath path) {
    return static_cast<size_t>(path) < SCAN_PATHS.size() && scan_path_row(path).cpu_runs();
}

Utf8BlockRun utf8_block_run(ScanPath path) {
    return cpu_runs(path) ? scan_path_row(path).well_formed : nullptr;
}

namespace {

ScanPath choose_scan_path() {
    if (const char* wanted = std::getenv("VORLENTA_SCAN_PATH")) {
        for (ScanPath path : SCAN_PATHS)
            if (std::strcmp(wanted, scan_path_name(path)) == 0 && cpu_runs(path)) return path;
    }
    ScanPath best = ScanPath::SCALAR;
    for (ScanPath path : SCAN_PATHS)
        if (cpu_runs(path)) best = path;
    return best;
}

}  // namespace

ScanPath scan_path() {
    static const ScanPath chosen = choose_scan_path();
    return chosen;
}

}  // namespace vorlenta
