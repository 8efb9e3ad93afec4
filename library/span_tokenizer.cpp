#include "library/span_tokenizer.hpp"

#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <new>
#include <stdexcept>

#include "sources/memory_spans.hpp"

namespace vorlenta {

namespace {

// Each chunk of a file tallied as it is read, when asked.
struct TallyChunks {
    SpanTokenizer* t;
    void chunk(const uint8_t* p, const uint8_t* end) {
        if (t->tally_utf8) t->utf8.add(p, end);
    }
    void ended() {
        if (t->tally_utf8) t->utf8.finish();
    }
};

uint64_t* allocate_offsets(uint32_t n) {
    return static_cast<uint64_t*>(std::malloc((n > 0 ? n : 1) * sizeof(uint64_t)));
}

// The batch buffers for `capacity` tokens, and offsets for as many.
void init_buffers(SpanTokenizer& t, uint32_t capacity = DEFAULT_BATCH_SIZE) {
    reset_engine(t.engine);
    init_batch(t.batch, capacity);
    t.batch.units_wanted = false;  // the library makes its strs from the bytes
    t.offsets = TokenOffsets{allocate_offsets(capacity), allocate_offsets(capacity), Ranges{}};
    t.offsets_capacity = capacity;
    if (t.offsets.starts == nullptr || t.offsets.stops == nullptr) {
        std::free(t.offsets.starts);
        std::free(t.offsets.stops);
        free_batch(t.batch);
        throw std::bad_alloc();
    }
}

}  // namespace

SpanTokenizer::SpanTokenizer(const uint8_t* bytes, uint64_t length, uint32_t capacity)
    : data(bytes), size(length), pos(0), tally_utf8(false), tallied(0) {
    init_buffers(*this, capacity > 0 ? capacity : 1);
}

void SpanTokenizer::restart(const uint8_t* bytes, uint64_t length) {
    reset_engine(engine);
    batch.source_started = false;
    batch.drain_steps_run = 0;
    offsets.ranges = Ranges{};
    split.raw.source_started = false;
    split.raw.drain_steps_run = 0;
    split.raw.token_count = 0;
    split.raw.text_used = 0;
    split.raw_offsets.ranges = Ranges{};
    take_raw_batch(split);
    data = bytes;
    size = length;
    pos = 0;
    tallied = 0;
}

SpanTokenizer::SpanTokenizer(int file) : SpanTokenizer(file, 0, UINT64_MAX) {}

SpanTokenizer::SpanTokenizer(int file, uint64_t start, uint64_t stop)
    : data(nullptr), size(0), pos(0), tally_utf8(false), tallied(0) {
    if (!init_file_bytes(this->file, file, start, stop)) {
        close(file);
        throw std::bad_alloc();
    }
    try {
        init_buffers(*this);
    } catch (...) {
        free_file_bytes(this->file);
        close(file);
        throw;
    }
}

SpanTokenizer::~SpanTokenizer() {
    if (file.fd >= 0) close(file.fd);
    free_file_bytes(file);
    std::free(offsets.starts);
    std::free(offsets.stops);
    free_batch(batch);
    free_hyphen_split(split);
}

void SpanTokenizer::set_batch_size(uint32_t n) {
    if (n > offsets_capacity) {
        uint64_t* starts = allocate_offsets(n);
        uint64_t* stops = allocate_offsets(n);
        if (starts == nullptr || stops == nullptr) {
            std::free(starts);
            std::free(stops);
            throw std::bad_alloc();
        }
        try {
            vorlenta::set_batch_size(batch, n);
        } catch (...) {
            std::free(starts);
            std::free(stops);
            throw;
        }
        std::free(offsets.starts);
        std::free(offsets.stops);
        offsets.starts = starts;
        offsets.stops = stops;
        offsets_capacity = n;
        return;
    }
    vorlenta::set_batch_size(batch, n);
}

void SpanTokenizer::set_split_hyphens(bool on) {
    if (on == split.on) return;
    // The engine's end-of-input steps and places move to the batch it fills from now on.
    if (!on) {
        if (split_pending(split))
            throw std::invalid_argument(
                "split_hyphens cannot be turned off while split tokens are still to come");
        batch.source_started = split.raw.source_started;
        batch.drain_steps_run = split.raw.drain_steps_run;
        offsets.ranges = split.raw_offsets.ranges;
        free_hyphen_split(split);
        return;
    }
    start_hyphen_split(split, batch.batch_size);
    split.raw.source_started = batch.source_started;
    split.raw.drain_steps_run = batch.drain_steps_run;
    split.raw_offsets.ranges = offsets.ranges;
}

namespace {

template <class Source>
void collect(TokenEngine& e, Batch& b, TokenOffsets& o, Source& source, bool with_places) {
    if (with_places)
        collect_batch(e, b, source, o);
    else
        collect_batch(e, b, source);
}

// The engine's next batch of the input into `b`, its places into `o`.
void collect_input(SpanTokenizer& t, Batch& b, TokenOffsets& o, bool with_places,
                   ReadCheck check) {
    if (t.in_memory()) {
        MemorySpans source{t.data, t.size, t.pos};
        collect(t.engine, b, o, source, with_places);
        if (t.tally_utf8) t.tally_memory(t.pos);
    } else {
        FileSpans<TallyChunks> source{t.file, check, TallyChunks{&t}};
        collect(t.engine, b, o, source, with_places);
    }
}

// The batch filled with the pieces of the engine's batches, one after another, until it is full
// or the engine's stops short: at the end of the input, or at a read that stopped it (then the
// next call goes on there, as without the split).
void next_split_batch(SpanTokenizer& t, bool with_places, ReadCheck check) {
    HyphenSplit& s = t.split;
    clear_batch(t.batch);
    TokenOffsets* const places = with_places ? &t.offsets : nullptr;
    for (bool stopped = false;;) {
        release_split(s, t.batch, places);
        if (t.batch.token_count == t.batch.batch_size || stopped) return;
        widen_settings(t.batch, s.raw);
        collect_input(t, s.raw, s.raw_offsets, with_places, check);
        take_raw_batch(s);
        stopped = s.raw.token_count < s.raw.batch_size;
    }
}

}  // namespace

void SpanTokenizer::tally_memory(uint64_t up_to) {
    if (up_to <= tallied) return;
    utf8.add(data + tallied, data + up_to);
    tallied = up_to;
    if (tallied == size) utf8.finish();
}

void SpanTokenizer::read_rest(std::string& text, ReadCheck check) {
    file.read_error = 0;
    FileSpans<TallyChunks> source{file, check, TallyChunks{this}};
    for (const uint8_t *p, *end; source.next_span(p, end); source.consumed(end))
        text.append(reinterpret_cast<const char*>(p), static_cast<size_t>(end - p));
}

void SpanTokenizer::next_batch(bool with_places, ReadCheck check) {
    file.read_error = 0;
    if (split.on)
        next_split_batch(*this, with_places, check);
    else
        collect_input(*this, batch, offsets, with_places, check);
}

}  // namespace vorlenta
