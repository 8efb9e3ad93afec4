// The batch loop's fast path. Its plain twin is collect_batch_bytewise (batch.hpp); the tests
// hold the two to the same batches and the same engine state, byte for byte, on every path.
//
// The scan takes a character at a time through the steps of scan_steps.hpp. On the AVX2 path it
// hands stretches of plain text to the block path (block_scan.hpp), which uses the same steps
// a token at a time, and takes over again wherever that stops.
#pragma once

#include "sources/block_scan.hpp"

namespace vorlenta {
namespace detail {

// Tokenizes bytes from p up to end, or until the batch is full; returns where it stopped,
// always just after a complete character or at `end`. With offsets, p lies at `offset` in the
// source.
// Not inlined: it runs once a span, and inside its caller it loses registers to the caller's
// values, which costs every byte.
template <class Offsets, class Blocks>
__attribute__((noinline)) const uint8_t* scan(StagedEngine& s, const Batch& batch, const CharClassTable& table,
                           Utf8Char& input, const uint8_t* p, const uint8_t* const end,
                           Offsets& o, uint64_t offset) {
    constexpr bool track = tracks_offsets<Offsets>;
    const uint32_t min_len = batch.token_min_len;
    const ScanContext x{table,
                        small_classes().of,
                        input,
                        s.parts,
                        batch.types_buffer + batch.batch_size,
                        min_len,
                        batch.token_max_len - min_len,
                        min_len <= batch.token_max_len ? batch.filter : 0,
                        batch.units_wanted};
    Cursors c = s.cursors;
    Ranges r{};
    if constexpr (track) r = o.ranges;
    const uint8_t* const origin = p;
    auto at = [offset, origin](const uint8_t* q) {
        return offset + static_cast<uint64_t>(q - origin);
    };
    // Where the block path is tried again after it took nothing: text where it can take
    // little costs one look at a block per 16 bytes, not one per character.
    const uint8_t* retry = p;
    while (p < end) {
        if constexpr (Blocks::enabled) {
            if (p >= retry && end - p >= static_cast<ptrdiff_t>(BLOCK_READ)) {
                Cursors moved = c;
                Ranges moved_ranges = r;
                const uint8_t* const q = Blocks::template run<Offsets>(
                    moved, x, p, end, moved_ranges, o, batch.types_buffer, at(p));
                c = moved;
                r = moved_ranges;
                if (q == p) retry = p + 16;
                p = q;
                if (c.types_end == x.types_full) break;
            }
        }
        if (c.extends != 0) {
            if constexpr (track) {
                const uint8_t* const q = extend_run(c, x, p, end);
                if (q != p) r.current_stop = at(q);
                p = q;
            } else {
                p = extend_run(c, x, p, end);
            }
            if (p == end) break;
        }
        ScannedChar ch;
        const uint8_t* const q = p;
        if (!read_char(c, x, p, end, ch)) {
            // The reader took a byte that completes nothing: where a sequence it opens starts
            // is where the character it may complete later starts.
            if constexpr (track)
                if (is_start_byte(*q)) r.input_start = at(q);
            continue;
        }
        c.input_behind = true;
        if (ch.cls == c.extends) {
            append_char(c, ch);
            if constexpr (track) r.current_stop = at(p);
            continue;
        }
        const bool closes = c.cur_type != TokenType::NOTTKN;
        if (closes) close_token_ranges(c, x, r, o, batch.types_buffer);
        start_token(c, ch);
        if constexpr (track) {
            // A character decoded whole starts where it was read; one the reader completed, at
            // the start byte it took earlier.
            r.current_start = p - q == ch.length ? at(q) : r.input_start;
            r.current_stop = at(p);
        }
        // A full batch stops before another byte is taken, as the plain loop does.
        if (closes && c.types_end == x.types_full) break;
    }
    s.cursors = c;
    if constexpr (track) o.ranges = r;
    return p;
}

// The scan of the path asked for; one that this build does not have is the scalar scan.
template <class Offsets>
inline const uint8_t* scan_on(ScanPath path, StagedEngine& s, const Batch& batch,
                              const CharClassTable& table, Utf8Char& input, const uint8_t* p,
                              const uint8_t* end, Offsets& o, uint64_t offset) {
#if defined(VORLENTA_BLOCKS)
    if (path == ScanPath::AVX2)
        return scan<Offsets, Avx2Blocks>(s, batch, table, input, p, end, o, offset);
#else
    (void)path;
#endif
    return scan<Offsets, NoBlocks>(s, batch, table, input, p, end, o, offset);
}

// A source that can fail says so by failed(); one that cannot has no such member.
template <class Source>
auto read_failed(const Source& source, int) -> decltype(source.failed()) {
    return source.failed();
}
template <class Source>
bool read_failed(const Source&, long) {
    return false;
}

}  // namespace detail

// The batch loop over a source of byte spans: next_span(p, end) gives the next non-empty span,
// or false at end of input (or at a failed read, when the source has failed() to tell it: then
// the batch ends there without the drain); consumed(p) tells it how far the loop has read;
// with offsets, offset() tells where in the source a new span starts. A full batch stops
// before taking another byte, so the next call goes on exactly there.
template <class Source, class Offsets>
inline void collect_batch(ScanPath path, TokenEngine& e, Batch& b, Source& source, Offsets& o) {
    clear_batch(b);
    if (b.batch_size == 0) return;
    const CharClassTable& table = class_table();
    detail::StagedEngine s;
    detail::stage(e, b, s);
    const uint8_t* p;
    const uint8_t* end;
    for (;;) {
        if (!source.next_span(p, end)) {
            detail::unstage(s, e, b);
            if (!detail::read_failed(source, 0)) finish_input(e, b, o);
            return;
        }
        b.source_started = true;
        uint64_t offset = 0;
        if constexpr (tracks_offsets<Offsets>) offset = source.offset();
        source.consumed(detail::scan_on(path, s, b, table, e.assembler.input, p, end, o, offset));
        if (s.cursors.types_end == b.types_buffer + b.batch_size) {
            detail::unstage(s, e, b);
            return;
        }
    }
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
