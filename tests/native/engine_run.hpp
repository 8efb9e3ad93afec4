// Runs bytes through reader, assembler and joiner, drains, and lists the released tokens.
#pragma once

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "engine/joiner.hpp"
#include "sources/utf8_reader.hpp"

namespace vorlenta::testing {

using Released = std::vector<std::pair<std::string, TokenType>>;

inline std::string token_text(const Token& t) {
    std::string s;
    for (uint32_t i = 0; i < t.char_count; ++i)
        s.append(reinterpret_cast<const char*>(t.chars[i].bytes), t.chars[i].length);
    return s;
}

inline std::unique_ptr<TokenEngine> new_engine() {
    auto e = std::make_unique<TokenEngine>();
    std::memset(e.get(), 0, sizeof(TokenEngine));
    return e;
}

inline Released run_engine(const std::string& bytes) {
    auto e = new_engine();
    Released out;
    for (unsigned char b : bytes) {
        if (read_byte(e->assembler.input, b) && push_char(e->assembler) && push_token(*e))
            out.emplace_back(token_text(e->joiner.output), e->joiner.output.type);
    }
    for (int step = 0; step < 2; ++step)
        if (drain_step(*e)) out.emplace_back(token_text(e->joiner.output), e->joiner.output.type);
    return out;
}

}  // namespace vorlenta::testing
