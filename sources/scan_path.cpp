#include "sources/scan_path.hpp"

#include <cstdlib>
#include <cstring>

namespace vorlenta {

const char* scan_path_name(ScanPath path) {
    switch (path) {
        case ScanPath::AVX2:
            return "avx2";
        default:
            return "scalar";
    }
}

bool cpu_runs(ScanPath path) {
#if defined(VORLENTA_BLOCKS)
    // The compiler's CPU check also asks the operating system whether it saves the vector
    // registers that AVX needs.
    __builtin_cpu_init();
    return path == ScanPath::SCALAR ||
           (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi") &&
            __builtin_cpu_supports("bmi2") && __builtin_cpu_supports("popcnt"));
#else
    return path == ScanPath::SCALAR;
#endif
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
