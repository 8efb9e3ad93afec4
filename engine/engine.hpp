// The engine records: a character, a token, and the two stages that turn characters into
// released tokens. Fixed-size records inside each tokenizer; nothing here allocates.
//
// A token record is 2 KB, but only its header and its first `char_count` characters mean
// anything: copies move just those, and an emptied record is only its header reset.
#pragma once

#include <cstdint>
#include <cstring>

#include "engine/token_types.hpp"

namespace vorlenta {

inline constexpr uint32_t MAX_TOKEN_CHARS = 128;
inline constexpr uint32_t MAX_GROUP_TOKENS = 16;

// One character: its UTF-8 bytes as read (bytes past `length` are 0) and its code point.
// The reader also keeps its progress through a sequence here (`received`).
struct Utf8Char {
    uint8_t bytes[4];
    uint32_t code_point;
    uint32_t received;
    uint32_t length;
};
static_assert(sizeof(Utf8Char) == 16, "a character record is 16 bytes");

struct Token {
    Utf8Char chars[MAX_TOKEN_CHARS];
    TokenType type;
    uint32_t char_count;
};

// First stage: characters into tokens.
struct TokenAssembler {
    Token ready;    // the last completed token
    Token current;  // the token being built
    Utf8Char input; // the next character; the UTF-8 reader fills it in place
};

// Second stage: hyphenated compounds into one token.
struct TokenJoiner {
    Token output;                    // the last released token
    Token group[MAX_GROUP_TOKENS];   // the pending group, first token first
    TokenType group_type;            // type of the group's first token; NOTTKN when none
    uint32_t group_size;
};

// The whole tokenizing state of one tokenizer; all zero is the initial state.
struct TokenEngine {
    TokenJoiner joiner;
    TokenAssembler assembler;
};

inline constexpr bool is_word_type(TokenType t) {
    return t == TokenType::ENWORD || t == TokenType::NUMBER || t == TokenType::RUWORD;
}

// Copies the meaningful part of a token: header and characters in use. Characters move in
// blocks of four, fixed-size copies the compiler inlines: a library call would cost more than
// the usual short token, and the at most three slots copied past `char_count` stay within the
// record and mean nothing.
inline void copy_token(Token& to, const Token& from) {
    static_assert(MAX_TOKEN_CHARS % 4 == 0, "blocks of four stay inside the record");
    for (uint32_t i = 0; i < from.char_count; i += 4)
        std::memcpy(to.chars + i, from.chars + i, 4 * sizeof(Utf8Char));
    to.type = from.type;
    to.char_count = from.char_count;
}

inline void clear_token(Token& t) {
    t.type = TokenType::NOTTKN;
    t.char_count = 0;
}

// Back to the initial state (all zero) in every part that is ever read: the token headers,
// the group's header and the character being read. Characters past a token's char_count and
// group slots past group_size are never read, so the 40 KB of records need no clearing: a
// tokenizer reused for text after text pays for a few stores, not for a memset.
inline void reset_engine(TokenEngine& e) {
    clear_token(e.joiner.output);
    e.joiner.group_type = TokenType::NOTTKN;
    e.joiner.group_size = 0;
    clear_token(e.assembler.ready);
    clear_token(e.assembler.current);
    e.assembler.input = Utf8Char{};
}

}  // namespace vorlenta
