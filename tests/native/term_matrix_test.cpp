#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "library/term_matrix.hpp"

namespace vorlenta {
namespace {

// Values from scikit-learn's murmurhash3_32(key, seed=0, positive=False): every tail length of
// the 4-byte blocks, and UTF-8 with a space.
TEST(TermMatrix, Murmur3IsScikitLearnsHash) {
    const std::pair<std::string, int32_t> known[] = {
        {"", 0}, {"a", 1009084850}, {"ab", -1681926305}, {"abc", -1277324294},
        {"abcd", 1139631978}, {"abcde", -392455434}, {"мир", -1235207278},
        {"война и мир", -1373411105}};
    for (const auto& [key, hash] : known)
        EXPECT_EQ(murmur3_32(reinterpret_cast<const uint8_t*>(key.data()), key.size(), 0), hash)
            << key;
}

TEST(TermMatrix, HashedColumnTakesTheSmallestHashModuloTheColumns) {
    // |-2**31| does not fit an int32: 2**31 modulo the columns, as scikit-learn defines it.
    for (uint32_t n : {1u, 7u, 1u << 20, 2147483647u}) {
        EXPECT_EQ(hashed_column(INT32_MIN, n, true).column, 2147483648u % n);
        EXPECT_EQ(hashed_column(INT32_MIN, n, true).sign, -1);
        EXPECT_EQ(hashed_column(-5, n, true).column, 5u % n);
        EXPECT_EQ(hashed_column(-5, n, false).sign, 1);
        EXPECT_EQ(hashed_column(INT32_MAX, n, true).column, 2147483647u % n);
    }
}

// Rows renumbered and sorted on several threads give what one sort of each row gives: short
// rows (the insertion sort), long ones (the general sort), empty ones, and shares cut anywhere.
TEST(TermMatrix, OrderRowsOnAnyNumberOfThreads) {
    std::mt19937 random(3);
    for (unsigned jobs : {1u, 2u, 3u, 8u}) {
        std::vector<int64_t> starts{0};
        std::vector<int32_t> columns;
        std::vector<int64_t> values;
        const int32_t terms = 5000;
        std::vector<int32_t> renumbered(terms);
        for (int32_t c = 0; c < terms; ++c) renumbered[static_cast<size_t>(c)] = terms - 1 - c;
        for (int row = 0; row < 20000; ++row) {
            const size_t length = row % 97 == 0 ? 300 : random() % 40;
            // Distinct columns in no order: steps prime to the number of terms.
            const int32_t first = static_cast<int32_t>(random() % terms);
            const int32_t step = std::array<int32_t, 4>{7, 13, 4999, 2021}[random() % 4];
            for (size_t k = 0; k < length; ++k) {
                columns.push_back((first + static_cast<int32_t>(k) * step) % terms);
                values.push_back(static_cast<int64_t>(random() % 9) - 4);
            }
            starts.push_back(static_cast<int64_t>(columns.size()));
        }
        // The rows as they should be, sorted one by one.
        std::vector<std::vector<std::pair<int32_t, int64_t>>> expected;
        for (size_t r = 0; r + 1 < starts.size(); ++r) {
            expected.emplace_back();
            for (auto k = starts[r]; k < starts[r + 1]; ++k)
                expected.back().emplace_back(renumbered[static_cast<size_t>(columns[static_cast<size_t>(k)])],
                                             values[static_cast<size_t>(k)]);
            std::sort(expected.back().begin(), expected.back().end());
        }
        order_rows(starts.data(), starts.size() - 1, columns.data(), values.data(),
                   renumbered.data(), jobs);
        for (size_t r = 0; r + 1 < starts.size(); ++r)
            for (auto k = starts[r]; k < starts[r + 1]; ++k)
                ASSERT_EQ(std::make_pair(columns[static_cast<size_t>(k)], values[static_cast<size_t>(k)]),
                          expected[r][static_cast<size_t>(k - starts[r])])
                    << "jobs " << jobs << ", row " << r;
    }
}

}  // namespace
}  // namespace vorlenta
