// Many texts in groups: the pipeline on worker threads gives what the calling thread gives
// alone, group by group and in order, and a text's tokens do not depend on its group.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "library/text_groups.hpp"

using namespace vorlenta;

namespace {

// Texts with what crosses text ends badly: cut characters, compounds, runs.
std::vector<std::string> random_texts(size_t n, uint32_t seed) {
    const std::vector<std::string> pieces = {"слово", "word", "-", " ", "\n", "12", "Ёж",
                                             "\xd0", "\xff", ",", "to--but", "well-known"};
    std::mt19937 random(seed);
    std::vector<std::string> texts(n);
    for (std::string& t : texts)
        for (uint32_t k = random() % 12; k > 0; --k) t += pieces[random() % pieces.size()];
    return texts;
}

struct Gathered {
    std::vector<std::string> tokens;  // each text's tokens, joined by '|', one entry per text
    std::vector<int64_t> starts, stops, texts;
    std::vector<uint64_t> types;
    bool operator==(const Gathered&) const = default;
};

// Every text through a pipeline of `workers` threads (0: the calling thread), `per_group`
// texts a group.
Gathered run(const std::vector<std::string>& texts, unsigned workers, size_t per_group) {
    TextSettings settings;
    settings.filter = ~uint64_t{0};
    std::vector<std::unique_ptr<SpanTokenizer>> tokenizers(workers > 0 ? workers : 1);
    GroupPipeline pipeline(workers, [&](Group& g, unsigned w) {
        std::unique_ptr<SpanTokenizer>& t = tokenizers[w];
        if (!t) {
            t = std::make_unique<SpanTokenizer>(nullptr, 0, TEXT_BATCH_SIZE);
            apply_settings(*t, settings);
        }
        encode_group(g);
        collect_tokens(*t, g, false);
        collect_spans(*t, g);
    });
    Gathered out;
    auto take = [&](Group& g) {
        size_t first = 0;
        for (size_t i = 0; i < g.texts.size(); ++i) {
            std::string joined;
            for (uint32_t k = 0; k < g.tokens.per_text[i]; ++k) {
                const uint64_t begin = first + k == 0 ? 0 : g.tokens.ends[first + k - 1];
                joined += g.tokens.data.substr(begin, g.tokens.ends[first + k] - begin) + "|";
            }
            first += g.tokens.per_text[i];
            out.tokens.push_back(joined);
        }
        out.starts.insert(out.starts.end(), g.spans.starts.begin(), g.spans.starts.end());
        out.stops.insert(out.stops.end(), g.spans.stops.begin(), g.spans.stops.end());
        out.texts.insert(out.texts.end(), g.spans.texts.begin(), g.spans.texts.end());
        out.types.insert(out.types.end(), g.spans.types.begin(), g.spans.types.end());
        pipeline.recycle(g);
    };
    size_t next = 0;
    while (next < texts.size() || pipeline.in_flight() > 0) {
        while (next < texts.size() && pipeline.has_room()) {
            Group& g = pipeline.free_group();
            for (size_t k = 0; k < per_group && next < texts.size(); ++k, ++next) {
                TextRecord r{};
                r.data = reinterpret_cast<const uint8_t*>(texts[next].data());
                r.size = texts[next].size();
                r.index = static_cast<int64_t>(next);
                g.texts.push_back(r);
            }
            pipeline.submit(g);
        }
        take(pipeline.next_done());
    }
    return out;
}

TEST(TextGroups, WorkersGiveWhatTheCallingThreadGivesInOrder) {
    const std::vector<std::string> texts = random_texts(5000, 7);
    const Gathered alone = run(texts, 0, 64);
    for (unsigned workers : {1u, 2u, 5u})
        for (size_t per_group : {1u, 37u, 5000u})
            EXPECT_TRUE(run(texts, workers, per_group) == alone)
                << workers << " workers, " << per_group << " texts a group";
    // Places count from each text's start, and every text is there, in order.
    ASSERT_EQ(alone.tokens.size(), texts.size());
    for (size_t i = 1; i < alone.texts.size(); ++i) ASSERT_LE(alone.texts[i - 1], alone.texts[i]);
}

TEST(TextGroups, StrCodeUnitsAreEncodedAsPythonEncodesThem) {
    // "Ёж" then a lone surrogate and an emoji, as 4-byte code units.
    const std::vector<uint32_t> units = {0x401, 0x436, 0xD800, 0x1F600, 'a'};
    GroupBytes bytes;
    EXPECT_FALSE(append_utf8(units.data(), 4, units.size(), bytes));
    const std::string got(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    EXPECT_EQ(got, "\xd0\x81\xd0\xb6\xed\xa0\x80\xf0\x9f\x98\x80" "a");
    const std::string ascii = "plain";
    bytes.clear();
    EXPECT_TRUE(append_utf8(ascii.data(), 1, ascii.size(), bytes));
    EXPECT_EQ(bytes.size(), ascii.size());
}

TEST(TextGroups, AWorkersFailureComesBackToTheCaller) {
    GroupPipeline pipeline(2, [](Group& g, unsigned) {
        if (g.sequence == 3) throw std::bad_alloc();
    });
    bool failed = false;
    try {
        for (int i = 0; i < 10; ++i) {
            while (pipeline.has_room()) pipeline.submit(pipeline.free_group());
            pipeline.recycle(pipeline.next_done());
        }
    } catch (const std::bad_alloc&) {
        failed = true;
    }
    EXPECT_TRUE(failed);
}

}  // namespace
