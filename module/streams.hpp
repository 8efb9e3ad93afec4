// Streams: iteration over a tokenizer's batches. A stream holds no state of its own, so every
// stream of a tokenizer, and its get_batch, draw from one sequence of batches.
#pragma once

#include "module/file_tokenizer_object.hpp"
#include "sources/text_tokenizer.hpp"

namespace vorlenta {

struct FromTextStream {
    FromTextTokenizer& tokenizer;
};

struct FromFileStream {
    FileTokenizerObject& tokenizer;
};

}  // namespace vorlenta
