// kestrune's purge as other code may call it.
#include "fake_platform.h"
#include "purge.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

std::ptrdiff_t open_descriptors() {
    return std::distance(fs::directory_iterator("/proc/self/fd"), fs::directory_iterator());
}

TEST(purge, null_directory_is_ignored_without_a_word) {
    fake_reset();
    purge_dir(nullptr);
    EXPECT_TRUE(fake_calls().empty());
}

// kestrune purges four directories a run; each walk gives its descriptor back.
TEST(purge, each_walk_closes_its_directory) {
    fake_reset();
    const fs::path dir = fs::temp_directory_path() / ("purge_test." + std::to_string(getpid()));
    fs::create_directory(dir);
    std::ofstream(dir / "stale.db").put('x');
    const auto before = open_descriptors();
    purge_dir(dir.c_str());
    purge_dir(dir.c_str());
    EXPECT_EQ(open_descriptors(), before);
    EXPECT_FALSE(fs::exists(dir / "stale.db"));
    fs::remove_all(dir);
}

} // namespace
