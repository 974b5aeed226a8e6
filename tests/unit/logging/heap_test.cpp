// The client keeps records on the stack and never touches the heap; the front
// end builds the prefixed format on the stack too, and takes a heap block only
// for a format too long for its buffer.
#include "log.h"
#include "slog.h"

#include "fake_heap.h"
#include "fake_platform.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>

extern "C" char* __progname;

namespace {

class HeapUse : public ::testing::Test {
  protected:
    void SetUp() override {
        fake_reset();
        fake_heap_reset();
    }
};

// A format that makes "<program name>: <format>" and its zero this many bytes,
// each "%" of the name written twice.
std::string format_of_prefixed_size(std::size_t size) {
    const std::string name = __progname;
    const auto escaped =
        name.size() + static_cast<std::size_t>(std::count(name.begin(), name.end(), '%'));
    return std::string(size - escaped - 3 - 2, 'f') + "%d";
}

// Longer than any format of the programs: more than the front end's stack
// buffer holds, whatever the program name.
const std::string LONG_FORMAT = std::string(300, 'f') + " %d";

TEST_F(HeapUse, client_records_of_every_kind_allocate_nothing) {
    const unsigned char bytes[3] = {1, 2, 3};
    EXPECT_NE(slogf(LOG_CODE_TEXT, 5, "text %d %s", 42, "and more"), -1);
    EXPECT_NE(slogi(7, 5, 3, 1, 2, 3), -1);
    EXPECT_NE(slogb(7, 5, bytes, sizeof bytes), -1);
    EXPECT_EQ(fake_heap_allocations, 0);
    EXPECT_EQ(fake_calls_of(fake_call_kind::send).size(), 3U);
}

TEST_F(HeapUse, client_fallback_to_the_device_allocates_nothing) {
    fake_script_send(-1, ENOSYS);
    EXPECT_NE(slogf(LOG_CODE_TEXT, 5, "fell back"), -1);
    EXPECT_EQ(fake_heap_allocations, 0);
}

TEST_F(HeapUse, front_end_text_records_allocate_nothing_unless_the_format_is_long) {
    log_info("one %d", 1);
    log_error("two");
    EXPECT_EQ(fake_heap_allocations, 0);
    EXPECT_EQ(fake_calls_of(fake_call_kind::send).size(), 2U);

    // The stack buffer holds 256 bytes: one more goes to the heap.
    log_info(format_of_prefixed_size(256).c_str(), 3);
    EXPECT_EQ(fake_heap_allocations, 0);
    log_info(format_of_prefixed_size(257).c_str(), 3);
    log_info(LONG_FORMAT.c_str(), 3);
    EXPECT_EQ(fake_heap_allocations, 2);
    EXPECT_EQ(fake_heap_releases, 2);
    EXPECT_EQ(fake_calls_of(fake_call_kind::send).size(), 5U);

    // The doubled "%" of a name count towards the 256 bytes.
    char* const own_name = __progname;
    char percent_name[] = "a%b%%";
    __progname = percent_name;
    log_info(format_of_prefixed_size(256).c_str(), 3);
    EXPECT_EQ(fake_heap_allocations, 2);
    log_info(format_of_prefixed_size(257).c_str(), 3);
    __progname = own_name;
    EXPECT_EQ(fake_heap_allocations, 3);
    EXPECT_EQ(fake_heap_releases, 3);
}

// Without heap for a long format the record is lost, but the Fatal line says
// so; a short format does not need the heap at all.
TEST_F(HeapUse, front_end_out_of_heap_reports_instead_of_dropping_silently) {
    testing::internal::CaptureStderr();
    fake_heap_exhausted = true;
    log_info(LONG_FORMAT.c_str(), 3);
    log_info("short %d", 4);
    fake_heap_exhausted = false;
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              std::string("Fatal: Could not write slog event: ") + std::strerror(ENOMEM) + "\n");
    EXPECT_EQ(fake_calls_of(fake_call_kind::send).size(), 1U); // the short one only
}

TEST_F(HeapUse, dropped_records_and_binary_records_take_no_block) {
    log_debug("dropped");
    const int values[1] = {9};
    log_binary(7, 5, values, sizeof values);
    log_ints(7, 5, 2, 1, 2);
    EXPECT_EQ(fake_heap_allocations, 0);
}

} // namespace
