// Many texts as one source, for vorlenta._native: a list, a generator, a NumPy or pandas column
// of strs or bytes, or an Arrow string column; and one text in memory on the short road
// (words, tokens, count). Each text is tokenized on its own, by a tokenizer restarted between
// texts, so that no token joins two texts and the cost of a text is its bytes, not a
// tokenizer's set-up.
//
// Texts are taken a group at a time with the interpreter held: a str or bytes object is kept
// where it lies (a reference is held), only what can change under us (a bytearray, a
// memoryview) is copied. Workers (text_groups.hpp) encode the strs and tokenize the groups with
// the interpreter released, on `jobs` threads; the groups come back in their order, and the
// calling thread makes the Python objects (token strs, lists, arrays) of one group while the
// workers tokenize the next ones.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cerrno>
#include <cmath>
#include <deque>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "bindings/numpy_setup.hpp"
#include "bindings/read_errors.hpp"
#include "library/arrow_c.hpp"
#include "library/binding.hpp"
#include "library/char_index.hpp"
#include "library/json_lines.hpp"
#include "library/term_matrix.hpp"
#include "library/text_groups.hpp"
#include "library/texts_binding.hpp"
#include "library/token_tuples.hpp"

namespace vorlenta {

namespace {

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

TextRecord blank_record(int64_t index) {
    TextRecord r;
    std::memset(&r, 0, sizeof r);
    r.index = index;
    return r;
}

// Takes one text into a record, with the interpreter held; false, with a TypeError set, for
// anything that is not a text. Only what is a text by its type is taken: a NumPy number or a
// row of a 2-D array has a buffer too, and read as bytes it would be a text nobody wrote. A
// str or bytes object is read where it lies, a reference to it added to `kept` (when the
// caller lets the interpreter go before it is read); what could change meanwhile is copied
// into `bytes`.
bool take_text(PyObject* o, TextRecord& r, GroupBytes& bytes, std::vector<void*>* kept) {
    if (PyUnicode_Check(o)) {
        r.from_str = r.str_places = true;
        const auto n = static_cast<uint64_t>(PyUnicode_GET_LENGTH(o));
        if (PyUnicode_IS_ASCII(o)) {  // its characters are its UTF-8: read where they lie
            r.data = static_cast<const uint8_t*>(PyUnicode_DATA(o));
            r.size = n;
            r.ascii = true;
        } else {  // encoded by the worker, from where the str keeps them
            r.units = PyUnicode_DATA(o);
            r.kind = static_cast<uint8_t>(PyUnicode_KIND(o));
            r.size = n;
        }
        if (kept != nullptr) kept->push_back(Py_NewRef(o));
        return true;
    }
    if (o == Py_None || (PyFloat_Check(o) && std::isnan(PyFloat_AS_DOUBLE(o)))) {
        r.null = true;
        return true;
    }
    if (PyBytes_Check(o)) {  // never changes: read where it lies
        r.data = reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(o));
        r.size = static_cast<uint64_t>(PyBytes_GET_SIZE(o));
        r.tally = true;
        if (kept != nullptr) kept->push_back(Py_NewRef(o));
        return true;
    }
    const bool mutable_bytes =
        PyByteArray_Check(o) ||
        (PyMemoryView_Check(o) && PyMemoryView_GET_BUFFER(o)->ndim <= 1 &&
         PyMemoryView_GET_BUFFER(o)->itemsize == 1);
    if (!mutable_bytes) {
        PyErr_Format(PyExc_TypeError,
                     "a text must be a str, bytes, bytearray, a memoryview of bytes or None, "
                     "not %s (text %lld)",
                     Py_TYPE(o)->tp_name, static_cast<long long>(r.index));
        return false;
    }
    // Copied now: it could change while the workers read it.
    Py_buffer view;
    if (PyObject_GetBuffer(o, &view, PyBUF_SIMPLE) != 0) return false;
    r.at = bytes.size();
    r.size = static_cast<uint64_t>(view.len);
    r.in_group = r.tally = true;
    if (view.len != 0)
        std::memcpy(bytes.extend(static_cast<size_t>(view.len)), view.buf,
                    static_cast<size_t>(view.len));
    PyBuffer_Release(&view);
    return true;
}

// Releases what a group kept alive for its texts; with the interpreter held.
void release_kept(Group& g) {
    for (void* o : g.kept) Py_DECREF(static_cast<PyObject*>(o));
    g.kept.clear();
}

// ---- Arrow columns through the PyCapsule interface ----

// A capsule's record, moved out of it: the capsule's own is marked released, so that its
// destructor leaves it be, and ours is released once, by its new owner.
template <class Record>
void move_out_of(py::handle capsule, const char* name, Record& out) {
    auto* p = static_cast<Record*>(PyCapsule_GetPointer(capsule.ptr(), name));
    if (p == nullptr) throw py::error_already_set();
    if (p->release == nullptr)
        throw py::value_error(std::string("the ") + name + " capsule was used already");
    out = *p;
    p->release = nullptr;
}

// A new capsule that owns `record` (made with new): its destructor releases and frees it.
template <class Record>
py::capsule owning_capsule(Record* record, const char* name) {
    PyObject* c = PyCapsule_New(record, name, [](PyObject* o) {
        auto* r = static_cast<Record*>(PyCapsule_GetPointer(o, PyCapsule_GetName(o)));
        if (r == nullptr) {  // not ours: nothing to free
            PyErr_Clear();
            return;
        }
        release(*r);
        delete r;
    });
    if (c == nullptr) {
        release(*record);
        delete record;
        throw py::error_already_set();
    }
    return py::reinterpret_steal<py::capsule>(c);
}

// A column of texts from any object that exports Arrow data (__arrow_c_stream__ or
// __arrow_c_array__): read a chunk at a time, the next one pulled from the stream only when the
// one before is used up. Each chunk is owned by a capsule, and each group of its texts holds a
// reference to it, so it is released once the last of them is done with it: memory is that of
// the chunks in flight, whatever the column's length. A table (its schema a struct) gives the
// names of its columns, and open() picks one.
class ArrowColumn {
public:
    explicit ArrowColumn(const py::object& source) {
        if (py::hasattr(source, "__arrow_c_stream__")) {
            py::object capsule = source.attr("__arrow_c_stream__")();
            move_out_of(capsule, "arrow_array_stream", stream_);
            const int failed = stream_.get_schema(&stream_, &schema_);
            if (failed != 0) raise_stream_error(failed);
        } else {
            py::tuple pair = source.attr("__arrow_c_array__")();
            if (pair.size() != 2) throw py::type_error("__arrow_c_array__ must give two capsules");
            move_out_of(pair[0], "arrow_schema", schema_);
            move_out_of(pair[1], "arrow_array", first_);
        }
        if (schema_.format == nullptr) throw py::value_error("bad Arrow data: a schema without a format");
        table_ = std::strcmp(schema_.format, "+s") == 0;
    }
    ~ArrowColumn() {
        release(schema_);
        release(first_);
        release(stream_);
    }
    ArrowColumn(const ArrowColumn&) = delete;
    ArrowColumn& operator=(const ArrowColumn&) = delete;

    // A table's column names, in order; None for a column.
    py::object columns() const {
        if (!table_ || opened_) return py::none();
        py::list names;
        for (int64_t k = 0; k < schema_.n_children; ++k) {
            const ArrowSchema* child = schema_.children != nullptr ? schema_.children[k] : nullptr;
            if (child == nullptr || child->name == nullptr)
                throw py::value_error("bad Arrow data: a table's column without a schema");
            names.append(py::str(child->name));
        }
        return std::move(names);
    }

    // Ready to read: column `child` of a table, or the column itself (-1). TypeError for a
    // column that does not hold texts.
    void open(int64_t child) {
        if (opened_) throw py::value_error("the column is open already");
        const ArrowSchema* schema = &schema_;
        if (table_) {
            if (child < 0 || child >= schema_.n_children || schema_.children == nullptr ||
                schema_.children[child] == nullptr)
                throw py::index_error("no such column");
            schema = schema_.children[child];
        } else if (child != -1) {
            throw py::type_error("not a table");
        }
        if (!text_column_type(*schema, type_))
            throw py::type_error("an Arrow column of texts must be of string, large_string or "
                                 "string_view (or a dictionary of them), not " +
                                 type_name(*schema));
        child_ = child;
        opened_ = true;
        release(schema_);  // all that is needed of it is known
    }

    bool opened() const { return opened_; }

    // The next chunk with texts into `chunk`, its owner in `owner`; false at the end. ValueError
    // for a chunk that is not what its schema says, OSError (MemoryError) where the stream
    // fails.
    bool next(py::object& owner, TextChunk& chunk) {
        for (;;) {
            auto* array = new ArrowArray{};
            if (first_.release != nullptr) {
                *array = first_;
                first_.release = nullptr;
            } else if (stream_.release != nullptr) {
                int failed;
                {
                    // The producer may run Python itself (it takes the interpreter then), or
                    // threads that need it.
                    py::gil_scoped_release nogil;
                    failed = stream_.get_next(&stream_, array);
                }
                if (failed != 0) {
                    delete array;
                    raise_stream_error(failed);
                }
            }
            if (array->release == nullptr) {  // the end
                delete array;
                release(stream_);
                return false;
            }
            owner = owning_capsule(array, "vorlenta.arrow_chunk");
            const std::string wrong = table_ ? open_table_chunk(*array, child_, type_, chunk)
                                             : open_text_chunk(*array, type_, chunk);
            ++chunks_;
            if (!wrong.empty())
                throw py::value_error("bad Arrow data in chunk " + std::to_string(chunks_) +
                                      " of the column: " + wrong);
            if (chunk.length > 0) return true;
        }
    }

private:
    [[noreturn]] void raise_stream_error(int code) {
        const char* message =
            stream_.get_last_error != nullptr ? stream_.get_last_error(&stream_) : nullptr;
        const std::string text =
            "reading the Arrow stream failed: " +
            std::string(message != nullptr ? message : std::strerror(code));
        if (code == ENOMEM) throw std::bad_alloc();
        PyErr_SetObject(PyExc_OSError, py::make_tuple(code, text).ptr());
        throw py::error_already_set();
    }

    ArrowSchema schema_{};
    ArrowArrayStream stream_{};
    ArrowArray first_{};  // the one array of __arrow_c_array__, until it is read
    bool table_ = false, opened_ = false;
    int64_t child_ = -1;
    TextColumnType type_;
    int64_t chunks_ = 0;
};

// The exception being handled, as the Python error set: Python's own as it was, pybind11's as
// its type, no memory as MemoryError, any other as RuntimeError. Only inside a catch block.
void set_python_error() noexcept {
    try {
        throw;
    } catch (py::error_already_set& e) {
        e.restore();
    } catch (py::builtin_exception& e) {
        e.set_error();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "an unknown native error");
    }
}

// Where texts come from, a group at a time, with the interpreter held: a Python iterable, an
// ArrowColumn, or an ArrowStrings; with `chunked`, a Python iterator of such feeds (a dataset's
// groups of records), read one after another as one column. A text's place counts on across
// chunks and feeds. An error of an iterator or of a column, or a text of the wrong type, ends
// the source: the texts before it are the last group, and raise_if_held() raises the error once
// they have been used.
class TextFeed {
public:
    int64_t taken = 0;  // texts taken so far
    bool ended = false;

    explicit TextFeed(py::object source, bool chunked = false) {
        if (!chunked) {
            start(std::move(source));
            return;
        }
        feeds_ = py::reinterpret_steal<py::object>(PyObject_GetIter(source.ptr()));
        if (!feeds_) throw py::error_already_set();
        current_ended_ = true;
    }

    // The next group's texts into `g`; false once the source is used up. A feed's last texts
    // end a group: the next feed's start the next one.
    bool fill(Group& g) {
        while (!ended) {
            if (!current_ended_ && fill_current(g)) {
                // Known to be used up (no feed follows): a source of one group ends with it,
                // and starts no worker thread.
                if (current_ended_ && !feeds_) ended = true;
                return true;
            }
            if (held_.error || !next_feed()) ended = true;
        }
        return false;
    }

    void raise_if_held() { held_.raise_if_held(); }

private:
    // Reads `source` from its first text on.
    void start(py::object source) {
        iterator_ = py::object();
        column_ = nullptr;
        column_owner_ = py::object();
        strings_ = py::object();
        chunk_owner_ = py::object();
        chunk_ = TextChunk{};
        in_chunk_ = 0;
        current_ended_ = false;
        if (py::isinstance<ArrowColumn>(source)) {
            column_ = &source.cast<ArrowColumn&>();
            if (!column_->opened()) throw py::value_error("the Arrow column is not open");
            column_owner_ = std::move(source);
        } else if (py::isinstance<ArrowStrings>(source)) {
            strings_ = std::move(source);
        } else {
            iterator_ = py::reinterpret_steal<py::object>(PyObject_GetIter(source.ptr()));
            if (!iterator_) throw py::error_already_set();
        }
    }

    // The next of the chained feeds started; false at their end, or on an error (held).
    bool next_feed() {
        if (!feeds_) return false;
        py::object next = py::reinterpret_steal<py::object>(PyIter_Next(feeds_.ptr()));
        if (next) {
            try {
                start(std::move(next));
                return true;
            } catch (...) {
                set_python_error();
            }
        }
        if (PyErr_Occurred()) hold_error();
        feeds_ = py::object();
        return false;
    }

    bool fill_current(Group& g) {
        if (!iterator_) return fill_chunk(g);
        while (g.texts.size() < GROUP_TEXTS && g.bytes.size() < GROUP_BYTES) {
            py::object item = py::reinterpret_steal<py::object>(PyIter_Next(iterator_.ptr()));
            TextRecord r = blank_record(taken);
            if (!item || !take_text(item.ptr(), r, g.bytes, &g.kept)) {
                current_ended_ = true;
                if (PyErr_Occurred()) hold_error();
                break;
            }
            ++taken;
            g.texts.push_back(r);
        }
        return !g.texts.empty();
    }

    void hold_error() {
        held_.error = py::reinterpret_steal<py::object>(PyErr_GetRaisedException());
    }

    // The next chunk with texts into chunk_; false at the end, or on an error (held).
    bool next_chunk() {
        chunk_owner_ = py::object();  // ours let go: the groups reading it hold their own
        if (column_ != nullptr) {
            try {
                return column_->next(chunk_owner_, chunk_);
            } catch (...) {
                set_python_error();
            }
            chunk_owner_ = py::object();
            hold_error();
            return false;
        }
        if (strings_) {
            chunk_owner_ = std::move(strings_);
            strings_ = py::object();
            const ArrowStrings& a = chunk_owner_.cast<const ArrowStrings&>();
            // Checked when it was made; the buffers stay while the object does.
            buffers_[0] = a.offsets.request();
            buffers_[1] = a.data.request();
            buffers_[2] = a.validity.is_none()
                              ? py::buffer_info()
                              : py::reinterpret_borrow<py::buffer>(a.validity).request();
            chunk_ = TextChunk{};
            chunk_.strings.layout = a.large ? StringLayout::offsets64 : StringLayout::offsets32;
            chunk_.strings.offset = chunk_.offset = a.offset;
            chunk_.strings.length = chunk_.length = a.length;
            chunk_.strings.offsets = static_cast<const uint8_t*>(buffers_[0].ptr);
            chunk_.strings.data = static_cast<const uint8_t*>(buffers_[1].ptr);
            chunk_.strings.validity = static_cast<const uint8_t*>(buffers_[2].ptr);
            if (a.length > 0) return true;
        }
        chunk_owner_ = py::object();
        return false;
    }

    // Texts of one chunk, read where they lie: the group ends with the chunk, and the next
    // group starts the next one.
    bool fill_chunk(Group& g) {
        while (in_chunk_ == chunk_.length) {
            in_chunk_ = 0;
            if (!next_chunk()) {
                chunk_.length = 0;
                current_ended_ = true;
                return false;
            }
        }
        g.kept.push_back(Py_NewRef(chunk_owner_.ptr()));
        uint64_t group_bytes = 0;
        while (in_chunk_ < chunk_.length && g.texts.size() < GROUP_TEXTS &&
               group_bytes < GROUP_BYTES) {
            const ChunkText text = chunk_text(chunk_, in_chunk_++);
            TextRecord r = blank_record(taken++);
            r.null = text.null;
            // Arrow strings are UTF-8 that Python would give as strs: places are str indexes.
            r.str_places = true;
            r.data = text.data;
            r.size = text.size;
            g.texts.push_back(r);
            group_bytes += text.size;
        }
        return true;
    }

    py::object feeds_;            // with `chunked`, the iterator of the feeds still to come
    bool current_ended_ = false;  // the feed being read is used up
    py::object iterator_;  // a Python iterator, or none for an Arrow column
    ArrowColumn* column_ = nullptr;
    py::object column_owner_;
    py::object strings_;  // an ArrowStrings not read yet (then chunk_owner_ keeps it alive)
    py::buffer_info buffers_[3];  // the ArrowStrings being read: offsets, data, validity
    py::object chunk_owner_;      // what keeps the chunk being read alive
    TextChunk chunk_;
    int64_t in_chunk_ = 0;  // texts taken of the chunk being read
    HeldError held_;
};

// Tokenizes a group with tokenizer `t`, its tally of bytes that are not UTF-8 kept with it.
template <class Tokenize>
void tokenize_group(SpanTokenizer& t, Group& g, Tokenize&& tokenize) {
    encode_group(g);
    t.utf8 = Utf8Tally{};
    tokenize();
    t.utf8.finish();
    g.utf8 = t.utf8;
}

// A call's workers and their tokenizers: none (the calling thread tokenizes, with its own
// tokenizer) until a second group is met and `jobs` asks for more than one. Threads run only
// within run(): none is left between calls, or in a child after a fork.
class Workers {
public:
    // work(group, tokenizer, worker) tokenizes a group's texts (encoded by then) with the
    // worker's tokenizer.
    using Work = std::function<void(Group&, SpanTokenizer&, unsigned worker)>;

    Workers(const TextSettings& settings, unsigned jobs, Work work)
        : settings_(settings), jobs_(jobs),
          pipeline_(0, [this, work = std::move(work)](Group& g, unsigned w) {
              SpanTokenizer& t = tokenizer(w);
              tokenize_group(t, g, [&] { work(g, t, w); });
          }) {}

    // With the interpreter held: the groups still out let their Python objects go.
    ~Workers() {
        pipeline_.stop();
        pipeline_.each_group(release_kept);
    }

    bool threaded() const { return pipeline_.workers() > 0; }
    // Groups out from an earlier run, still to be handed back.
    bool out() const { return pipeline_.in_flight() > 0; }

    // Groups of the feed through the workers, each handed to take(group) in order with the
    // interpreter held; no more are filled once enough() says so, and the run ends when those
    // out are all back (the threads then stop: stopping them with groups in their hands would
    // only have them finish those). The source's own error is the caller's to raise.
    // Interrupted (a signal handler's exception), the groups out stay out, and the next run
    // goes on with them.
    template <class Take, class Enough>
    void run(TextFeed& feed, Take&& take, Enough&& enough) {
        struct Stopped {  // however the run ends, no thread outlives it
            Workers& w;
            ~Stopped() {
                {
                    py::gil_scoped_release nogil;
                    w.pipeline_.stop();
                }
                w.own_.reset();  // the thread's tokenizer, free for its other calls
            }
        } stopped{*this};
        if (!threaded() && pipeline_.queued() > 0) start_threads();  // an earlier run's groups
        for (;;) {
            while (!feed.ended && pipeline_.has_room() && !enough()) {
                Group& g = pipeline_.free_group();
                if (!feed.fill(g)) {
                    pipeline_.recycle(g);
                    break;
                }
                if (!threaded() && jobs_ > 1 && (!feed.ended || pipeline_.in_flight() > 1))
                    start_threads();  // more than one group: worth the threads
                if (threaded()) {
                    pipeline_.submit(g);
                } else {
                    py::gil_scoped_release nogil;
                    pipeline_.submit(g);
                }
            }
            if (pipeline_.in_flight() == 0) return;
            Group* done;
            {
                py::gil_scoped_release nogil;
                done = &pipeline_.next_done();
            }
            take(*done);
            release_kept(*done);
            pipeline_.recycle(*done);
            if (PyErr_CheckSignals() != 0) throw py::error_already_set();
        }
    }

    template <class Take>
    void run(TextFeed& feed, Take&& take) {
        run(feed, std::forward<Take>(take), [] { return false; });
    }

private:
    // The tokenizer of worker `w`, made on its own thread the first time.
    SpanTokenizer& tokenizer(unsigned w) {
        if (!threaded()) {
            if (!own_) own_ = std::make_unique<ThreadTokenizer>(settings_);
            return **own_;
        }
        std::unique_ptr<SpanTokenizer>& t = tokenizers_[w];
        if (!t) {
            t = std::make_unique<SpanTokenizer>(nullptr, 0, TEXT_BATCH_SIZE);
            apply_settings(*t, settings_);
        }
        return *t;
    }

    void start_threads() {
        tokenizers_.resize(jobs_ > 1 ? jobs_ : 1);
        own_.reset();
        pipeline_.start(jobs_ > 1 ? jobs_ : 1);
    }

    TextSettings settings_;
    unsigned jobs_;
    std::unique_ptr<ThreadTokenizer> own_;
    std::vector<std::unique_ptr<SpanTokenizer>> tokenizers_;
    GroupPipeline pipeline_;
};

void add_tally(Utf8Tally& total, const Utf8Tally& more) {
    total.ill_formed += more.ill_formed;
    total.ill_formed_bytes += more.ill_formed_bytes;
    total.non_ascii_bytes += more.non_ascii_bytes;
}

// A token's text as a str: from a str that holds lone surrogates (`str_surrogates`), they come
// back as themselves; other bytes that are not UTF-8 as errors="surrogateescape" gives them.
// (Any other str's bytes are well-formed, and give the same str either way.)
PyObject* text_of(const uint8_t* p, size_t n, bool str_surrogates) {
    if (str_surrogates)
        for (size_t i = 0; i < n; ++i)
            if (p[i] == 0xED)  // the lead byte of an encoded surrogate
                return PyUnicode_DecodeUTF8(reinterpret_cast<const char*>(p),
                                            static_cast<Py_ssize_t>(n), "surrogatepass");
    return token_text(p, n);
}

// The strs of short tokens made so far, so that a token met again (most are: the common
// words, spaces and marks) costs a look-up and a reference instead of a new object.
// Direct-mapped: a token whose slot is taken replaces what is there. One for the process,
// used with the interpreter held and never freed, as interned strs are not: a short call
// finds its words there.
class StrCache {
public:
    StrCache() : slots_(SLOTS) {}

    static StrCache& shared() {
        static StrCache* cache = new StrCache();
        return *cache;
    }

    // A new reference to the str of the token p[0, n) (of a str holding lone surrogates, if
    // `str_surrogates`), or nullptr with a Python error set.
    PyObject* get(const uint8_t* p, size_t n, bool str_surrogates) {
        if (n > MAX_BYTES) return text_of(p, n, str_surrogates);
        uint64_t h = 0xcbf29ce484222325ULL ^ n;  // FNV-1a: short keys, one multiply a byte
        for (size_t i = 0; i < n; ++i) h = (h ^ p[i]) * 0x100000001b3ULL;
        Slot& s = slots_[(h ^ h >> 29) & (SLOTS - 1)];
        if (s.str != nullptr && s.length == n && s.str_surrogates == str_surrogates &&
            std::memcmp(s.bytes, p, n) == 0) {
            Py_INCREF(s.str);
            return s.str;
        }
        PyObject* str = text_of(p, n, str_surrogates);
        if (str == nullptr) return nullptr;
        Py_XDECREF(s.str);
        Py_INCREF(str);
        s.str = str;
        s.length = static_cast<uint8_t>(n);
        s.str_surrogates = str_surrogates;
        std::memcpy(s.bytes, p, n);
        return str;
    }

private:
    // Enough for the words that make most of a text's tokens in either language.
    static constexpr size_t SLOTS = 1 << 15;
    static constexpr size_t MAX_BYTES = 30;
    struct Slot {
        PyObject* str = nullptr;
        uint8_t length = 0;
        bool str_surrogates = false;
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

// The list of `n` token strs that start at token `first` of a group's tokens.
PyObject* token_list(const GroupTokens& tokens, size_t first, uint32_t n, bool str_surrogates) {
    PyObject* list = PyList_New(n);
    if (list == nullptr) return nullptr;
    uint64_t start = first == 0 ? 0 : tokens.ends[first - 1];
    StrCache& strs = StrCache::shared();
    for (uint32_t i = 0; i < n; ++i) {
        const uint64_t end = tokens.ends[first + i];
        PyObject* s = strs.get(reinterpret_cast<const uint8_t*>(tokens.data.data()) + start,
                               static_cast<size_t>(end - start), str_surrogates);
        if (s == nullptr) {
            Py_DECREF(list);
            return nullptr;
        }
        PyList_SET_ITEM(list, i, s);
        start = end;
    }
    return list;
}

// A vector's values as an array that takes the vector over: no copy.
template <class T>
py::array_t<T> as_array(std::vector<T>&& v) {
    auto* owned = new std::vector<T>(std::move(v));
    py::capsule owner(owned, [](void* p) { delete static_cast<std::vector<T>*>(p); });
    return py::array_t<T>(static_cast<py::ssize_t>(owned->size()), owned->data(), owner);
}

// A source that is one text (a str or bytes object), or many.
bool one_text(const py::handle& source) {
    return PyUnicode_Check(source.ptr()) || PyBytes_Check(source.ptr());
}

// ---- the short road: a few texts, on the calling thread ----

// A str or bytes object (one text), or a list or tuple of this many texts or fewer, is
// tokenized text by text on the calling thread with the interpreter held: no group, no worker
// and no release, which would cost a short text more than its tokens.
constexpr Py_ssize_t SHORT_ROAD_TEXTS = 16;

bool short_road(const py::handle& source) {
    if (one_text(source)) return true;
    PyObject* o = source.ptr();
    return (PyList_CheckExact(o) || PyTuple_CheckExact(o)) &&
           PySequence_Fast_GET_SIZE(o) <= SHORT_ROAD_TEXTS;
}

// use(record) for each text of a short-road source, its bytes in `bytes` while it is used;
// TypeError for an item that is not a text, after the texts before it.
template <class Use>
void each_short_text(const py::handle& source, GroupBytes& bytes, Use&& use) {
    PyObject* const o = source.ptr();
    const bool one = one_text(source);
    const Py_ssize_t n = one ? 1 : PySequence_Fast_GET_SIZE(o);
    for (Py_ssize_t i = 0; i < n; ++i) {
        // A list can change size while a token str is made (nothing here runs Python code,
        // but the size is read again all the same).
        if (!one && i >= PySequence_Fast_GET_SIZE(o)) break;
        PyObject* item = one ? o : PySequence_Fast_GET_ITEM(o, i);
        TextRecord r = blank_record(i);
        bytes.clear();
        if (!take_text(item, r, bytes, nullptr)) throw py::error_already_set();
        encode_record(r, bytes);
        point_record(r, bytes);
        use(r);
    }
}

// The list of one text's kept tokens as strs, made as they come: a short text's tokens are
// one batch, and its list is made at their number and filled in place.
py::list token_strs(SpanTokenizer& t, const TextRecord& r, bool lower) {
    py::list out(0);
    StrCache& strs = StrCache::shared();
    uint8_t lowered[TEXT_BYTES_PER_TOKEN + 16];
    bool first = true;
    tokenize_text(t, r, false, [&](const Batch& b) {
        const bool whole = first && t.input_done();
        first = false;
        if (whole) out = py::reinterpret_steal<py::list>(PyList_New(b.token_count));
        if (!out) throw py::error_already_set();
        each_token(b, lower, lowered, [&](const uint8_t* p, uint32_t n, uint32_t i) {
            PyObject* s = strs.get(p, n, r.surrogates);
            if (s == nullptr) throw py::error_already_set();
            if (whole) {
                PyList_SET_ITEM(out.ptr(), i, s);
            } else {
                const int appended = PyList_Append(out.ptr(), s);
                Py_DECREF(s);
                if (appended != 0) throw py::error_already_set();
            }
        });
    });
    return out;
}

// ---- what each call does with the groups ----

// Counts one text's kept tokens and words (see count_texts); `lowered` has room for a token, a
// mark and what lower_word reads past it.
void count_text(SpanTokenizer& t, const TextRecord& r, Counts& counts, bool lower,
                uint64_t word_mask, uint8_t* lowered) {
    tokenize_text(t, r, false, [&](const Batch& b) {
        count_batch(counts, b, lower, word_mask, lowered, r.surrogates);
    });
}

// Counts the types of every kept token of every text, and the words among them (tokens whose
// type is in `word_mask`), lower-cased if asked, on `jobs` threads, each into counts of its
// own that are added up at the end. Returns the texts taken and the tally of the bytes texts.
py::tuple count_texts(py::object source, bool chunked, const TextSettings& settings,
                      Counts& counts, bool lower, uint64_t word_mask, unsigned jobs) {
    std::unique_lock<ObjectLock> counts_lock = lock_released(counts.lock, "Counts");
    uint8_t lowered[TEXT_BYTES_PER_TOKEN + WordCounts::READ_PAST];
    if (!chunked && short_road(source)) {
        ThreadTokenizer t(settings);
        int64_t taken = 0;
        each_short_text(source, t.bytes(), [&](const TextRecord& r) {
            count_text(*t, r, counts, lower, word_mask, lowered);
            ++taken;
        });
        return py::make_tuple(taken, tally_tuple(t->utf8));
    }
    TextFeed feed(std::move(source), chunked);
    std::vector<std::unique_ptr<Counts>> theirs(jobs > 0 ? jobs : 1);
    Workers workers(settings, jobs, [&](Group& g, SpanTokenizer& t, unsigned w) {
        // Worker 0 counts into the caller's counts, which the calling thread does not touch
        // meanwhile; the others into their own, added at the end.
        Counts* into = &counts;
        if (w > 0) {
            if (!theirs[w]) theirs[w] = std::make_unique<Counts>();
            into = theirs[w].get();
        }
        uint8_t lowered[TEXT_BYTES_PER_TOKEN + WordCounts::READ_PAST];  // the worker's own
        for (const TextRecord& r : g.texts) count_text(t, r, *into, lower, word_mask, lowered);
    });
    Utf8Tally tally;
    workers.run(feed, [&](Group& g) { add_tally(tally, g.utf8); });
    {
        py::gil_scoped_release nogil;
        for (const auto& c : theirs)
            if (c) merge_counts(counts, *c);
    }
    feed.raise_if_held();
    return py::make_tuple(feed.taken, tally_tuple(tally));
}

// For each text, the list of its kept tokens' texts (lower-cased if asked); an empty list for
// a null, so that the lists stay in step with the texts. The workers gather the tokens' bytes,
// the calling thread makes the lists. Returns the lists and the tally of the bytes texts.
py::tuple token_lists(py::object source, bool chunked, const TextSettings& settings, bool lower,
                      unsigned jobs) {
    if (!chunked && short_road(source)) {
        ThreadTokenizer t(settings);
        py::list out(0);
        each_short_text(source, t.bytes(), [&](const TextRecord& r) {
            if (PyList_Append(out.ptr(), token_strs(*t, r, lower).ptr()) != 0)
                throw py::error_already_set();
        });
        return py::make_tuple(out, tally_tuple(t->utf8));
    }
    TextFeed feed(std::move(source), chunked);
    py::list out;
    Workers workers(settings, jobs, [lower](Group& g, SpanTokenizer& t, unsigned) {
        collect_tokens(t, g, lower);
    });
    CollectorPaused paused;
    Utf8Tally tally;
    workers.run(feed, [&](Group& g) {
        add_tally(tally, g.utf8);
        size_t first = 0;
        for (size_t i = 0; i < g.texts.size(); ++i) {
            const uint32_t n = g.tokens.per_text[i];
            PyObject* list = token_list(g.tokens, first, n, g.texts[i].surrogates);
            if (list == nullptr) throw py::error_already_set();
            const int appended = PyList_Append(out.ptr(), list);
            Py_DECREF(list);
            if (appended != 0) throw py::error_already_set();
            first += n;
        }
    });
    feed.raise_if_held();
    return py::make_tuple(out, tally_tuple(tally));
}

// The token lists as an Arrow column, owned by the native module and handed to Arrow's
// libraries through the PyCapsule interface: __arrow_c_array__ and __arrow_c_stream__ export
// its buffers as they are, as many times as asked (each export shares the column).
struct ArrowLists {
    std::shared_ptr<const TokenListColumn> column;

    py::tuple arrow_c_array(const py::object&) const {
        auto* schema = new ArrowSchema{};
        export_schema(*column, *schema);
        py::capsule schema_capsule = owning_capsule(schema, "arrow_schema");
        auto* array = new ArrowArray{};
        export_array(column, *array);
        return py::make_tuple(schema_capsule, owning_capsule(array, "arrow_array"));
    }

    py::capsule arrow_c_stream(const py::object&) const {
        auto* stream = new ArrowArrayStream{};
        export_stream(column, *stream);
        return owning_capsule(stream, "arrow_array_stream");
    }
};

// For each text, the list of its kept tokens' texts (lower-cased if asked), as an Arrow
// large_list<large_string>, or with `large` false a list<string> (32-bit offsets: ValueError
// past them); a null list for a null text. Returns the lists and the tally of the bytes texts.
py::tuple arrow_lists(py::object source, bool chunked, const TextSettings& settings, bool lower,
                      unsigned jobs, bool large) {
    TextFeed feed(std::move(source), chunked);
    auto column = std::make_shared<TokenListColumn>(large);
    Workers workers(settings, jobs, [lower](Group& g, SpanTokenizer& t, unsigned) {
        collect_tokens(t, g, lower);
    });
    Utf8Tally tally;
    workers.run(feed, [&](Group& g) {
        add_tally(tally, g.utf8);
        bool fits;
        {
            py::gil_scoped_release nogil;  // only copies
            const GroupTokens& tokens = g.tokens;
            fits = column->append(reinterpret_cast<const uint8_t*>(tokens.data.data()),
                                  tokens.ends.data(), tokens.ends.size(),
                                  tokens.per_text.data(), g.texts.size(),
                                  [&](size_t k) { return g.texts[k].null; });
        }
        if (!fits)
            throw py::value_error(
                "large=False makes a list<string>, whose 32-bit offsets hold at most 2**31-1 "
                "tokens and bytes of tokens: these texts have more; pass large=True");
    });
    feed.raise_if_held();
    return py::make_tuple(ArrowLists{std::move(column)}, tally_tuple(tally));
}

// ---- bag-of-words matrices ----

// A table of terms and their columns (ids), for vorlenta.sklearn: made by a fit, or from the
// keys of a vocabulary or of stop words. Only read once made, so calls may share it.
struct Terms {
    WordCounts table;
};

std::shared_ptr<Terms> terms_of_keys(const py::iterable& keys) {
    auto terms = std::make_shared<Terms>();
    std::string key;
    for (py::handle k : keys) {
        key = py::cast<std::string>(py::reinterpret_borrow<py::bytes>(k));
        key.append(WordCounts::READ_PAST, '\0');
        const auto n = static_cast<uint32_t>(key.size() - WordCounts::READ_PAST);
        const size_t before = terms->table.size();
        terms->table.add(reinterpret_cast<const uint8_t*>(key.data()), n);
        if (terms->table.size() == before)
            throw py::value_error("the same term twice: " + key.substr(0, n));
    }
    return terms;
}

// Each term's str, its columns `ids` in that order.
py::list term_names(const Terms& terms, const py::array_t<int64_t, py::array::c_style>& ids) {
    const std::vector<const WordCounts::Entry*> by_id = entries_by_id(terms.table);
    py::list out(ids.size());
    const int64_t* id = ids.data();
    for (py::ssize_t i = 0; i < ids.size(); ++i) {
        if (id[i] < 0 || static_cast<uint64_t>(id[i]) >= by_id.size())
            throw py::index_error("no such term");
        const WordCounts::Entry& e = *by_id[static_cast<size_t>(id[i])];
        const auto* key = reinterpret_cast<const char*>(terms.table.word(e));
        PyObject* name = PyUnicode_DecodeUTF8(key, e.length, "surrogatepass");
        if (name == nullptr) throw py::error_already_set();
        PyList_SET_ITEM(out.ptr(), i, name);
    }
    return out;
}

// The terms `ids`, renumbered from 0 in that order.
std::shared_ptr<Terms> terms_subset(const Terms& terms,
                                    const py::array_t<int64_t, py::array::c_style>& ids) {
    auto out = std::make_shared<Terms>();
    if (!table_of(terms.table, ids.data(), static_cast<size_t>(ids.size()), out->table))
        throw py::index_error("no such term");
    return out;
}

// The rows of a matrix in CSR form: where each row's entries start, their columns and values.
struct Rows {
    std::vector<int64_t> starts{0};
    std::vector<int32_t> columns;
    std::vector<int64_t> values;  // a matrix's usual values: SciPy takes them as they are

    // A group's rows after the ones before; returns where they start.
    size_t append(const Group& g) {
        const size_t first = columns.size();
        for (uint32_t n : g.rows.per_text) starts.push_back(starts.back() + n);
        columns.insert(columns.end(), g.rows.columns.begin(), g.rows.columns.end());
        values.insert(values.end(), g.rows.values.begin(), g.rows.values.end());
        return first;
    }

    py::tuple arrays(Utf8Tally tally) {
        return py::make_tuple(as_array(std::move(starts)), as_array(std::move(columns)),
                              as_array(std::move(values)), tally_tuple(tally));
    }
};

// Each text's row of term counts, its entries in column order: the columns of `terms`, terms it
// has not skipped; or where `terms` is null, of a table made here, each term added when first
// met, then renumbered in the order of the terms' strs once the texts are read. Returns (terms,
// row starts, columns, values, tally). A worker other than the first adds terms to a table of
// its own, renumbered into the call's at the end.
py::tuple term_rows(py::object source, bool chunked, const TextSettings& settings,
                    const TermSettings& term_settings, std::shared_ptr<Terms> terms,
                    unsigned jobs) {
    const bool grow = terms == nullptr;
    if (grow) terms = std::make_shared<Terms>();
    WordCounts& table = terms->table;
    TextFeed feed(std::move(source), chunked);
    std::vector<std::unique_ptr<TermWorker>> state(jobs > 0 ? jobs : 1);
    Workers workers(settings, jobs, [&](Group& g, SpanTokenizer& t, unsigned w) {
        if (!state[w]) state[w] = std::make_unique<TermWorker>();
        g.worker = w;
        // The first worker adds to the call's table, which nothing else touches meanwhile.
        count_terms(t, g, term_settings, grow && w > 0 ? state[w]->own : table, grow, *state[w]);
    });
    struct Theirs {  // entries whose columns are ids of a worker's own table
        unsigned worker;
        size_t first, end;
    };
    std::vector<Theirs> theirs;
    Rows rows;
    Utf8Tally tally;
    workers.run(feed, [&](Group& g) {
        add_tally(tally, g.utf8);
        const size_t first = rows.append(g);
        if (grow && g.worker > 0) theirs.push_back({g.worker, first, rows.columns.size()});
    });
    feed.raise_if_held();
    {
        py::gil_scoped_release nogil;
        if (grow) {
            std::vector<std::vector<int32_t>> ids(state.size());
            for (size_t w = 1; w < state.size(); ++w)
                if (state[w]) ids[w] = add_table(table, state[w]->own);
            for (const Theirs& part : theirs)
                for (size_t k = part.first; k < part.end; ++k)
                    rows.columns[k] = ids[part.worker][static_cast<size_t>(rows.columns[k])];
        }
        // (Thrown without the interpreter: the binding sets the Python error once it is back.)
        if (table.size() > static_cast<size_t>(INT32_MAX))
            throw py::value_error("more than 2**31-1 terms: a matrix's columns cannot number them");
        std::vector<int32_t> column_of;  // by id: its place in the order of the terms' strs
        if (grow) {
            const std::vector<int64_t> order = ids_in_key_order(table);
            column_of.resize(order.size());
            for (size_t c = 0; c < order.size(); ++c)
                column_of[static_cast<size_t>(order[c])] = static_cast<int32_t>(c);
            table.renumber(column_of.data());
        }
        order_rows(rows.starts.data(), rows.starts.size() - 1, rows.columns.data(),
                   rows.values.data(), grow ? column_of.data() : nullptr, jobs);
    }
    py::tuple arrays = rows.arrays(tally);
    return py::make_tuple(terms, arrays[0], arrays[1], arrays[2], arrays[3]);
}

// Each text's row of hashed term counts: columns ascending, the values the sums of the terms'
// signs. Returns (row starts, columns, values, tally).
py::tuple hashed_rows(py::object source, bool chunked, const TextSettings& settings,
                      const TermSettings& term_settings, uint32_t n_features, bool alternate_sign,
                      unsigned jobs) {
    TextFeed feed(std::move(source), chunked);
    std::vector<std::unique_ptr<TermWorker>> state(jobs > 0 ? jobs : 1);
    Workers workers(settings, jobs, [&](Group& g, SpanTokenizer& t, unsigned w) {
        if (!state[w]) state[w] = std::make_unique<TermWorker>();
        hash_terms(t, g, term_settings, n_features, alternate_sign, *state[w]);
    });
    Rows rows;
    Utf8Tally tally;
    workers.run(feed, [&](Group& g) {
        add_tally(tally, g.utf8);
        rows.append(g);
    });
    feed.raise_if_held();
    return rows.arrays(tally);
}

TermSettings term_settings_of(bool lower, uint32_t min_n, uint32_t max_n,
                              const std::shared_ptr<Terms>& stop) {
    if (min_n < 1 || max_n < min_n) throw py::value_error("n-grams need 1 <= min_n <= max_n");
    return TermSettings{lower, min_n, max_n, stop ? &stop->table : nullptr};
}

// One text's kept tokens as strs: the short road for a str or bytes object.
py::list words(py::handle text, const TextSettings& settings, bool lower) {
    if (!one_text(text))
        throw py::type_error(std::string("text must be a str or bytes, not ") +
                             Py_TYPE(text.ptr())->tp_name);
    ThreadTokenizer t(settings);
    py::list out;
    each_short_text(text, t.bytes(), [&](const TextRecord& r) { out = token_strs(*t, r, lower); });
    return out;
}

// Every kept token of one str as `token_class(text, type, start, stop)`, its places str
// indexes: the short road of tokenize.
py::list str_tokens(py::str text, const TextSettings& settings, py::type token_class,
                    py::tuple members) {
    if (PyTuple_GET_SIZE(members.ptr()) != 8) throw py::value_error("members: 8 members");
    PyTypeObject* const cls = token_tuple_class(token_class);
    ThreadTokenizer t(settings);
    py::list out(0);
    each_short_text(text, t.bytes(), [&](const TextRecord& r) {
        CharIndex index{r.data, 0, 0, r.ascii};
        tokenize_text(*t, r, true, [&](const Batch& b) {
            append_token_tuples(
                b, t->offsets, index,
                [&](const uint8_t* p, size_t length, uint64_t, uint64_t) {
                    return StrCache::shared().get(p, length, r.surrogates);
                },
                cls, &PyTuple_GET_ITEM(members.ptr(), 0), out);
        });
    });
    return out;
}

// The places of many texts' tokens, batch_size at a time: (starts, stops, types, texts), where
// texts[i] is the place of token i's text in the source and its offsets are in that text (str
// indexes for a str and an Arrow string, byte offsets for bytes). Each call tokenizes whole
// groups, on `jobs` threads, until a batch is ready.
class TextSpans {
public:
    TextSpans(py::object source, const TextSettings& settings, uint32_t batch_size, unsigned jobs,
              bool chunked)
        : feed_(std::move(source), chunked), batch_size_(batch_size > 0 ? batch_size : 1),
          workers_(settings, jobs,
                   [](Group& g, SpanTokenizer& t, unsigned) { collect_spans(t, g); }) {}

    py::object next() {
        refuse_numpy_reentry("spans");
        std::unique_lock<ObjectLock> lock = lock_released(lock_, "spans");
        if (pending_ < batch_size_ && (!feed_.ended || workers_.out()))
            workers_.run(
                feed_,
                [&](Group& g) {
                    add_tally(tally_, g.utf8);
                    if (g.spans.starts.empty()) return;
                    // The group's places are taken over, not copied: each is copied once, into
                    // the batch that delivers it.
                    pending_ += g.spans.starts.size();
                    chunks_.push_back(std::make_shared<GroupSpans>(std::move(g.spans)));
                    g.spans = GroupSpans{};
                },
                [&] { return pending_ >= batch_size_; });
        if (pending_ == 0) {
            // The tokens of the texts read before an error of the source have all been
            // delivered: now the error.
            feed_.raise_if_held();
            return py::none();
        }
        set_up_numpy("spans");
        const size_t n = pending_ < batch_size_ ? pending_ : batch_size_;
        py::tuple batch =
            py::make_tuple(cut(&GroupSpans::starts, n), cut(&GroupSpans::stops, n),
                           cut(&GroupSpans::types, n), cut(&GroupSpans::texts, n));
        // Past the n delivered.
        pending_ -= n;
        for (size_t left = n; left > 0;) {
            const size_t here = std::min(left, chunks_.front()->starts.size() - head_);
            head_ += here;
            left -= here;
            if (head_ == chunks_.front()->starts.size()) {
                chunks_.pop_front();
                head_ = 0;
            }
        }
        return batch;
    }

    py::tuple utf8_tally() {
        std::unique_lock<ObjectLock> lock = lock_released(lock_, "spans");
        return tally_tuple(tally_);
    }

private:
    // The next n values of one of the places' arrays, from head_ on: a view of the chunk they
    // lie in, which the array keeps alive (no copy), or where they cross chunks, a copy.
    template <class T>
    py::array_t<T> cut(std::vector<T> GroupSpans::*field, size_t n) const {
        const std::shared_ptr<GroupSpans>& first = chunks_.front();
        if (head_ + n <= ((*first).*field).size()) {
            auto* owner = new std::shared_ptr<GroupSpans>(first);
            py::capsule keep(owner, [](void* p) {
                delete static_cast<std::shared_ptr<GroupSpans>*>(p);
            });
            return py::array_t<T>(static_cast<py::ssize_t>(n), ((*first).*field).data() + head_,
                                  keep);
        }
        py::array_t<T> a(static_cast<py::ssize_t>(n));
        T* out = a.mutable_data();
        size_t at = head_;
        for (auto chunk = chunks_.begin(); n > 0; ++chunk, at = 0) {
            const std::vector<T>& v = (**chunk).*field;
            const size_t here = std::min(n, v.size() - at);
            std::memcpy(out, v.data() + at, here * sizeof(T));
            out += here;
            n -= here;
        }
        return a;
    }

    TextFeed feed_;
    size_t batch_size_;
    Workers workers_;
    // Taken, not yet delivered: from head_ of the first on. Shared with the arrays that view
    // them.
    std::deque<std::shared_ptr<GroupSpans>> chunks_;
    size_t head_ = 0;
    size_t pending_ = 0;
    Utf8Tally tally_;
    ObjectLock lock_;
};

// The command's tokenizer of a dataset's texts, with its settings: counts, and the lines of
// every text's tokens.
class Texts {
public:
    void configure(uint64_t filter, uint32_t min_len, uint32_t max_len, bool split_hyphens) {
        std::unique_lock<ObjectLock> lock = lock_released(lock_, "Texts");
        settings_ = TextSettings{filter, min_len, max_len, split_hyphens};
    }

    int64_t count(py::object source, Counts& counts, bool lower, uint64_t word_mask) {
        std::unique_lock<ObjectLock> lock = lock_released(lock_, "Texts");
        return count_texts(std::move(source), false, settings_, counts, lower, word_mask, 1)[0]
            .cast<int64_t>();
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
        TextSettings settings = settings_;
        if (words) settings.filter &= ~type_bits(TokenType::NWLINE);
        ThreadTokenizer t(settings);
        // The file column and a record number: room enough that no text reallocates it.
        std::string prefix(reinterpret_cast<const char*>(options.prefix), options.prefix_length);
        const size_t file_part = prefix.size();
        prefix.reserve(file_part + 40);
        LineOptions text_options = options;
        LineOutput& out = output.lines;
        bool written = out.error == 0;
        Group g;
        struct Released {
            Group& g;
            ~Released() { release_kept(g); }
        } released{g};
        while (written) {
            g.clear();
            if (!feed.fill(g)) break;
            {
                py::gil_scoped_release nogil;
                encode_group(g);
                for (const TextRecord& r : g.texts) {
                    if (numbered) {
                        prefix.resize(file_part);
                        const std::string number = std::to_string(first + r.index);
                        if (options.format == LineFormat::jsonl) prefix += "\"record\": ";
                        prefix += number;
                        prefix += options.format == LineFormat::jsonl ? ", " : "\t";
                        text_options.prefix = reinterpret_cast<const uint8_t*>(prefix.data());
                        text_options.prefix_length = static_cast<uint32_t>(prefix.size());
                    }
                    tokenize_text(*t, r, options.offsets, [&](const Batch& b) {
                        if (written) write_token_lines(b, &t->offsets, text_options, out);
                        written = out.error == 0;
                    });
                    if (words && written) written = end_words_line(out, true);
                    if (!written) break;
                }
            }
            release_kept(g);
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

private:
    TextSettings settings_;
    ObjectLock lock_;
};

// The texts of a chunk of JSON Lines (whole lines), read with the interpreter released: an
// ArrowStrings over buffers of their own, one entry per line, and what the lines held:
// (lines, records, with_field, skipped, bad_lines, first_bad, first_bad_reason, keys).
py::tuple json_texts(py::bytes chunk, const std::string& field) {
    char* data;
    Py_ssize_t size;
    PyBytes_AsStringAndSize(chunk.ptr(), &data, &size);
    auto read = std::make_unique<JsonLineTexts>();
    {
        py::gil_scoped_release nogil;
        read_json_lines(reinterpret_cast<const uint8_t*>(data), static_cast<size_t>(size), field,
                        *read);
    }
    const JsonLineTexts& r = *read;
    py::list keys;
    for (const std::string& k : r.keys)
        keys.append(py::reinterpret_steal<py::object>(word_text(
            reinterpret_cast<const uint8_t*>(k.data()), k.size())));
    py::tuple stats = py::make_tuple(r.lines, r.records, r.with_field, r.skipped, r.bad_lines,
                                     r.first_bad, r.first_bad_reason, keys);
    const bool nulls = r.records - r.skipped != r.lines;
    std::vector<uint8_t> bytes(r.data.begin(), r.data.end());
    std::vector<int64_t> offsets = std::move(read->offsets);
    std::vector<uint8_t> valid = std::move(read->valid);
    const auto lines = static_cast<int64_t>(r.lines);
    py::object validity = nulls ? py::object(as_array(std::move(valid))) : py::none();
    py::object texts = py::cast(ArrowStrings(as_array(std::move(offsets)),
                                             as_array(std::move(bytes)), validity, 0, lines, true));
    return py::make_tuple(texts, stats);
}

TextSettings settings_of(uint64_t filter, uint32_t min_len, uint32_t max_len, bool split) {
    return TextSettings{filter, min_len, max_len, split};
}

// ---- plain CPython functions for the calls a short text makes ----
// Their arguments come by position from the library's own Python code, which has checked
// them: the binding library's dispatch, which converts and checks each one by its declared
// type, would cost a short text more than its tokens.

void arity(const char* name, Py_ssize_t given, Py_ssize_t least, Py_ssize_t most) {
    if (given < least || given > most)
        throw py::type_error(std::string(name) + "() takes " + std::to_string(least) + " to " +
                             std::to_string(most) + " positional arguments, not " +
                             std::to_string(given));
}

bool flag_arg(PyObject* o) {
    const int value = PyObject_IsTrue(o);
    if (value < 0) throw py::error_already_set();
    return value != 0;
}

uint32_t u32_arg(PyObject* o) {
    const unsigned long long value = PyLong_AsUnsignedLongLong(o);
    if (PyErr_Occurred()) throw py::error_already_set();
    if (value > UINT32_MAX) throw py::value_error("a length must be below 2**32");
    return static_cast<uint32_t>(value);
}

// filter, min_len, max_len, split_hyphens
TextSettings settings_arg(PyObject* const* a) {
    const unsigned long long filter = PyLong_AsUnsignedLongLong(a[0]);
    if (PyErr_Occurred()) throw py::error_already_set();
    return TextSettings{filter, u32_arg(a[1]), u32_arg(a[2]), flag_arg(a[3])};
}

template <class Call>
PyObject* plain_call(Call&& call) noexcept {
    try {
        return call().release().ptr();
    } catch (...) {
        set_python_error();
    }
    return nullptr;
}

PyObject* words_call(PyObject*, PyObject* const* a, Py_ssize_t n) {
    return plain_call([&] {
        arity("words", n, 6, 6);
        return py::object(words(a[0], settings_arg(a + 1), flag_arg(a[5])));
    });
}

PyObject* str_tokens_call(PyObject*, PyObject* const* a, Py_ssize_t n) {
    return plain_call([&] {
        arity("str_tokens", n, 7, 7);
        if (!PyUnicode_Check(a[0])) throw py::type_error("text must be a str");
        return py::object(str_tokens(py::reinterpret_borrow<py::str>(a[0]), settings_arg(a + 1),
                                     py::reinterpret_borrow<py::type>(a[5]),
                                     py::reinterpret_borrow<py::tuple>(a[6])));
    });
}

PyObject* token_lists_call(PyObject*, PyObject* const* a, Py_ssize_t n) {
    return plain_call([&] {
        arity("token_lists", n, 7, 8);
        return py::object(token_lists(py::reinterpret_borrow<py::object>(a[0]),
                                      n > 7 && flag_arg(a[7]), settings_arg(a + 1),
                                      flag_arg(a[5]), u32_arg(a[6])));
    });
}

PyObject* count_texts_call(PyObject*, PyObject* const* a, Py_ssize_t n) {
    return plain_call([&] {
        arity("count_texts", n, 9, 10);
        Counts& counts = constructed(py::cast<Counts&>(py::handle(a[1])));
        const unsigned long long word_mask = PyLong_AsUnsignedLongLong(a[7]);
        if (PyErr_Occurred()) throw py::error_already_set();
        return py::object(count_texts(py::reinterpret_borrow<py::object>(a[0]),
                                      n > 9 && flag_arg(a[9]), settings_arg(a + 2), counts,
                                      flag_arg(a[6]), word_mask, u32_arg(a[8])));
    });
}

// count_texts into counts of its own, and its words into a new `counter_type` (a dict
// subclass, made empty as dict.__new__ makes one): one call for the common case of one source.
PyObject* count_words_call(PyObject*, PyObject* const* a, Py_ssize_t n) {
    return plain_call([&] {
        arity("count_words", n, 9, 9);
        auto* counter_type = reinterpret_cast<PyTypeObject*>(a[8]);
        if (!PyType_Check(a[8]) || !PyType_IsSubtype(counter_type, &PyDict_Type))
            throw py::type_error("counter_type must be a dict subclass");
        const unsigned long long word_mask = PyLong_AsUnsignedLongLong(a[6]);
        if (PyErr_Occurred()) throw py::error_already_set();
        Counts counts;
        py::tuple done = count_texts(py::reinterpret_borrow<py::object>(a[0]), false,
                                     settings_arg(a + 1), counts, flag_arg(a[5]), word_mask,
                                     u32_arg(a[7]));
        py::tuple no_arguments(0);
        py::object words = py::reinterpret_steal<py::object>(
            counter_type->tp_new(counter_type, no_arguments.ptr(), nullptr));
        if (!words) throw py::error_already_set();
        add_words_to(counts.words, words.ptr());
        return py::object(py::make_tuple(words, done[1]));
    });
}

template <class F>
PyCFunction fastcall(F f) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

PyMethodDef plain_functions[] = {
    {"words", fastcall(words_call), METH_FASTCALL,
     "words($module, text, filter, min_len, max_len, split_hyphens, lower, /)\n--\n\n"
     "One str or bytes object's kept tokens as strs."},
    {"str_tokens", fastcall(str_tokens_call), METH_FASTCALL,
     "str_tokens($module, text, filter, min_len, max_len, split_hyphens, token_class, "
     "members, /)\n--\n\n"
     "One str's kept tokens as token_class(text, type, start, stop), its places str "
     "indexes."},
    {"token_lists", fastcall(token_lists_call), METH_FASTCALL,
     "token_lists($module, source, filter, min_len, max_len, split_hyphens, lower, jobs, "
     "chunked=False, /)\n--\n\n"
     "(lists, tally): each text's kept tokens as strs, and what of its bytes texts is not "
     "UTF-8."},
    {"count_texts", fastcall(count_texts_call), METH_FASTCALL,
     "count_texts($module, source, counts, filter, min_len, max_len, split_hyphens, lower, "
     "word_mask, jobs, chunked=False, /)\n--\n\n"
     "(texts, tally): counts the texts' tokens into counts, and what of its bytes texts is "
     "not UTF-8."},
    {"count_words", fastcall(count_words_call), METH_FASTCALL,
     "count_words($module, source, filter, min_len, max_len, split_hyphens, lower, word_mask, "
     "jobs, counter_type, /)\n--\n\n"
     "(words, tally): the words of one source of texts (a str, bytes, or many) as a new "
     "counter_type, and what of its bytes texts is not UTF-8."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

void bind_texts(py::module_& m) {
    if (PyModule_AddFunctions(m.ptr(), plain_functions) != 0) throw py::error_already_set();
    py::class_<ArrowStrings>(m, "ArrowStrings")
        .def(py::init<py::buffer, py::buffer, py::object, int64_t, int64_t, bool>(),
             py::arg("offsets"), py::arg("data"), py::arg("validity"), py::arg("offset"),
             py::arg("length"), py::arg("large"))
        .def_readonly("offsets", &ArrowStrings::offsets)
        .def_readonly("data", &ArrowStrings::data)
        .def_readonly("validity", &ArrowStrings::validity)
        .def_readonly("offset", &ArrowStrings::offset)
        .def_readonly("length", &ArrowStrings::length);

    m.def("json_texts", &json_texts, py::arg("chunk"), py::arg("field"),
          "The texts of whole JSON Lines in `chunk` (an ArrowStrings, an entry per line) and "
          "(lines, records, with_field, skipped, bad_lines, first_bad, first_bad_reason, keys).");

    // The library's calls over many texts (or one: a str or bytes object). `source` is an
    // iterable of texts, an ArrowStrings, or with `chunked` an iterable of such feeds.
    py::class_<ArrowColumn>(m, "ArrowColumn")
        .def(py::init<const py::object&>(), py::arg("source"))
        .def_property_readonly("columns", &ArrowColumn::columns)
        .def("open", &ArrowColumn::open, py::arg("child") = -1);
    py::class_<ArrowLists>(m, "ArrowLists")
        .def("__arrow_c_array__", &ArrowLists::arrow_c_array,
             py::arg("requested_schema") = py::none())
        .def("__arrow_c_stream__", &ArrowLists::arrow_c_stream,
             py::arg("requested_schema") = py::none())
        .def("__len__", [](const ArrowLists& l) { return l.column->length; });

    // The library's calls over many texts (or one: a str or bytes object). `source` is an
    // iterable of texts, an ArrowColumn, an ArrowStrings, or with `chunked` an iterable of
    // such feeds.
    m.def("arrow_lists",
          [](py::object source, uint64_t filter, uint32_t min_len, uint32_t max_len,
             bool split_hyphens, bool lower, unsigned jobs, bool chunked, bool large) {
              return arrow_lists(std::move(source), chunked,
                                 settings_of(filter, min_len, max_len, split_hyphens), lower,
                                 jobs, large);
          },
          py::arg("source"), py::arg("filter"), py::arg("min_len"), py::arg("max_len"),
          py::arg("split_hyphens"), py::arg("lower"), py::arg("jobs"), py::arg("chunked") = false,
          py::arg("large") = true);
    // Bag-of-words matrices for vorlenta.sklearn.
    py::class_<Terms, std::shared_ptr<Terms>>(m, "Terms")
        .def(py::init(&terms_of_keys), py::arg("keys"),
             "A table of the terms whose keys (bytes) are given, their ids in that order.")
        .def("__len__", [](const Terms& t) { return t.table.size(); })
        .def("names", &term_names, py::arg("ids"))
        .def("subset", &terms_subset, py::arg("ids"));
    m.def("term_rows",
          [](py::object source, uint64_t filter, uint32_t min_len, uint32_t max_len,
             bool split_hyphens, bool lower, unsigned jobs, bool chunked, uint32_t min_n,
             uint32_t max_n, std::shared_ptr<Terms> stop, std::shared_ptr<Terms> terms) {
              const TermSettings s = term_settings_of(lower, min_n, max_n, stop);
              return term_rows(std::move(source), chunked,
                               settings_of(filter, min_len, max_len, split_hyphens), s,
                               std::move(terms), jobs);
          },
          py::arg("source"), py::arg("filter"), py::arg("min_len"), py::arg("max_len"),
          py::arg("split_hyphens"), py::arg("lower"), py::arg("jobs"), py::arg("chunked"),
          py::arg("min_n"), py::arg("max_n"), py::arg("stop").none(true),
          py::arg("terms").none(true),
          "(terms, row starts, columns, values, tally): each text's term counts, its columns "
          "ids in `terms` (None: a new table, in the order of the terms' strs).");
    m.def("hashed_rows",
          [](py::object source, uint64_t filter, uint32_t min_len, uint32_t max_len,
             bool split_hyphens, bool lower, unsigned jobs, bool chunked, uint32_t min_n,
             uint32_t max_n, std::shared_ptr<Terms> stop, uint32_t n_features,
             bool alternate_sign) {
              if (n_features < 1 || n_features > static_cast<uint32_t>(INT32_MAX))
                  throw py::value_error("n_features must be within 1..2**31-1");
              const TermSettings s = term_settings_of(lower, min_n, max_n, stop);
              return hashed_rows(std::move(source), chunked,
                                 settings_of(filter, min_len, max_len, split_hyphens), s,
                                 n_features, alternate_sign, jobs);
          },
          py::arg("source"), py::arg("filter"), py::arg("min_len"), py::arg("max_len"),
          py::arg("split_hyphens"), py::arg("lower"), py::arg("jobs"), py::arg("chunked"),
          py::arg("min_n"), py::arg("max_n"), py::arg("stop").none(true), py::arg("n_features"),
          py::arg("alternate_sign"),
          "(row starts, columns, values, tally): each text's hashed term counts.");
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
        .def(py::init([](py::object source, uint64_t filter, uint32_t min_len, uint32_t max_len,
                         uint32_t batch_size, bool split_hyphens, unsigned jobs, bool chunked) {
                 return new TextSpans(std::move(source),
                                      settings_of(filter, min_len, max_len, split_hyphens),
                                      batch_size, jobs, chunked);
             }),
             py::arg("source"), py::arg("filter"), py::arg("min_len"), py::arg("max_len"),
             py::arg("batch_size"), py::arg("split_hyphens") = false, py::arg("jobs") = 1,
             py::arg("chunked") = false)
        .def("next", [](TextSpans& s) { return constructed(s).next(); })
        .def("utf8_tally", [](TextSpans& s) { return constructed(s).utf8_tally(); });
}

}  // namespace vorlenta
