// The file tokenizer's reads: a stop or a failed read ends a batch early without ending the
// input, and reading then goes on where it stopped.
#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

#include "sources/file_tokenizer.hpp"
#include "sources/text_tokenizer.hpp"
#include "temp_file.hpp"

using namespace vorlenta;
using vorlenta::testing::TempFile;

namespace {

template <class Tokenizer>
void append_tokens(const Tokenizer& t, std::vector<std::string>& out) {
    const char* p = reinterpret_cast<const char*>(t.batch.text_buffer);
    for (uint32_t i = 0; i < t.batch.token_count; ++i) {
        const std::string text = *p == 0 ? std::string(1, '\0') : std::string(p);
        out.push_back(text);
        p += text.size() + 1;
    }
}

uint32_t checks = 0;
// Stops every other read: before every read but the first of a chunk's pair.
bool every_other_check() { return ++checks % 2 == 0; }

}  // namespace

TEST(FromFileTokenizer, StopsEndBatchesWithoutEndingTheInput) {
    std::string text;
    for (int i = 0; text.size() < 3 * FILE_CHUNK_BYTES; ++i)
        text += (i % 3 ? "Санкт-Петербург " : "x-") + std::string(i % 5, 'q') + "\n";
    FromTextTokenizer whole(text);
    std::vector<std::string> expected, got;
    for (whole.get_batch(); whole.batch.token_count > 0; whole.get_batch())
        append_tokens(whole, expected);

    TempFile file(text);
    FromFileTokenizer t(file.path);
    ASSERT_TRUE(t.is_fopen());
    int stops = 0;
    for (;;) {
        t.get_batch(every_other_check);
        append_tokens(t, got);
        if (t.read_error != 0) {
            // A stop that ended the input would split the token it came in.
            ASSERT_EQ(t.read_error, EINTR);
            ++stops;
            continue;
        }
        if (t.batch.token_count == 0) break;
    }
    EXPECT_GE(stops, 3);
    EXPECT_EQ(got, expected);
}

TEST(FromFileTokenizer, FailedReadIsNotTheEndAndIsTriedAgain) {
    // A directory opens, and every read of it fails.
    FromFileTokenizer t("/tmp");
    ASSERT_TRUE(t.is_fopen());
    for (int call = 0; call < 2; ++call) {
        t.get_batch();
        EXPECT_EQ(t.read_error, EISDIR);
        EXPECT_EQ(t.batch.token_count, 0u);
        EXPECT_EQ(t.batch.drain_steps_run, 0);
    }
    EXPECT_TRUE(t.is_fopen());
}
