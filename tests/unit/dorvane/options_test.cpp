#include "dorvane_fixture.h"

#include <cstdio>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>

namespace {

using options_test = dorvane_test;

TEST_F(options_test, no_options_leave_everything_zero) {
    const tool_options options = scan({});
    const tool_options zero{};
    EXPECT_EQ(std::memcmp(&options, &zero, sizeof options), 0);
}

TEST_F(options_test, each_letter_fills_its_own_field) {
    const tool_options o =
        scan({"-a", "1",  "-b", "2",  "-c", "3",  "-d", "4",  "-f", "/p", "-g", "-S",
              "5",  "-O", "6",  "-z", "7",  "-s", "8",  "-x", "9",  "-y", "10"});
    EXPECT_EQ(o.opt_a, 1u);
    EXPECT_TRUE(o.a_given);
    EXPECT_EQ(o.opt_b, 2u);
    EXPECT_EQ(o.opt_c, 3u);
    EXPECT_EQ(o.opt_d, 4u);
    EXPECT_STREQ(o.path_text, "/p");
    EXPECT_TRUE(o.g_given);
    EXPECT_EQ(o.opt_S, 5u);
    EXPECT_EQ(o.source, 6u);
    EXPECT_EQ(o.opt_z, 7u);
    EXPECT_EQ(o.opt_s, 8u);
    EXPECT_EQ(o.opt_x, 9u);
    EXPECT_TRUE(o.x_given);
    EXPECT_EQ(o.opt_y, 10u);
}

TEST_F(options_test, later_option_wins_and_d_e_share_a_field) {
    EXPECT_EQ(scan({"-d", "5", "-e", "7"}).opt_d, 7u);
    optind = 0;
    EXPECT_EQ(scan({"-e", "7", "-d", "5"}).opt_d, 5u);
    optind = 0;
    EXPECT_EQ(scan({"-z", "1", "-z", "0x20"}).opt_z, 32u);
}

TEST_F(options_test, zero_values_still_count_as_given) {
    const tool_options o = scan({"-a", "0", "-x", "0"});
    EXPECT_TRUE(o.a_given);
    EXPECT_TRUE(o.x_given);
}

TEST_F(options_test, grouped_and_attached_forms) {
    const tool_options o = scan({"-gO2", "-z0x10"});
    EXPECT_TRUE(o.g_given);
    EXPECT_EQ(o.source, 2u);
    EXPECT_EQ(o.opt_z, 16u);
}

// The target's getopt never reorders: whatever follows the first operand or
// "--" is not an option, also on glibc.
TEST_F(options_test, scanning_stops_at_first_operand_and_after_double_dash) {
    command_line line{"-z", "1", "operand", "-z", "2", "-g"};
    tool_options o = scan(line);
    EXPECT_EQ(o.opt_z, 1u);
    EXPECT_FALSE(o.g_given);
    optind = 0;
    o = scan({"-z", "1", "--", "-g"});
    EXPECT_FALSE(o.g_given);
    optind = 0;
    o = scan({"-", "-g"});
    EXPECT_FALSE(o.g_given);

    command_line kept{"-z", "1", "operand", "-g"};
    scan(kept);
    EXPECT_EQ(kept.argv[3], kept.words[3].data()) << "argument vector reordered";
    EXPECT_STREQ(kept.argv[3], "operand");
}

TEST_F(options_test, bad_letter_or_missing_argument_prints_one_line_each_and_goes_on) {
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    const tool_options o = scan({"-h", "-z", "3", "-q", "-O"});
    const std::string out = testing::internal::GetCapturedStdout();
    testing::internal::GetCapturedStderr(); // getopt's own words; they vary by C library
    EXPECT_EQ(out, "dorvane:  Wrong Input parameter! \n"
                   "dorvane:  Wrong Input parameter! \n"
                   "dorvane:  Wrong Input parameter! \n");
    EXPECT_EQ(o.opt_z, 3u);
    EXPECT_EQ(o.source, 0u);
}

TEST_F(options_test, second_f_overwrites_only_its_own_length) {
    const tool_options o = scan({"-f", "/long/path/name", "-f", "/ab"});
    EXPECT_STREQ(o.path_text, "/ab");
    EXPECT_EQ(std::string(o.path_text + 4, 11), "g/path/name");
    EXPECT_EQ(o.path_text[15], '\0');
}

TEST_F(options_test, f_of_99_characters_fits) {
    const std::string longest(99, 'p');
    const tool_options o = scan({"-f", longest});
    EXPECT_EQ(std::string(o.path_text), longest);
    EXPECT_TRUE(logged_records().empty());
}

TEST_F(options_test, f_of_100_characters_or_more_is_refused_and_earlier_text_kept) {
    for (std::size_t length : {100u, 101u, 5000u}) {
        fake_reset();
        optind = 0;
        const tool_options o = scan({"-f", "/kept", "-f", std::string(length, 'q'), "-z", "4"});
        EXPECT_STREQ(o.path_text, "/kept");
        EXPECT_EQ(o.path_text[sizeof o.path_text - 1], '\0');
        EXPECT_EQ(o.opt_z, 4u) << "options after the refused one are still read";
        const auto records = logged_records();
        ASSERT_EQ(records.size(), 1u);
        EXPECT_EQ(records[0].severity, 2);
        EXPECT_EQ(records[0].text, "dorvane:  -f path too long: " + std::to_string(length) +
                                       " characters, at most 99 \n");
    }
}

class options_with_devices : public dorvane_test {
  protected:
    void SetUp() override {
        dorvane_test::SetUp();
        char pattern[] = "/tmp/dorvane-options-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
        first = dir + "/first";
        second = dir + "/second";
        for (const std::string& path : {first, second}) {
            const int fd = open(path.c_str(), O_CREAT | O_WRONLY, 0600);
            ASSERT_NE(fd, -1);
            close(fd);
        }
    }
    void TearDown() override {
        dorvane_test::TearDown();
        std::remove(first.c_str());
        std::remove(second.c_str());
        rmdir(dir.c_str());
    }
    static bool same_file(int fd, const std::string& path) {
        struct stat by_fd {};
        struct stat by_path {};
        return fstat(fd, &by_fd) == 0 && stat(path.c_str(), &by_path) == 0 &&
               by_fd.st_ino == by_path.st_ino && by_fd.st_dev == by_path.st_dev;
    }
    std::string dir;
    std::string first;
    std::string second;
};

TEST_F(options_with_devices, p_opens_its_device_at_once_read_write) {
    scan({"-p", first});
    ASSERT_GT(a2i_fd, 0);
    EXPECT_STREQ(a2i_path, first.c_str());
    EXPECT_TRUE(same_file(a2i_fd, first));
    EXPECT_EQ(fcntl(a2i_fd, F_GETFL) & O_ACCMODE, O_RDWR);
}

TEST_F(options_with_devices, second_p_replaces_the_first_which_stays_open) {
    scan({"-p", first, "-p", second});
    EXPECT_STREQ(a2i_path, second.c_str());
    EXPECT_TRUE(same_file(a2i_fd, second));
    const int first_fd = a2i_fd - 1;
    EXPECT_TRUE(same_file(first_fd, first)) << "first -p descriptor was closed";
    close(first_fd);
}

} // namespace
