// Shared world of the dorvane unit tests: fakes reset, process state as after
// start-up, a command line run through handle_options, and what went out.
#pragma once

#include "dorvane.h"
#include "fake_devctl.h"
#include "fake_platform.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

inline constexpr int FAKE_DEBUG_FD = 7;
inline constexpr int FAKE_A2I_FD = 8;

// Texts of the records the fake MsgSendv received, behind "<program name>: ",
// each with its severity (text flag removed).
inline std::vector<std::pair<int, std::string>> logged_lines() {
    std::vector<std::pair<int, std::string>> lines;
    for (const sent_message& message : fake_sent_messages()) {
        const std::string text = message.payload.substr(0, message.payload.find('\0'));
        lines.emplace_back(message.record.severity & ~SLOG_TEXT_FLAG,
                           text.substr(text.find(": ") + 2));
    }
    return lines;
}

class dorvane_test : public ::testing::Test {
  protected:
    void SetUp() override { reset(); }

    // As after start-up, with the -p device (if any) already open.
    void reset(int p_device = 0) {
        fake_reset();
        fake_devctl_reset();
        static char name[TOOL_NAME_SIZE] = "dorvane";
        tool_name = name;
        debug_fd = FAKE_DEBUG_FD;
        a2i_fd = p_device;
        free(a2i_path);
        a2i_path = p_device != 0 ? strdup("/dev/vellmar/a2i") : nullptr;
        optind = 0; // glibc: a full restart of the scan
    }

    // Runs the options after "dorvane"; returns handle_options' result.
    int handle(std::vector<std::string> options) {
        static char program[] = "dorvane";
        std::vector<char*> argv{program};
        for (std::string& word : options)
            argv.push_back(word.data());
        argv.push_back(nullptr);
        return handle_options(static_cast<int>(argv.size() - 1), argv.data());
    }
};
