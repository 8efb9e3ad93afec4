// libFuzzer target: the whole batch loop of a text or file tokenizer, with settings and their
// changes between calls taken from the input. Besides the sanitizers' own checks it verifies
// what every batch must satisfy, and, when nothing is filtered out, that the tokens hold every
// character of the input exactly once.
//
// Input: a 16-byte header, then the text. Header byte 0 holds flags (bit 0: read the text from a
// file; bit 1: keep every token); the other 15 bytes are read in turn as each call's settings.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>

#include "sources/file_tokenizer.hpp"
#include "sources/text_tokenizer.hpp"

using namespace vorlenta;

namespace {

constexpr size_t HEADER = 16;

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "batch invariant broken: %s\n", what);
    std::abort();
}

void check(bool ok, const char* what) {
    if (!ok) fail(what);
}

bool is_start_byte(uint8_t b) { return b < 0x80 || (b >= 0xC0 && b < 0xF8); }

// The characters the reader completes over the whole input, their bytes back to back.
std::string complete_characters(std::string_view text, uint64_t& count) {
    Utf8Char c{};
    std::string out;
    count = 0;
    for (unsigned char b : text) {
        if (read_byte(c, b)) {
            out.append(reinterpret_cast<const char*>(c.bytes), c.length);
            ++count;
        }
    }
    return out;
}

TokenType first_char_type(const uint8_t* p, size_t n) {
    Utf8Char c{};
    for (size_t i = 0; i < n; ++i)
        if (read_byte(c, p[i])) return classify(c.code_point);
    fail("a token without a complete character");
}

struct Settings {
    uint32_t batch_size, min_len, max_len;
    uint64_t filter;
};

Settings settings_for_call(const uint8_t* header, uint32_t call, bool keep_all) {
    const uint8_t a = header[1 + (call * 3) % 15];
    const uint8_t b = header[1 + (call * 3 + 1) % 15];
    const uint8_t c = header[1 + (call * 3 + 2) % 15];
    static constexpr uint32_t LARGE_SIZES[] = {DEFAULT_BATCH_SIZE, 1000, 128, 513};
    Settings s{};
    s.batch_size = a < 224 ? a % 24 : LARGE_SIZES[a % 4];
    if (keep_all) {
        s.max_len = DEFAULT_TOKEN_MAX_LEN;
        s.filter = ~uint64_t{0};
        return s;
    }
    s.min_len = b < 200 ? b % 4 : 120 + b % 16;
    s.max_len = c < 100 ? c % 8 : c < 200 ? 120 + c % 16 : 0xFFFFFFFFu;
    s.filter = b & 0x80 ? ~uint64_t{0} : uint64_t{c} | uint64_t{b} << 57;
    return s;
}

// Checks one batch against the settings it was made with; returns its token bytes and count of
// characters through `kept` and `chars`.
void check_batch(const Batch& batch, const Settings& s, std::string& kept, uint64_t& chars) {
    check(batch.token_count <= s.batch_size, "more tokens than the batch size");
    check(batch.text_used <= uint64_t{batch.token_count} * TEXT_BYTES_PER_TOKEN,
          "text beyond the per-token budget");
    const uint8_t* p = batch.text_buffer;
    const uint8_t* end = p + batch.text_used;
    for (uint32_t i = 0; i < batch.token_count; ++i) {
        check(p < end, "fewer token texts than types");
        // No token is empty, so a zero byte at a token's start is the character U+0000.
        const uint8_t* stop = p + 1;
        if (*p != 0)
            while (stop < end && *stop != 0) ++stop;
        check(stop < end, "a token text without its zero byte");
        uint32_t n = 0;
        for (const uint8_t* q = p; q < stop; ++q) n += is_start_byte(*q);
        const uint64_t type = batch.types_buffer[i];
        check(type != 0 && (type & (type - 1)) == 0 && type <= 64, "not a single type bit");
        check((type & s.filter) != 0, "a token the filter refuses");
        check(n >= s.min_len && n <= s.max_len && n >= 1 && n <= MAX_TOKEN_CHARS,
              "a token length outside the limits");
        const TokenType first = first_char_type(p, static_cast<size_t>(stop - p));
        check(type_bits(first) == type, "a token typed unlike its first character");
        if (!is_word_type(first)) check(n == 1, "a one-character type with several characters");
        kept.append(reinterpret_cast<const char*>(p), static_cast<size_t>(stop - p));
        chars += n;
        p = stop + 1;
    }
    check(p == end, "text left over after the last token");
}

// A file that holds `text`, opened by the tokenizer through its own descriptor path.
struct MemoryFile {
    int fd = -1;
    explicit MemoryFile(std::string_view text) {
        fd = memfd_create("batch_fuzz", 0);
        if (fd < 0 || write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
            fail("memfd");
    }
    ~MemoryFile() { close(fd); }
    std::string path() const { return "/proc/self/fd/" + std::to_string(fd); }
};

template <class Tokenizer>
void run(Tokenizer& t, const uint8_t* header, std::string_view text, bool keep_all) {
    std::string kept;
    uint64_t chars = 0;
    uint32_t call = 0;
    Settings s{DEFAULT_BATCH_SIZE, 0, DEFAULT_TOKEN_MAX_LEN, ~uint64_t{0}};
    // Settings from the header for a few calls; zero batch sizes may stall these.
    for (const uint32_t calls = header[0] >> 4; call < calls; ++call) {
        s = settings_for_call(header, call, keep_all);
        t.set_batch_size(s.batch_size);
        t.set_token_min_len(s.min_len);
        t.set_token_max_len(s.max_len);
        t.set_filter(s.filter);
        t.get_batch();
        check_batch(t.batch, s, kept, chars);
    }
    // Then to the end with a positive batch size: an empty batch now means the input is used up.
    if (s.batch_size == 0) {
        s.batch_size = 1 + header[15] % 7;
        t.set_batch_size(s.batch_size);
    }
    for (size_t guard = 0;; ++guard) {
        check(guard <= text.size() + 4, "batches keep coming after the input");
        t.get_batch();
        check_batch(t.batch, s, kept, chars);
        if (t.batch.token_count == 0) break;
    }
    t.get_batch();
    check(t.batch.token_count == 0, "a token after the empty batch");
    if (keep_all) {
        uint64_t expected_chars = 0;
        const std::string expected = complete_characters(text, expected_chars);
        check(chars == expected_chars, "characters lost or repeated");
        check(kept == expected, "bytes lost, repeated or reordered");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    uint8_t header[HEADER] = {};
    const size_t header_size = size < HEADER ? size : HEADER;
    std::memcpy(header, data, header_size);
    const std::string_view text(reinterpret_cast<const char*>(data) + header_size,
                                size - header_size);
    const bool from_file = header[0] & 1;
    const bool keep_all = header[0] & 2;
    if (from_file) {
        const MemoryFile file(text);
        auto t = std::make_unique<FromFileTokenizer>(file.path());
        check(t->is_fopen(), "the memory file did not open");
        run(*t, header, text, keep_all);
    } else {
        auto t = std::make_unique<FromTextTokenizer>(text);
        run(*t, header, text, keep_all);
    }
    return 0;
}
