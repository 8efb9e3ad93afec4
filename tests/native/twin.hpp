// The batch loop and its byte-by-byte twin side by side: sources that give the same bytes one
// at a time or in spans, and what of a batch and an engine the two must agree on.
#pragma once

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "sources/fast_batch.hpp"

namespace vorlenta::testing {

// Both sources read `data` up to `limit`, which may be raised after the end was met, as a file
// that is written to meanwhile.
struct ByteSource {
    const std::string& data;
    size_t limit;
    size_t pos = 0;
    int next_byte() { return pos < limit ? static_cast<uint8_t>(data[pos++]) : -1; }
    uint64_t offset() const { return pos; }
};

// Spans of at most `span` bytes, as a file read in small chunks would give.
struct SpanSource {
    const std::string& data;
    size_t limit;
    size_t span;
    size_t pos = 0;
    size_t span_end = 0;
    bool next_span(const uint8_t*& p, const uint8_t*& end) {
        if (pos == span_end) {
            if (pos == limit) return false;
            span_end = std::min(limit, pos + span);
        }
        p = reinterpret_cast<const uint8_t*>(data.data()) + pos;
        end = reinterpret_cast<const uint8_t*>(data.data()) + span_end;
        return true;
    }
    void consumed(const uint8_t* p) {
        pos = static_cast<size_t>(p - reinterpret_cast<const uint8_t*>(data.data()));
    }
    uint64_t offset() const { return pos; }
};

// Batch sizes the twins are run with stay within this, the room for their offsets.
inline constexpr uint32_t MAX_TWIN_BATCH = 1024;

// An engine and a batch, as a tokenizer holds them, and room for the kept tokens' offsets.
struct Side {
    std::unique_ptr<TokenEngine> engine = std::make_unique<TokenEngine>();
    Batch batch;
    std::vector<uint64_t> starts = std::vector<uint64_t>(MAX_TWIN_BATCH);
    std::vector<uint64_t> stops = std::vector<uint64_t>(MAX_TWIN_BATCH);
    TokenOffsets offsets{starts.data(), stops.data(), {}};
    Side() {
        std::memset(engine.get(), 0, sizeof(TokenEngine));
        init_batch(batch);
    }
    ~Side() { free_batch(batch); }
    Side(const Side&) = delete;
    Side& operator=(const Side&) = delete;

    // As new, keeping the buffers. Only the records' counts, types and the reader's record are
    // cleared: nothing reads a token's characters past its count, and clearing all 40 KB of
    // an engine was a tenth of every fuzz run.
    void reset() {
        TokenEngine& e = *engine;
        for (Token* t : {&e.joiner.output, &e.assembler.ready, &e.assembler.current}) {
            t->char_count = 0;
            t->type = TokenType::NOTTKN;
        }
        e.joiner.group_size = 0;
        e.joiner.group_type = TokenType::NOTTKN;
        e.assembler.input = Utf8Char{};
        clear_batch(batch);
        batch.source_started = false;
        batch.drain_steps_run = 0;
        offsets.ranges = {};
    }
    void set(uint32_t min_len, uint32_t max_len, uint64_t filter) {
        batch.token_min_len = min_len;
        batch.token_max_len = max_len;
        batch.filter = filter;
    }
    std::string text() const {
        return std::string(reinterpret_cast<const char*>(batch.text_buffer), batch.text_used);
    }
    std::vector<uint64_t> types() const {
        return std::vector<uint64_t>(batch.types_buffer, batch.types_buffer + batch.token_count);
    }
    std::vector<std::pair<uint64_t, uint64_t>> ranges() const {
        std::vector<std::pair<uint64_t, uint64_t>> out;
        for (uint32_t i = 0; i < batch.token_count; ++i) out.emplace_back(starts[i], stops[i]);
        return out;
    }
    std::vector<uint16_t> units() const {
        return std::vector<uint16_t>(batch.units_buffer, batch.units_buffer + batch.units_used);
    }
};

inline std::string hex(const std::string& s) {
    std::string out;
    char buf[4];
    for (unsigned char c : s) {
        std::snprintf(buf, sizeof buf, "%02X ", c);
        out += buf;
    }
    return out;
}

// What of an engine is state: the token being built, the pending group, the reader's record.
// (`ready` and `output` are rewritten before anyone reads them.)
inline std::string state_of(const TokenEngine& e) {
    auto character = [](const Utf8Char& c) {
        return std::string(reinterpret_cast<const char*>(c.bytes), 4) + "/" +
               std::to_string(c.code_point) + "/" + std::to_string(c.received) + "/" +
               std::to_string(c.length);
    };
    auto token = [&](const Token& t) {
        std::string s = std::to_string(type_bits(t.type)) + ":";
        for (uint32_t i = 0; i < t.char_count; ++i) s += character(t.chars[i]) + ",";
        return s;
    };
    std::string s = "current " + token(e.assembler.current) + " group " +
                    std::to_string(type_bits(e.joiner.group_type)) + "/" +
                    std::to_string(e.joiner.group_size) + " ";
    for (uint32_t i = 0; i < e.joiner.group_size; ++i) s += token(e.joiner.group[i]) + " ";
    return s + "input " + character(e.assembler.input);
}

// The same state as state_of gives, compared without building it.
inline bool same_state(const TokenEngine& a, const TokenEngine& b) {
    auto same_token = [](const Token& x, const Token& y) {
        return x.type == y.type && x.char_count == y.char_count &&
               std::memcmp(x.chars, y.chars, x.char_count * sizeof(Utf8Char)) == 0;
    };
    if (!same_token(a.assembler.current, b.assembler.current) ||
        a.joiner.group_type != b.joiner.group_type || a.joiner.group_size != b.joiner.group_size ||
        std::memcmp(&a.assembler.input, &b.assembler.input, sizeof(Utf8Char)) != 0)
        return false;
    for (uint32_t i = 0; i < a.joiner.group_size; ++i)
        if (!same_token(a.joiner.group[i], b.joiner.group[i])) return false;
    return true;
}

// The ranges both loops must agree on between calls: those of the token being built and of the
// pending group, where there is one. (Where the reader's open sequence started matters only
// once it completes, and the fast loop notes it only when the reader takes a start byte.)
inline bool same_ranges(const Side& a, const Side& b) {
    const Ranges& x = a.offsets.ranges;
    const Ranges& y = b.offsets.ranges;
    const TokenEngine& e = *a.engine;
    if (e.assembler.current.char_count > 0 &&
        (x.current_start != y.current_start || x.current_stop != y.current_stop))
        return false;
    return e.joiner.group_type == TokenType::NOTTKN ||
           (x.group_start == y.group_start && x.group_stop == y.group_stop);
}

// The code points of text read as the reader reads it, one unit each.
inline std::vector<uint16_t> code_units_of(const std::string& text) {
    std::vector<uint16_t> units;
    Utf8Char c{};
    for (unsigned char b : text)
        if (read_byte(c, b)) units.push_back(static_cast<uint16_t>(c.code_point));
    return units;
}

}  // namespace vorlenta::testing
