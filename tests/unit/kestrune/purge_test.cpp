// kestrune's purge as other code may call it.
#include "fake_platform.h"
#include "purge.h"

#include <gtest/gtest.h>

namespace {

TEST(purge, null_directory_is_ignored_without_a_word) {
    fake_reset();
    purge_dir(nullptr);
    EXPECT_TRUE(fake_calls().empty());
}

} // namespace
