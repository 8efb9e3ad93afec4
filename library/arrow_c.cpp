#include "library/arrow_c.hpp"

#include <cstring>

namespace vorlenta {

void release(ArrowSchema& s) {
    if (s.release != nullptr) s.release(&s);
    s.release = nullptr;
}

void release(ArrowArray& a) {
    if (a.release != nullptr) a.release(&a);
    a.release = nullptr;
}

void release(ArrowArrayStream& s) {
    if (s.release != nullptr) s.release(&s);
    s.release = nullptr;
}

namespace {

const uint8_t NO_BYTES[1] = {0};

template <class T>
T load(const uint8_t* p, int64_t i) {
    T v;
    std::memcpy(&v, p + sizeof(T) * static_cast<size_t>(i), sizeof(T));
    return v;
}

// The names Arrow's own libraries give the types of one format character or prefix.
const char* simple_name(const std::string& f) {
    static const struct {
        const char* format;
        const char* name;
    } names[] = {
        {"n", "null"},       {"b", "bool"},           {"c", "int8"},         {"C", "uint8"},
        {"s", "int16"},      {"S", "uint16"},         {"i", "int32"},        {"I", "uint32"},
        {"l", "int64"},      {"L", "uint64"},         {"e", "float16"},      {"f", "float32"},
        {"g", "float64"},    {"z", "binary"},         {"Z", "large_binary"}, {"vz", "binary_view"},
        {"u", "string"},     {"U", "large_string"},   {"vu", "string_view"}, {"tdD", "date32"},
        {"tdm", "date64"},   {"+s", "struct"},        {"+m", "map"},         {"+r", "run_end_encoded"},
        {"+l", "list"},      {"+L", "large_list"},    {"+vl", "list_view"},  {"+vL", "large_list_view"},
    };
    for (const auto& n : names)
        if (f == n.format) return n.name;
    return nullptr;
}

std::string format_name(const std::string& f) {
    if (const char* name = simple_name(f)) return name;
    if (f.rfind("w:", 0) == 0) return "fixed_size_binary[" + f.substr(2) + "]";
    if (f.rfind("d:", 0) == 0) return "decimal(" + f.substr(2) + ")";
    if (f.rfind("ts", 0) == 0) return "timestamp[" + f.substr(2) + "]";
    if (f.rfind("tt", 0) == 0) return "time[" + f.substr(2) + "]";
    if (f.rfind("tD", 0) == 0) return "duration[" + f.substr(2) + "]";
    if (f.rfind("ti", 0) == 0) return "interval[" + f.substr(2) + "]";
    if (f.rfind("+w:", 0) == 0) return "fixed_size_list[" + f.substr(3) + "]";
    if (f.rfind("+u", 0) == 0) return "union";
    return "format " + f;
}

// The index of a dictionary: any integer, 1 to 8 bytes, signed or not.
bool index_format(const std::string& f, TextColumnType& type) {
    static const char formats[] = "cCsSiIlL";
    if (f.size() != 1) return false;
    const char* at = std::strchr(formats, f[0]);
    if (at == nullptr || f[0] == 0) return false;
    const auto k = static_cast<unsigned>(at - formats);
    type.index_width = static_cast<uint8_t>(1u << (k / 2));
    type.index_signed = k % 2 == 0;
    return true;
}

bool string_layout(const char* format, StringLayout& layout) {
    if (format == nullptr) return false;
    const std::string f = format;
    if (f == "u") layout = StringLayout::offsets32;
    else if (f == "U") layout = StringLayout::offsets64;
    else if (f == "vu") layout = StringLayout::views;
    else if (f == "n") layout = StringLayout::nulls;
    else return false;
    return true;
}

bool sane_extent(const ArrowArray& a) {
    // Room for one offset past the last entry, without overflow.
    return a.length >= 0 && a.offset >= 0 && a.offset <= INT64_MAX - a.length - 1;
}

// A string_view entry is 16 bytes, little-endian. Up to 12 bytes it holds its text itself,
// after its length; a longer text is in one of the variadic data buffers, and the view keeps
// its first 4 bytes (to compare without going there), the buffer's number and the offset in it:
//   "hello"           05 00 00 00 | 68 65 6c 6c 6f 00 00 00 00 00 00 00
//   20 bytes "abcd…"  14 00 00 00 | 61 62 63 64 | 01 00 00 00 | 40 00 00 00
// The second lies at offset 64 of variadic buffer 1, which is the array's buffer 2 + 1 (after
// the validity and the views); the array's last buffer holds each variadic buffer's size.
constexpr int64_t VIEW_BYTES = 16;
constexpr int32_t VIEW_INLINE = 12;

std::string check_strings(const ArrowArray& a, StringLayout layout, StringsView& out) {
    if (!sane_extent(a)) return "its length or offset is out of range";
    out = StringsView{};
    out.layout = layout;
    out.offset = a.offset;
    out.length = a.length;
    if (layout == StringLayout::nulls) return "";
    // Validity, offsets and data; or validity, views, the variadic buffers and their sizes.
    if (a.n_buffers < 3 || a.buffers == nullptr) return "it has too few buffers";
    if (layout != StringLayout::views && a.n_buffers != 3) return "it has too many buffers";
    out.validity = a.null_count != 0 ? static_cast<const uint8_t*>(a.buffers[0]) : nullptr;
    out.offsets = static_cast<const uint8_t*>(a.buffers[1]);
    if (out.offsets == nullptr) {
        if (a.length != 0) return "its offsets buffer is missing";
        out.layout = StringLayout::nulls;  // nothing to read
        return "";
    }
    const int64_t first = a.offset, end = a.offset + a.length;
    if (layout == StringLayout::views) {
        const int64_t variadic = a.n_buffers - 3;
        const auto* sizes = static_cast<const uint8_t*>(a.buffers[a.n_buffers - 1]);
        if (variadic > 0 && sizes == nullptr) return "its buffer of variadic sizes is missing";
        out.variadic = reinterpret_cast<const uint8_t* const*>(a.buffers + 2);
        for (int64_t i = first; i < end; ++i) {
            if (out.validity != nullptr && !bit_set(out.validity, i)) continue;
            const uint8_t* v = out.offsets + VIEW_BYTES * i;
            const auto length = load<int32_t>(v, 0);
            if (length < 0) return "a view has a negative length";
            if (length <= VIEW_INLINE) continue;
            const auto buffer = load<int32_t>(v, 2), at = load<int32_t>(v, 3);
            if (buffer < 0 || buffer >= variadic) return "a view names a buffer it does not have";
            if (at < 0 || int64_t{at} + length > load<int64_t>(sizes, buffer) ||
                out.variadic[buffer] == nullptr)
                return "a view reaches past the end of its buffer";
        }
        return "";
    }
    // The data buffer's size is not part of the interface: the last offset is its size. So
    // the offsets must start at 0 or after and never go back.
    const bool wide = layout == StringLayout::offsets64;
    int64_t last = 0;
    for (int64_t i = first; i <= end; ++i) {
        const int64_t at = wide ? load<int64_t>(out.offsets, i) : load<int32_t>(out.offsets, i);
        if (at < last) return "its offsets are not in order";
        last = at;
    }
    const int64_t start = wide ? load<int64_t>(out.offsets, first) : load<int32_t>(out.offsets, first);
    out.data = static_cast<const uint8_t*>(a.buffers[2]);
    if (out.data == nullptr) {
        if (last != start) return "its data buffer is missing";
        out.data = NO_BYTES;  // every text is empty: never read
    }
    return "";
}

int64_t index_at(const TextChunk& c, int64_t j) {
    switch (c.index_width) {
        case 1: return c.index_signed ? load<int8_t>(c.indices, j) : load<uint8_t>(c.indices, j);
        case 2: return c.index_signed ? load<int16_t>(c.indices, j) : load<uint16_t>(c.indices, j);
        case 4: return c.index_signed ? load<int32_t>(c.indices, j) : load<uint32_t>(c.indices, j);
        default: {
            // A uint64 index past INT64_MAX turns negative here, and is refused as such.
            return load<int64_t>(c.indices, j);
        }
    }
}

ChunkText string_at(const StringsView& s, int64_t j) {
    if (s.layout == StringLayout::nulls || (s.validity != nullptr && !bit_set(s.validity, j)))
        return {NO_BYTES, 0, true};
    if (s.layout == StringLayout::views) {
        const uint8_t* v = s.offsets + VIEW_BYTES * j;
        const auto length = load<int32_t>(v, 0);
        if (length <= VIEW_INLINE) return {v + 4, static_cast<uint64_t>(length), false};
        return {s.variadic[load<int32_t>(v, 2)] + load<int32_t>(v, 3),
                static_cast<uint64_t>(length), false};
    }
    int64_t start, end;
    if (s.layout == StringLayout::offsets64) {
        start = load<int64_t>(s.offsets, j);
        end = load<int64_t>(s.offsets, j + 1);
    } else {
        start = load<int32_t>(s.offsets, j);
        end = load<int32_t>(s.offsets, j + 1);
    }
    if (start == end) return {NO_BYTES, 0, false};
    return {s.data + start, static_cast<uint64_t>(end - start), false};
}

}  // namespace

std::string type_name(const ArrowSchema& schema) {
    const std::string f = schema.format != nullptr ? schema.format : "";
    if (schema.dictionary != nullptr)
        return "dictionary<values=" + type_name(*schema.dictionary) +
               ", indices=" + format_name(f) + ">";
    std::string name = format_name(f);
    if (f.size() > 1 && f[0] == '+' && schema.n_children > 0 && schema.children != nullptr) {
        name += "<";
        for (int64_t k = 0; k < schema.n_children; ++k) {
            const ArrowSchema* child = schema.children[k];
            if (child == nullptr) continue;
            if (k > 0) name += ", ";
            if (f == "+s" && child->name != nullptr) name += std::string(child->name) + ": ";
            name += type_name(*child);
        }
        name += ">";
    }
    return name;
}

bool text_column_type(const ArrowSchema& schema, TextColumnType& type) {
    type = TextColumnType{};
    if (schema.dictionary != nullptr)
        return schema.format != nullptr && index_format(schema.format, type) &&
               string_layout(schema.dictionary->format, type.layout) &&
               schema.dictionary->dictionary == nullptr;
    return string_layout(schema.format, type.layout);
}

std::string open_text_chunk(const ArrowArray& a, const TextColumnType& type, TextChunk& out) {
    out = TextChunk{};
    if (a.release == nullptr) return "it was released";
    if (type.index_width == 0) {
        std::string wrong = check_strings(a, type.layout, out.strings);
        out.offset = a.offset;
        out.length = a.length;
        return wrong;
    }
    if (!sane_extent(a)) return "its length or offset is out of range";
    if (a.dictionary == nullptr) return "its dictionary is missing";
    std::string wrong = check_strings(*a.dictionary, type.layout, out.strings);
    if (!wrong.empty()) return "its dictionary: " + wrong;
    out.offset = a.offset;
    out.length = a.length;
    out.index_width = type.index_width;
    out.index_signed = type.index_signed;
    if (a.length == 0) return "";
    if (a.n_buffers != 2 || a.buffers == nullptr || a.buffers[1] == nullptr)
        return "its indices buffer is missing";
    out.validity = a.null_count != 0 ? static_cast<const uint8_t*>(a.buffers[0]) : nullptr;
    out.indices = static_cast<const uint8_t*>(a.buffers[1]);
    const int64_t values = a.dictionary->length;
    for (int64_t j = a.offset; j < a.offset + a.length; ++j) {
        if (out.validity != nullptr && !bit_set(out.validity, j)) continue;
        const int64_t k = index_at(out, j);
        if (k < 0 || k >= values) return "an index is outside its dictionary";
    }
    return "";
}

std::string open_table_chunk(const ArrowArray& table, int64_t child, const TextColumnType& type,
                             TextChunk& out) {
    out = TextChunk{};
    if (table.release == nullptr) return "it was released";
    if (!sane_extent(table)) return "its length or offset is out of range";
    if (child < 0 || child >= table.n_children || table.children == nullptr ||
        table.children[child] == nullptr)
        return "it lacks the column";
    const ArrowArray& column = *table.children[child];
    if (column.length < table.offset + table.length) return "its column is shorter than it";
    std::string wrong = open_text_chunk(column, type, out);
    if (!wrong.empty()) return wrong;
    out.offset += table.offset;
    out.length = table.length;
    if (table.null_count != 0 && table.n_buffers >= 1 && table.buffers != nullptr) {
        out.row_validity = static_cast<const uint8_t*>(table.buffers[0]);
        out.row_offset = table.offset;
    }
    return "";
}

ChunkText chunk_text(const TextChunk& c, int64_t i) {
    if (c.row_validity != nullptr && !bit_set(c.row_validity, c.row_offset + i))
        return {NO_BYTES, 0, true};
    int64_t j = c.offset + i;
    if (c.indices != nullptr) {
        if (c.validity != nullptr && !bit_set(c.validity, j)) return {NO_BYTES, 0, true};
        j = c.strings.offset + index_at(c, j);
    }
    return string_at(c.strings, j);
}

// ---- the token lists ----

TokenListColumn::TokenListColumn(bool large_, uint64_t limit_)
    : large(large_), limit(limit_ != 0 ? limit_ : large_ ? INT64_MAX : INT32_MAX) {
    push_offset(list_offsets, 0);
    push_offset(value_offsets, 0);
}

void TokenListColumn::push_offset(std::vector<uint8_t>& v, uint64_t value) {
    const size_t at = v.size();
    if (large) {
        const auto wide = static_cast<int64_t>(value);
        v.resize(at + 8);
        std::memcpy(v.data() + at, &wide, 8);
    } else {
        const auto narrow = static_cast<int32_t>(value);
        v.resize(at + 4);
        std::memcpy(v.data() + at, &narrow, 4);
    }
}

bool TokenListColumn::fits(uint64_t more_tokens, uint64_t more_bytes) const {
    // Both sums are far below 2**64: what is held already is at most `limit` < 2**63.
    return static_cast<uint64_t>(tokens) + more_tokens <= limit &&
           data.size() + more_bytes <= limit;
}

namespace {

// What an exported array keeps alive: the column, and its buffers' addresses.
struct ArrayExport {
    std::shared_ptr<const TokenListColumn> column;
    const void* buffers[3];
    ArrowArray* children[1];
};

struct SchemaExport {
    ArrowSchema* children[1];
};

const void* bytes_of(const std::vector<uint8_t>& v) {
    return v.empty() ? static_cast<const void*>(NO_BYTES) : v.data();
}

void release_array(ArrowArray* a) {
    auto* own = static_cast<ArrayExport*>(a->private_data);
    // A consumer may have moved the child out (and release it itself); else it goes with us.
    if (a->n_children == 1 && own->children[0] != nullptr) {
        release(*own->children[0]);
        delete own->children[0];
    }
    delete own;
    a->release = nullptr;
}

void release_schema(ArrowSchema* s) {
    auto* own = static_cast<SchemaExport*>(s->private_data);
    if (own != nullptr) {
        release(*own->children[0]);
        delete own->children[0];
        delete own;
    }
    s->release = nullptr;
}

void release_leaf_schema(ArrowSchema* s) { s->release = nullptr; }

}  // namespace

void export_schema(const TokenListColumn& column, ArrowSchema& out) {
    auto* own = new SchemaExport{};
    auto* item = new ArrowSchema{};
    item->format = column.large ? "U" : "u";
    item->name = "item";
    item->flags = ARROW_FLAG_NULLABLE;
    item->release = release_leaf_schema;
    own->children[0] = item;
    out = ArrowSchema{};
    out.format = column.large ? "+L" : "+l";
    out.name = "";
    out.flags = ARROW_FLAG_NULLABLE;
    out.n_children = 1;
    out.children = own->children;
    out.release = release_schema;
    out.private_data = own;
}

void export_array(const std::shared_ptr<const TokenListColumn>& column, ArrowArray& out) {
    const TokenListColumn& c = *column;
    // The strings: every token, none null.
    auto* values = new ArrowArray{};
    auto* values_own = new ArrayExport{column, {nullptr, c.value_offsets.data(), bytes_of(c.data)},
                                       {nullptr}};
    values->length = c.tokens;
    values->n_buffers = 3;
    values->buffers = values_own->buffers;
    values->release = release_array;
    values->private_data = values_own;
    // The lists over them.
    auto* own = new ArrayExport{column,
                                {c.null_count != 0 ? bytes_of(c.validity) : nullptr,
                                 c.list_offsets.data(), nullptr},
                                {values}};
    out = ArrowArray{};
    out.length = c.length;
    out.null_count = c.null_count;
    out.n_buffers = 2;
    out.buffers = own->buffers;
    out.n_children = 1;
    out.children = own->children;
    out.release = release_array;
    out.private_data = own;
}

namespace {

struct StreamExport {
    std::shared_ptr<const TokenListColumn> column;
    bool done = false;
};

int stream_schema(ArrowArrayStream* s, ArrowSchema* out) {
    export_schema(*static_cast<StreamExport*>(s->private_data)->column, *out);
    return 0;
}

int stream_next(ArrowArrayStream* s, ArrowArray* out) {
    auto* own = static_cast<StreamExport*>(s->private_data);
    if (own->done) {
        *out = ArrowArray{};  // the end: a released array
        return 0;
    }
    export_array(own->column, *out);
    own->done = true;
    return 0;
}

const char* stream_error(ArrowArrayStream*) { return nullptr; }

void stream_release(ArrowArrayStream* s) {
    delete static_cast<StreamExport*>(s->private_data);
    s->release = nullptr;
}

}  // namespace

void export_stream(const std::shared_ptr<const TokenListColumn>& column, ArrowArrayStream& out) {
    out.get_schema = stream_schema;
    out.get_next = stream_next;
    out.get_last_error = stream_error;
    out.release = stream_release;
    out.private_data = new StreamExport{column};
}

}  // namespace vorlenta
