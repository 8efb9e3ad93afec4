// The file reader under both tokenizers: a stop or a failed read ends a batch early without
// ending the input, reading then goes on where it stopped, and a read that a signal interrupted
// is read again.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "library/span_tokenizer.hpp"
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

// Stops every other read: before every read but the first of a chunk's pair.
bool every_other_read(void* checks, bool) { return ++*static_cast<uint32_t*>(checks) % 2 == 0; }

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
    uint32_t checks = 0;
    for (;;) {
        t.get_batch(ReadCheck{every_other_read, &checks});
        append_tokens(t, got);
        if (t.bytes.read_error != 0) {
            // A stop that ended the input would split the token it came in.
            ASSERT_EQ(t.bytes.read_error, EINTR);
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
        EXPECT_EQ(t.bytes.read_error, EISDIR);
        EXPECT_EQ(t.batch.token_count, 0u);
        EXPECT_EQ(t.batch.drain_steps_run, 0);
    }
    EXPECT_TRUE(t.is_fopen());
}

namespace {

// The next batch of either tokenizer: its tokens, and the errno that stopped it.
struct Reads {
    std::vector<std::string> tokens;
    int error;
};

Reads next_reads(FromFileTokenizer& t, ReadCheck check) {
    Reads r;
    t.get_batch(check);
    append_tokens(t, r.tokens);
    r.error = t.bytes.read_error;
    return r;
}

Reads next_reads(SpanTokenizer& t, ReadCheck check) {
    Reads r;
    t.next_batch(true, check);
    append_tokens(t, r.tokens);
    r.error = t.file.read_error;
    return r;
}

int fd_of(const FromFileTokenizer& t) { return t.bytes.fd; }
int fd_of(const SpanTokenizer& t) { return t.file.fd; }

// Makes the `failing`-th read fail, once: the check before it puts a directory in the place of
// the file's descriptor, and the next check puts the file back (a dup shares its offset).
struct FailOnce {
    int fd;
    uint32_t failing;
    int directory = open("/tmp", O_RDONLY | O_DIRECTORY);
    int saved = -1;
    uint32_t reads = 0;
    static bool check(void* context, bool) {
        FailOnce& f = *static_cast<FailOnce*>(context);
        if (++f.reads == f.failing) {
            f.saved = dup(f.fd);
            dup2(f.directory, f.fd);
        } else if (f.saved >= 0) {
            dup2(f.saved, f.fd);
            close(f.saved);
            f.saved = -1;
        }
        return false;
    }
    ~FailOnce() { close(directory); }
};

std::vector<std::string> tokens_of(const std::string& text) {
    FromTextTokenizer whole(text);
    std::vector<std::string> tokens;
    for (whole.get_batch(); whole.batch.token_count > 0; whole.get_batch())
        append_tokens(whole, tokens);
    return tokens;
}

// A batch the size of the whole text, whose second read fails: the tokens of the first chunk
// come with the error, none split, and the next batch gives the rest.
template <class Tokenizer>
void expect_tokens_before_the_error_then_the_rest(Tokenizer& t, const std::string& text) {
    const std::vector<std::string> expected = tokens_of(text);
    t.set_batch_size(1 << 20);
    FailOnce fault{fd_of(t), 2};
    const ReadCheck check{FailOnce::check, &fault};
    const Reads first = next_reads(t, check);
    EXPECT_EQ(first.error, EISDIR);
    ASSERT_FALSE(first.tokens.empty());
    ASSERT_LT(first.tokens.size(), expected.size() / 2);
    const Reads rest = next_reads(t, check);
    EXPECT_EQ(rest.error, 0);
    std::vector<std::string> got = first.tokens;
    got.insert(got.end(), rest.tokens.begin(), rest.tokens.end());
    EXPECT_EQ(got, expected);
    EXPECT_TRUE(next_reads(t, check).tokens.empty());
}

}  // namespace

TEST(FileReader, ReadErrorAfterGoodBytesComesAfterTheirTokensInBothTokenizers) {
    std::string text;
    for (int i = 0; text.size() < 3 * FILE_CHUNK_BYTES; ++i)
        text += "слово-" + std::to_string(i) + (i % 4 ? " " : "\n");
    TempFile file(text);
    FromFileTokenizer module(file.path);
    expect_tokens_before_the_error_then_the_rest(module, text);
    SpanTokenizer library(open(file.path.c_str(), O_RDONLY));
    expect_tokens_before_the_error_then_the_rest(library, text);
}

namespace {

void ignore_signal(int) {}

// Counts the checks asked after an interrupted read; never stops.
bool count_interrupted(void* context, bool interrupted) {
    *static_cast<uint32_t*>(context) += interrupted ? 1 : 0;
    return false;
}

// A pipe's writer sends half the text, then interrupts the reader's wait for the rest with a
// signal a few times, then sends the rest: the batch holds it all, as if no signal had come.
template <class Make>
void expect_interrupted_reads_read_again(Make make) {
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    auto t = make(ends[0]);
    struct sigaction quiet {}, old{};
    quiet.sa_handler = ignore_signal;  // without SA_RESTART: a waiting read fails with EINTR
    sigaction(SIGUSR1, &quiet, &old);
    const pthread_t reader = pthread_self();
    std::thread writer([&] {
        EXPECT_EQ(write(ends[1], "alpha be", 8), 8);
        for (int i = 0; i < 5; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            pthread_kill(reader, SIGUSR1);
        }
        EXPECT_EQ(write(ends[1], "ta end\n", 7), 7);
        close(ends[1]);
    });
    uint32_t interrupted = 0;
    const Reads got = next_reads(*t, ReadCheck{count_interrupted, &interrupted});
    writer.join();
    sigaction(SIGUSR1, &old, nullptr);
    close(ends[0]);
    EXPECT_GE(interrupted, 1u);
    EXPECT_EQ(got.error, 0);
    EXPECT_EQ(got.tokens, (std::vector<std::string>{"alpha", " ", "beta", " ", "end", "\n"}));
}

}  // namespace

TEST(FileReader, InterruptedReadIsReadAgainInBothTokenizers) {
    expect_interrupted_reads_read_again([](int fd) {
        return std::make_unique<FromFileTokenizer>("/dev/fd/" + std::to_string(fd));
    });
    expect_interrupted_reads_read_again([](int fd) { return std::make_unique<SpanTokenizer>(dup(fd)); });
}
