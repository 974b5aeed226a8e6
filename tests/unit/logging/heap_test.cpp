// The client keeps records on the stack and never touches the heap; the front
// end takes one block per passing text record and gives it back. Counted by
// wrapping the allocator at link time, so only the library's own calls count.
#include "log.h"
#include "slog.h"

#include <fake_platform.h>

#include <gtest/gtest.h>

#include <cstdlib>

namespace {
int allocations = 0;
int releases = 0;
} // namespace

extern "C" {
void* __real_malloc(std::size_t size);
void __real_free(void* block);
void* __wrap_malloc(std::size_t size);
void __wrap_free(void* block);

void* __wrap_malloc(std::size_t size) {
    ++allocations;
    return __real_malloc(size);
}

void __wrap_free(void* block) {
    if (block != nullptr) {
        ++releases;
    }
    __real_free(block);
}
}

namespace {

class HeapUse : public ::testing::Test {
  protected:
    void SetUp() override {
        fake_reset();
        allocations = 0;
        releases = 0;
    }
};

TEST_F(HeapUse, client_records_of_every_kind_allocate_nothing) {
    const unsigned char bytes[3] = {1, 2, 3};
    EXPECT_NE(slogf(LOG_CODE_TEXT, 5, "text %d %s", 42, "and more"), -1);
    EXPECT_NE(slogi(7, 5, 3, 1, 2, 3), -1);
    EXPECT_NE(slogb(7, 5, bytes, sizeof bytes), -1);
    EXPECT_EQ(allocations, 0);
    EXPECT_EQ(fake_calls_of(fake_call_kind::send).size(), 3U);
}

TEST_F(HeapUse, client_fallback_to_the_device_allocates_nothing) {
    fake_script_send(-1, ENOSYS);
    EXPECT_NE(slogf(LOG_CODE_TEXT, 5, "fell back"), -1);
    EXPECT_EQ(allocations, 0);
}

TEST_F(HeapUse, front_end_takes_and_returns_one_block_per_passing_record) {
    log_info("one %d", 1);
    log_error("two");
    EXPECT_EQ(allocations, 2);
    EXPECT_EQ(releases, 2);
}

TEST_F(HeapUse, dropped_records_and_binary_records_take_no_block) {
    log_debug("dropped");
    const int values[1] = {9};
    log_binary(7, 5, values, sizeof values);
    log_ints(7, 5, 2, 1, 2);
    EXPECT_EQ(allocations, 0);
}

} // namespace
