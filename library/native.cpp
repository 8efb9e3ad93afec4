// The Python module vorlenta._native: the library's tokenizer and word counts. Adapters only;
// the tokenizing lives in span_tokenizer and word_counts, which know nothing of Python.
//
// Every method releases the interpreter while it tokenizes, counts or reads, and holds the
// object's own lock meanwhile, so that threads sharing an object take turns. The lock is only
// ever waited for with the interpreter released: a thread holding the interpreter never blocks
// on it, so the one holding it can always get the interpreter back.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <functional>
#include <memory>
#include <cerrno>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>

#include "bindings/numpy_setup.hpp"
#include "library/binding.hpp"
#include "library/span_tokenizer.hpp"
#include "library/texts_binding.hpp"

namespace py = pybind11;
using namespace vorlenta;

namespace {

class Tokenizer {
public:
    // Batches counted between two looks at pending signals: a few milliseconds of work.
    static constexpr uint32_t BATCHES_PER_RELEASE = 16;
    static constexpr uint64_t SHORT_TEXT_BYTES = 4096;

    // Over the bytes of `source`, which it keeps; `text`, when given, is the str they were
    // encoded from, and offsets and token texts are then those of the str.
    Tokenizer(py::bytes source, py::object text)
        : source_(std::move(source)), text_(std::move(text)) {
        if (!text_.is_none() && !PyUnicode_Check(text_.ptr()))
            throw py::type_error("text must be the str the source was encoded from, or None");
        char* data;
        Py_ssize_t size;
        PyBytes_AsStringAndSize(source_.ptr(), &data, &size);
        // A text of n bytes has at most n tokens: buffers for more would cost a short text
        // more to set up than to tokenize.
        tokenizer_ = std::make_unique<SpanTokenizer>(reinterpret_cast<const uint8_t*>(data),
                                                     static_cast<uint64_t>(size),
                                                     most_tokens(DEFAULT_BATCH_SIZE));
        if (!text_.is_none()) {
            index_.data = reinterpret_cast<const uint8_t*>(data);
            index_.ascii = PyUnicode_IS_ASCII(text_.ptr());
        }
    }

    // Over what an open descriptor gives from where it stands (standard input, say), through a
    // copy of it; `name` is the name its errors carry.
    static std::unique_ptr<Tokenizer> from_fd(int fd, py::object name) {
        const int copy = fcntl(fd, F_DUPFD_CLOEXEC, 0);
        if (copy < 0) raise_os_error(errno, name);
        auto t = std::unique_ptr<Tokenizer>(new Tokenizer());
        t->tokenizer_ = std::make_unique<SpanTokenizer>(copy);
        t->path_ = std::move(name);
        return t;
    }

    // Over the file at `path`, read in chunks: the whole file, or the bytes [start, stop).
    // `name` is the name its errors carry, as the caller was given the path (Python's own open
    // names a file so); None for the path's bytes.
    static std::unique_ptr<Tokenizer> open(py::bytes path, uint64_t start, py::object stop,
                                           py::object name) {
        const uint64_t end = stop.is_none() ? UINT64_MAX : stop.cast<uint64_t>();
        if (end < start) throw py::value_error("stop is before start");
        if (name.is_none()) name = path;
        const std::string file = path;
        int fd, error;
        for (;;) {
            {
                // Opening a FIFO waits for its writer.
                py::gil_scoped_release nogil;
                fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
                error = errno;
            }
            if (fd >= 0 || error != EINTR) break;
            if (PyErr_CheckSignals() != 0) throw py::error_already_set();
        }
        if (fd < 0) raise_os_error(error, name);
        if (start > 0 && lseek(fd, static_cast<off_t>(start), SEEK_SET) < 0) {
            error = errno;
            close(fd);
            raise_os_error(error, name);
        }
        auto t = std::unique_ptr<Tokenizer>(new Tokenizer());
        t->tokenizer_ = std::make_unique<SpanTokenizer>(fd, start, end);
        t->path_ = std::move(name);
        return t;
    }

    // From now on, tallies what of the input is not UTF-8: a file's bytes as they are read,
    // bytes in memory as batches go over them.
    void tally_utf8() {
        std::unique_lock<ObjectLock> lock = acquire();
        tokenizer_->tally_utf8 = true;
    }

    // The rest of the input's bytes, for a caller that needs the text whole; tallied when
    // asked, as a batch's reads are. A read that a signal interrupts runs its handlers first.
    py::bytes read_rest() {
        std::unique_lock<ObjectLock> lock = acquire();
        SpanTokenizer& t = *tokenizer_;
        if (t.fd < 0) {
            const auto* rest = reinterpret_cast<const char*>(t.data + t.pos);
            const auto length = static_cast<size_t>(t.size - t.pos);
            t.pos = t.size;
            if (t.tally_utf8) t.tally_memory(t.size);
            return py::bytes(rest, length);
        }
        std::string text;
        for (;;) {
            ssize_t n;
            int error;
            {
                py::gil_scoped_release nogil;
                n = ::read(t.fd, t.chunk, SPAN_CHUNK_BYTES);
                error = errno;
            }
            if (n == 0) break;
            if (n < 0) {
                if (error != EINTR) raise_os_error(error, path_);
                if (PyErr_CheckSignals() != 0) throw py::error_already_set();
                continue;
            }
            if (t.tally_utf8) t.utf8.add(t.chunk, t.chunk + n);
            text.append(reinterpret_cast<const char*>(t.chunk), static_cast<size_t>(n));
            t.chunk_offset += static_cast<uint64_t>(n);
        }
        if (t.tally_utf8) t.utf8.finish();
        return py::bytes(text);
    }

    // (ill-formed sequences, their bytes, non-ASCII bytes) of what was read so far.
    py::tuple utf8_tally() {
        std::unique_lock<ObjectLock> lock = acquire();
        const Utf8Tally& u = tokenizer_->utf8;
        return py::make_tuple(u.ill_formed, u.ill_formed_bytes, u.non_ascii_bytes);
    }

    // The bytes read so far (from the start of the file, for a range of one), also after a
    // call that raised: what was counted or written before a failed read is this far.
    uint64_t position() {
        std::unique_lock<ObjectLock> lock = acquire();
        return tokenizer_->position();
    }

    void configure(uint64_t filter, uint32_t min_len, uint32_t max_len, uint32_t batch_size,
                   bool split_hyphens) {
        std::unique_lock<ObjectLock> lock = acquire();
        batch_size = most_tokens(batch_size);
        if (batch_size != tokenizer_->batch.batch_size) tokenizer_->set_batch_size(batch_size);
        tokenizer_->set_split_hyphens(split_hyphens);
        tokenizer_->batch.filter = filter;
        tokenizer_->batch.token_min_len = min_len;
        tokenizer_->batch.token_max_len = max_len;
    }

    // The next batch as (starts, stops, types) arrays of its own, or None at the end.
    py::object spans() {
        // Before the lock: the set-up runs Python code, which may call this object again.
        set_up_numpy("spans");
        std::unique_lock<ObjectLock> lock = acquire();
        if (!next()) return py::none();
        const SpanTokenizer& t = *tokenizer_;
        const uint32_t n = t.batch.token_count;
        py::array_t<int64_t> starts(n), stops(n);
        py::array_t<uint64_t> types(n);
        int64_t* s = starts.mutable_data();
        int64_t* e = stops.mutable_data();
        if (index_.ascii) {  // byte offsets are the places: copied as they are
            std::memcpy(s, t.offsets.starts, n * sizeof(int64_t));
            std::memcpy(e, t.offsets.stops, n * sizeof(int64_t));
        } else {
            for (uint32_t i = 0; i < n; ++i) {
                s[i] = static_cast<int64_t>(index_(t.offsets.starts[i]));
                e[i] = static_cast<int64_t>(index_(t.offsets.stops[i]));
            }
        }
        std::memcpy(types.mutable_data(), t.batch.types_buffer, n * sizeof(uint64_t));
        return py::make_tuple(starts, stops, types);
    }

    // Appends every batch to the end of the input to `out` as `token_class(text, type, start,
    // stop)` tuples. `members` holds the TokenType members by class.
    void tokens(py::type token_class, py::tuple members, py::list out) {
        std::unique_lock<ObjectLock> lock = acquire();
        if (PyTuple_GET_SIZE(members.ptr()) != 8) throw py::value_error("members: 8 members");
        auto* cls = reinterpret_cast<PyTypeObject*>(token_class.ptr());
        if (!PyType_IsSubtype(cls, &PyTuple_Type) || cls->tp_basicsize != PyTuple_Type.tp_basicsize ||
            cls->tp_itemsize != PyTuple_Type.tp_itemsize)
            throw py::type_error("token_class must be a tuple subclass without fields of its own");
        while (next()) {
            append_tokens(cls, &PyTuple_GET_ITEM(members.ptr(), 0), out);
            if (PyErr_CheckSignals() != 0) throw py::error_already_set();
        }
    }

    // The batch's tokens appended to `out`, as tokens() makes them.
    void append_tokens(PyTypeObject* cls, PyObject** member, py::list& out) {
        const SpanTokenizer& t = *tokenizer_;
        const uint8_t* p = t.batch.text_buffer;
        // Neighbouring tokens share a place: one's stop is the next one's start, one int.
        py::object last_stop;
        uint64_t last_stop_value = 0;
        for (uint32_t i = 0; i < t.batch.token_count; ++i) {
            const uint8_t* const end = token_end(p);
            const uint64_t start = index_(t.offsets.starts[i]);
            const uint64_t stop = index_(t.offsets.stops[i]);
            py::object text = py::reinterpret_steal<py::object>(
                text_.is_none() ? token_text(p, static_cast<size_t>(end - p))
                                : PyUnicode_Substring(text_.ptr(), static_cast<Py_ssize_t>(start),
                                                      static_cast<Py_ssize_t>(stop)));
            p = end + 1;
            if (!text) throw py::error_already_set();
            py::object start_int = last_stop && last_stop_value == start
                                       ? last_stop
                                       : py::reinterpret_steal<py::object>(
                                             PyLong_FromUnsignedLongLong(start));
            last_stop = py::reinterpret_steal<py::object>(PyLong_FromUnsignedLongLong(stop));
            last_stop_value = stop;
            if (!start_int || !last_stop) throw py::error_already_set();
            // A tuple subclass with no fields of its own, made the way tuple.__new__ makes one
            // (allocated at its length, then filled), but never tracked by the collector: it
            // holds a str, two ints and an enum member, none of which can lead back to it, and
            // it never changes, so no cycle can pass through it. The collector then skips the
            // millions of them a large text makes.
            PyObject* token = reinterpret_cast<PyObject*>(PyObject_GC_NewVar(PyTupleObject, cls, 4));
            if (token == nullptr) throw py::error_already_set();
            PyObject* type = member[class_of_type(static_cast<TokenType>(t.batch.types_buffer[i]))];
            Py_INCREF(type);
            PyTuple_SET_ITEM(token, 0, text.release().ptr());
            PyTuple_SET_ITEM(token, 1, type);
            PyTuple_SET_ITEM(token, 2, start_int.release().ptr());
            PyTuple_SET_ITEM(token, 3, last_stop.inc_ref().ptr());
            const int appended = PyList_Append(out.ptr(), token);
            Py_DECREF(token);
            if (appended != 0) throw py::error_already_set();
        }
    }

    // Counts the types of the kept tokens of up to `max_batches` batches (0: to the end of the
    // input), and the words among them (tokens whose type is in `word_mask`), lower-cased if
    // asked. Returns the bytes read so far and whether the input is used up.
    py::tuple count(Counts& counts, bool lower, uint64_t word_mask, uint32_t max_batches) {
        std::unique_lock<ObjectLock> lock = acquire();
        std::unique_lock<ObjectLock> counts_lock = lock_released(counts.lock, "Counts");
        uint8_t lowered[TEXT_BYTES_PER_TOKEN + WordCounts::READ_PAST];
        return run_batches(
            false, max_batches,
            [&](const Batch& b) {
                count_batch(counts, b, lower, word_mask, lowered);
                return true;
            },
            [] {});
    }

    // Writes the lines of up to `max_batches` batches (0: to the end of the input) to
    // `output`. Returns the bytes read so far and whether the input is used up. A failed write
    // raises OSError (BrokenPipeError for a reader that went away).
    py::tuple write_lines(Output& output, const LineOptions& options, uint32_t max_batches) {
        std::unique_lock<ObjectLock> lock = acquire();
        std::unique_lock<ObjectLock> output_lock = lock_released(output.lock, "Output");
        return run_batches(
            options.offsets, max_batches,
            [&](const Batch& b) {
                write_token_lines(b, &tokenizer_->offsets, options, output.lines);
                return output.lines.error == 0;
            },
            [&] { raise_os_error(output.lines.error, py::none()); });
    }

private:
    Tokenizer() = default;

    // OSError(errno, its text, the file name), of the subclass the errno has.
    static void set_os_error(int error, const py::object& filename) {
        PyErr_SetObject(PyExc_OSError,
                        py::make_tuple(error, std::strerror(error), filename).ptr());
    }

    [[noreturn]] static void raise_os_error(int error, const py::object& filename) {
        set_os_error(error, filename);
        throw py::error_already_set();
    }

    // Runs up to `max_batches` batches (0: to the end of the input), with their tokens'
    // places if asked, through use(batch), which returns false when it failed; fail() then
    // raises its error. Returns the bytes read so far and whether the input is used up. With
    // the locks held.
    template <class Use, class Fail>
    py::tuple run_batches(bool with_places, uint32_t max_batches, Use use, Fail fail) {
        raise_pending();
        for (uint32_t taken = 0;;) {
            bool more = true, used = true;
            {
                // Several batches to each release: taking the interpreter back after every one
                // keeps two threads waiting on each other.
                py::gil_scoped_release nogil;
                for (uint32_t run = 0; more && run < BATCHES_PER_RELEASE; ++run) {
                    more = next_batch_unlocked(with_places);
                    if (more) used = use(tokenizer_->batch);
                    if (!used || tokenizer_->read_error != 0 || (more && ++taken == max_batches))
                        break;
                }
            }
            if (!used) fail();
            // What was read has been used already, so an error loses nothing.
            const int error = tokenizer_->read_error;
            if (error == EINTR) {
                if (PyErr_CheckSignals() != 0) throw py::error_already_set();
                continue;
            }
            if (error != 0) raise_os_error(error, path_);
            if (!more || taken == max_batches)
                return py::make_tuple(tokenizer_->position(), !more);
            // Ctrl-C and other signals get their chance between runs of batches.
            if (PyErr_CheckSignals() != 0) throw py::error_already_set();
        }
    }

    std::unique_lock<ObjectLock> acquire() { return lock_released(lock_, "Tokenizer"); }

    // Bytes in memory few enough that tokenizing them takes less than releasing the
    // interpreter and taking it back.
    bool short_in_memory() const {
        return tokenizer_->fd < 0 && tokenizer_->size - tokenizer_->pos <= SHORT_TEXT_BYTES;
    }

    // At most `n`, and no more than the tokens bytes in memory can hold: no batch of them is
    // ever larger.
    uint32_t most_tokens(uint32_t n) const {
        if (tokenizer_ && tokenizer_->fd >= 0) return n;
        const uint64_t size = tokenizer_ ? tokenizer_->size : PyBytes_GET_SIZE(source_.ptr());
        return size < n ? static_cast<uint32_t>(size > 0 ? size : 1) : n;
    }

    // Runs the batch loop; false at the end of the input. With the lock held, the interpreter
    // released.
    bool next_batch_unlocked(bool with_places = true) {
        tokenizer_->next_batch(with_places);
        return tokenizer_->batch.token_count > 0;
    }

    // The error of a read that failed after the last batch had tokens.
    void raise_pending() {
        if (!pending_) return;
        PyErr_SetRaisedException(pending_.release().ptr());
        throw py::error_already_set();
    }

    // The next batch, with the lock held; false at the end of the input. A failed read is this
    // call's error when the batch is empty, else the next call's, so that no token is lost; the
    // call after that reads at the same place again. A read that a signal interrupted runs the
    // signal's handlers (with the interpreter released, a blocked read is where Ctrl-C finds a
    // thread), and an exception from one is the read's error.
    bool next() {
        raise_pending();
        for (;;) {
            bool more;
            if (short_in_memory()) {
                more = next_batch_unlocked();  // sooner done than the interpreter is handed over
            } else {
                py::gil_scoped_release nogil;
                more = next_batch_unlocked();
            }
            const int error = tokenizer_->read_error;
            if (error == 0) return more;
            if (error == EINTR) {
                if (PyErr_CheckSignals() == 0) {
                    if (more) return true;
                    continue;
                }
            } else {
                set_os_error(error, path_);
            }
            if (!more) throw py::error_already_set();
            pending_ = py::reinterpret_steal<py::object>(PyErr_GetRaisedException());
            return true;
        }
    }

    py::bytes source_;
    py::object text_ = py::none();
    py::object path_ = py::none();
    py::object pending_;
    CharIndex index_;
    std::unique_ptr<SpanTokenizer> tokenizer_;
    ObjectLock lock_;
};

// A Counts as pickle carries it to another process (Dask sends each task's counts back): its
// type counts, and its words' bytes end to end with their lengths and counts as little-endian
// arrays. A few buffers instead of a Python object per word, and no byte of a word that is not
// UTF-8 is changed on the way.
void put_le(std::string& out, uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out.push_back(static_cast<char>(value >> (8 * i)));
}

uint64_t get_le(const std::string& in, size_t at, int bytes) {
    uint64_t value = 0;
    for (int i = 0; i < bytes; ++i)
        value |= uint64_t{static_cast<uint8_t>(in[at + static_cast<size_t>(i)])} << (8 * i);
    return value;
}

py::tuple counts_state(Counts& counts) {
    Counts& c = constructed(counts);
    std::unique_lock<ObjectLock> lock = lock_released(c.lock, "Counts");
    std::string words, lengths, times;
    lengths.reserve(4 * c.words.size());
    times.reserve(8 * c.words.size());
    for (const WordCounts::Entry& e : c.words.entries()) {
        if (e.count == 0) continue;
        words.append(reinterpret_cast<const char*>(c.words.word(e)), e.length);
        put_le(lengths, e.length, 4);
        put_le(times, e.count, 8);
    }
    py::tuple types(c.types.size());
    for (size_t k = 0; k < c.types.size(); ++k) types[k] = py::int_(c.types[k]);
    return py::make_tuple(types, py::bytes(words), py::bytes(lengths), py::bytes(times));
}

std::unique_ptr<Counts> counts_from_state(const py::tuple& state) {
    const char* const bad = "not the state of a Counts: (types, words, lengths, counts)";
    if (state.size() != 4 || !py::isinstance<py::tuple>(state[0])) throw py::value_error(bad);
    for (size_t i = 1; i < 4; ++i)
        if (!py::isinstance<py::bytes>(state[i])) throw py::value_error(bad);
    const auto types = state[0].cast<py::tuple>();
    auto words = state[1].cast<std::string>();
    const auto lengths = state[2].cast<std::string>();
    const auto times = state[3].cast<std::string>();
    auto out = std::make_unique<Counts>();
    if (types.size() != out->types.size() || lengths.size() % 4 != 0 ||
        times.size() != 2 * lengths.size())
        throw py::value_error(bad);
    for (size_t k = 0; k < out->types.size(); ++k) out->types[k] = types[k].cast<uint64_t>();
    const size_t n = lengths.size() / 4;
    const size_t size = words.size();
    words.append(WordCounts::READ_PAST, '\0');  // what add() reads past a word
    out->words.reserve(n);
    size_t at = 0;
    for (size_t i = 0; i < n; ++i) {
        const uint64_t length = get_le(lengths, 4 * i, 4);
        const uint64_t count = get_le(times, 8 * i, 8);
        if (count == 0 || length > size - at) throw py::value_error(bad);
        out->words.add(reinterpret_cast<const uint8_t*>(words.data()) + at,
                       static_cast<uint32_t>(length), count);
        at += length;
    }
    if (at != size) throw py::value_error(bad);
    return out;
}

}  // namespace

PYBIND11_MODULE(_native, m, py::multiple_interpreters::not_supported()) {
    m.doc() = "The vorlenta library's native core; use the functions of vorlenta instead.";

    m.def("scan_path", [] { return scan_path_name(scan_path()); },
          "The batch loop this process runs: \"scalar\", or \"avx2\" (its block path). "
          "VORLENTA_SCAN_PATH chooses one the CPU runs.");

    bind_texts(m);

    m.def("escaped_field", [](py::bytes field, const std::string& format) {
              char* data;
              Py_ssize_t size;
              PyBytes_AsStringAndSize(field.ptr(), &data, &size);
              const LineFormat line_format = line_format_named(format);
              return py::bytes(escaped_field(reinterpret_cast<const uint8_t*>(data),
                                             static_cast<size_t>(size), line_format));
          },
          py::arg("field"), py::arg("format"),
          "The bytes of a field (the file column) escaped as write_lines escapes a token's "
          "text in that format: \"tsv\" or \"jsonl\" (the inside of a JSON string).");

    py::class_<Counts>(m, "Counts")
        .def(py::init<>())
        // Into a dict the caller made (a Counter, usually), so that nothing is copied twice.
        .def("add_words_to", [](Counts& counts, py::dict out) {
            Counts& c = constructed(counts);
            std::unique_lock<ObjectLock> lock = lock_released(c.lock, "Counts");
            for (const WordCounts::Entry& e : c.words.entries()) {
                if (e.count == 0) continue;
                py::object key = py::reinterpret_steal<py::object>(
                    token_text(c.words.word(e), e.length));
                if (!key) throw py::error_already_set();
                py::object known = py::reinterpret_borrow<py::object>(
                    PyDict_GetItemWithError(out.ptr(), key.ptr()));
                if (!known && PyErr_Occurred()) throw py::error_already_set();
                out[key] = known ? py::object(known + py::int_(e.count)) : py::int_(e.count);
            }
        }, py::arg("out"))
        // Adds other's words and types to these, with the interpreter released.
        .def("merge", [](Counts& counts, Counts& other) {
            Counts& c = constructed(counts);
            Counts& o = constructed(other);
            if (&c == &o) throw py::value_error("cannot merge Counts into themselves");
            refuse_reentry(c.lock, "Counts");
            refuse_reentry(o.lock, "Counts");
            std::unique_lock<ObjectLock> mine(c.lock, std::defer_lock);
            std::unique_lock<ObjectLock> theirs(o.lock, std::defer_lock);
            py::gil_scoped_release nogil;
            std::lock(mine, theirs);
            c.words.reserve(o.words.size());
            for (const WordCounts::Entry& e : o.words.entries())
                if (e.count != 0) c.words.add(o.words.word(e), e.length, e.count);
            for (size_t k = 0; k < c.types.size(); ++k) c.types[k] += o.types[k];
        }, py::arg("other"))
        // (distinct words, occurrences of all of them)
        .def("sizes", [](Counts& counts) {
            Counts& c = constructed(counts);
            std::unique_lock<ObjectLock> lock = lock_released(c.lock, "Counts");
            uint64_t total = 0;
            for (const WordCounts::Entry& e : c.words.entries()) total += e.count;
            return py::make_tuple(c.words.size(), total);
        })
        // The words at least as frequent as the n-th most frequent (all of them when n is 0),
        // unordered: only those become Python objects, and the caller ranks them.
        .def("frequent", [](Counts& counts, size_t n) {
            Counts& c = constructed(counts);
            std::unique_lock<ObjectLock> lock = lock_released(c.lock, "Counts");
            uint64_t least = 1;
            if (n != 0 && n < c.words.size()) {
                std::vector<uint64_t> all;
                all.reserve(c.words.size());
                for (const WordCounts::Entry& e : c.words.entries())
                    if (e.count != 0) all.push_back(e.count);
                std::nth_element(all.begin(), all.begin() + static_cast<ptrdiff_t>(n - 1),
                                 all.end(), std::greater<uint64_t>());
                least = all[n - 1];
            }
            py::list out;
            for (const WordCounts::Entry& e : c.words.entries()) {
                if (e.count < least) continue;  // free slots too: their count is 0
                py::object word = py::reinterpret_steal<py::object>(
                    token_text(c.words.word(e), e.length));
                if (!word) throw py::error_already_set();
                out.append(py::make_tuple(std::move(word), e.count));
            }
            return out;
        }, py::arg("n"))
        .def("types", [](Counts& counts) {
            Counts& c = constructed(counts);
            std::unique_lock<ObjectLock> lock = lock_released(c.lock, "Counts");
            py::list out;
            for (uint64_t n : c.types) out.append(n);
            return out;
        })
        .def(py::pickle(&counts_state, &counts_from_state));

    py::class_<Output>(m, "Output")
        .def(py::init<int>(), py::arg("fd"))
        // words: ends the last line of an input that ended (or failed) without a line feed,
        // so the next input starts a line of its own; OSError when a write fails.
        .def("end_line", [](Output& output) {
            Output& o = constructed(output);
            std::unique_lock<ObjectLock> lock = lock_released(o.lock, "Output");
            if (!end_words_line(o.lines, false)) {
                errno = o.lines.error;
                PyErr_SetFromErrno(PyExc_OSError);
                throw py::error_already_set();
            }
        })
        // Writes out the lines gathered so far; OSError when the write fails.
        .def("flush", [](Output& output) {
            Output& o = constructed(output);
            std::unique_lock<ObjectLock> lock = lock_released(o.lock, "Output");
            bool written;
            {
                py::gil_scoped_release nogil;
                written = o.lines.flush();
            }
            if (!written) {
                errno = o.lines.error;
                PyErr_SetFromErrno(PyExc_OSError);
                throw py::error_already_set();
            }
        });

    py::class_<Tokenizer>(m, "Tokenizer")
        .def(py::init<py::bytes, py::object>(), py::arg("source"), py::arg("text") = py::none())
        .def_static("open", &Tokenizer::open, py::arg("path"), py::arg("start") = 0,
                    py::arg("stop") = py::none(), py::arg("name") = py::none())
        .def_static("from_fd", &Tokenizer::from_fd, py::arg("fd"), py::arg("name"))
        .def("configure",
             [](Tokenizer& t, uint64_t filter, uint32_t min_len, uint32_t max_len,
                uint32_t batch_size, bool split_hyphens) {
                 constructed(t).configure(filter, min_len, max_len, batch_size, split_hyphens);
             },
             py::arg("filter"), py::arg("min_len"), py::arg("max_len"), py::arg("batch_size"),
             py::arg("split_hyphens") = false)
        .def("tally_utf8", [](Tokenizer& t) { constructed(t).tally_utf8(); })
        .def("utf8_tally", [](Tokenizer& t) { return constructed(t).utf8_tally(); })
        .def("position", [](Tokenizer& t) { return constructed(t).position(); })
        .def("read_rest", [](Tokenizer& t) { return constructed(t).read_rest(); })
        .def("spans", [](Tokenizer& t) { return constructed(t).spans(); })
        .def("tokens",
             [](Tokenizer& t, py::type token_class, py::tuple members, py::list out) {
                 return constructed(t).tokens(std::move(token_class), std::move(members),
                                              std::move(out));
             },
             py::arg("token_class"), py::arg("members"), py::arg("out"))
        .def("write_lines",
             [](Tokenizer& t, Output& output, const std::string& format, bool offsets,
                bool lower, py::bytes prefix, uint32_t max_batches, uint64_t word_types,
                uint32_t word_min_len, uint32_t word_max_len) {
                 const LineOptions options = line_options(format, offsets, lower, prefix,
                                                          word_types, word_min_len, word_max_len);
                 return constructed(t).write_lines(constructed(output), options, max_batches);
             },
             py::arg("output"), py::arg("format"), py::arg("offsets"), py::arg("lower"),
             py::arg("prefix"), py::arg("max_batches") = 0, py::arg("word_types") = UINT64_MAX,
             py::arg("word_min_len") = 0, py::arg("word_max_len") = UINT32_MAX)
        .def("count",
             [](Tokenizer& t, Counts& counts, bool lower, uint64_t word_mask,
                uint32_t max_batches) {
                 return constructed(t).count(constructed(counts), lower, word_mask, max_batches);
             },
             py::arg("counts"), py::arg("lower"), py::arg("word_mask"), py::arg("max_batches") = 0);
}
