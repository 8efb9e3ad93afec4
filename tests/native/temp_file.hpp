// A file holding given bytes, removed when done.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

namespace vorlenta::testing {

struct TempFile {
    std::string path;
    explicit TempFile(const std::string& bytes) {
        char name[] = "/tmp/vorlenta-test-XXXXXX";
        const int fd = mkstemp(name);
        EXPECT_GE(fd, 0);
        EXPECT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
        close(fd);
        path = name;
    }
    ~TempFile() { unlink(path.c_str()); }
};

}  // namespace vorlenta::testing
