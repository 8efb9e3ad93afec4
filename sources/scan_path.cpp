#include "sources/scan_path.hpp"

#include <array>
#include <cstdlib>

#include "generated/scan_path_order.hpp"
#include "sources/fast_batch.hpp"
#include "sources/lanes_avx2.hpp"
#include "sources/lanes_avx512.hpp"

namespace vorlenta {

namespace {

constexpr ScanPathRow SCAN_PATH_TABLE[] = {
    {"scalar", detail::always_runs, detail::scan<detail::NoBlocks, NoOffsets>,
     detail::scan<detail::NoBlocks, TokenOffsets>, nullptr, nullptr},
#if defined(VORLENTA_AVX2)
    {"avx2", detail::Avx2Lanes::cpu_runs, detail::scan<detail::Avx2Blocks, NoOffsets>,
     detail::scan<detail::Avx2Blocks, TokenOffsets>, detail::Avx2Blocks::well_formed,
     detail::Avx2Blocks::kinds},
#else
    {"avx2", nullptr, nullptr, nullptr, nullptr, nullptr},
#endif
#if defined(VORLENTA_AVX512)
    {"avx512", detail::Avx512Lanes::cpu_runs, detail::scan<detail::Avx512Blocks, NoOffsets>,
     detail::scan<detail::Avx512Blocks, TokenOffsets>, detail::Avx512Blocks::well_formed,
     detail::Avx512Blocks::kinds},
#else
    {"avx512", nullptr, nullptr, nullptr, nullptr, nullptr},
#endif
};

constexpr size_t PATH_COUNT = std::size(SCAN_PATH_TABLE);
static_assert(PATH_COUNT == SCAN_PATH_COUNT, "SCAN_PATH_COUNT (fast_batch.hpp) counts the rows");

// How many lines of the list name the row.
constexpr size_t lines_naming(const ScanPathRow& row) {
    size_t lines = 0;
    for (std::string_view name : SCAN_PATH_ORDER) lines += name == row.name;
    return lines;
}

constexpr bool every_row_has_one_line() {
    for (const ScanPathRow& row : SCAN_PATH_TABLE)
        if (lines_naming(row) != 1) return false;
    return true;
}

// The table and the list are compared here, where both are known, so that a path added to one
// of them alone stops the build instead of never being taken or taken out of turn.
static_assert(every_row_has_one_line(),
              "a row of SCAN_PATH_TABLE has no line in sources/scan_paths.txt, "
              "or more than one");
static_assert(std::size(SCAN_PATH_ORDER) == PATH_COUNT,
              "a line of sources/scan_paths.txt names no row of SCAN_PATH_TABLE");

constexpr ScanPath row_named(std::string_view name) {
    size_t i = 0;
    while (i < PATH_COUNT && name != SCAN_PATH_TABLE[i].name) ++i;
    return static_cast<ScanPath>(i);
}

constexpr std::array<ScanPath, PATH_COUNT> BY_SPEED = [] {
    std::array<ScanPath, PATH_COUNT> paths{};
    for (size_t k = 0; k < PATH_COUNT; ++k) paths[k] = row_named(SCAN_PATH_ORDER[k]);
    return paths;
}();

ScanPath choose_scan_path() {
    if (const char* wanted = std::getenv("VORLENTA_SCAN_PATH")) {
        const std::optional<ScanPath> path = scan_path_named(wanted);
        if (path && cpu_runs(*path)) return *path;
    }
    for (ScanPath path : BY_SPEED)
        if (cpu_runs(path)) return path;
    return ScanPath::SCALAR;
}

}  // namespace

const ScanPathRow& scan_path_row(ScanPath path) {
    return SCAN_PATH_TABLE[static_cast<size_t>(path)];
}

const char* scan_path_name(ScanPath path) {
    return static_cast<size_t>(path) < PATH_COUNT ? scan_path_row(path).name : "scalar";
}

std::optional<ScanPath> scan_path_named(std::string_view name) {
    const ScanPath path = row_named(name);
    if (static_cast<size_t>(path) == PATH_COUNT) return std::nullopt;
    return path;
}

std::span<const ScanPath> scan_paths_by_speed() {
    return BY_SPEED;
}

bool cpu_runs(ScanPath path) {
    if (static_cast<size_t>(path) >= PATH_COUNT) return false;
    const ScanPathRow& row = scan_path_row(path);
    return row.cpu_runs != nullptr && row.cpu_runs();
}

Utf8BlockRun utf8_block_run(ScanPath path) {
    return cpu_runs(path) ? scan_path_row(path).well_formed : nullptr;
}

ScanPath scan_path() {
    static const ScanPath chosen = choose_scan_path();
    return chosen;
}

}  // namespace vorlenta
