// Token assembler: a run of one word class (Latin, digits, Cyrillic) is one token, every other
// character a token of its own.
#pragma once

#include "engine/engine.hpp"

namespace vorlenta {

// current -> ready; current becomes the empty token.
inline void flush(TokenAssembler& a) {
    copy_token(a.ready, a.current);
    clear_token(a.current);
}

// Takes `input` (a complete character). True when a token was completed into `ready`.
// Runs longer than MAX_TOKEN_CHARS are cut: the 129th letter starts a new token of the same type.
inline bool push_char(TokenAssembler& a, TokenType t) {
    Token& cur = a.current;
    const TokenType held = cur.type;
    if (held == t && is_word_type(t) && cur.char_count < MAX_TOKEN_CHARS) {
        cur.chars[cur.char_count++] = a.input;
        return false;
    }
    if (held == TokenType::NOTTKN) {
        cur.type = t;
        cur.chars[0] = a.input;
        cur.char_count = 1;
        return false;
    }
    flush(a);
    cur.type = t;
    cur.chars[0] = a.input;
    cur.char_count = 1;
    return true;
}

inline bool push_char(TokenAssembler& a) { return push_char(a, classify(a.input.code_point)); }

}  // namespace vorlenta
