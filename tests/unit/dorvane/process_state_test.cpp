// dorvane's process state when the heap runs out, and the descriptors it
// closes.
#include "dorvane_fixture.h"
#include "fake_heap.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>

namespace {

TEST_F(dorvane_test, start_up_without_heap_goes_on_under_the_fixed_name_and_says_why) {
    fake_heap_exhausted = true;
    set_tool_name();
    fake_heap_exhausted = false;
    EXPECT_STREQ(tool_name, "dorvane");
    EXPECT_EQ(logged_lines(), (std::vector<std::pair<int, std::string>>{
                                  {2, "dorvane:  malloc() failed: Cannot allocate memory \n"}}));
}

// What the run sent, on standard error as it ends: the death test's parent
// sees only that. The heap is back for what else runs at exit.
void print_records_at_exit() {
    fake_heap_exhausted = false;
    for (const auto& [severity, text] : logged_lines())
        std::fprintf(stderr, "%d %s", severity, text.c_str());
}

TEST_F(dorvane_test, p_device_without_heap_for_its_path_ends_the_run_as_an_unopenable_one) {
    EXPECT_EXIT(
        {
            std::atexit(print_records_at_exit);
            fake_heap_exhausted = true;
            open_a2i_device("/dev/vellmar/a2i");
        },
        ::testing::ExitedWithCode(1),
        "^2 dorvane:  strdup\\(\\) failed: Cannot allocate memory \n$");
}

// 0 stands for "never opened": descriptor 0 is left to the process exit.
TEST_F(dorvane_test, close_devices_closes_what_was_opened_debug_device_first) {
    debug_fd = fake_device_descriptor();
    a2i_fd = fake_device_descriptor();
    close_devices();
    const std::vector<fake_call> closes = fake_calls_of(fake_call_kind::close);
    ASSERT_EQ(closes.size(), 2U);
    EXPECT_EQ(closes[0].fd, FAKE_FIRST_FD);
    EXPECT_EQ(closes[1].fd, FAKE_FIRST_FD + 1);

    if (fcntl(0, F_GETFD) == -1) {
        ASSERT_EQ(open("/dev/null", O_RDONLY), 0);
    }
    fake_reset();
    debug_fd = 0;
    a2i_fd = 0;
    close_devices();
    EXPECT_TRUE(fake_calls().empty());
    EXPECT_NE(fcntl(0, F_GETFD), -1);
}

} // namespace
