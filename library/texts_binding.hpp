// The part of vorlenta._native that takes many texts as one source (texts_binding.cpp).
#pragma once

#include <pybind11/pybind11.h>

namespace vorlenta {

void bind_texts(pybind11::module_& m);

}  // namespace vorlenta
