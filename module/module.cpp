// The Python module vorlentaCXX: registrations only; all tokenizing lives in engine/ and sources/.
#include <pybind11/pybind11.h>

#include <string_view>

#include "bindings/constructed.hpp"
#include "engine/token_types.hpp"
#include "module/batch_result.hpp"
#include "module/streams.hpp"

namespace py = pybind11;
using namespace vorlenta;

namespace {

void bind_token_type(py::module_& m) {
    py::enum_<TokenType>(m, "TokenType", py::arithmetic())
        .value("NOTTKN", TokenType::NOTTKN)
        .value("WRDSPC", TokenType::WRDSPC)
        .value("NWLINE", TokenType::NWLINE)
        .value("ENWORD", TokenType::ENWORD)
        .value("NUMBER", TokenType::NUMBER)
        .value("RUWORD", TokenType::RUWORD)
        .value("PNCTTN", TokenType::PNCTTN)
        .value("UNKNWN", TokenType::UNKNWN)
        .export_values()
        // A mask is a plain int: the OR of two members is usually no member at all.
        .def("__or__", [](TokenType a, TokenType b) { return type_bits(a) | type_bits(b); });
}

template <class Stream>
void bind_stream(py::module_& m, const char* name) {
    py::class_<Stream>(m, name)
        // The copy keeps the stream it came from, and so the tokenizer, alive.
        .def("__iter__", [](Stream& s) -> Stream { return constructed(s); },
             py::keep_alive<0, 1>())
        .def("__next__", [](Stream& s) {
            py::dict batch = next_batch(constructed(s).tokenizer);
            if (batch.empty()) throw py::stop_iteration();
            return batch;
        });
}

// The members both tokenizer classes share, registered after the constructor (and is_fopen).
template <class Tokenizer, class Stream>
void bind_tokenizer_body(py::class_<Tokenizer>& c) {
    c.def("set_batch_size", [](Tokenizer& t, uint32_t n) { constructed(t).set_batch_size(n); })
        .def("set_filter", [](Tokenizer& t, uint64_t mask) { constructed(t).set_filter(mask); })
        .def("set_token_min_len",
             [](Tokenizer& t, uint32_t n) { constructed(t).set_token_min_len(n); })
        .def("set_token_max_len",
             [](Tokenizer& t, uint32_t n) { constructed(t).set_token_max_len(n); })
        .def("get_batch", [](Tokenizer& t) { return next_batch(constructed(t)); })
        // A stream keeps its tokenizer alive, so `for b in FTTokenizer(text).stream:` runs to
        // the end.
        .def_property_readonly("stream", py::cpp_function([](Tokenizer& t) {
            return Stream{constructed(t)};
        }, py::keep_alive<0, 1>()));
}

}  // namespace

PYBIND11_MODULE(vorlentaCXX, m, py::multiple_interpreters::not_supported()) {
    bind_token_type(m);

    bind_stream<FromTextStream>(m, "fts_stream");
    py::class_<FromTextTokenizer> ft(m, "FTTokenizer");
    // A str with lone surrogates has no UTF-8 form, so the conversion refuses it: TypeError.
    ft.def(py::init<std::string_view>(), py::arg("text"));
    bind_tokenizer_body<FromTextTokenizer, FromTextStream>(ft);

    bind_stream<FromFileStream>(m, "ffs_stream");
    py::class_<FileTokenizerObject> ff(m, "FFTokenizer");
    ff.def(py::init<std::string_view>(), py::arg("fpath"))
        .def("is_fopen", [](FileTokenizerObject& t) { return constructed(t).is_fopen(); });
    bind_tokenizer_body<FileTokenizerObject, FromFileStream>(ff);
}
