#include "library/json_lines.hpp"

#include <cstring>

#include "sources/utf8.hpp"

namespace vorlenta {

namespace {

// Appends the UTF-8 of a code point; a surrogate takes the three bytes errors="surrogatepass"
// gives it, as a str holding it is encoded everywhere else here.
void append_code_point(uint32_t c, std::string& out) {
    if (c < 0x80) {
        out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
        out.push_back(static_cast<char>(0xC0 | c >> 6));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | c >> 12));
        out.push_back(static_cast<char>(0x80 | (c >> 6 & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | c >> 18));
        out.push_back(static_cast<char>(0x80 | (c >> 12 & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c >> 6 & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
}

int hex_digit(uint8_t c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool is_digit(uint8_t c) { return c >= '0' && c <= '9'; }

// A recursive-descent reader of one JSON value by the grammar of Python's json module: RFC
// 8259, plus NaN, Infinity and -Infinity, numbers of any size, and \u escapes of lone
// surrogates. Every value is read whole, so that a line is JSON exactly when Python's json
// reads it; only the strings asked for are decoded.
class Reader {
public:
    Reader(const uint8_t* begin, const uint8_t* end) : begin_(begin), p_(begin), end_(end) {}

    std::string reason;

    bool at_end() const { return p_ == end_; }
    uint8_t peek() const { return p_ < end_ ? *p_ : 0; }

    void skip_space() {
        while (p_ < end_ && (*p_ == ' ' || *p_ == '\t' || *p_ == '\n' || *p_ == '\r')) ++p_;
    }

    bool fail(const char* why) {
        if (reason.empty()) reason = std::string(why) + " at byte " + std::to_string(p_ - begin_);
        return false;
    }

    // A string at p_ (its opening quote), its decoded UTF-8 appended to `out` when given.
    bool string(std::string* out) {
        ++p_;  // the quote
        for (;;) {
            // Plain bytes, copied in one go.
            const uint8_t* run = p_;
            while (p_ < end_ && *p_ != '"' && *p_ != '\\' && *p_ >= 0x20 && *p_ < 0x80) ++p_;
            if (out != nullptr && p_ != run) out->append(reinterpret_cast<const char*>(run), p_ - run);
            if (p_ == end_) return fail("unterminated string");
            const uint8_t c = *p_;
            if (c == '"') {
                ++p_;
                return true;
            }
            if (c < 0x20) return fail("control character in a string");
            if (c >= 0x80) {
                const Utf8Step s = utf8_step(p_, static_cast<size_t>(end_ - p_));
                if (!s.ok) return not_utf8();
                if (out != nullptr) out->append(reinterpret_cast<const char*>(p_), s.length);
                p_ += s.length;
                continue;
            }
            if (!escape(out)) return false;
        }
    }

    // Any value, read whole; at depth `depth` of nesting.
    bool value(uint32_t depth) {
        switch (peek()) {
            case '{':
                return object(depth + 1, [&] { return value(depth + 1); }, nullptr);
            case '[':
                return array(depth + 1);
            case '"':
                return string(nullptr);
            case 't':
                return word("true");
            case 'f':
                return word("false");
            case 'n':
                return word("null");
            case 'N':
                return word("NaN");
            case 'I':
                return word("Infinity");
            default:
                if (peek() == '-' || is_digit(peek())) return number();
                if (p_ == end_) return fail("no value");
                if (peek() >= 0x80 && !utf8_step(p_, static_cast<size_t>(end_ - p_)).ok)
                    return not_utf8();
                return fail("unexpected character");
        }
    }

    // An object at p_: member() is called after each key (decoded into `key` when it is
    // given), with p_ at its value, and reads that value itself.
    template <class Member>
    bool object(uint32_t depth, Member&& member, std::string* key) {
        return items(depth, '}', "expected ',' or '}'", [&] {
            if (peek() != '"') return fail("expected a key");
            if (key != nullptr) key->clear();
            if (!string(key)) return false;
            skip_space();
            if (peek() != ':') return fail("expected ':'");
            ++p_;
            skip_space();
            return member();
        });
    }

private:
    bool not_utf8() {
        reason = "not UTF-8: is it --encoding cp1251, or auto?";
        return false;
    }

    bool array(uint32_t depth) {
        return items(depth, ']', "expected ',' or ']'", [&] { return value(depth); });
    }

    // What an object or an array at p_ holds, up to `close`: item() reads each, with p_ at
    // it; items are apart by commas and spaces.
    template <class Item>
    bool items(uint32_t depth, uint8_t close, const char* expected, Item&& item) {
        if (depth > JSON_MAX_DEPTH) return fail("nested too deeply");
        ++p_;  // the opening bracket
        skip_space();
        if (peek() == close) {
            ++p_;
            return true;
        }
        for (;;) {
            if (!item()) return false;
            skip_space();
            if (peek() == ',') {
                ++p_;
                skip_space();
                continue;
            }
            if (peek() == close) {
                ++p_;
                return true;
            }
            return fail(expected);
        }
    }

    bool word(const char* w) {
        const size_t n = std::strlen(w);
        if (static_cast<size_t>(end_ - p_) < n || std::memcmp(p_, w, n) != 0)
            return fail("unexpected character");
        p_ += n;
        return true;
    }

    // -?(0|[1-9][0-9]*)(\.[0-9]+)?([eE][-+]?[0-9]+)?, or -Infinity. What follows a number
    // that does not continue it (a lone '.', an 'e' without digits) is left for the caller,
    // which finds it out of place, as Python's scanner does.
    bool number() {
        if (peek() == '-') {
            ++p_;
            if (peek() == 'I') return word("Infinity");
        }
        if (peek() == '0') {
            ++p_;
        } else if (is_digit(peek())) {
            while (is_digit(peek())) ++p_;
        } else {
            return fail("expected a digit");
        }
        if (peek() == '.' && p_ + 1 < end_ && is_digit(p_[1])) {
            p_ += 2;
            while (is_digit(peek())) ++p_;
        }
        if (peek() == 'e' || peek() == 'E') {
            const uint8_t* q = p_ + 1;
            if (q < end_ && (*q == '+' || *q == '-')) ++q;
            if (q < end_ && is_digit(*q)) {
                p_ = q;
                while (is_digit(peek())) ++p_;
            }
        }
        return true;
    }

    // Four hex digits after \u at p_ (past the u); -1 if they are not.
    int32_t hex4() {
        if (end_ - p_ < 4) return -1;
        int32_t v = 0;
        for (int i = 0; i < 4; ++i) {
            const int d = hex_digit(p_[i]);
            if (d < 0) return -1;
            v = v << 4 | d;
        }
        p_ += 4;
        return v;
    }

    bool escape(std::string* out) {
        ++p_;  // the backslash
        if (p_ == end_) return fail("unterminated string");
        const uint8_t c = *p_++;
        char plain;
        switch (c) {
            case '"': plain = '"'; break;
            case '\\': plain = '\\'; break;
            case '/': plain = '/'; break;
            case 'b': plain = '\b'; break;
            case 'f': plain = '\f'; break;
            case 'n': plain = '\n'; break;
            case 'r': plain = '\r'; break;
            case 't': plain = '\t'; break;
            case 'u': {
                int32_t u = hex4();
                if (u < 0) return fail("invalid \\u escape");
                // A high surrogate and a low one escaped after it are one character; either
                // alone is itself.
                if (u >= 0xD800 && u <= 0xDBFF && end_ - p_ >= 2 && p_[0] == '\\' &&
                    p_[1] == 'u') {
                    const uint8_t* back = p_;
                    p_ += 2;
                    const int32_t low = hex4();
                    if (low < 0) return fail("invalid \\u escape");
                    if (low >= 0xDC00 && low <= 0xDFFF)
                        u = 0x10000 + ((u - 0xD800) << 10) + (low - 0xDC00);
                    else
                        p_ = back;
                }
                if (out != nullptr) append_code_point(static_cast<uint32_t>(u), *out);
                return true;
            }
            default:
                --p_;
                return fail("invalid escape");
        }
        if (out != nullptr) out->push_back(plain);
        return true;
    }

    const uint8_t* begin_;
    const uint8_t* p_;
    const uint8_t* end_;
};

bool blank(const uint8_t* p, const uint8_t* end) {
    // As bytes.strip() sees it.
    for (; p < end; ++p)
        if (*p != ' ' && *p != '\t' && *p != '\n' && *p != '\r' && *p != '\x0b' && *p != '\x0c')
            return false;
    return true;
}

}  // namespace

JsonLine read_json_line(const uint8_t* p, const uint8_t* end, std::string_view field,
                        std::string& text, std::string& reason, std::vector<std::string>* keys) {
    if (blank(p, end)) return JsonLine::blank;
    // Python's json reads bytes that start with UTF-8's byte-order mark as "utf-8-sig".
    if (end - p >= 3 && p[0] == 0xEF && p[1] == 0xBB && p[2] == 0xBF) p += 3;
    Reader r(p, end);
    r.skip_space();
    JsonLine found = JsonLine::no_field;
    std::vector<std::string> seen;  // its keys, taken only if the line is JSON
    bool ok;
    if (r.peek() == '{') {
        std::string key;
        auto member = [&] {
            if (keys != nullptr && seen.size() < JSON_KEYS_SHOWN) seen.push_back(key);
            if (key != field) return r.value(1);
            // The last of several is the one Python's json keeps.
            if (r.peek() == '"') {
                text.clear();
                found = JsonLine::text;
                return r.string(&text);
            }
            found = JsonLine::not_a_string;
            return r.value(1);
        };
        ok = r.object(1, member, &key);
    } else {
        ok = r.value(0);
    }
    if (ok) {
        r.skip_space();
        if (!r.at_end()) ok = r.fail("extra data after the value");
    }
    if (!ok) {
        reason = r.reason;
        return JsonLine::bad;
    }
    if (keys != nullptr)
        for (const std::string& k : seen) {
            bool known = false;
            for (const std::string& have : *keys) known = known || have == k;
            if (!known && keys->size() < JSON_KEYS_SHOWN) keys->push_back(k);
        }
    return found;
}

void read_json_lines(const uint8_t* data, size_t size, std::string_view field,
                     JsonLineTexts& out) {
    const uint8_t* p = data;
    const uint8_t* const end = data + size;
    std::string text, reason;
    while (p < end) {
        const auto* feed = static_cast<const uint8_t*>(std::memchr(p, '\n', end - p));
        const uint8_t* line_end = feed != nullptr ? feed : end;
        const uint64_t line = out.lines++;
        std::vector<std::string>* keys =
            out.records < JSON_KEYS_RECORDS && out.keys.size() < JSON_KEYS_SHOWN ? &out.keys
                                                                                 : nullptr;
        text.clear();
        const JsonLine got = read_json_line(p, line_end, field, text, reason, keys);
        if (got == JsonLine::bad) {
            if (out.bad_lines++ == 0) {
                out.first_bad = static_cast<int64_t>(line);
                out.first_bad_reason = reason;
            }
        } else if (got != JsonLine::blank) {
            ++out.records;
            out.with_field += got == JsonLine::text || got == JsonLine::not_a_string;
            out.skipped += got != JsonLine::text;
        }
        if (line % 8 == 0) out.valid.push_back(0);
        if (got == JsonLine::text) {
            out.data += text;
            out.valid.back() |= static_cast<uint8_t>(1u << (line % 8));
        }
        out.offsets.push_back(static_cast<int64_t>(out.data.size()));
        p = feed != nullptr ? feed + 1 : end;
    }
}

}  // namespace vorlenta
