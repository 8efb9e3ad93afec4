// Many texts, a group at a time, on as many threads as asked: the records of a group's texts,
// its bytes, what tokenizing it gives, and the pipeline that hands groups to workers and back
// in their order. No Python here: the binding (texts_binding.cpp) takes the texts from Python
// objects with the interpreter held, and everything here runs with it released.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "library/span_tokenizer.hpp"
#include "library/token_lines.hpp"
#include "library/word_counts.hpp"

namespace vorlenta {

// A group ends at whichever comes first: enough bytes that a worker is busy for a while, or
// enough texts that the records stay in the caches.
constexpr size_t GROUP_BYTES = 1 << 20;
constexpr size_t GROUP_TEXTS = 4096;
// The batch size inside: a short text's tokens in one batch.
constexpr uint32_t TEXT_BATCH_SIZE = 8192;

struct TextRecord {
    const uint8_t* data;  // its UTF-8, once the group is encoded
    uint64_t size;
    int64_t index;        // the text's place in the source
    // A str not yet encoded: its code units, `kind` bytes each (1, 2 or 4), `size` of them.
    // They stay where the str keeps them, which the binding holds meanwhile.
    const void* units;
    uint64_t at;          // where its bytes are in the group's bytes, when they are there
    uint8_t kind;
    bool in_group;        // its bytes are the group's (copied or encoded), at `at`
    bool null;            // None, NaN or an Arrow null: no text
    bool from_str;        // encoded from a str: lone surrogates are their three-byte forms
    bool str_places;      // places are str indexes (a str, an Arrow string), not bytes
    bool ascii;           // byte offsets are str indexes already
    bool surrogates;      // from a str that holds lone surrogates
    bool tally;           // bytes from Python: what of them is not UTF-8 is tallied
};

// The bytes of a group of texts. Unlike a vector's, room taken for a text is not cleared
// first: an encoding writes it all, then gives back what it did not need.
class GroupBytes {
public:
    void clear() { size_ = 0; }
    size_t size() const { return size_; }
    uint8_t* data() { return data_.get(); }
    // `n` more bytes at the end, to be written.
    uint8_t* extend(size_t n) {
        if (size_ + n > capacity_) {
            size_t capacity = capacity_ > 0 ? 2 * capacity_ : GROUP_ROOM;
            while (capacity < size_ + n) capacity *= 2;
            std::unique_ptr<uint8_t[]> grown(new uint8_t[capacity]);
            if (size_ != 0) std::memcpy(grown.get(), data_.get(), size_);
            data_ = std::move(grown);
            capacity_ = capacity;
        }
        size_ += n;
        return data_.get() + size_ - n;
    }
    void shrink_to(size_t n) { size_ = n; }

private:
    static constexpr size_t GROUP_ROOM = 16 << 10;  // grows to a group's size by doubling
    std::unique_ptr<uint8_t[]> data_;
    size_t size_ = 0, capacity_ = 0;
};

// Appends the UTF-8 of `n` code units of `kind` bytes each; a lone surrogate takes the
// three-byte form that errors="surrogatepass" gives it, so every character has a place.
// Returns whether they are all ASCII; `surrogates`, when given, says whether one was met.
bool append_utf8(const void* units, uint8_t kind, size_t n, GroupBytes& out,
                 bool* surrogates = nullptr);

// The kept tokens of a group's texts, for lists of strs or Arrow lists: their bytes one after
// another (lower-cased if asked), where each one ends, and how many each text has.
struct GroupTokens {
    std::string data;
    std::vector<uint64_t> ends;
    std::vector<uint32_t> per_text;
    void clear() {
        data.clear();
        ends.clear();
        per_text.clear();
    }
};

// The places of a group's kept tokens: each token's offsets in its text (bytes; the binding
// makes them str indexes), its type and its text's place in the source.
struct GroupSpans {
    std::vector<int64_t> starts, stops, texts;
    std::vector<uint64_t> types;
    void clear() {
        starts.clear();
        stops.clear();
        texts.clear();
        types.clear();
    }
};

// The rows of a group's texts: for each text, its columns in the order first met and their
// values, the entries of each text one after another.
struct GroupRows {
    std::vector<uint32_t> columns;
    std::vector<int32_t> values;
    std::vector<uint32_t> per_text;  // each text's number of entries
    void clear() {
        columns.clear();
        values.clear();
        per_text.clear();
    }
};

struct Group {
    uint64_t sequence = 0;
    std::vector<TextRecord> texts;
    GroupBytes bytes;
    std::vector<void*> kept;  // what the binding keeps alive for the texts, and releases
    GroupTokens tokens;
    GroupSpans spans;
    GroupRows rows;
    unsigned worker = 0;      // the worker that tokenized it
    Utf8Tally utf8;           // of the bytes texts
    void clear() {
        texts.clear();
        bytes.clear();
        kept.clear();
        tokens.clear();
        spans.clear();
        rows.clear();
        utf8 = Utf8Tally{};
    }
};

// Encodes a str not yet encoded into `bytes` (its place there in r.at); the caller points
// r.data there once `bytes` stops moving.
void encode_record(TextRecord& r, GroupBytes& bytes);

// Points a text whose bytes are in `bytes` at them.
void point_record(TextRecord& r, GroupBytes& bytes);

// Encodes the group's strs into its bytes and points every text at its bytes.
void encode_group(Group& g);

// The settings a group is tokenized with.
struct TextSettings {
    uint64_t filter = ~uint64_t{0};
    uint32_t min_len = 0;
    uint32_t max_len = UINT32_MAX;
    bool split_hyphens = false;
};

void apply_settings(SpanTokenizer& t, const TextSettings& s);

// Runs the tokenizer over one text, handing each non-empty batch to use(batch); with
// `tally`, what of its bytes is not UTF-8 goes into `utf8`.
template <class Use>
void tokenize_text(SpanTokenizer& t, const TextRecord& r, bool with_places, Use&& use) {
    if (r.null) return;
    t.tally_utf8 = r.tally;
    t.restart(r.data, r.size);
    while (!t.input_done()) {
        t.next_batch(with_places);
        if (t.batch.token_count != 0) use(t.batch);
    }
}

// use(text, length, i) for each token i of the batch, its text lower-cased into `lowered`
// (room for a token and 16 bytes) if asked and it has a capital.
template <class Use>
void each_token(const Batch& b, bool lower, uint8_t* lowered, Use&& use) {
    const uint8_t* p = b.text_buffer;
    for (uint32_t i = 0; i < b.token_count; ++i) {
        const uint8_t* const end = token_end(p);
        const auto n = static_cast<uint32_t>(end - p);
        const bool lowering = lower && has_capital(p, n);
        if (lowering) lower_word(p, n, lowered);
        use(lowering ? lowered : p, n, i);
        p = end + 1;
    }
}

// The kept tokens of every text of the group into g.tokens.
void collect_tokens(SpanTokenizer& t, Group& g, bool lower);

// The places of every text's kept tokens into g.spans: str indexes for the texts whose places
// are (str_places), byte offsets for the others.
void collect_spans(SpanTokenizer& t, Group& g);

// The tokenizer of the calling thread for a call over texts in memory: made on its first use
// and kept for the thread's life, so that a short text costs no buffers of its own. A call made
// while the thread's own is in use (a text iterator that calls the library itself) gets a new
// one.
class ThreadTokenizer {
public:
    explicit ThreadTokenizer(const TextSettings& settings);
    ~ThreadTokenizer();
    ThreadTokenizer(const ThreadTokenizer&) = delete;
    ThreadTokenizer& operator=(const ThreadTokenizer&) = delete;
    SpanTokenizer& operator*() { return *tokenizer_; }
    SpanTokenizer* operator->() { return tokenizer_; }
    // Room for one text's bytes, kept with the tokenizer.
    GroupBytes& bytes() { return *bytes_; }

private:
    std::unique_ptr<SpanTokenizer> own_;
    std::unique_ptr<GroupBytes> own_bytes_;
    SpanTokenizer* tokenizer_;
    GroupBytes* bytes_;
    bool leased_ = false;
};

// Groups to workers and back, in their order. The caller (one thread) takes a free group,
// fills it and submits it; workers run `work(group, worker)` on groups in any order; the caller
// gets them back finished in the order submitted, uses them and recycles them. At most
// limit() groups are out at once, so memory stays bounded whatever the number of texts. With
// no workers, submit() runs the work itself. A worker's exception (bad_alloc) is raised by
// next_done(). stop() (and the destructor) stops the workers and waits for them; every group
// stays the pipeline's, so that the caller can release what they keep (each_group).
class GroupPipeline {
public:
    using Work = std::function<void(Group&, unsigned worker)>;
    GroupPipeline(unsigned workers, Work work);
    ~GroupPipeline();
    GroupPipeline(const GroupPipeline&) = delete;
    GroupPipeline& operator=(const GroupPipeline&) = delete;

    unsigned workers() const { return static_cast<unsigned>(threads_.size()); }
    // Starts `workers` threads, where there are none: from then on, submit() hands groups to
    // them.
    void start(unsigned workers);
    bool has_room() const { return out_ < limit_; }
    size_t in_flight() const { return out_; }
    // Submitted to workers and not yet taken by one (they wait for start()).
    size_t queued() {
        std::lock_guard<std::mutex> lock(mutex_);
        return queue_.size();
    }
    Group& free_group();
    void submit(Group& g);
    // The next group in order, once finished: waits for it (call with the interpreter
    // released).
    Group& next_done();
    void recycle(Group& g);
    void stop();
    template <class F>
    void each_group(F&& f) {
        for (auto& g : all_) f(*g);
    }

private:
    void run(unsigned worker);

    Work work_;
    std::vector<std::unique_ptr<Group>> all_;
    std::vector<Group*> free_;
    std::vector<Group*> queue_;     // submitted, not yet taken by a worker
    std::vector<Group*> finished_;  // finished, not yet handed back
    uint64_t submitted_ = 0, handed_ = 0;
    size_t out_ = 0, limit_;
    std::mutex mutex_;
    std::condition_variable work_ready_, done_ready_;
    bool stopping_ = false;
    std::exception_ptr failed_;
    std::vector<std::thread> threads_;
};

}  // namespace vorlenta
