// Native throughput, without Python: run by hand (make bench-native), or under callgrind.
//   native_bench [--mb N] [--reps N] [--pass NAME] FILE...   (--mb 0: each file once)
// For each file, repeated to about N MB:
//   classify   the ceiling: every byte read and every character classified, no tokens
//   engine     reader, assembler and joiner; the released tokens' characters counted, not stored
//   batches    FromTextTokenizer::get_batch with default settings: the whole native path
//   spans      the library's SpanTokenizer: the same loop recording token places
//   words      the same, keeping only ENWORD and RUWORD tokens
//   count      words counted in the library's word table, without places
//   count-split  the same with trailing hyphens split off the words
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "engine/joiner.hpp"
#include "library/span_tokenizer.hpp"
#include "library/word_counts.hpp"
#include "sources/text_tokenizer.hpp"
#include "sources/utf8_reader.hpp"

using namespace vorlenta;

namespace {

// Work results are summed into this so that no pass is optimised away.
volatile uint64_t sink;

uint64_t classify_pass(const std::string& text) {
    const CharClassTable& table = class_table();
    Utf8Char c{};
    uint64_t bits = 0;
    for (unsigned char b : text)
        if (read_byte(c, b)) bits += type_bits(classify_in(table, c.code_point));
    return bits;
}

uint64_t engine_pass(const std::string& text) {
    auto e = std::make_unique<TokenEngine>();
    std::memset(e.get(), 0, sizeof(TokenEngine));
    const CharClassTable& table = class_table();
    uint64_t tokens = 0;
    for (unsigned char b : text) {
        if (read_byte(e->assembler.input, b) &&
            push_char(e->assembler, classify_in(table, e->assembler.input.code_point)) &&
            push_token(*e))
            tokens += e->joiner.output.char_count;
    }
    for (int step = 0; step < 2; ++step)
        if (drain_step(*e)) tokens += e->joiner.output.char_count;
    return tokens;
}

uint64_t batch_pass(const std::string& text) {
    auto t = std::make_unique<FromTextTokenizer>(text);
    uint64_t tokens = 0;
    do {
        t->get_batch();
        tokens += t->batch.token_count + t->batch.text_used;
    } while (t->batch.token_count > 0);
    return tokens;
}

uint64_t span_pass(const std::string& text, uint64_t filter) {
    auto t = std::make_unique<SpanTokenizer>(reinterpret_cast<const uint8_t*>(text.data()),
                                             text.size());
    t->batch.filter = filter;
    uint64_t tokens = 0;
    do {
        t->next_batch();
        tokens += t->batch.token_count + t->offsets.stops[0];
    } while (t->batch.token_count > 0);
    return tokens;
}

uint64_t spans_pass(const std::string& text) { return span_pass(text, ~uint64_t{0}); }

uint64_t words_pass(const std::string& text) {
    return span_pass(text, type_bits(TokenType::ENWORD) | type_bits(TokenType::RUWORD));
}

uint64_t count_words(const std::string& text, bool split_hyphens) {
    auto t = std::make_unique<SpanTokenizer>(reinterpret_cast<const uint8_t*>(text.data()),
                                             text.size());
    t->set_split_hyphens(split_hyphens);
    t->batch.filter = type_bits(TokenType::ENWORD) | type_bits(TokenType::RUWORD);
    WordCounts counts;
    for (;;) {
        t->next_batch(false);
        if (t->batch.token_count == 0) return counts.size();
        const uint8_t* p = t->batch.text_buffer;
        for (uint32_t i = 0; i < t->batch.token_count; ++i) {
            const uint8_t* end = p;
            while (*end != 0) ++end;
            counts.add(p, static_cast<uint32_t>(end - p));
            p = end + 1;
        }
    }
}

uint64_t count_pass(const std::string& text) { return count_words(text, false); }

uint64_t count_split_pass(const std::string& text) { return count_words(text, true); }

}  // namespace

int main(int argc, char** argv) {
    double megabytes = 50;
    int reps = 5;
    std::string only;
    std::vector<std::string> files;
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--mb") && i + 1 < argc) megabytes = std::atof(argv[++i]);
        else if (!std::strcmp(argv[i], "--reps") && i + 1 < argc) reps = std::atoi(argv[++i]);
        else if (!std::strcmp(argv[i], "--pass") && i + 1 < argc) only = argv[++i];
        else files.push_back(argv[i]);
    }
    if (files.empty() || reps < 1) {
        std::fprintf(stderr, "usage: %s [--mb N] [--reps N] [--pass NAME] FILE...\n", argv[0]);
        return 2;
    }
    class_table();  // built once, outside every pass
    std::printf("scan path: %s\n", scan_path_name(scan_path()));
    const std::pair<const char*, std::function<uint64_t(const std::string&)>> passes[] = {
        {"classify", classify_pass}, {"engine", engine_pass}, {"batches", batch_pass},
        {"spans", spans_pass},       {"words", words_pass},     {"count", count_pass},
        {"count-split", count_split_pass}};
    for (const std::string& path : files) {
        std::ifstream in(path, std::ios::binary);
        const std::string one((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        if (!in || one.empty()) {
            std::fprintf(stderr, "cannot read %s\n", path.c_str());
            return 1;
        }
        std::string text = one;
        while (text.size() < megabytes * 1e6) text += one;
        for (const auto& [name, pass] : passes) {
            if (!only.empty() && only != name) continue;
            std::vector<double> times;
            for (int r = 0; r < reps; ++r) {
                const auto start = std::chrono::steady_clock::now();
                sink = sink + pass(text);
                times.push_back(
                    std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
            }
            std::sort(times.begin(), times.end());
            std::printf("%-36s %-11s %8.1f MB/s\n", path.substr(path.rfind('/') + 1).c_str(), name,
                        text.size() / times[times.size() / 2] / 1e6);
        }
    }
    return 0;
}
