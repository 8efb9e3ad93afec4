// The Python module vorlenta._native: the library's tokenizer and word counts. Adapters only;
// the tokenizing lives in span_tokenizer, the counting in counts, which know nothing of Python.
//
// Every method releases the interpreter while it tokenizes, counts or reads, and holds the
// object's own lock meanwhile, so that threads sharing an object take turns. The lock is only
// ever waited for with the interpreter released: a thread holding the interpreter never blocks
// on it, so the one holding it can always get the interpreter back.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <mutex>
#include <string>

#include "bindings/numpy_setup.hpp"
#include "bindings/read_errors.hpp"
#include "library/binding.hpp"
#include "library/char_index.hpp"
#include "library/counts.hpp"
#include "library/span_tokenizer.hpp"
#include "library/texts_binding.hpp"
#include "library/token_tuples.hpp"

namespace py = pybind11;
using namespace vorlenta;

namespace {

class Tokenizer {
public:
    // Batches counted between two looks at pending signals: a few milliseconds of work.
    static constexpr uint32_t BATCHES_PER_RELEASE = 16;
    static constexpr uint64_t SHORT_TEXT_BYTES = 4096;
    static constexpr uint32_t READS_PER_CHECK = 256;  // see SignalCheck

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
            str_surrogates_ = !index_.ascii && PyUnicode_KIND(text_.ptr()) != PyUnicode_1BYTE_KIND &&
                              has_encoded_surrogate(index_.data, static_cast<size_t>(size));
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

    // The rest of the input's bytes, for a caller that needs the text whole; read and tallied
    // as a batch's are, and a failed read (or a raising signal handler) is the call's error.
    py::bytes read_rest() {
        std::unique_lock<ObjectLock> lock = acquire();
        SpanTokenizer& t = *tokenizer_;
        if (t.in_memory()) {
            const auto* rest = reinterpret_cast<const char*>(t.data + t.pos);
            const auto length = static_cast<size_t>(t.size - t.pos);
            t.pos = t.size;
            if (t.tally_utf8) t.tally_memory(t.size);
            return py::bytes(rest, length);
        }
        std::string text;
        {
            py::gil_scoped_release nogil;
            t.read_rest(text, signals_.check());
        }
        held_.raise_or_hold(t.file.read_error, path_, false);
        return py::bytes(text);
    }

    // (ill-formed sequences, their bytes, non-ASCII bytes) of what was read so far.
    py::tuple utf8_tally() {
        std::unique_lock<ObjectLock> lock = acquire();
        return tally_tuple(tokenizer_->utf8);
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
        PyTypeObject* const cls = token_tuple_class(token_class);
        // The texts of a str's tokens are its substrings; of bytes, made from the bytes.
        auto text_of = [&](const uint8_t* p, size_t n, uint64_t start, uint64_t stop) {
            return text_.is_none() ? token_text(p, n)
                                   : PyUnicode_Substring(text_.ptr(), static_cast<Py_ssize_t>(start),
                                                         static_cast<Py_ssize_t>(stop));
        };
        while (next()) {
            append_token_tuples(tokenizer_->batch, tokenizer_->offsets, index_, text_of, cls,
                                &PyTuple_GET_ITEM(members.ptr(), 0), out);
            if (PyErr_CheckSignals() != 0) throw py::error_already_set();
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
                count_batch(counts, b, lower, word_mask, lowered, str_surrogates_);
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

    // Runs up to `max_batches` batches (0: to the end of the input), with their tokens'
    // places if asked, through use(batch), which returns false when it failed; fail() then
    // raises its error. Returns the bytes read so far and whether the input is used up. With
    // the locks held.
    template <class Use, class Fail>
    py::tuple run_batches(bool with_places, uint32_t max_batches, Use use, Fail fail) {
        held_.raise_if_held();
        for (uint32_t taken = 0;;) {
            bool more = true, used = true;
            {
                // Several batches to each release: taking the interpreter back after every one
                // keeps two threads waiting on each other.
                py::gil_scoped_release nogil;
                for (uint32_t run = 0; more && run < BATCHES_PER_RELEASE; ++run) {
                    more = next_batch_unlocked(with_places);
                    if (more) used = use(tokenizer_->batch);
                    if (!used || tokenizer_->file.read_error != 0 ||
                        (more && ++taken == max_batches))
                        break;
                }
            }
            if (!used) fail();
            // What was read has been used already, so an error loses nothing.
            held_.raise_or_hold(tokenizer_->file.read_error, path_, false);
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
        return tokenizer_->in_memory() && tokenizer_->size - tokenizer_->pos <= SHORT_TEXT_BYTES;
    }

    // At most `n`, and no more than the tokens bytes in memory can hold: no batch of them is
    // ever larger.
    uint32_t most_tokens(uint32_t n) const {
        if (tokenizer_ && !tokenizer_->in_memory()) return n;
        const uint64_t size = tokenizer_ ? tokenizer_->size : PyBytes_GET_SIZE(source_.ptr());
        return size < n ? static_cast<uint32_t>(size > 0 ? size : 1) : n;
    }

    // Runs the batch loop; false at the end of the input. With the lock held, the interpreter
    // released.
    bool next_batch_unlocked(bool with_places = true) {
        tokenizer_->next_batch(with_places, signals_.check());
        return tokenizer_->batch.token_count > 0;
    }

    // The next batch, with the lock held; false at the end of the input. A file's batch is read
    // with the interpreter released (a blocked read is where Ctrl-C finds a thread), by the
    // reader's rules, and its error is held back while it has tokens (read_errors.hpp).
    bool next() {
        held_.raise_if_held();
        bool more;
        if (short_in_memory()) {
            more = next_batch_unlocked();  // sooner done than the interpreter is handed over
        } else {
            py::gil_scoped_release nogil;
            more = next_batch_unlocked();
        }
        held_.raise_or_hold(tokenizer_->file.read_error, path_, more);
        return more;
    }

    py::bytes source_;
    py::object text_ = py::none();
    py::object path_ = py::none();
    bool str_surrogates_ = false;  // the text is a str that holds lone surrogates
    HeldError held_;
    SignalCheck signals_{READS_PER_CHECK};
    CharIndex index_;
    std::unique_ptr<SpanTokenizer> tokenizer_;
    ObjectLock lock_;
};

// A Counts as pickle carries it: its type counts, and its words as words_state has them.
py::tuple counts_state(Counts& counts) {
    Counts& c = constructed(counts);
    std::unique_lock<ObjectLock> lock = lock_released(c.lock, "Counts");
    const WordsState s = words_state(c.words);
    py::tuple types(c.types.size());
    for (size_t k = 0; k < c.types.size(); ++k) types[k] = py::int_(c.types[k]);
    return py::make_tuple(types, py::bytes(s.words), py::bytes(s.lengths), py::bytes(s.counts));
}

std::unique_ptr<Counts> counts_from_state(const py::tuple& state) {
    const char* const bad = "not the state of a Counts: (types, words, lengths, counts)";
    if (state.size() != 4 || !py::isinstance<py::tuple>(state[0])) throw py::value_error(bad);
    for (size_t i = 1; i < 4; ++i)
        if (!py::isinstance<py::bytes>(state[i])) throw py::value_error(bad);
    const auto types = state[0].cast<py::tuple>();
    WordsState s{state[1].cast<std::string>(), state[2].cast<std::string>(),
                 state[3].cast<std::string>()};
    auto out = std::make_unique<Counts>();
    if (types.size() != out->types.size() || !words_state_shaped(s)) throw py::value_error(bad);
    for (size_t k = 0; k < out->types.size(); ++k) out->types[k] = types[k].cast<uint64_t>();
    if (!add_words_state(std::move(s), out->words)) throw py::value_error(bad);
    return out;
}

}  // namespace

PYBIND11_MODULE(_native, m, py::multiple_interpreters::not_supported()) {
    m.doc() = "The vorlenta library's native core; use the functions of vorlenta instead.";

    m.def("scan_path", [] { return scan_path_name(scan_path()); },
          "The batch loop this process runs: \"scalar\", or \"avx2\" (its block path). "
          "VORLENTA_SCAN_PATH chooses one the CPU runs; else the first of scan_paths() it runs.");
    m.def("scan_paths", [] {
              py::list names;
              for (ScanPath path : scan_paths_by_speed()) names.append(scan_path_name(path));
              return names;
          },
          "The batch loop's paths, fastest first, as sources/scan_paths.txt lists them.");
    m.def("cpu_runs", [](const std::string& name) {
              const std::optional<ScanPath> path = scan_path_named(name);
              if (!path) throw py::value_error("no scan path is named '" + name + "'");
              return cpu_runs(*path);
          },
          py::arg("name"),
          "Whether this build has the path and this CPU runs it: what VORLENTA_SCAN_PATH can "
          "force.");

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
            add_words_to(c.words, out.ptr());
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
            merge_counts(c, o);
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
            const uint64_t least = least_count_of_top(c.words, n);
            py::list out;
            for (const WordCounts::Entry& e : c.words.entries()) {
                if (e.count < least) continue;  // free slots too: their count is 0
                py::object word = py::reinterpret_steal<py::object>(
                    word_text(c.words.word(e), e.length));
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
