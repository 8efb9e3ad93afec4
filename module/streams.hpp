// Streams: iteration over a tokenizer's batches. A stream holds no state of its own, so every
// stream of a tokenizer, and its get_batch, draw from one sequence of batches.
#pragma once

#include "sources/file_tokenizer.hpp"
#include "sources/text_tokenizer.hpp"

namespace vorlenta {

struct FromTextStream {
    FromTextTokenizer& tokenizer;
};

struct FromFileStream {
    FromFileTokenizer& tokenizer;
};

}  // namespace vorlenta
