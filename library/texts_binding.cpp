// Many texts as one source, for vorlenta._native: a list, a generator, a NumPy or pandas column
// of strs or bytes, or an Arrow string column. Each text is tokenized on its own by one
// tokenizer restarted between texts, so that no token joins two texts and the cost of a text
// is its bytes, not a tokenizer's set-up.
//
// Texts are taken a group at a time with the interpreter held (a Python iterator's strs are
// encoded into one buffer; an Arrow column is read where it lies), then counted with the
// interpreter released. Token lists make Python objects, so they hold it throughout.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "bindings/numpy_setup.hpp"
#include "bindings/read_errors.hpp"
#include "library/binding.hpp"
#include "library/char_index.hpp"
#include "library/span_tokenizer.hpp"
#include "library/texts_binding.hpp"

namespace vorlenta {

namespace {

// A group ends at whichever comes first: enough bytes that the interpreter is released for a
// while, or enough texts that the records stay in the caches.
constexpr size_t GROUP_BYTES = 1 << 20;
constexpr size_t GROUP_TEXTS = 4096;
// The batch size inside: a short text's tokens in one batch, and the buffers in the caches.
constexpr uint32_t TEXT_BATCH_SIZE = 8192;

struct TextRecord {
    const uint8_t* data;
    uint64_t size;
    int64_t index;   // the text's place in the source
    bool null;       // None, NaN or an Arrow null: no text
    bool from_str;   // encoded from a str: lone surrogates are their three-byte forms
    bool ascii;      // byte offsets are str indexes already
    bool surrogates; // from a str that holds lone surrogates
    bool tally;      // bytes from Python: what of them is not UTF-8 is tallied
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
    static constexpr size_t GROUP_ROOM = 2 << 20;
    std::unique_ptr<uint8_t[]> data_;
    size_t size_ = 0, capacity_ = 0;
};

// UTF-8 of a str's code points; a lone surrogate takes the three-byte form that
// errors="surrogatepass" gives it, so every character has a place.
template <class Unit>
uint8_t* encode_units(const Unit* in, size_t n, uint8_t* out) {
    for (size_t i = 0; i < n; ++i) {
        const uint32_t c = in[i];
        if (c < 0x80) {
            *out++ = static_cast<uint8_t>(c);
        } else if (c < 0x800) {
            *out++ = static_cast<uint8_t>(0xC0 | c >> 6);
            *out++ = static_cast<uint8_t>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
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

// Appends the UTF-8 of a str to `out`; whether it is ASCII.
bool append_str(PyObject* s, GroupBytes& out) {
    const auto n = static_cast<size_t>(PyUnicode_GET_LENGTH(s));
    const void* data = PyUnicode_DATA(s);
    if (PyUnicode_IS_ASCII(s)) {
        if (n != 0) std::memcpy(out.extend(n), data, n);
        return true;
    }
    const int kind = PyUnicode_KIND(s);
    const size_t at = out.size();
    uint8_t* const start =
        out.extend(n * (kind == PyUnicode_1BYTE_KIND ? 2 : kind == PyUnicode_2BYTE_KIND ? 3 : 4));
    uint8_t* end;
    if (kind == PyUnicode_1BYTE_KIND)
        end = encode_units(static_cast<const Py_UCS1*>(data), n, start);
    else if (kind == PyUnicode_2BYTE_KIND)
        end = encode_units(static_cast<const Py_UCS2*>(data), n, start);
    else
        end = encode_units(static_cast<const Py_UCS4*>(data), n, start);
    out.shrink_to(at + static_cast<size_t>(end - start));
    return false;
}

// An Arrow string or large_string array as its buffers: offsets, data and validity (None when
// nothing is null), and the slice of it that the array is.
struct ArrowStrings {
    py::buffer offsets, data;
    py::object validity;
    int64_t offset, length;
    bool large;

    ArrowStrings(py::buffer offsets_, py::buffer data_, py::object validity_, int64_t offset_,
                 int64_t length_, bool large_)
        : offsets(std::move(offsets_)), data(std::move(data_)), validity(std::move(validity_)),
          offset(offset_), length(length_), large(large_) {
        if (offset < 0 || length < 0) throw py::value_error("offset and length must be >= 0");
        const py::buffer_info o = offsets.request(), d = data.request();
        const auto width = static_cast<py::ssize_t>(large ? 8 : 4);
        if (o.size * o.itemsize < (offset + length + 1) * width)
            throw py::value_error("the offsets buffer is shorter than the array");
        if (!validity.is_none()) {
            const py::buffer_info v = py::reinterpret_borrow<py::buffer>(validity).request();
            if (v.size * v.itemsize * 8 < offset + length)
                throw py::value_error("the validity buffer is shorter than the array");
        }
        // Every text must lie inside the data buffer.
        const auto* base = static_cast<const uint8_t*>(o.ptr);
        const auto bytes = static_cast<uint64_t>(d.size * d.itemsize);
        int64_t last = -1;
        for (int64_t i = offset; i <= offset + length; ++i) {
            const int64_t at = value_offset(base, i);
            if (at < last || at < 0 || static_cast<uint64_t>(at) > bytes)
                throw py::value_error("the offsets do not lie in order inside the data buffer");
            last = at;
        }
    }

    int64_t value_offset(const uint8_t* base, int64_t i) const {
        if (large) {
            int64_t v;
            std::memcpy(&v, base + 8 * i, 8);
            return v;
        }
        int32_t v;
        std::memcpy(&v, base + 4 * i, 4);
        return v;
    }
};

// Where texts come from, a group at a time.
struct TextFeed {
    py::object iterator;       // a Python iterator, or None for an Arrow column
    ArrowStrings* arrow = nullptr;  // the chunk being read
    py::buffer_info offsets, data, validity;  // its buffers, while it is read
    int64_t taken = 0;         // texts taken so far, of all chunks
    bool ended = false;

    // Over a Python iterable of texts, or an Arrow column: one ArrowStrings, or with `chunked`
    // a list of them, the chunks of one column read in turn (a text's place counts on across
    // them).
    explicit TextFeed(py::object source, bool chunked = false) {
        if (py::isinstance<ArrowStrings>(source)) {
            chunks_.push_back(std::move(source));
        } else if (chunked) {
            for (py::handle chunk : py::list(source)) {
                if (!py::isinstance<ArrowStrings>(chunk))
                    throw py::type_error("chunks must be ArrowStrings");
                chunks_.push_back(py::reinterpret_borrow<py::object>(chunk));
            }
        } else {
            iterator = py::reinterpret_steal<py::object>(PyObject_GetIter(source.ptr()));
            if (!iterator) throw py::error_already_set();
            return;
        }
        if (chunks_.empty())
            ended = true;
        else
            open_chunk(0);
    }

    // The next group of texts, with the interpreter held; false once the source is used up.
    // A Python text is copied into `bytes`, an Arrow text is read where it lies. An error of
    // the iterator, or a text of the wrong type, ends the source: the texts before it are
    // this group, and raise_if_held() raises the error once they have been used.
    bool fill(std::vector<TextRecord>& texts, GroupBytes& bytes) {
        texts.clear();
        bytes.clear();
        if (ended) return false;
        if (arrow != nullptr) return fill_arrow(texts);
        starts_.clear();
        while (texts.size() < GROUP_TEXTS && bytes.size() < GROUP_BYTES) {
            py::object item = py::reinterpret_steal<py::object>(PyIter_Next(iterator.ptr()));
            TextRecord r{nullptr, 0, taken, false, false, false, false, false};
            const size_t start = bytes.size();
            if (!item || !append_text(item.ptr(), r, bytes)) {
                ended = true;
                if (PyErr_Occurred())
                    held_.error = py::reinterpret_steal<py::object>(PyErr_GetRaisedException());
                break;
            }
            ++taken;
            r.size = bytes.size() - start;
            starts_.push_back(start);
            texts.push_back(r);
        }
        // The buffer has stopped moving: the texts can point into it.
        for (size_t i = 0; i < texts.size(); ++i) texts[i].data = bytes.data() + starts_[i];
        return !texts.empty();
    }

    // The error that ended the source, once the texts before it have been used; later calls
    // find the source ended.
    void raise_if_held() { held_.raise_if_held(); }

private:
    void open_chunk(size_t k) {
        chunk_ = k;
        in_chunk_ = 0;
        arrow = &chunks_[k].cast<ArrowStrings&>();
        offsets = arrow->offsets.request();
        data = arrow->data.request();
        validity = arrow->validity.is_none()
                       ? py::buffer_info()
                       : py::reinterpret_borrow<py::buffer>(arrow->validity).request();
    }

    // Texts of one chunk: the group ends with it, and the next group starts the next chunk.
    bool fill_arrow(std::vector<TextRecord>& texts) {
        while (in_chunk_ == arrow->length) {
            if (chunk_ + 1 == chunks_.size()) {
                ended = true;
                return false;
            }
            open_chunk(chunk_ + 1);
        }
        const auto* base = static_cast<const uint8_t*>(offsets.ptr);
        const auto* chars = static_cast<const uint8_t*>(data.ptr);
        const auto* valid = static_cast<const uint8_t*>(validity.ptr);
        uint64_t group_bytes = 0;
        while (in_chunk_ < arrow->length && texts.size() < GROUP_TEXTS &&
               group_bytes < GROUP_BYTES) {
            const int64_t i = arrow->offset + in_chunk_++;
            const int64_t start = arrow->value_offset(base, i);
            const auto size = static_cast<uint64_t>(arrow->value_offset(base, i + 1) - start);
            const bool null = valid != nullptr && (valid[i >> 3] >> (i & 7) & 1) == 0;
            // Arrow strings are UTF-8 that Python would give as strs: places are str indexes,
            // which only spans reads (and so only it finds out whether a text is ASCII).
            texts.push_back(
                {chars + start, null ? 0 : size, taken++, null, false, false, false, false});
            group_bytes += size;
        }
        return true;
    }

    // Appends a text's bytes, or marks a null; false, with a TypeError set, for anything
    // else. Only what is a text by its type is taken: a NumPy number or a row of a 2-D array
    // has a buffer too, and read as bytes it would be a text nobody wrote.
    static bool append_text(PyObject* o, TextRecord& r, GroupBytes& bytes) {
        if (PyUnicode_Check(o)) {
            r.from_str = true;
            const size_t at = bytes.size();
            r.ascii = append_str(o, bytes);
            r.surrogates = !r.ascii && has_encoded_surrogate(bytes.data() + at, bytes.size() - at);
            return true;
        }
        if (o == Py_None || (PyFloat_Check(o) && std::isnan(PyFloat_AS_DOUBLE(o)))) {
            r.null = true;
            return true;
        }
        const bool bytes_like =
            PyBytes_Check(o) || PyByteArray_Check(o) ||
            (PyMemoryView_Check(o) && PyMemoryView_GET_BUFFER(o)->ndim <= 1 &&
             PyMemoryView_GET_BUFFER(o)->itemsize == 1);
        if (!bytes_like) {
            PyErr_Format(PyExc_TypeError,
                         "a text must be a str, bytes, bytearray, a memoryview of bytes or None, "
                         "not %s (text %lld)",
                         Py_TYPE(o)->tp_name, static_cast<long long>(r.index));
            return false;
        }
        r.tally = true;
        Py_buffer view;
        if (PyObject_GetBuffer(o, &view, PyBUF_SIMPLE) != 0) return false;
        if (view.len != 0)
            std::memcpy(bytes.extend(static_cast<size_t>(view.len)), view.buf,
                        static_cast<size_t>(view.len));
        PyBuffer_Release(&view);
        return true;
    }

    std::vector<py::object> chunks_;  // ArrowStrings, kept alive while their buffers are read
    size_t chunk_ = 0;
    int64_t in_chunk_ = 0;  // texts taken of the chunk being read
    std::vector<uint64_t> starts_;  // where each text of the group starts in its bytes
    HeldError held_;
};

bool is_ascii(const uint8_t* p, uint64_t n) {
    uint8_t high = 0;
    for (uint64_t i = 0; i < n; ++i) high |= p[i];
    return high < 0x80;
}

// Runs the tokenizer over one text, handing each non-empty batch to use(batch).
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
// (room for a token and 16 bytes) if asked.
template <class Use>
void each_token(const Batch& b, bool lower, uint8_t* lowered, Use&& use) {
    const uint8_t* p = b.text_buffer;
    for (uint32_t i = 0; i < b.token_count; ++i) {
        const uint8_t* const end = token_end(p);
        const auto n = static_cast<uint32_t>(end - p);
        if (lower) lower_word(p, n, lowered);
        use(lower ? lowered : p, n, i);
        p = end + 1;
    }
}

// A token's text as a str: from a str's bytes, lone surrogates come back as themselves;
// other bytes that are not UTF-8 as errors="surrogateescape" gives them.
PyObject* text_of(const uint8_t* p, size_t n, bool from_str) {
    if (from_str)
        for (size_t i = 0; i < n; ++i)
            if (p[i] == 0xED)  // the lead byte of an encoded surrogate
                return PyUnicode_DecodeUTF8(reinterpret_cast<const char*>(p),
                                            static_cast<Py_ssize_t>(n), "surrogatepass");
    return token_text(p, n);
}

// The strs of short tokens made so far in a call, so that a token met again (most are: the
// common words, spaces and marks) costs a look-up and a reference instead of a new object.
// Direct-mapped: a token whose slot is taken replaces what is there. Made and dropped with the
// interpreter held.
class StrCache {
public:
    StrCache() : slots_(SLOTS) {}
    ~StrCache() {
        for (Slot& s : slots_) Py_XDECREF(s.str);
    }
    StrCache(const StrCache&) = delete;
    StrCache& operator=(const StrCache&) = delete;

    // A new reference to the str of the token p[0, n), or nullptr with a Python error set.
    PyObject* get(const uint8_t* p, size_t n, bool from_str) {
        if (n > MAX_BYTES) return text_of(p, n, from_str);
        uint64_t h = 0xcbf29ce484222325ULL ^ n;  // FNV-1a: short keys, one multiply a byte
        for (size_t i = 0; i < n; ++i) h = (h ^ p[i]) * 0x100000001b3ULL;
        Slot& s = slots_[(h ^ h >> 29) & (SLOTS - 1)];
        if (s.str != nullptr && s.length == n && s.from_str == from_str &&
            std::memcmp(s.bytes, p, n) == 0) {
            Py_INCREF(s.str);
            return s.str;
        }
        PyObject* str = text_of(p, n, from_str);
        if (str == nullptr) return nullptr;
        Py_XDECREF(s.str);
        Py_INCREF(str);
        s.str = str;
        s.length = static_cast<uint8_t>(n);
        s.from_str = from_str;
        std::memcpy(s.bytes, p, n);
        return str;
    }

private:
    static constexpr size_t SLOTS = 4096;
    static constexpr size_t MAX_BYTES = 30;
    struct Slot {
        PyObject* str = nullptr;
        uint8_t length = 0;
        bool from_str = false;
        uint8_t bytes[MAX_BYTES];
    };
    std::vector<Slot> slots_;
};

// The cyclic collector waits while a call makes lists of strs, which can hold no cycle: run
// every few thousand new lists, it would go over all the lists made so far again and again.
// It runs again, if it was on, when the call ends.
struct CollectorPaused {
    const int was_on = PyGC_Disable();
    CollectorPaused() = default;
    ~CollectorPaused() {
        if (was_on) PyGC_Enable();
    }
    CollectorPaused(const CollectorPaused&) = delete;
    CollectorPaused& operator=(const CollectorPaused&) = delete;
};

class Texts {
public:
    Texts() : t_(nullptr, 0, TEXT_BATCH_SIZE) {}

    void configure(uint64_t filter, uint32_t min_len, uint32_t max_len, bool split_hyphens) {
        std::unique_lock<ObjectLock> lock = lock_released(lock_, "Texts");
        t_.set_split_hyphens(split_hyphens);  // between texts: nothing of one is pending
        t_.batch.filter = filter;
        t_.batch.token_min_len = min_len;
        t_.batch.token_max_len = max_len;
    }

    // Counts the types of every kept token of every text, and the words among them (tokens
    // whose type is in `word_mask`), lower-cased if asked. Returns the number of texts.
    int64_t count(py::object source, Counts& counts, bool lower, uint64_t word_mask) {
        std::unique_lock<ObjectLock> lock = lock_released(lock_, "Texts");
        std::unique_lock<ObjectLock> counts_lock = lock_released(counts.lock, "Counts");
        TextFeed feed(std::move(source));
        uint8_t lowered[TEXT_BYTES_PER_TOKEN + WordCounts::READ_PAST];
        while (feed.fill(texts_, bytes_)) {
            {
                py::gil_scoped_release nogil;
                for (const TextRecord& r : texts_)
                    tokenize_text(t_, r, false, [&](const Batch& b) {
                        count_batch(counts, b, lower, word_mask, lowered, r.surrogates);
                    });
            }
            if (PyErr_CheckSignals() != 0) throw py::error_already_set();
        }
        feed.raise_if_held();
        return feed.taken;
    }

    // For each text, the list of its kept tokens' texts (lower-cased if asked); an empty list
    // for a null, so that the lists stay in step with the texts.
    py::list lists(py::object source, bool lower) {
        std::unique_lock<ObjectLock> lock = lock_released(lock_, "Texts");
        TextFeed feed(std::move(source));
        py::list out;
        StrCache strs;
        CollectorPaused paused;
        uint8_t lowered[TEXT_BYTES_PER_TOKEN + 16];
        while (feed.fill(texts_, bytes_)) {
            for (const TextRecord& r : texts_) {
                py::object tokens;  // made with the first batch, at its size when it is all
                bool first = true;
                tokenize_text(t_, r, false, [&](const Batch& b) {
                    // A short text's tokens are one batch: a list of their number, filled in
                    // place, rather than one grown token by token.
                    const bool whole = first && t_.input_done();
                    first = false;
                    if (!tokens) tokens = py::list(whole ? b.token_count : 0);
                    each_token(b, lower, lowered, [&](const uint8_t* text, uint32_t n, uint32_t i) {
                        PyObject* s = strs.get(text, n, r.from_str);
                        if (s == nullptr) throw py::error_already_set();
                        if (whole) {
                            PyList_SET_ITEM(tokens.ptr(), i, s);
                        } else {
                            const int appended = PyList_Append(tokens.ptr(), s);
                            Py_DECREF(s);
                            if (appended != 0) throw py::error_already_set();
                        }
                    });
                });
                if (PyList_Append(out.ptr(), tokens ? tokens.ptr() : py::list().ptr()) != 0)
                    throw py::error_already_set();
            }
            if (PyErr_CheckSignals() != 0) throw py::error_already_set();
        }
        feed.raise_if_held();
        return out;
    }

    // The token lists as the buffers of an Arrow large_list of large_string: where each
    // text's tokens start among all tokens (one more than there are texts), where each token
    // starts in the data (one more than there are tokens), the tokens' bytes one after
    // another, and the texts that are null (a byte each, 1 for a null).
    py::tuple arrow_lists(py::object source, bool lower) {
        std::unique_lock<ObjectLock> lock = lock_released(lock_, "Texts");
        TextFeed feed(std::move(source));
        std::vector<int64_t> list_offsets{0}, value_offsets{0};
        std::vector<uint8_t> nulls;
        std::string data;
        uint8_t lowered[TEXT_BYTES_PER_TOKEN + 16];
        while (feed.fill(texts_, bytes_)) {
            {
                py::gil_scoped_release nogil;
                for (const TextRecord& r : texts_) {
                    tokenize_text(t_, r, false, [&](const Batch& b) {
                        each_token(b, lower, lowered, [&](const uint8_t* text, uint32_t n, uint32_t) {
                            data.append(reinterpret_cast<const char*>(text), n);
                            value_offsets.push_back(static_cast<int64_t>(data.size()));
                        });
                    });
                    list_offsets.push_back(static_cast<int64_t>(value_offsets.size() - 1));
                    nulls.push_back(r.null);
                }
            }
            if (PyErr_CheckSignals() != 0) throw py::error_already_set();
        }
        feed.raise_if_held();
        set_up_numpy("arrow_lists");
        return py::make_tuple(as_array(list_offsets), as_array(value_offsets),
                              py::bytes(data), as_array(nulls));
    }

    // Writes the lines of every text's tokens to `output`, as Tokenizer.write_lines writes a
    // file's, offsets being those in the text. In words, each text is one line, also an
    // empty or null text (an empty line, so that line i is text i): a text's line feeds are
    // not line ends, and never words. With `first_record`, the lines of text i carry the
    // record number first_record + i after the file column (not in words). Returns the
    // number of texts; OSError when a write fails.
    int64_t write_lines(py::object source, Output& output, const LineOptions& options,
                        py::object first_record) {
        std::unique_lock<ObjectLock> lock = lock_released(lock_, "Texts");
        std::unique_lock<ObjectLock> output_lock = lock_released(output.lock, "Output");
        const bool words = options.format == LineFormat::words;
        const bool numbered = !first_record.is_none() && !words;
        const int64_t first = numbered ? first_record.cast<int64_t>() : 0;
        TextFeed feed(std::move(source));
        // The configured filter comes back however the call ends.
        struct FilterKept {
            Batch& batch;
            uint64_t filter;
            ~FilterKept() { batch.filter = filter; }
        } kept{t_.batch, t_.batch.filter};
        if (words) t_.batch.filter &= ~type_bits(TokenType::NWLINE);
        // The file column and a record number: room enough that no text reallocates it.
        std::string prefix(reinterpret_cast<const char*>(options.prefix), options.prefix_length);
        const size_t file_part = prefix.size();
        prefix.reserve(file_part + 40);
        LineOptions text_options = options;
        LineOutput& out = output.lines;
        bool written = out.error == 0;
        while (written && feed.fill(texts_, bytes_)) {
            {
                py::gil_scoped_release nogil;
                for (const TextRecord& r : texts_) {
                    if (numbered) {
                        prefix.resize(file_part);
                        const std::string number = std::to_string(first + r.index);
                        if (options.format == LineFormat::jsonl) prefix += "\"record\": ";
                        prefix += number;
                        prefix += options.format == LineFormat::jsonl ? ", " : "\t";
                        text_options.prefix = reinterpret_cast<const uint8_t*>(prefix.data());
                        text_options.prefix_length = static_cast<uint32_t>(prefix.size());
                    }
                    tokenize_text(t_, r, options.offsets, [&](const Batch& b) {
                        if (written) write_token_lines(b, &t_.offsets, text_options, out);
                        written = out.error == 0;
                    });
                    if (words && written) written = end_words_line(out, true);
                    if (!written) break;
                }
            }
            if (PyErr_CheckSignals() != 0) throw py::error_already_set();
        }
        if (!written) {
            errno = out.error;
            PyErr_SetFromErrno(PyExc_OSError);
            throw py::error_already_set();
        }
        feed.raise_if_held();  // after the lines of the texts before it
        return feed.taken;
    }

    // (ill-formed sequences, their bytes, non-ASCII bytes) of the bytes texts so far: a str
    // or an Arrow string is text already.
    py::tuple utf8_tally() {
        std::unique_lock<ObjectLock> lock = lock_released(lock_, "Texts");
        return tally_tuple(t_.utf8);
    }

private:
    template <class T>
    static py::array_t<T> as_array(const std::vector<T>& v) {
        py::array_t<T> a(static_cast<py::ssize_t>(v.size()));
        if (!v.empty()) std::memcpy(a.mutable_data(), v.data(), v.size() * sizeof(T));
        return a;
    }

    SpanTokenizer t_;
    std::vector<TextRecord> texts_;
    GroupBytes bytes_;
    ObjectLock lock_;
};

// The places of many texts' tokens, batch_size at a time: (starts, stops, types, texts), where
// texts[i] is the place of token i's text in the source and its offsets are in that text (str
// indexes for a str and an Arrow string, byte offsets for bytes).
class TextSpans {
public:
    TextSpans(py::object source, uint64_t filter, uint32_t min_len, uint32_t max_len,
              uint32_t batch_size, bool split_hyphens, bool chunked)
        : t_(nullptr, 0, batch_size < TEXT_BATCH_SIZE ? batch_size : TEXT_BATCH_SIZE),
          feed_(std::move(source), chunked), batch_size_(batch_size > 0 ? batch_size : 1) {
        t_.set_split_hyphens(split_hyphens);
        t_.batch.filter = filter;
        t_.batch.token_min_len = min_len;
        t_.batch.token_max_len = max_len;
    }

    py::object next() {
        refuse_numpy_reentry("spans");
        std::unique_lock<ObjectLock> lock = lock_released(lock_, "spans");
        while (starts_.size() < batch_size_) {
            if (in_text_) {
                t_.next_batch(true);
                take(t_.batch);
                in_text_ = !t_.input_done();
                continue;
            }
            if (at_ == texts_.size()) {
                at_ = 0;  // a fill that finds nothing leaves no texts either
                if (!feed_.fill(texts_, bytes_)) break;
            }
            const TextRecord& r = texts_[at_++];
            if (r.null) continue;
            t_.tally_utf8 = r.tally;
            t_.restart(r.data, r.size);
            text_ = r;
            // Offsets are str indexes for a str and an Arrow string, bytes for bytes.
            const bool indexes_are_bytes =
                r.from_str ? r.ascii : feed_.arrow == nullptr || is_ascii(r.data, r.size);
            index_ = CharIndex{r.data, 0, 0, indexes_are_bytes};
            in_text_ = !t_.input_done();
        }
        if (starts_.empty()) {
            // The tokens of the texts read before an error of the source have all been
            // delivered: now the error.
            feed_.raise_if_held();
            return py::none();
        }
        set_up_numpy("spans");
        const size_t n = starts_.size() < batch_size_ ? starts_.size() : batch_size_;
        py::tuple out = py::make_tuple(cut(starts_, n), cut(stops_, n), cut(types_, n),
                                       cut(text_of_token_, n));
        return out;
    }

    py::tuple utf8_tally() {
        std::unique_lock<ObjectLock> lock = lock_released(lock_, "spans");
        return tally_tuple(t_.utf8);
    }

private:
    void take(const Batch& b) {
        for (uint32_t i = 0; i < b.token_count; ++i) {
            starts_.push_back(static_cast<int64_t>(index_(t_.offsets.starts[i])));
            stops_.push_back(static_cast<int64_t>(index_(t_.offsets.stops[i])));
            types_.push_back(b.types_buffer[i]);
            text_of_token_.push_back(text_.index);
        }
    }

    // The first n values as an array of their own; the rest stay for the next batch.
    template <class T>
    static py::array_t<T> cut(std::vector<T>& v, size_t n) {
        py::array_t<T> a(static_cast<py::ssize_t>(n));
        if (n != 0) std::memcpy(a.mutable_data(), v.data(), n * sizeof(T));
        v.erase(v.begin(), v.begin() + static_cast<ptrdiff_t>(n));
        return a;
    }

    SpanTokenizer t_;
    TextFeed feed_;
    size_t batch_size_;
    std::vector<TextRecord> texts_;
    GroupBytes bytes_;
    size_t at_ = 0;
    bool in_text_ = false;
    TextRecord text_{};
    CharIndex index_;
    std::vector<int64_t> starts_, stops_, text_of_token_;
    std::vector<uint64_t> types_;
    ObjectLock lock_;
};

}  // namespace

void bind_texts(py::module_& m) {
    py::class_<ArrowStrings>(m, "ArrowStrings")
        .def(py::init<py::buffer, py::buffer, py::object, int64_t, int64_t, bool>(),
             py::arg("offsets"), py::arg("data"), py::arg("validity"), py::arg("offset"),
             py::arg("length"), py::arg("large"));

    py::class_<Texts>(m, "Texts")
        .def(py::init<>())
        .def("configure",
             [](Texts& t, uint64_t filter, uint32_t min_len, uint32_t max_len,
                bool split_hyphens) {
                 constructed(t).configure(filter, min_len, max_len, split_hyphens);
             },
             py::arg("filter"), py::arg("min_len"), py::arg("max_len"),
             py::arg("split_hyphens") = false)
        .def("count",
             [](Texts& t, py::object source, Counts& counts, bool lower, uint64_t word_mask) {
                 return constructed(t).count(std::move(source), constructed(counts), lower,
                                             word_mask);
             },
             py::arg("source"), py::arg("counts"), py::arg("lower"), py::arg("word_mask"))
        .def("lists",
             [](Texts& t, py::object source, bool lower) {
                 return constructed(t).lists(std::move(source), lower);
             },
             py::arg("source"), py::arg("lower"))
        .def("utf8_tally", [](Texts& t) { return constructed(t).utf8_tally(); })
        .def("arrow_lists",
             [](Texts& t, py::object source, bool lower) {
                 return constructed(t).arrow_lists(std::move(source), lower);
             },
             py::arg("source"), py::arg("lower"))
        .def("write_lines",
             [](Texts& t, py::object source, Output& output, const std::string& format,
                bool offsets, bool lower, py::bytes prefix, py::object first_record) {
                 const LineOptions options =
                     line_options(format, offsets, lower, prefix, UINT64_MAX, 0, UINT32_MAX);
                 return constructed(t).write_lines(std::move(source), constructed(output),
                                                   options, std::move(first_record));
             },
             py::arg("source"), py::arg("output"), py::arg("format"), py::arg("offsets"),
             py::arg("lower"), py::arg("prefix"), py::arg("first_record") = py::none());

    py::class_<TextSpans>(m, "TextSpans")
        .def(py::init<py::object, uint64_t, uint32_t, uint32_t, uint32_t, bool, bool>(),
             py::arg("source"), py::arg("filter"), py::arg("min_len"), py::arg("max_len"),
             py::arg("batch_size"), py::arg("split_hyphens") = false,
             py::arg("chunked") = false)
        .def("next", [](TextSpans& s) { return constructed(s).next(); })
        .def("utf8_tally", [](TextSpans& s) { return constructed(s).utf8_tally(); });
}

}  // namespace vorlenta
