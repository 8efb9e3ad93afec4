#include "library/text_groups.hpp"

#include "library/char_index.hpp"
#include "library/counts.hpp"

namespace vorlenta {

namespace {

// Also notes whether a surrogate was met: only the three-byte range holds them, so Cyrillic and
// Latin text pays nothing for the look.
template <class Unit>
uint8_t* encode_units(const Unit* in, size_t n, uint8_t* out, bool& surrogate) {
    for (size_t i = 0; i < n; ++i) {
        const uint32_t c = in[i];
        if (c < 0x80) {
            *out++ = static_cast<uint8_t>(c);
        } else if (c < 0x800) {
            *out++ = static_cast<uint8_t>(0xC0 | c >> 6);
            *out++ = static_cast<uint8_t>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            surrogate |= c - 0xD800 < 0x800;
            *out++ = static_cast<uint8_t>(0xE0 | c >> 12);
            *out++ = static_cast<uint8_t>(0x80 | (c >> 6 & 0x3F));
            *out++ = static_cast<uint8_t>(0x80 | (c & 0x3F));
        } else {
            *out++ = static_cast<uint8_t>(0xF0 | c >> 18);
            *out++ = static_cast<uint8_t>(0x80 | (c >> 12 & 0x3F));
            *out++ = static_cast<uint8_t>(0x80 | (c >> 6 & 0x3F));
            *out++ = static_cast<uint8_t>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

bool all_ascii(const uint8_t* p, size_t n) {
    uint8_t high = 0;
    for (size_t i = 0; i < n; ++i) high |= p[i];
    return high < 0x80;
}

struct ThreadSlot {
    std::unique_ptr<SpanTokenizer> tokenizer;
    GroupBytes bytes;
    bool busy = false;
};

thread_local ThreadSlot thread_slot;

}  // namespace

bool append_utf8(const void* units, uint8_t kind, size_t n, GroupBytes& out, bool* surrogates) {
    bool surrogate = false;
    if (surrogates != nullptr) *surrogates = false;
    if (n == 0) return true;
    if (kind == 1) {
        const auto* latin1 = static_cast<const uint8_t*>(units);
        if (all_ascii(latin1, n)) {
            std::memcpy(out.extend(n), latin1, n);
            return true;
        }
    }
    const size_t at = out.size();
    uint8_t* const start = out.extend(n * (kind == 1 ? 2 : kind == 2 ? 3 : 4));
    uint8_t* end;
    if (kind == 1)
        end = encode_units(static_cast<const uint8_t*>(units), n, start, surrogate);
    else if (kind == 2)
        end = encode_units(static_cast<const uint16_t*>(units), n, start, surrogate);
    else
        end = encode_units(static_cast<const uint32_t*>(units), n, start, surrogate);
    out.shrink_to(at + static_cast<size_t>(end - start));
    if (surrogates != nullptr) *surrogates = surrogate;
    return false;
}

void encode_record(TextRecord& r, GroupBytes& bytes) {
    if (r.units == nullptr) return;
    r.at = bytes.size();
    r.ascii = append_utf8(r.units, r.kind, r.size, bytes, &r.surrogates);
    r.size = bytes.size() - r.at;
    r.in_group = true;
    r.units = nullptr;
}

void point_record(TextRecord& r, GroupBytes& bytes) {
    if (r.in_group) r.data = bytes.data() + r.at;
}

void encode_group(Group& g) {
    for (TextRecord& r : g.texts) encode_record(r, g.bytes);
    // The bytes have stopped moving: the texts can point into them.
    for (TextRecord& r : g.texts) point_record(r, g.bytes);
}

void apply_settings(SpanTokenizer& t, const TextSettings& s) {
    t.set_split_hyphens(s.split_hyphens);  // between texts: nothing of one is pending
    t.batch.filter = s.filter;
    t.batch.token_min_len = s.min_len;
    t.batch.token_max_len = s.max_len;
}

void collect_tokens(SpanTokenizer& t, Group& g, bool lower) {
    uint8_t lowered[TEXT_BYTES_PER_TOKEN + 16];
    GroupTokens& out = g.tokens;
    for (const TextRecord& r : g.texts) {
        const size_t before = out.ends.size();
        tokenize_text(t, r, false, [&](const Batch& b) {
            each_token(b, lower, lowered, [&](const uint8_t* text, uint32_t n, uint32_t) {
                out.data.append(reinterpret_cast<const char*>(text), n);
                out.ends.push_back(out.data.size());
            });
        });
        out.per_text.push_back(static_cast<uint32_t>(out.ends.size() - before));
    }
}

void collect_spans(SpanTokenizer& t, Group& g) {
    GroupSpans& out = g.spans;
    for (const TextRecord& r : g.texts) {
        // Byte offsets are the places of bytes, and of a text known to be ASCII; only an
        // Arrow string's are not known.
        const bool bytes_are_places =
            !r.str_places || r.ascii || (!r.from_str && all_ascii(r.data, r.size));
        CharIndex index{r.data, 0, 0, bytes_are_places};
        tokenize_text(t, r, true, [&](const Batch& b) {
            for (uint32_t i = 0; i < b.token_count; ++i) {
                out.starts.push_back(static_cast<int64_t>(index(t.offsets.starts[i])));
                out.stops.push_back(static_cast<int64_t>(index(t.offsets.stops[i])));
                out.types.push_back(b.types_buffer[i]);
                out.texts.push_back(r.index);
            }
        });
    }
}

ThreadTokenizer::ThreadTokenizer(const TextSettings& settings) {
    ThreadSlot& slot = thread_slot;
    if (slot.busy) {
        own_ = std::make_unique<SpanTokenizer>(nullptr, 0, TEXT_BATCH_SIZE);
        own_bytes_ = std::make_unique<GroupBytes>();
        tokenizer_ = own_.get();
        bytes_ = own_bytes_.get();
    } else {
        if (!slot.tokenizer)
            slot.tokenizer = std::make_unique<SpanTokenizer>(nullptr, 0, TEXT_BATCH_SIZE);
        slot.busy = leased_ = true;
        tokenizer_ = slot.tokenizer.get();
        bytes_ = &slot.bytes;
    }
    // Whatever a call before left (a text cut short by an error): this call starts clean.
    tokenizer_->restart(nullptr, 0);
    tokenizer_->utf8 = Utf8Tally{};
    apply_settings(*tokenizer_, settings);
}

ThreadTokenizer::~ThreadTokenizer() {
    if (leased_) thread_slot.busy = false;
}

GroupPipeline::GroupPipeline(unsigned workers, Work work) : work_(std::move(work)), limit_(1) {
    start(workers);
}

GroupPipeline::~GroupPipeline() { stop(); }

void GroupPipeline::start(unsigned workers) {
    if (workers == 0 || !threads_.empty()) return;
    stopping_ = false;
    limit_ = 2 * size_t{workers};  // each worker busy, and one more group each ready
    threads_.reserve(workers);
    try {
        for (unsigned w = 0; w < workers; ++w) threads_.emplace_back([this, w] { run(w); });
    } catch (...) {
        stop();
        throw;
    }
}

void GroupPipeline::stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    work_ready_.notify_all();
    for (std::thread& t : threads_)
        if (t.joinable()) t.join();
    threads_.clear();
    limit_ = 1;
    // Groups submitted and never taken by a worker stay out: the caller ends the run anyway.
}

Group& GroupPipeline::free_group() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (free_.empty()) {
        all_.push_back(std::make_unique<Group>());
        free_.push_back(all_.back().get());
    }
    Group& g = *free_.back();
    free_.pop_back();
    ++out_;
    g.clear();
    return g;
}

void GroupPipeline::submit(Group& g) {
    g.sequence = submitted_++;
    if (threads_.empty()) {
        try {
            work_(g, 0);
        } catch (...) {
            failed_ = std::current_exception();
        }
        finished_.push_back(&g);
        return;
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        queue_.push_back(&g);
    }
    work_ready_.notify_one();
}

Group& GroupPipeline::next_done() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        if (failed_) std::rethrow_exception(failed_);
        for (size_t i = 0; i < finished_.size(); ++i) {
            if (finished_[i]->sequence != handed_) continue;
            Group& g = *finished_[i];
            finished_.erase(finished_.begin() + static_cast<ptrdiff_t>(i));
            ++handed_;
            return g;
        }
        done_ready_.wait(lock);
    }
}

void GroupPipeline::recycle(Group& g) {
    std::lock_guard<std::mutex> lock(mutex_);
    --out_;
    free_.push_back(&g);
}

void GroupPipeline::run(unsigned worker) {
    for (;;) {
        Group* g;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            work_ready_.wait(lock, [&] { return stopping_ || !queue_.empty(); });
            if (stopping_) return;
            g = queue_.front();
            queue_.erase(queue_.begin());
        }
        std::exception_ptr failed;
        try {
            work_(*g, worker);
        } catch (...) {
            failed = std::current_exception();
        }
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (failed && !failed_) failed_ = failed;
            finished_.push_back(g);
        }
        done_ready_.notify_all();
    }
}

}  // namespace vorlenta
