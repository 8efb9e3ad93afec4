#include "library/token_lines.hpp"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>
#include <stdexcept>
#include <vector>

#include "engine/token_types.hpp"
#include "library/word_counts.hpp"
#include "sources/utf8.hpp"

namespace vorlenta {

namespace {

constexpr const char* TYPE_NAMES[8] = {"NOTTKN", "WRDSPC", "NWLINE", "ENWORD",
                                       "NUMBER", "RUWORD", "PNCTTN", "UNKNWN"};
constexpr char HEX[] = "0123456789abcdef";

// The longest escape of one byte: a JSON control's \u00HH (U+0085 and U+2028 take six
// characters for two and three bytes).
constexpr size_t ESCAPE_ROOM_PER_BYTE = 6;

// The longest line: the file column, the fields around the text, and a text of 128
// characters of 4 bytes each, every byte of which may grow to its longest escape.
constexpr size_t LINE_ROOM = 128 + 2 * 20 + TEXT_BYTES_PER_TOKEN * ESCAPE_ROOM_PER_BYTE;

struct Writer {
    uint8_t* out;
    void bytes(const void* p, size_t n) {
        std::memcpy(out, p, n);
        out += n;
    }
    void text(const char* s) { bytes(s, std::strlen(s)); }
    void byte(uint8_t b) { *out++ = b; }
    void number(uint64_t v) {
        char digits[20];
        int n = 0;
        do digits[n++] = static_cast<char>('0' + v % 10);
        while ((v /= 10) != 0);
        while (n > 0) *out++ = static_cast<uint8_t>(digits[--n]);
    }
    void hex_escape(const char* lead, uint32_t value, int digits) {
        text(lead);
        for (int shift = 4 * (digits - 1); shift >= 0; shift -= 4) byte(HEX[(value >> shift) & 0xF]);
    }
};

// What an ASCII byte becomes in each format: 0 when it stays, else the escape. Tabs, line
// breaks and the backslash are escaped in tab-separated text, so that a line is one token and
// can be read back; JSON escapes what its strings must.
struct AsciiEscapes {
    const char* tsv[128] = {};
    const char* json[128] = {};
    char json_controls[32][7] = {};
    // Per byte and format: 0 for an ASCII byte that goes out as it is, 2 for a lead byte of a
    // two-byte character (C2..DF), 1 for anything else, which needs a closer look.
    uint8_t tsv_kind[256] = {};
    uint8_t json_kind[256] = {};
    // A character's index in the tables: a plain char may be signed.
    static constexpr unsigned char at(char c) { return static_cast<unsigned char>(c); }
    AsciiEscapes() {
        tsv[at('\\')] = "\\\\", tsv[at('\t')] = "\\t", tsv[at('\n')] = "\\n", tsv[at('\r')] = "\\r";
        tsv[0] = "\\0", tsv[0x0B] = "\\x0b", tsv[0x0C] = "\\x0c", tsv[0x1C] = "\\x1c";
        tsv[0x1D] = "\\x1d", tsv[0x1E] = "\\x1e";
        for (int c = 0; c < 32; ++c) {
            json_controls[c][0] = '\\', json_controls[c][1] = 'u', json_controls[c][2] = '0';
            json_controls[c][3] = '0', json_controls[c][4] = HEX[c >> 4];
            json_controls[c][5] = HEX[c & 0xF];
            json[c] = json_controls[c];
        }
        json[at('"')] = "\\\"", json[at('\\')] = "\\\\", json[at('\n')] = "\\n", json[at('\r')] = "\\r";
        json[at('\t')] = "\\t", json[at('\b')] = "\\b", json[at('\f')] = "\\f";
        for (int b = 0; b < 256; ++b) {
            const uint8_t high = b >= 0xC2 && b <= 0xDF ? 2 : 1;
            tsv_kind[b] = b < 0x80 ? (tsv[b] != nullptr) : high;
            json_kind[b] = b < 0x80 ? (json[b] != nullptr) : high;
        }
    }
};

const AsciiEscapes ESCAPES;

// Writes 16 bytes at a time: a line's room, and the batch's room past its text, cover what
// is read and written past the end.
void copy_short(uint8_t* out, const uint8_t* in, size_t n) {
    for (size_t i = 0; i < n; i += 16) std::memcpy(out + i, in + i, 16);
}

// A token's text, read up to the zero byte that ends it, escaped; returns that zero byte's
// place. Characters that some readers take for line breaks (U+0085, U+2028, U+2029) become
// \uXXXX in both formats; bytes that are not well-formed UTF-8 become \xHH (in JSON, a
// backslash and "xHH"), so that nothing is lost and the line stays valid.
const uint8_t* escaped_text(Writer& w, const uint8_t* p, LineFormat format) {
    const bool tsv = format != LineFormat::jsonl;  // words are escaped as tsv's texts
    const char* const* ascii = tsv ? ESCAPES.tsv : ESCAPES.json;
    if (*p == 0) {  // the character U+0000, a token of its own
        w.text(ascii[0]);
        return p + 1;
    }
    const uint8_t* const kind = tsv ? ESCAPES.tsv_kind : ESCAPES.json_kind;
    const char* const byte_lead = tsv ? "\\x" : "\\\\x";
    for (;;) {
        // The run of what goes out as it is, nearly always the whole token: plain ASCII and
        // well-formed two-byte characters but U+0085. The zero byte ends it.
        const uint8_t* const run = p;
        for (;;) {
            const uint8_t k = kind[*p];
            if (k == 0) {
                ++p;
            } else if (k == 2 && is_continuation_byte(p[1]) && !(p[0] == 0xC2 && p[1] == 0x85)) {
                p += 2;
            } else {
                break;
            }
        }
        copy_short(w.out, run, static_cast<size_t>(p - run));
        w.out += p - run;
        const uint8_t b = *p;
        if (b == 0) return p;
        if (b < 0x80) {
            w.text(ascii[b]);  // only bytes with an escape stop the run
            ++p;
            continue;
        }
        // The zero byte after the token stops a sequence that would run past it.
        const Utf8Step step = utf8_step(p, 4);
        const uint32_t n = step.ok ? step.length : 0;
        if (n == 0) {
            w.hex_escape(byte_lead, b, 2);
            ++p;
        } else if ((n == 2 && b == 0xC2 && p[1] == 0x85) ||
                   (n == 3 && b == 0xE2 && p[1] == 0x80 && (p[2] == 0xA8 || p[2] == 0xA9))) {
            w.hex_escape("\\u", decode_code_point(p, n), 4);
            p += n;
        } else {
            w.bytes(p, n);
            p += n;
        }
    }
}

}  // namespace

std::string escaped_field(const uint8_t* data, size_t n, LineFormat format) {
    // So that the room below cannot wrap around.
    if (n > (SIZE_MAX - 16) / ESCAPE_ROOM_PER_BYTE) throw std::length_error("field too long");
    // escaped_text reads up to a zero byte, and up to 15 bytes past where it stops: a copy
    // with that room, whose every zero byte, the one after the field included, ends a run.
    std::vector<uint8_t> in(n + 1 + 16, 0);
    if (n != 0) std::memcpy(in.data(), data, n);
    // It writes up to 15 bytes past what it has written, too.
    std::vector<uint8_t> out(n * ESCAPE_ROOM_PER_BYTE + 16);
    Writer w{out.data()};
    const uint8_t* p = in.data();
    const uint8_t* const end = p + n;
    // A zero byte inside goes out as the token U+0000 does, and the run after it goes on.
    while (p < end) p = escaped_text(w, p, format);
    return std::string(reinterpret_cast<const char*>(out.data()),
                       static_cast<size_t>(w.out - out.data()));
}

LineOutput::LineOutput(int file) : fd(file), data(nullptr), used(0), error(0),
      line_started(false), line_has_word(false) {
    data = static_cast<uint8_t*>(std::malloc(CAPACITY));
    if (data == nullptr) throw std::bad_alloc();
}

LineOutput::~LineOutput() { std::free(data); }

bool LineOutput::flush() {
    size_t done = 0;
    while (error == 0 && done < used) {
        const ssize_t n = write(fd, data + done, used - done);
        if (n >= 0)
            done += static_cast<size_t>(n);
        else if (errno != EINTR)
            error = errno;
    }
    used = 0;
    return error == 0;
}

namespace {

// The lines of one format: the format's fixed texts are literals here, so that they go out as
// a store or two rather than a call.
template <bool JSON>
void write_lines_as(const Batch& b, const TokenOffsets* offsets, const LineOptions& options,
                    LineOutput& output) {
    constexpr LineFormat format = JSON ? LineFormat::jsonl : LineFormat::tsv;
    // Every kept character has a code unit of its own: the batch is well-formed UTF-8.
    const bool well_formed = b.units_valid;
    // Room for a lowered token, its zero byte, and what lower_word and copy_short read past.
    uint8_t lowered[TEXT_BYTES_PER_TOKEN + 16];
    const uint8_t* p = b.text_buffer;
    for (uint32_t i = 0; i < b.token_count; ++i) {
        const uint8_t* text = p;
        if (options.lower && *p != 0) {
            const auto n = static_cast<uint32_t>(token_length(p));
            lower_word(p, n, lowered);
            lowered[n] = 0;
            text = lowered;
        }
        if (LineOutput::CAPACITY - output.used < LINE_ROOM + options.prefix_length &&
            !output.flush())
            return;
        Writer w{output.data + output.used};
        const auto type = static_cast<TokenType>(b.types_buffer[i]);
        const char* name = TYPE_NAMES[class_of_type(type)];
        if (JSON) w.byte('{');
        if (options.prefix_length != 0) w.bytes(options.prefix, options.prefix_length);
        if (JSON) {
            w.text("\"type\": \"");
            w.bytes(name, 6);  // every name has six letters
            w.byte('"');
        } else {
            w.bytes(name, 6);
        }
        if (options.offsets) {
            w.text(JSON ? ", \"start\": " : "\t");
            w.number(offsets->starts[i]);
            w.text(JSON ? ", \"stop\": " : "\t");
            w.number(offsets->stops[i]);
        }
        w.text(JSON ? ", \"text\": \"" : "\t");
        if (well_formed && is_word_type(type)) {
            // Letters, digits and hyphen-minus, well-formed: nothing to escape.
            const size_t n = token_length(text);
            copy_short(w.out, text, n);
            w.out += n;
            p += n + 1;
        } else {
            p += escaped_text(w, text, format) - text + 1;
        }
        w.text(JSON ? "\"}\n" : "\n");
        output.used = static_cast<size_t>(w.out - output.data);
    }
}

// The batch's words, one space between two on a line. A line feed ends the line; spaces are
// never words. The text is escaped as in tab-separated lines, so a word never holds a space,
// a tab or a line break, and bytes that are not UTF-8 are \xHH.
void write_words(const Batch& b, const LineOptions& options, LineOutput& output) {
    const bool well_formed = b.units_valid;
    const bool limited = options.word_min_len > 0 || options.word_max_len < MAX_TOKEN_CHARS;
    const uint64_t words = options.word_types & ~type_bits(TokenType::WRDSPC);
    uint8_t lowered[TEXT_BYTES_PER_TOKEN + 16];
    const uint8_t* p = b.text_buffer;
    for (uint32_t i = 0; i < b.token_count; ++i) {
        const uint64_t type = b.types_buffer[i];
        // A token whose first byte is zero is the character U+0000 itself.
        const size_t n = *p == 0 ? 1 : token_length(p);
        const uint8_t* const token = p;
        p += n + 1;
        if (type == type_bits(TokenType::NWLINE)) {
            if (!end_words_line(output, true)) return;
            continue;
        }
        output.line_started = true;
        if ((type & words) == 0) continue;
        if (limited) {
            const uint32_t chars = char_count(token, n);
            if (chars < options.word_min_len || chars > options.word_max_len) continue;
        }
        const uint8_t* text = token;
        if (options.lower && *text != 0) {
            lower_word(text, static_cast<uint32_t>(n), lowered);
            lowered[n] = 0;
            text = lowered;
        }
        if (LineOutput::CAPACITY - output.used < LINE_ROOM && !output.flush()) return;
        Writer w{output.data + output.used};
        if (output.line_has_word) w.byte(' ');
        if (well_formed && is_word_type(static_cast<TokenType>(type))) {
            copy_short(w.out, text, n);
            w.out += n;
        } else {
            escaped_text(w, text, LineFormat::tsv);
        }
        output.used = static_cast<size_t>(w.out - output.data);
        output.line_has_word = true;
    }
}

}  // namespace

bool end_words_line(LineOutput& output, bool empty_too) {
    if (!output.line_started && !empty_too) return true;
    if (output.used == LineOutput::CAPACITY && !output.flush()) return false;
    output.data[output.used++] = '\n';
    output.line_started = output.line_has_word = false;
    return true;
}

void write_token_lines(const Batch& b, const TokenOffsets* offsets, const LineOptions& options,
                       LineOutput& output) {
    if (options.format == LineFormat::words)
        write_words(b, options, output);
    else if (options.format == LineFormat::jsonl)
        write_lines_as<true>(b, offsets, options, output);
    else
        write_lines_as<false>(b, offsets, options, output);
}

}  // namespace vorlenta
