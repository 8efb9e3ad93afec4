// The Python module vorlentaCXX: registrations only; all tokenizing lives in engine/ and sources/.
#include <pybind11/pybind11.h>

#include "engine/token_types.hpp"

namespace py = pybind11;
using vorlenta::TokenType;

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

}  // namespace

PYBIND11_MODULE(vorlentaCXX, m, py::multiple_interpreters::not_supported()) {
    bind_token_type(m);
}
