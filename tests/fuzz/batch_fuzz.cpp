// libFuzzer target: the fast batch loop, on every path this machine runs (the scalar scan and
// the block path), against its byte-by-byte twin, on the same input, the
// same settings and the same sequence of calls, with the settings changed between calls and
// the input cut into spans as a file read in chunks would be. After every call the two must
// agree on the batch byte for byte, on its code units and on the engine state. Every batch must
// also satisfy what any batch must (sizes, limits, filter, types), and when nothing is filtered
// out the tokens must hold every character of the input exactly once: the twins could share a
// fault, the invariants could not.
//
// The twin always records token offsets; the fast loop does as the header says, so that both
// of its builds are held to the twin. Offsets must agree, and each token must lie where its
// range says.
//
// Input: a 16-byte header, then the text. Header byte 0 holds flags (bit 0: keep every token;
// bit 1: the source ends halfway and grows to the whole text once its end was met; bit 2: the
// fast loop records offsets) and, in its
// high nibble, how many calls change the settings; byte 1 the span size; the other 14 are read
// in turn as each call's settings.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "tests/native/twin.hpp"

using namespace vorlenta;
using namespace vorlenta::testing;

namespace {

constexpr size_t HEADER = 16;

// The checks are not what is fuzzed: coverage of their branches only slows every run.
#define NOT_FUZZED __attribute__((no_sanitize("coverage")))

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "batch check failed: %s\n", what);
    std::abort();
}

void check(bool ok, const char* what) {
    if (!ok) fail(what);
}

// The characters the reader completes over the whole input, their bytes back to back.
NOT_FUZZED std::string complete_characters(std::string_view text, uint64_t& count) {
    Utf8Char c{};
    std::string out;
    count = 0;
    for (unsigned char b : text) {
        if (read_byte(c, b)) {
            out.append(reinterpret_cast<const char*>(c.bytes), c.length);
            ++count;
        }
    }
    return out;
}

NOT_FUZZED TokenType first_char_type(const uint8_t* p, size_t n) {
    Utf8Char c{};
    for (size_t i = 0; i < n; ++i)
        if (read_byte(c, p[i])) return classify(c.code_point);
    fail("a token without a complete character");
}

struct Settings {
    uint32_t batch_size, min_len, max_len;
    uint64_t filter;
};

Settings settings_for_call(const uint8_t* header, uint32_t call, bool keep_all) {
    const uint8_t a = header[2 + (call * 3) % 14];
    const uint8_t b = header[2 + (call * 3 + 1) % 14];
    const uint8_t c = header[2 + (call * 3 + 2) % 14];
    // Large enough to hold every token of most inputs, small enough to stay off the allocator's
    // slow path for large blocks.
    static constexpr uint32_t LARGE_SIZES[] = {64, 100, 128, 200};
    Settings s{};
    s.batch_size = a < 224 ? a % 24 : LARGE_SIZES[a % 4];
    if (keep_all) {
        s.max_len = DEFAULT_TOKEN_MAX_LEN;
        s.filter = ~uint64_t{0};
        return s;
    }
    s.min_len = b < 200 ? b % 4 : 120 + b % 16;
    s.max_len = c < 100 ? c % 8 : c < 200 ? 120 + c % 16 : 0xFFFFFFFFu;
    s.filter = b & 0x80 ? ~uint64_t{0} : uint64_t{c} | uint64_t{b} << 57;
    return s;
}

// Checks one batch against the settings it was made with, and its tokens against the ranges
// the twin gives them in `text`; appends its token bytes to `kept` and counts their characters
// into `chars`.
NOT_FUZZED void check_batch(const Side& side, const Settings& s, std::string_view text,
                            uint64_t& last_stop, std::string& kept, uint64_t& chars) {
    const Batch& batch = side.batch;
    check(batch.token_count <= s.batch_size, "more tokens than the batch size");
    check(batch.text_used <= uint64_t{batch.token_count} * TEXT_BYTES_PER_TOKEN,
          "text beyond the per-token budget");
    const uint8_t* p = batch.text_buffer;
    const uint8_t* end = p + batch.text_used;
    for (uint32_t i = 0; i < batch.token_count; ++i) {
        check(p < end, "fewer token texts than types");
        // No token is empty, so a zero byte at a token's start is the character U+0000.
        const uint8_t* stop = p + 1;
        if (*p != 0)
            while (stop < end && *stop != 0) ++stop;
        check(stop < end, "a token text without its zero byte");
        uint32_t n = 0;
        for (const uint8_t* q = p; q < stop; ++q) n += is_start_byte(*q);
        const uint64_t type = batch.types_buffer[i];
        check(type != 0 && (type & (type - 1)) == 0 && type <= 64, "not a single type bit");
        check((type & s.filter) != 0, "a token the filter refuses");
        check(n >= s.min_len && n <= s.max_len && n >= 1 && n <= MAX_TOKEN_CHARS,
              "a token length outside the limits");
        const TokenType first = first_char_type(p, static_cast<size_t>(stop - p));
        check(type_bits(first) == type, "a token typed unlike its first character");
        if (!is_word_type(first)) check(n == 1, "a one-character type with several characters");
        // From the token's first byte to its last; only bytes the reader dropped lie between.
        const uint64_t from = side.starts[i], to = side.stops[i];
        check(from >= last_stop && to <= text.size() &&
                  to - from >= static_cast<uint64_t>(stop - p) &&
                  text[from] == static_cast<char>(p[0]) && text[to - 1] == static_cast<char>(stop[-1]),
              "a token outside its range");
        last_stop = to;
        kept.append(reinterpret_cast<const char*>(p), static_cast<size_t>(stop - p));
        chars += n;
        p = stop + 1;
    }
    check(p == end, "text left over after the last token");
}

// The two sides agree on the batch, its code units where the fast loop vouches for them, and
// the engine state.
NOT_FUZZED void compare(const Side& fast, const Side& plain, bool with_offsets) {
    const Batch& f = fast.batch;
    const Batch& b = plain.batch;
    check(f.token_count == b.token_count && f.text_used == b.text_used &&
              std::memcmp(f.text_buffer, b.text_buffer, f.text_used) == 0,
          "the loops' batch texts differ");
    check(std::memcmp(f.types_buffer, b.types_buffer, f.token_count * sizeof(uint64_t)) == 0,
          "the loops' batch types differ");
    // The fast loop vouches for no code units when a dropped token had a character without
    // one; the plain loop only looks at kept tokens.
    if (f.units_valid) {
        check(b.units_valid, "code units only the fast loop vouches for");
        check(f.units_used == b.units_used &&
                  std::memcmp(f.units_buffer, b.units_buffer, f.units_used * 2) == 0,
              "the loops' code units differ");
    }
    check(f.drain_steps_run == b.drain_steps_run, "the loops drained differently");
    if (with_offsets) {
        check(std::memcmp(fast.starts.data(), plain.starts.data(), f.token_count * 8) == 0 &&
                  std::memcmp(fast.stops.data(), plain.stops.data(), f.token_count * 8) == 0,
              "the loops' offsets differ");
        check(same_ranges(fast, plain), "the loops' pending ranges differ");
    }
    if (!same_state(*fast.engine, *plain.engine)) {
        std::fprintf(stderr, "fast:  %s\nplain: %s\n", hex(state_of(*fast.engine)).c_str(),
                     hex(state_of(*plain.engine)).c_str());
        fail("the loops' engine states differ");
    }
}

// Made once: a side's first buffers take tens of megabytes, which would cost every run more
// than the run itself. Every run resets them and sets its own batch size. Side 0 is the
// plain loop's; the others, the fast loop's on each path.
Side& side(size_t which) {
    static Side sides[1 + std::size(SCAN_PATHS)];
    return sides[which];
}

// The paths this machine runs.
const std::vector<ScanPath>& fuzzed_paths() {
    static const std::vector<ScanPath> paths = [] {
        std::vector<ScanPath> out;
        for (ScanPath p : SCAN_PATHS)
            if (cpu_runs(p)) out.push_back(p);
        return out;
    }();
    return paths;
}

// A batch keeps its buffers while its size stays: they are already exactly that size, and
// allocating them again under the sanitizer cost more than the run.
void set_all(Side& s, const Settings& settings) {
    if (s.batch.batch_size != settings.batch_size) set_batch_size(s.batch, settings.batch_size);
    s.set(settings.min_len, settings.max_len, settings.filter);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    uint8_t header[HEADER] = {};
    const size_t header_size = size < HEADER ? size : HEADER;
    std::memcpy(header, data, header_size);
    const std::string text(reinterpret_cast<const char*>(data) + header_size, size - header_size);
    const bool keep_all = header[0] & 1;
    const bool grows = header[0] & 2;
    const bool fast_offsets = header[0] & 4;
    const uint32_t setting_calls = header[0] >> 4;
    // Spans long enough for the block path too (it needs 128 bytes ahead).
    const size_t span = header[1] >= 192   ? text.size() + 1
                        : header[1] >= 128 ? 64 + (header[1] - 128) * 8u
                                           : 1 + header[1] % 64;

    const std::vector<ScanPath>& paths = fuzzed_paths();
    Side& plain = side(0);
    plain.reset();
    const size_t first_limit = grows ? text.size() / 2 : text.size();
    std::vector<SpanSource> spans;
    for (size_t k = 0; k < paths.size(); ++k) {
        side(1 + k).reset();
        spans.push_back(SpanSource{text, first_limit, span});
    }
    ByteSource bytes{text, first_limit};
    auto set_everywhere = [&](const Settings& settings) {
        set_all(plain, settings);
        for (size_t k = 0; k < paths.size(); ++k) set_all(side(1 + k), settings);
    };

    std::string kept;
    uint64_t chars = 0, last_stop = 0;
    Settings s{1u + header[15] % 7u, 0, DEFAULT_TOKEN_MAX_LEN, ~uint64_t{0}};
    set_everywhere(s);
    bool ended = false;
    for (uint32_t call = 0;; ++call) {
        check(call <= 2 * text.size() + setting_calls + 8, "batches keep coming after the input");
        if (call < setting_calls) {
            s = settings_for_call(header, call, keep_all);
            set_everywhere(s);
        } else if (s.batch_size == 0) {
            // From here on an empty batch means the input is used up.
            s.batch_size = 1u + header[15] % 7u;
            set_everywhere(s);
        }
        collect_batch_bytewise(*plain.engine, plain.batch, bytes, plain.offsets);
        for (size_t k = 0; k < paths.size(); ++k) {
            Side& fast = side(1 + k);
            if (fast_offsets)
                collect_batch(paths[k], *fast.engine, fast.batch, spans[k], fast.offsets);
            else
                collect_batch(paths[k], *fast.engine, fast.batch, spans[k]);
            compare(fast, plain, fast_offsets);
        }
        check_batch(plain, s, text, last_stop, kept, chars);
        if (plain.batch.token_count > 0 || call < setting_calls) continue;
        check(bytes.pos == bytes.limit &&
                  (plain.batch.drain_steps_run == 2 || !plain.batch.source_started),
              "an empty batch before the end of the input");
        if (bytes.limit == text.size()) {
            if (ended) break;
            ended = true;  // one more call must be empty too
        } else {
            bytes.limit = text.size();
            for (SpanSource& source : spans) source.limit = text.size();
        }
    }
    if (keep_all) {
        uint64_t expected_chars = 0;
        const std::string expected = complete_characters(text, expected_chars);
        if (grows) {
            // The end of input is drained once: what was pending when the source grew stays
            // pending at the new end.
            check(expected.compare(0, kept.size(), kept) == 0, "bytes repeated or reordered");
        } else {
            check(chars == expected_chars, "characters lost or repeated");
            check(kept == expected, "bytes lost, repeated or reordered");
        }
    }
    return 0;
}
