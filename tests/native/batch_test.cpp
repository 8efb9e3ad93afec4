// The batch loop over byte spans against its plain byte-by-byte twin: same batches, byte for
// byte, whatever the input, the settings, the batch sizes and the span boundaries.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "sources/fast_batch.hpp"

using namespace vorlenta;

namespace {

struct ByteSource {
    const std::string& data;
    size_t pos = 0;
    int next_byte() { return pos < data.size() ? static_cast<uint8_t>(data[pos++]) : -1; }
};

// Spans of at most `span` bytes, as a file read in small chunks would give.
struct SpanSource {
    const std::string& data;
    size_t span;
    size_t pos = 0;
    size_t span_end = 0;
    bool next_span(const uint8_t*& p, const uint8_t*& end) {
        if (pos == span_end) {
            if (pos == data.size()) return false;
            span_end = std::min(data.size(), pos + span);
        }
        p = reinterpret_cast<const uint8_t*>(data.data()) + pos;
        end = reinterpret_cast<const uint8_t*>(data.data()) + span_end;
        return true;
    }
    void consumed(const uint8_t* p) {
        pos = static_cast<size_t>(p - reinterpret_cast<const uint8_t*>(data.data()));
    }
};

struct Side {
    std::unique_ptr<TokenEngine> engine = std::make_unique<TokenEngine>();
    Batch batch;
    Side() {
        std::memset(engine.get(), 0, sizeof(TokenEngine));
        init_batch(batch);
    }
    ~Side() { free_batch(batch); }
    std::string text() const {
        return std::string(reinterpret_cast<const char*>(batch.text_buffer), batch.text_used);
    }
    std::vector<uint64_t> types() const {
        return std::vector<uint64_t>(batch.types_buffer, batch.types_buffer + batch.token_count);
    }
    std::vector<uint16_t> units() const {
        return std::vector<uint16_t>(batch.units_buffer, batch.units_buffer + batch.units_used);
    }
};

// The code points of text read as the reader reads it, one unit each.
std::vector<uint16_t> code_units_of(const std::string& text) {
    std::vector<uint16_t> units;
    Utf8Char c{};
    for (unsigned char b : text)
        if (read_byte(c, b)) units.push_back(static_cast<uint16_t>(c.code_point));
    return units;
}

std::string hex(const std::string& s) {
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
std::string state_of(const TokenEngine& e) {
    auto token = [](const Token& t) {
        std::string s = std::to_string(type_bits(t.type)) + ":";
        for (uint32_t i = 0; i < t.char_count; ++i) {
            const Utf8Char& c = t.chars[i];
            s += std::string(reinterpret_cast<const char*>(c.bytes), 4) +
                 std::to_string(c.code_point) +
                 "/" + std::to_string(c.received) + "/" + std::to_string(c.length) + ",";
        }
        return s;
    };
    std::string s = "current " + token(e.assembler.current) + " group " +
                    std::to_string(type_bits(e.joiner.group_type)) + "/" +
                    std::to_string(e.joiner.group_size) + " ";
    for (uint32_t i = 0; i < e.joiner.group_size; ++i) s += token(e.joiner.group[i]) + " ";
    const Utf8Char& in = e.assembler.input;
    return s + "input " + std::string(reinterpret_cast<const char*>(in.bytes), 4) + "/" +
           std::to_string(in.code_point) + "/" + std::to_string(in.received) + "/" +
           std::to_string(in.length);
}

// Pieces of input, the well-formed ones first: rounds that draw only from those keep their code
// units; the rest mix in every kind of ill-formed byte the reader has a rule for.
const std::vector<std::string> PIECES = {
    "a", "Z", "word", "слово", "Ёж", "ё", "7", "2024", "-", "--", " ", "  ", "\n", "\r",
    "\t", ",", ".", "\xE2\x80\x94", "\xC2\xAB", "\xE2\x84\x96", "\xC3\xA9", "\xE4\xB8\xAD",
    std::string(1, '\0'), std::string(130, 'q'), std::string(40, 'x') + "-",
    "a-b-c-d-e-f-g-h-i-j", "\xD1\x8F-", "\xF0\x9F\x98\x80", "\x80", "\xBF", "\xC0", "\xE0",
    "\xF0", "\xF4", "\xF5", "\xF8", "\xFF", "\xC0\x80", "\xE0\x80\x80", "\xED\xA0\x80",
    "\xF4\x90\x80\x80", "\xD0", "\xD0\xF8"};
const size_t WELL_FORMED_PIECES = 27;  // those before the emoji: all below U+10000

std::string random_input(std::mt19937& rng, size_t pieces, bool well_formed) {
    const size_t choices = well_formed ? WELL_FORMED_PIECES : PIECES.size();
    std::uniform_int_distribution<size_t> pick(0, choices - 1);
    std::string s;
    for (size_t i = 0; i < pieces; ++i) s += PIECES[pick(rng)];
    return s;
}

}  // namespace

TEST(BatchLoop, SpansGiveExactlyWhatBytesGive) {
    std::mt19937 rng(20261207);  // fixed, so a failure can be replayed
    uint64_t units_checked = 0;
    for (int round = 0; round < 400; ++round) {
        const bool well_formed = round % 3 != 0;
        std::string input = random_input(rng, 1 + rng() % 300, well_formed);
        const size_t span = 1 + rng() % 64;
        Side plain, fast;
        ByteSource bytes{input};
        SpanSource spans{input, span};
        bool grown = false;
        for (int call = 0; call < 2000; ++call) {
            // The same settings on both sides, changed now and then between calls.
            if (rng() % 3 == 0) {
                const uint32_t size = rng() % 6 == 0 ? 0 : 1 + rng() % 12;
                set_batch_size(plain.batch, size);
                set_batch_size(fast.batch, size);
            }
            if (rng() % 5 == 0) {
                const uint32_t lo = rng() % 4, hi = rng() % 4 == 0 ? 2 : 512;
                const uint64_t filter = rng() % 4 == 0 ? rng() % 128 : ~uint64_t{0};
                for (Side* s : {&plain, &fast}) {
                    s->batch.token_min_len = lo;
                    s->batch.token_max_len = hi;
                    s->batch.filter = filter;
                }
            }
            collect_batch_bytewise(*plain.engine, plain.batch, bytes);
            collect_batch(*fast.engine, fast.batch, spans);
            ASSERT_EQ(hex(fast.text()), hex(plain.text()))
                << "round " << round << " call " << call << " span " << span;
            ASSERT_EQ(fast.types(), plain.types()) << "round " << round << " call " << call;
            // Code units, where the fast loop vouches for them, are those of the text.
            if (fast.batch.units_valid) {
                units_checked += fast.batch.token_count;
                ASSERT_TRUE(plain.batch.units_valid) << "round " << round << " call " << call;
                ASSERT_EQ(fast.units(), plain.units()) << "round " << round << " call " << call;
                ASSERT_EQ(fast.units(), code_units_of(fast.text()));
            }
            ASSERT_EQ(fast.batch.drain_steps_run, plain.batch.drain_steps_run);
            ASSERT_EQ(hex(state_of(*fast.engine)), hex(state_of(*plain.engine)))
                << "round " << round << " call " << call;
            if (plain.batch.drain_steps_run == 2 && bytes.pos == input.size() &&
                plain.batch.batch_size > 0) {
                if (grown || round % 2 == 0) break;
                // A source that grows after its end was met, as a file written to meanwhile:
                // the engine goes on from its drained state.
                input += random_input(rng, 1 + rng() % 50, well_formed);
                grown = true;
            }
        }
        EXPECT_EQ(plain.batch.drain_steps_run, 2) << "round " << round;
    }
    EXPECT_GT(units_checked, 10000u) << "too few batches with code units to compare";
}

TEST(BatchLoop, DeliversTheBytesAsRead) {
    Side side;
    const std::string input = "ab \xD0\xB2";
    side.batch.filter = type_bits(TokenType::ENWORD) | type_bits(TokenType::RUWORD);
    SpanSource spans{input, 100};
    collect_batch(*side.engine, side.batch, spans);
    EXPECT_EQ(hex(side.text()), hex(std::string("ab\0\xD0\xB2\0", 6)));
    EXPECT_EQ(side.types(), (std::vector<uint64_t>{4, 16}));
}
