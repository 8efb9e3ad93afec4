// The batch loop's fast path. Its plain twin is collect_batch_bytewise (batch.hpp); the tests
// hold the two to the same batches and the same engine state, byte for byte, on every path.
//
// The scan takes a character at a time through InFlight's steps (in_flight.hpp). On a path with
// blocks it hands stretches of plain text to the block path (block_scan.hpp), which uses the
// same steps a token at a time, and takes over again wherever that stops.
#pragma once

#include <array>
#include <iterator>

#include "sources/block_scan.hpp"
#include "sources/scan_path.hpp"

namespace vorlenta {
namespace detail {

// Tokenizes bytes from p up to end, or until the batch is full; returns where it stopped,
// always just after a complete character or at `end`. With offsets, p lies at `offset` in the
// source.
// Not inlined: it runs once a span, and inside its caller it loses registers to the caller's
// values, which costs every byte.
template <class Blocks, class Offsets>
__attribute__((noinline)) const uint8_t* scan(InFlight& flight_in, const ScanContext& context_in,
                                              const uint8_t* p, const uint8_t* const end,
                                              Offsets& o, uint64_t offset) {
    // Copies, so that the compiler keeps them in registers: in memory, every byte stored into
    // the batch could change them and force reloads at each character.
    InFlight flight = flight_in;
    const ScanContext context = context_in;
    PlacesOf<Offsets> places(o, context.types, p, offset);
    // Where the block path is tried again after it took nothing: text where it can take
    // little costs one look at a block per 16 bytes, not one per character.
    const uint8_t* retry = p;
    while (p < end) {
        if constexpr (Blocks::enabled) {
            if (p >= retry && end - p >= static_cast<ptrdiff_t>(BLOCK_READ)) {
                InFlight flight_copy = flight;
                PlacesOf<Offsets> moved_places = places;
                const uint8_t* const q = Blocks::run(flight_copy, context, p, end, moved_places);
                flight = flight_copy;
                places = moved_places;
                if (q == p) retry = p + 16;
                p = q;
                if (flight.types_end == context.types_full) break;
            }
        }
        if (flight.extends != 0) {
            const uint8_t* const q = flight.extend_run(context, p, end);
            if (q != p) places.current_to(q);
            p = q;
            if (p == end) break;
        }
        ScannedChar ch;
        const uint8_t* const q = p;
        if (!flight.read_char(context, p, end, ch)) {
            places.byte_taken(q);
            continue;
        }
        if (ch.cls == flight.extends) {
            flight.append(ch);
            places.current_to(p);
            continue;
        }
        const bool closes = flight.cur_type != TokenType::NOTTKN;
        if (closes) flight.close(context, places);
        flight.start(ch);
        places.current_read(q, p, ch.length);
        // A full batch stops before another byte is taken, as the plain loop does.
        if (closes && flight.types_end == context.types_full) break;
    }
    flight_in = flight;
    places.save(o);
    return p;
}

template <class Offsets>
using ScanFunction = const uint8_t* (*)(InFlight&, const ScanContext&, const uint8_t*,
                                        const uint8_t*, Offsets&, uint64_t);

// A source that can fail says so by failed(); one that cannot has no such member.
template <class Source>
auto read_failed(const Source& source, int) -> decltype(source.failed()) {
    return source.failed();
}
template <class Source>
bool read_failed(const Source&, long) {
    return false;
}

// The scalar path's cpu_runs: every CPU runs it.
inline bool always_runs() { return true; }

}  // namespace detail

// The paths of the batch loop: the name VORLENTA_SCAN_PATH takes, whether the CPU runs it, its
// scan without and with offsets, the UTF-8 tally's vector step and the block classifier on its
// own (neither on the scalar path, which has no blocks). The rows are SCAN_PATH_TABLE, in
// scan_path.cpp: the one place that compiles the block paths, which take longer to compile
// than the rest of a file that tokenizes. Which one a process prefers is
// sources/scan_paths.txt's order, not the rows'; every row has its line there, and every line
// its row (scan_path.cpp checks both at compile time). A path whose instruction set this
// compiler or machine lacks keeps its row without functions: its name is still checked
// against the list, and it counts as a path the CPU does not run.
struct ScanPathRow {
    const char* name;
    bool (*cpu_runs)();
    detail::ScanFunction<NoOffsets> scan;
    detail::ScanFunction<TokenOffsets> scan_with_offsets;
    Utf8BlockRun well_formed;
    detail::ByteKinds (*kinds)(const uint8_t* p);
};

// scalar, avx2, avx512: every build has the three rows.
inline constexpr size_t SCAN_PATH_COUNT = 3;

inline constexpr std::array<ScanPath, SCAN_PATH_COUNT> SCAN_PATHS = [] {
    std::array<ScanPath, SCAN_PATH_COUNT> paths{};
    for (size_t i = 0; i < paths.size(); ++i) paths[i] = static_cast<ScanPath>(i);
    return paths;
}();

// The row of a path of SCAN_PATHS.
const ScanPathRow& scan_path_row(ScanPath path);

// The batch loop over a source of byte spans: next_span(p, end) gives the next non-empty span,
// or false at end of input (or at a failed read, when the source has failed() to tell it: then
// the batch ends there without the drain); consumed(p) tells it how far the loop has read;
// with offsets, offset() tells where in the source a new span starts. A full batch stops
// before taking another byte, so the next call goes on exactly there.
template <class Source, class Offsets>
inline void collect_batch(ScanPath path, TokenEngine& e, Batch& b, Source& source, Offsets& o) {
    clear_batch(b);
    if (b.batch_size == 0) return;
    const ScanPathRow& row = scan_path_row(path);
    detail::ScanFunction<Offsets> scan_span;
    if constexpr (tracks_offsets<Offsets>)
        scan_span = row.scan_with_offsets;
    else
        scan_span = row.scan;
    const detail::SmallClasses& small = detail::small_classes();
    const detail::ScanContext context{class_table(),     small.of,
                                      small.start_type,  small.ascii_type,
                                      e.assembler.input,
                                      b.types_buffer + b.batch_size, b.types_buffer,
                                      KeepRule(b),       b.units_wanted};
    detail::StagedPart parts[MAX_GROUP_TOKENS];
    detail::InFlight flight;
    flight.load(e, b, parts);
    bool ended = false;
    while (flight.types_end != context.types_full) {
        const uint8_t* p;
        const uint8_t* end;
        if (!source.next_span(p, end)) {
            ended = true;
            break;
        }
        b.source_started = true;
        uint64_t offset = 0;
        if constexpr (tracks_offsets<Offsets>) offset = source.offset();
        source.consumed(scan_span(flight, context, p, end, o, offset));
    }
    // The drain's two steps run once in a tokenizer's life, after the source has yielded a byte;
    // a step that finds the batch full waits for a later call.
    if (ended && b.source_started && !detail::read_failed(source, 0)) {
        detail::PlacesOf<Offsets> places(o, b.types_buffer, nullptr, 0);
        while (b.drain_steps_run < 2 && flight.types_end != context.types_full) {
            ++b.drain_steps_run;
            flight.drain_step(context, places);
        }
        places.save(o);
    }
    flight.store(e, b);
}

// On the path the process takes.
template <class Source, class Offsets>
inline void collect_batch(TokenEngine& e, Batch& b, Source& source, Offsets& o) {
    collect_batch(scan_path(), e, b, source, o);
}

template <class Source>
inline void collect_batch(ScanPath path, TokenEngine& e, Batch& b, Source& source) {
    NoOffsets none;
    collect_batch(path, e, b, source, none);
}

template <class Source>
inline void collect_batch(TokenEngine& e, Batch& b, Source& source) {
    collect_batch(scan_path(), e, b, source);
}

}  // namespace vorlenta
