// Token joiner: a word, a hyphen-minus, a word (and so on) leave as one token typed by its
// first part. Every other token passes through one token later than it arrived.
#pragma once

#include "engine/assembler.hpp"

namespace vorlenta {

inline uint32_t group_char_count(const TokenJoiner& j) {
    uint32_t n = 0;
    for (uint32_t i = 0; i < j.group_size; ++i) n += j.group[i].char_count;
    return n;
}

inline void append_to_group(TokenJoiner& j, const Token& t) {
    copy_token(j.group[j.group_size++], t);
}

// `incoming` starts the next group.
inline void restart_group(TokenJoiner& j, const Token& incoming) {
    copy_token(j.group[0], incoming);
    j.group_size = 1;
    j.group_type = incoming.type;
}

// The group's characters concatenated into `output`; then `incoming` starts the next group.
inline void release_group(TokenJoiner& j, const Token& incoming) {
    Token& out = j.output;
    out.type = j.group_type;
    out.char_count = 0;
    for (uint32_t i = 0; i < j.group_size; ++i) {
        const Token& part = j.group[i];
        std::memcpy(out.chars + out.char_count, part.chars, part.char_count * sizeof(Utf8Char));
        out.char_count += part.char_count;
    }
    restart_group(j, incoming);
}

// Whether an incoming token starts or extends the pending group, from the group's type, size,
// last part and characters, and the incoming token's type, first byte and characters. Only
// U+002D joins (a punctuation token is one character); other dashes (U+2010..U+2015) never do.
// A compound that would grow past MAX_GROUP_TOKENS parts or MAX_TOKEN_CHARS characters is
// broken there.
inline bool joins_group(TokenType group_type, uint32_t group_size, TokenType last_type,
                        uint32_t group_chars, TokenType type, uint8_t first_byte,
                        uint32_t char_count) {
    if (group_type == TokenType::NOTTKN) return true;
    if (!is_word_type(group_type)) return false;
    const bool extends = last_type == TokenType::PNCTTN ? is_word_type(type)
                         : is_word_type(last_type)
                             ? type == TokenType::PNCTTN && first_byte == 0x2D
                             : false;
    return extends && group_size < MAX_GROUP_TOKENS && group_chars + char_count <= MAX_TOKEN_CHARS;
}

// Takes `incoming` into the pending group when it starts or extends it; false when it
// breaks the group, which must then be released.
inline bool join_token(TokenJoiner& j, const Token& incoming) {
    const bool word_group = is_word_type(j.group_type);
    if (!joins_group(j.group_type, j.group_size,
                     word_group ? j.group[j.group_size - 1].type : TokenType::NOTTKN,
                     word_group ? group_char_count(j) : 0, incoming.type,
                     incoming.chars[0].bytes[0], incoming.char_count))
        return false;
    if (j.group_type == TokenType::NOTTKN) j.group_type = incoming.type;
    append_to_group(j, incoming);
    return true;
}

// Takes the assembler's `ready`. True when a token was released into the joiner's `output`.
inline bool push_token(TokenEngine& e) {
    const Token& incoming = e.assembler.ready;
    if (join_token(e.joiner, incoming)) return false;
    release_group(e.joiner, incoming);
    return true;
}

// One step of the end-of-input drain; the drain is two of them. The first hands over the
// token still being assembled; the second pushes the empty token, which extends nothing and
// so releases the pending group. True when a token was released into `output`.
inline bool drain_step(TokenEngine& e) {
    flush(e.assembler);
    return push_token(e);
}

}  // namespace vorlenta
