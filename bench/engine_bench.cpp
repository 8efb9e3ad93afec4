// Engine-only throughput: bytes through the UTF-8 reader, the assembler and the joiner, with
// the released tokens counted but not stored. Run by hand:
//   make bench-engine        (or: build/bench/engine_bench FILE...)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "engine/joiner.hpp"
#include "sources/utf8_reader.hpp"

using namespace vorlenta;

namespace {

struct Run {
    double seconds;
    uint64_t tokens;
    uint64_t chars;  // characters in released tokens: the work is used, so none is optimised out
};

Run run_once(const std::string& text) {
    auto e = std::make_unique<TokenEngine>();
    std::memset(e.get(), 0, sizeof(TokenEngine));
    const CharClassTable& table = class_table();
    uint64_t tokens = 0, chars = 0;
    const auto start = std::chrono::steady_clock::now();
    for (unsigned char b : text) {
        if (!read_byte(e->assembler.input, b)) continue;
        const TokenType t = classify_in(table, e->assembler.input.code_point);
        if (push_char(e->assembler, t) && push_token(*e)) {
            ++tokens;
            chars += e->joiner.output.char_count;
        }
    }
    for (int step = 0; step < 2; ++step) {
        if (drain_step(*e)) {
            ++tokens;
            chars += e->joiner.output.char_count;
        }
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return {seconds, tokens, chars};
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s FILE...\n", argv[0]);
        return 2;
    }
    for (int i = 1; i < argc; ++i) {
        std::ifstream in(argv[i], std::ios::binary);
        if (!in) {
            std::fprintf(stderr, "cannot read %s\n", argv[i]);
            return 1;
        }
        const std::string one((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        std::string text;
        while (text.size() < 50u << 20) text += one;  // about 50 MB, so timing noise is small
        std::vector<double> times;
        Run r{};
        for (int rep = 0; rep < 5; ++rep) {
            r = run_once(text);
            times.push_back(r.seconds);
        }
        std::sort(times.begin(), times.end());
        const double median = times[times.size() / 2];
        std::printf("%-44s %7.1f MB/s %6.1f Mtokens/s  (%zu bytes, %llu tokens, %llu chars)\n",
                    argv[i], text.size() / median / 1e6, r.tokens / median / 1e6, text.size(),
                    static_cast<unsigned long long>(r.tokens),
                    static_cast<unsigned long long>(r.chars));
    }
    return 0;
}
