// The token in flight: the pending group and the token being built while a batch is collected,
// and the one record that owns them. The scalar scan, the block path and its tight loop all
// change them through InFlight's methods, and through nothing else.
//
// Between calls the engine's records hold them. A call loads them (load) into the staging room
// right behind the batch's kept tokens, as the very bytes they will be delivered as:
//
//   | kept tokens, each + 0 | group's parts | gap | token being built |
//   0                  kept_end        group_end   group_end + 1    cur_end
//
// and likewise as code units (one per character), from which the batch's str is copied when
// every kept character has one. A character joins its token with one small store; a released
// group is kept by writing its zero byte into the gap; a token that joins the group closes the
// gap. The call ends by writing the records back (store).
//
// The tight loop of the block path holds the token being built in the input instead (`held`)
// and writes it once, where it belongs, when it closes; it stages it again when it stops.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <type_traits>

#include "sources/batch.hpp"
#include "sources/byte_kinds.hpp"

namespace vorlenta {
namespace detail {

// The scan's steps are always inlined into it: left to itself the compiler inlines them in one
// translation unit and not in another, and a call per character costs a fifth of the speed.
#define SCAN_STEP inline __attribute__((always_inline))

struct StagedPart {
    TokenType type;
    uint32_t chars;
    uint32_t bytes;
};

// Classes of the code points below U+0800 (ASCII and every two-byte sequence), one load each.
// And the type bits of a token by its first byte, where that tells it: an ASCII character, or
// a lead D0 or D1 that starts a Cyrillic letter (the block path looks up the others).
struct SmallClasses {
    uint8_t of[0x800];
    uint64_t start_type[256];
    alignas(64) uint8_t ascii_type[128];  // the type bits of an ASCII character, as a byte
};

inline const SmallClasses& small_classes() {
    static const SmallClasses classes = [] {
        const CharClassTable& table = class_table();
        SmallClasses c{};
        for (uint32_t cp = 0; cp < 0x800; ++cp) c.of[cp] = code_point_class(table, cp);
        for (uint32_t b = 0; b < 256; ++b)
            c.start_type[b] = type_bits(b < 0x80 ? CLASS_TO_TYPE[c.of[b]] : TokenType::RUWORD);
        for (uint32_t b = 0; b < 128; ++b) c.ascii_type[b] = static_cast<uint8_t>(c.start_type[b]);
        return c;
    }();
    return classes;
}

// What a scan reads but never changes, set up once a call.
struct ScanContext {
    const CharClassTable& table;
    const uint8_t* small;  // small_classes().of
    const uint64_t* start_type;  // small_classes().start_type
    const uint8_t* ascii_type;   // small_classes().ascii_type
    Utf8Char& input;       // the reader's record, for what the fast decoding leaves to it
    uint64_t* types_full;  // types_buffer + batch_size
    uint64_t* types;       // types_buffer
    KeepRule keep;
    bool units_wanted;  // the batch's
};

// One character as the scan takes it: its bytes as a little-endian word (what lies past the
// character is stored too and lands in staging room), its length, code point and class.
struct ScannedChar {
    uint32_t bytes;
    uint32_t length;
    uint32_t code_point;
    uint8_t cls;
};

// A token the tight loop holds in the input: its bytes from `from` (all ASCII, all two-byte
// characters, or one three-byte character), its characters and class, and whether it is kept
// once released.
struct HeldToken {
    const uint8_t* from;
    uint32_t bytes, chars;
    uint8_t cls;
    bool kept;
};


// What a block holds for the token loop: where its zone ends (at the first byte the scalar
// steps must take, or 64), the characters that start in the zone, the boundaries where tokens
// start, and whether a two-byte character cut by the block's end starts the next block.
struct BlockView {
    uint32_t zone_end;
    uint64_t starts;
    uint64_t boundaries;
    bool cut_pair;
    // For writing the block's tokens at once: the starts of Cyrillic letters, and of the other
    // characters from 80 up (whose type a byte does not tell), whether the zone is all ASCII,
    // and whether it holds a three-byte character.
    uint64_t cyrillic;
    uint64_t odd_starts;
    bool ascii;
    bool triples;
};

// A token's bytes and code units written by a Lanes type's copies (block_scan.hpp).
template <class Lanes, bool UNITS>
inline void write_token(uint8_t* to, uint16_t* units, const uint8_t* from, uint32_t bytes,
                        uint32_t chars);

// The character record that read_byte leaves for the staged character at p: each character
// starts with its start byte, which tells its length.
inline Utf8Char staged_char(const uint8_t* p) {
    Utf8Char c{};
    const uint32_t length = sequence_length(*p);
    std::memcpy(c.bytes, p, length);
    c.code_point = decode_code_point(c.bytes, length);
    c.received = c.length = length;
    return c;
}

inline void read_chars(Token& t, const uint8_t* p, uint32_t count) {
    for (uint32_t i = 0; i < count; ++i) {
        t.chars[i] = staged_char(p);
        p += t.chars[i].length;
    }
    t.char_count = count;
}

// Moves a token's n bytes down to an earlier place, over what is no longer needed there. The
// usual token is short: up to 16 bytes move as two loads and two stores, which may write up to
// 15 bytes past the moved token, into room that nothing uses yet. Longer ones go to memmove.
template <class Unit>
SCAN_STEP void move_down(Unit* to, const Unit* from, uint32_t n) {
    constexpr uint32_t units = 16 / sizeof(Unit);
    if (n > units) {
        std::memmove(to, from, n * sizeof(Unit));
        return;
    }
    uint64_t a, b;
    std::memcpy(&a, from, 8);
    std::memcpy(&b, reinterpret_cast<const uint8_t*>(from) + 8, 8);
    std::memcpy(to, &a, 8);
    std::memcpy(reinterpret_cast<uint8_t*>(to) + 8, &b, 8);
}

// The character at q, one a block takes: ASCII, or a two- or three-byte character whose
// continuation bytes follow.
SCAN_STEP ScannedChar block_char(const ScanContext& context, const uint8_t* q) {
    if (q[0] < 0x80) return {q[0], 1, q[0], context.small[q[0]]};
    if (q[0] < 0xE0) {
        const uint32_t cp = decode2(q[0], q[1]);
        return {static_cast<uint32_t>(q[0] | q[1] << 8), 2, cp, context.small[cp]};
    }
    const uint32_t cp = decode3(q[0], q[1], q[2]);
    return {static_cast<uint32_t>(q[0] | q[1] << 8 | q[2] << 16), 3, cp,
            code_point_class(context.table, cp)};
}

// Whether a token of `chars` characters takes more: the one statement of the rule that tokens
// longer than 128 characters are split.
SCAN_STEP bool has_room(uint32_t chars) { return chars < MAX_TOKEN_CHARS; }

// The class a character needs to extend a token of this class and length: its own while the
// token is a word with room; otherwise 0, which no character has.
SCAN_STEP uint8_t extends_of(uint8_t cls, uint32_t chars) {
    return is_word_class(cls) && has_room(chars) ? cls : 0;
}

struct InFlight {
    uint8_t* kept_end;  // the kept tokens end and the group's bytes start here
    uint16_t* units_kept_end;
    uint64_t* types_end;
    // The pending group: its parts, first first, and their bytes up to group_end.
    StagedPart* parts;
    uint32_t part_count;
    TokenType group_type;
    uint32_t group_chars;
    uint8_t* group_end;
    uint16_t* units_group_end;
    // The token being built, from group_end + 1 (staged; not while held).
    TokenType cur_type;
    uint32_t cur_chars;
    uint8_t* cur_end;
    uint16_t* units_cur_end;
    uint8_t extends;  // extends_of(the token being built): the class that goes on with it
    bool units_valid;  // every character staged or kept in the batch has a code unit
    // The reader's record is written only when read_byte is about to use it, and at the end.
    // Until then it is behind: the last character read is the last one of the token being
    // built.
    bool input_behind;
    HeldToken held;   // the tight loop's token being built
    bool group_kept;  // the tight loop's group (a single token) is kept once released
    bool units_wide;  // a kept character's code unit is known to be U+0100 or above

    // The engine's pending group and token, staged behind the batch's kept tokens.
    void load(const TokenEngine& e, const Batch& b, StagedPart* part_room) {
        const TokenJoiner& j = e.joiner;
        kept_end = b.text_buffer + b.text_used;
        units_kept_end = b.units_buffer + b.units_used;
        types_end = b.types_buffer + b.token_count;
        units_valid = b.units_valid;
        units_wide = b.units_wide;
        parts = part_room;
        part_count = j.group_size;
        group_type = j.group_type;
        group_chars = 0;
        uint8_t* out = kept_end;
        uint16_t* units = units_kept_end;
        for (uint32_t i = 0; i < j.group_size; ++i) {
            uint8_t* const start = out;
            out = write_chars(out, j.group[i]);
            units = write_units(units, j.group[i], units_valid);
            parts[i] = {j.group[i].type, j.group[i].char_count, static_cast<uint32_t>(out - start)};
            group_chars += j.group[i].char_count;
        }
        group_end = out;
        units_group_end = units;
        const Token& cur = e.assembler.current;
        cur_end = write_chars(out + 1, cur);
        units_cur_end = write_units(units + 1, cur, units_valid);
        cur_type = cur.type;
        cur_chars = cur.char_count;
        extends = extends_of(class_of_type(cur.type), cur.char_count);
        input_behind = false;
        held = HeldToken{};
        group_kept = false;
        check();
    }

    // The engine's records rebuilt from the staging room, and the batch's counts.
    void store(TokenEngine& e, Batch& b) const {
        check();
        b.text_used = static_cast<uint64_t>(kept_end - b.text_buffer);
        b.token_count = static_cast<uint32_t>(types_end - b.types_buffer);
        b.units_used = static_cast<uint64_t>(units_kept_end - b.units_buffer);
        b.units_valid = units_valid;
        b.units_wide = units_wide;
        TokenJoiner& j = e.joiner;
        j.group_size = part_count;
        j.group_type = group_type;
        const uint8_t* in = kept_end;
        for (uint32_t i = 0; i < part_count; ++i) {
            read_chars(j.group[i], in, parts[i].chars);
            j.group[i].type = parts[i].type;
            in += parts[i].bytes;
        }
        Token& cur = e.assembler.current;
        read_chars(cur, group_end + 1, cur_chars);
        cur.type = cur_type;
        if (input_behind) e.assembler.input = cur.chars[cur_chars - 1];
    }

    // What holds wherever the scan hands the token over (debug builds): the staged pieces lie
    // in order, the parts add up to the group, `extends` follows from the token being built,
    // and a reader record that is behind has a character to catch up with.
    void check() const {
#if defined(VORLENTA_CHECKS) || !defined(NDEBUG)
        uint32_t bytes = 0, chars = 0;
        for (uint32_t i = 0; i < part_count; ++i) {
            bytes += parts[i].bytes;
            chars += parts[i].chars;
        }
        const bool staged_in_order =
            kept_end + bytes == group_end && group_end < cur_end &&
            units_kept_end + chars == units_group_end &&
            units_group_end + 1 + cur_chars == units_cur_end;
        // (The drain leaves a group of one empty part, of no type, which a token may join.)
        const bool group_adds_up = chars == group_chars && part_count <= MAX_GROUP_TOKENS &&
                                   (part_count > 0 || group_type == TokenType::NOTTKN);
        const bool current_known = cur_chars <= MAX_TOKEN_CHARS &&
                                   (cur_chars == 0) == (cur_type == TokenType::NOTTKN) &&
                                   extends == extends_of(class_of_type(cur_type), cur_chars);
        const bool reader_behind_a_char = !input_behind || cur_chars > 0;
        // Only the tight loop holds a token in the input; wherever the token is handed over,
        // nothing is held, and no group waits to be kept by the tight loop's rule.
        const bool nothing_held = held.from == nullptr && held.bytes == 0 && held.chars == 0 &&
                                  !held.kept && !group_kept;
        if (staged_in_order && group_adds_up && current_known && reader_behind_a_char &&
            nothing_held)
            return;
        std::fprintf(stderr, "InFlight::check failed: staged in order %d, group adds up %d, "
                     "current known %d, reader behind a character %d, nothing held %d\n",
                     staged_in_order, group_adds_up, current_known, reader_behind_a_char,
                     nothing_held);
        std::abort();
#endif
    }

    // The reader's record, up to date before read_byte takes a byte.
    SCAN_STEP void catch_up_input(Utf8Char& input) {
        if (input_behind) {
            const uint8_t* p = group_end + 1;
            for (uint32_t i = 1; i < cur_chars; ++i) p += sequence_length(*p);
            input = staged_char(p);
        }
        input_behind = false;
    }

    // `chars` more characters in the token being built, none of them through the reader's
    // record, which is behind from now on.
    SCAN_STEP void count_chars(uint32_t chars) {
        cur_chars += chars;
        input_behind = true;
        if (!has_room(cur_chars)) extends = 0;
    }

    // Appends a character to the word being built.
    SCAN_STEP void append(const ScannedChar& ch) {
        std::memcpy(cur_end, &ch.bytes, 4);
        cur_end += ch.length;
        *units_cur_end++ = static_cast<uint16_t>(ch.code_point);
        count_chars(1);
    }

    // Extends the word being built by the run of its own class from p, as far as its room
    // allows, and returns where the run stops. ASCII letters and digits take a byte each;
    // Cyrillic letters two (no class of U+0080..U+00FF is a Latin or digit class, so a byte from
    // 80 on ends an ASCII run). Whatever stops the run is read as one character next, and may
    // still extend the word.
    SCAN_STEP const uint8_t* extend_run(const ScanContext& context, const uint8_t* p, const uint8_t* end) {
        const size_t room = MAX_TOKEN_CHARS - cur_chars;
        const uint8_t* q = p;
        if (cur_type == TokenType::RUWORD) {
            const size_t pairs = static_cast<size_t>(end - p) / 2;
            const uint8_t* const limit = p + 2 * (pairs < room ? pairs : room);
            // A Cyrillic letter is U+0401 or above, so no two-byte form of it is overlong; a
            // second byte that is no start byte but no continuation byte either (F8..FF) leaves
            // the character without a code unit.
            while (q < limit && is_two_byte_lead(q[0]) && !is_start_byte(q[1]) &&
                   context.small[decode2(q[0], q[1])] == extends) {
                std::memcpy(cur_end, q, 2);
                cur_end += 2;
                *units_cur_end++ = static_cast<uint16_t>(decode2(q[0], q[1]));
                units_valid &= is_continuation_byte(q[1]);
                q += 2;
            }
            if (q != p) count_chars(static_cast<uint32_t>(q - p) / 2);
        } else {
            const uint8_t* const limit = static_cast<size_t>(end - p) < room ? end : p + room;
            while (q < limit && context.small[*q] == extends) {
                *cur_end++ = *q;
                *units_cur_end++ = *q++;
            }
            if (q != p) count_chars(static_cast<uint32_t>(q - p));
        }
        return q;
    }

    // Reads the character at p into `ch` and moves p past what it took; false when the bytes
    // taken complete no character. Sequences of up to three bytes whose bytes are all in the
    // span are decoded at once; anything else goes through read_byte, so the reader's record
    // ends exactly as byte-by-byte reading leaves it.
    SCAN_STEP bool read_char(const ScanContext& context, const uint8_t*& p, const uint8_t* end,
                             ScannedChar& ch) {
        const uint8_t b0 = p[0];
        if (b0 < 0x80) {
            ch = {b0, 1, b0, context.small[b0]};
        } else if (is_two_byte_lead(b0) && end - p >= 2 && !is_start_byte(p[1])) {
            const uint32_t cp = decode2(b0, p[1]);
            ch = {static_cast<uint32_t>(b0 | p[1] << 8), 2, cp, context.small[cp]};
            units_valid &= has_own_code_unit(p, 2, cp);
        } else if (is_three_byte_lead(b0) && end - p >= 3 && !is_start_byte(p[1]) &&
                   !is_start_byte(p[2])) {
            const uint32_t cp = decode3(b0, p[1], p[2]);
            ch = {static_cast<uint32_t>(b0 | p[1] << 8 | p[2] << 16), 3, cp,
                  code_point_class(context.table, cp)};
            units_valid &= has_own_code_unit(p, 3, cp);
        } else {
            catch_up_input(context.input);
            if (!read_byte(context.input, *p++)) return false;
            const Utf8Char& in = context.input;
            std::memcpy(&ch.bytes, in.bytes, 4);
            ch.length = in.length;
            ch.code_point = in.code_point;
            ch.cls = class_of_type(classify_in(context.table, in.code_point));
            units_valid &= has_own_code_unit(in.bytes, in.length, in.code_point);
            return true;
        }
        p += ch.length;
        return true;
    }

    // Starts the next token with a character, one byte (and one unit) behind the pending group.
    SCAN_STEP void start(const ScannedChar& ch) {
        uint8_t* const at = group_end + 1;
        std::memcpy(at, &ch.bytes, 4);
        cur_end = at + ch.length;
        units_group_end[1] = static_cast<uint16_t>(ch.code_point);
        units_cur_end = units_group_end + 2;
        cur_type = CLASS_TO_TYPE[ch.cls];
        cur_chars = 0;
        extends = is_word_class(ch.cls) ? ch.cls : 0;
        count_chars(1);
    }

    // The token being built closes: it joins the pending group (true), or the group is released
    // (kept or dropped) and the closed token starts the next one; as push_token and deliver do
    // with the records. The places note what moved.
    template <class Places>
    SCAN_STEP bool close(const ScanContext& context, Places& places) {
        const bool group_was_empty = group_type == TokenType::NOTTKN;
        uint64_t* const types_before = types_end;
        const uint32_t length = static_cast<uint32_t>(cur_end - (group_end + 1));
        const bool joins = cur_joins_group();
        if (joins)
            join(length);
        else
            release(context, length);
        places.closed(joins, group_was_empty, types_before, types_end);
        return joins;
    }

    // Whether the token being built joins the group when it closes.
    SCAN_STEP bool cur_joins_group() const {
        const bool word_group = is_word_type(group_type);
        return joins_group(group_type, part_count,
                           word_group ? parts[part_count - 1].type : TokenType::NOTTKN,
                           group_chars, cur_type, group_end[1], cur_chars);
    }

    // The closed token becomes the group's last part: the gap before it closes.
    SCAN_STEP void join(uint32_t length) {
        move_down(group_end, group_end + 1, length);
        move_down(units_group_end, units_group_end + 1, cur_chars);
        if (group_type == TokenType::NOTTKN) group_type = cur_type;
        parts[part_count++] = {cur_type, cur_chars, length};
        group_chars += cur_chars;
        group_end += length;
        units_group_end += cur_chars;
    }

    // The group leaves (kept or dropped) and the closed token, now right after the kept tokens,
    // starts the next group.
    SCAN_STEP void release(const ScanContext& context, uint32_t length) {
        keep_or_drop(context.keep(group_type, group_chars), length);
        parts[0] = {cur_type, cur_chars, length};
        part_count = 1;
        group_type = cur_type;
        group_chars = cur_chars;
        group_end = kept_end + length;
        units_group_end = units_kept_end + cur_chars;
    }

    // One step of the end-of-input drain, as drain_step and deliver do with the records: the
    // token being built closes, and nothing is built after it. The second step closes the empty
    // token, which joins an empty group and releases any other.
    template <class Places>
    void drain_step(const ScanContext& context, Places& places) {
        catch_up_input(context.input);  // the last character read moves into the group
        close(context, places);
        cur_type = TokenType::NOTTKN;
        cur_chars = 0;
        cur_end = group_end + 1;
        units_cur_end = units_group_end + 1;
        extends = 0;
    }

    // Keeps the released group, as deliver would: its zero byte fills the gap, its type goes to
    // the types buffer. Or drops it: the closed token behind it moves down over it.
    SCAN_STEP void keep_or_drop(bool keep, uint32_t length) {
        uint8_t* const cur_start = group_end + 1;
        if (keep) {
            *group_end = 0;
            kept_end = cur_start;
            *units_group_end = 0;
            units_kept_end = units_group_end + 1;
            *types_end++ = type_bits(group_type);
        } else {
            move_down(kept_end, cur_start, length);
            move_down(units_kept_end, units_group_end + 1, cur_chars);
        }
    }

    // Block steps: `bytes` bytes of `chars` characters from the input go on with the token being
    // built.
    template <class Lanes>
    SCAN_STEP void append_block(const uint8_t* from, uint32_t bytes, uint32_t chars) {
        write_token<Lanes, true>(cur_end, units_cur_end, from, bytes, chars);
        cur_end += bytes;
        units_cur_end += chars;
        count_chars(chars);
    }

    // Whether the rest of a block, `tokens` of them starting there, can be written at once
    // (emit_block): the group is a single token that the token being built does not join, so
    // every close in the block releases a group, and the batch keeps them all with room to
    // spare (a batch that fills stops at the character after, which the token steps find).
    SCAN_STEP bool can_emit(const ScanContext& context, uint32_t tokens) const {
        return part_count == 1 && group_type != TokenType::NOTTKN &&
               cur_type != TokenType::NOTTKN && !cur_joins_group() && has_type_room(context, tokens);
    }
    // After a block written at once, only the room is in question: its group is a single token
    // and its token being built no hyphen-minus (a block ends before one).
    SCAN_STEP bool has_type_room(const ScanContext& context, uint32_t tokens) const {
        return tokens < static_cast<uint32_t>(context.types_full - types_end);
    }

    // Every token of the block at p from byte `from` on, at once, every token kept: the bytes
    // from there with a zero before each boundary, the code units likewise, and a type for each
    // token released. The characters before the first boundary go on with the token being
    // built. The state after is the token steps' state after the same bytes: with boundaries
    // b1 < ... < bk, the group and the token being built are released (and the tokens from b1
    // up to b(k-2)), the token at b(k-1) is the group and the one at bk is being built.
    template <class Lanes, bool UNITS>
    SCAN_STEP void emit_block(const ScanContext& context, const uint8_t* p, const BlockView& v,
                              uint64_t boundaries, uint32_t from) {
        const uint32_t first = Lanes::lowest_bit(boundaries);
        const uint32_t last = Lanes::highest_bit(boundaries);
        const uint32_t tokens = Lanes::count_bits(boundaries);
        const uint64_t zeros = boundaries >> from;  // relative to `from`, as what follows
        const uint64_t starts = v.starts >> from;
        const uint32_t bytes = v.zone_end - from;
        uint8_t* const out = cur_end;
        uint16_t* const units_out = units_cur_end;
        Lanes::expand_bytes(out, p + from, zeros, bytes);
        *group_end = 0;
        if (UNITS) {
            *units_group_end = 0;
            if (v.ascii)
                Lanes::expand_ascii_units(units_out, p + from, zeros, bytes);
            else
                Lanes::expand_units(units_out, p + from, starts, zeros, bytes, v.triples);
        }
        types_end[0] = type_bits(group_type);
        const uint32_t chars_to_last = Lanes::count_bits(starts & below(last - from));
        if (tokens == 1) {
            // The token being built is the group now, where it lies.
            group_chars = cur_chars + Lanes::count_bits(starts & below(first - from));
            group_type = cur_type;
            kept_end = group_end + 1;
            units_kept_end = units_group_end + 1;
        } else {
            types_end[1] = type_bits(cur_type);
            const uint32_t group_at = Lanes::highest_bit(boundaries & below(last));
            emit_types<Lanes>(context, p, v, boundaries & below(group_at), types_end + 2);
            const uint32_t chars_to_group = Lanes::count_bits(starts & below(group_at - from));
            group_chars = chars_to_last - chars_to_group;
            group_type = type_at(context, p, v, group_at);
            kept_end = out + (group_at - from) + (tokens - 1);
            units_kept_end = units_out + chars_to_group + (tokens - 1);
            // What came before the group is kept in this batch.
            units_wide |= (v.cyrillic & below(group_at)) != 0;
        }
        types_end += tokens;
        group_end = out + (last - from) + (tokens - 1);
        units_group_end = units_out + chars_to_last + (tokens - 1);
        parts[0] = {group_type, group_chars, static_cast<uint32_t>(group_end - kept_end)};
        const uint32_t chars_all = Lanes::count_bits(starts);
        cur_type = type_at(context, p, v, last);
        cur_chars = chars_all - chars_to_last;
        cur_end = out + bytes + tokens;
        units_cur_end = units_out + chars_all + tokens;
        extends = extends_of(class_of_type(cur_type), cur_chars);
        input_behind = true;
    }

    // The type of the token that starts at p[i] in a block.
    SCAN_STEP static TokenType type_at(const ScanContext& context, const uint8_t* p,
                                       const BlockView& v, uint32_t i) {
        if ((v.odd_starts >> i & 1) != 0) return CLASS_TO_TYPE[block_char(context, p + i).cls];
        return static_cast<TokenType>(context.start_type[p[i]]);
    }

    // The types of the tokens starting at the bits of `at`, one after another from `to`: by
    // their first byte, and those it does not tell looked up after.
    template <class Lanes>
    SCAN_STEP static void emit_types(const ScanContext& context, const uint8_t* p,
                                     const BlockView& v, uint64_t at, uint64_t* to) {
        Lanes::start_types(to, p, at, context);
        for (uint64_t m = at & v.odd_starts; m != 0; m &= m - 1) {
            const uint32_t i = static_cast<uint32_t>(__builtin_ctzll(m));
            to[__builtin_popcountll(at & below(i))] =
                type_bits(CLASS_TO_TYPE[block_char(context, p + i).cls]);
        }
    }

    // The tight loop's steps. It starts with the group a single token (kept or not once
    // released) and the next token held in the input.
    SCAN_STEP void enter_tight(bool kept) { group_kept = kept; }

    // Holds the token of `bytes` bytes at q (all ASCII, all two-byte characters, or one
    // three-byte character): its characters and class are its first character's. Whether it is
    // kept is asked only when ASK. Field by field, so that the compiler keeps them in registers.
    template <bool ASK, class Keep>
    SCAN_STEP void hold(const ScanContext& context, const Keep& keep, const uint8_t* q, uint32_t bytes) {
        const ScannedChar first = block_char(context, q);
        held.from = q;
        held.bytes = bytes;
        held.chars = first.length == 1 ? bytes : first.length == 2 ? bytes / 2 : 1;
        held.cls = first.cls;
        if (ASK) held.kept = keep(held.cls, held.chars);
    }

    // The held token goes on into the next block, unless that would make it 128 characters or
    // more (the scalar steps cut it): false then.
    template <class Keep>
    SCAN_STEP bool grow_held(uint32_t bytes, uint32_t chars, const Keep& keep) {
        if (!has_room(held.chars + chars)) return false;
        held.bytes += bytes;
        held.chars += chars;
        held.kept = keep(held.cls, held.chars);
        return true;
    }

    // The group leaves: kept, its zero byte and unit written behind it; or dropped, to be
    // written over. Whether it was kept.
    template <bool KEEP_ALL, bool UNITS, class Places>
    SCAN_STEP bool release_held_group(Places& places) {
        const bool kept = KEEP_ALL || group_kept;
        if (kept) {
            *group_end = 0;
            if (UNITS) *units_group_end = 0;
            places.group_kept(types_end);
            *types_end++ = type_bits(group_type);
            kept_end = group_end + 1;
            units_kept_end = units_group_end + 1;
        }
        return kept;
    }

    // The held token closes and becomes the group, written behind the kept tokens.
    template <class Lanes, bool UNITS, class Places>
    SCAN_STEP void held_becomes_group(Places& places) {
        write_token<Lanes, UNITS>(kept_end, units_kept_end, held.from, held.bytes, held.chars);
        places.group_is(held.from, held.from + held.bytes);
        group_end = kept_end + held.bytes;
        units_group_end = units_kept_end + held.chars;
        group_type = CLASS_TO_TYPE[held.cls];
        group_chars = held.chars;
        group_kept = held.kept;
    }

    // The tight loop stops: the group is staged as a single part, and the held token behind it.
    template <class Lanes, class Places>
    SCAN_STEP void leave_tight(Places& places) {
        const HeldToken h = held;
        stage_single_group();
        uint8_t* const to = group_end + 1;
        write_token<Lanes, true>(to, units_group_end + 1, h.from, h.bytes, h.chars);
        cur_end = to + h.bytes;
        units_cur_end = units_group_end + 1 + h.chars;
        cur_type = CLASS_TO_TYPE[h.cls];
        cur_chars = 0;
        extends = extends_of(h.cls, h.chars);
        count_chars(h.chars);
        places.current_is(h.from, h.from + h.bytes);
    }

    // The tight loop found the batch full: as the scalar scan, it stops after the first
    // character of the held token.
    SCAN_STEP void leave_tight_full(const ScannedChar& first) {
        stage_single_group();
        start(first);
    }

    SCAN_STEP void stage_single_group() {
        part_count = 1;
        parts[0] = {group_type, group_chars, static_cast<uint32_t>(group_end - kept_end)};
        held = HeldToken{};
        group_kept = false;
    }
};

// Where the kept tokens lie in the source, as the scan notes it: nothing, for vorlentaCXX's
// tokenizers (NoPlaces), or their ranges (Places). The scan calls both alike; NoPlaces'
// calls compile to nothing.
struct NoPlaces {
    NoPlaces(NoOffsets&, const uint64_t*, const uint8_t*, uint64_t) {}
    void save(NoOffsets&) const {}
    void byte_taken(const uint8_t*) {}
    void current_to(const uint8_t*) {}
    void current_is(const uint8_t*, const uint8_t*) {}
    void current_read(const uint8_t*, const uint8_t*, uint32_t) {}
    void closed(bool, bool, const uint64_t*, const uint64_t*) {}
    void group_kept(const uint64_t*) {}
    void group_is(const uint8_t*, const uint8_t*) {}
};

struct Places {
    TokenOffsets* o;
    Ranges r;  // a copy, kept in registers; save() writes it back
    const uint64_t* types;
    const uint8_t* origin;  // lies at `offset` in the source
    uint64_t offset;

    Places(TokenOffsets& offsets, const uint64_t* types_buffer, const uint8_t* p, uint64_t at)
        : o(&offsets), r(offsets.ranges), types(types_buffer), origin(p), offset(at) {}
    void save(TokenOffsets& offsets) const { offsets.ranges = r; }
    uint64_t at(const uint8_t* q) const { return offset + static_cast<uint64_t>(q - origin); }
    // The reader took a byte that completes nothing: where a sequence it opens starts is where
    // the character it may complete later starts.
    void byte_taken(const uint8_t* q) {
        if (is_start_byte(*q)) r.input_start = at(q);
    }
    void current_to(const uint8_t* q) { r.current_stop = at(q); }
    void current_is(const uint8_t* from, const uint8_t* to) {
        r.current_start = at(from);
        r.current_stop = at(to);
    }
    // A token started by the character read from q to p: one decoded whole starts where it was
    // read; one the reader completed, at the start byte it took earlier.
    void current_read(const uint8_t* q, const uint8_t* p, uint32_t length) {
        r.current_start = static_cast<uint32_t>(p - q) == length ? at(q) : r.input_start;
        r.current_stop = at(p);
    }
    // A token closed: it joined the group (an empty one it starts), or the group was released
    // (and kept, or not) and the closed token starts the next.
    void closed(bool joined, bool group_was_empty, const uint64_t* types_before,
                const uint64_t* types_end) {
        if (joined) {
            if (group_was_empty) r.group_start = r.current_start;
            r.group_stop = r.current_stop;
            return;
        }
        if (types_end != types_before) group_kept(types_before);
        r.group_start = r.current_start;
        r.group_stop = r.current_stop;
    }
    // The group is kept as the token whose type lands at slot.
    void group_kept(const uint64_t* slot) {
        const auto index = static_cast<size_t>(slot - types);
        o->starts[index] = r.group_start;
        o->stops[index] = r.group_stop;
    }
    void group_is(const uint8_t* from, const uint8_t* to) {
        r.group_start = at(from);
        r.group_stop = at(to);
    }
};

template <class Offsets>
using PlacesOf = std::conditional_t<tracks_offsets<Offsets>, Places, NoPlaces>;

}  // namespace detail
}  // namespace vorlenta
