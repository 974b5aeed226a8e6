// Shared world of the dorvane unit tests: fakes reset, process state as after
// start-up, helpers to run a command line and read what went out.
#pragma once

#include "fake_devctl.h"
#include "fake_platform.h"
#include "process_state.h"
#include "tool_options.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <string>
#include <unistd.h>
#include <vector>

struct logged_record {
    int severity; // without the text flag
    std::int32_t code;
    std::string text; // behind "<program name>: "
};

// The records the fake MsgSendv received, decoded.
inline std::vector<logged_record> logged_records() {
    constexpr std::size_t message_header = 16;
    constexpr std::size_t record_header = 12;
    std::vector<logged_record> records;
    for (const fake_call& call : fake_calls_of(fake_call_kind::send)) {
        const std::vector<unsigned char>& bytes = call.bytes;
        if (bytes.size() < message_header + record_header) {
            continue;
        }
        std::int32_t severity;
        std::int32_t code;
        std::memcpy(&severity, &bytes[message_header], 4);
        std::memcpy(&code, &bytes[message_header + 4], 4);
        std::string text(bytes.begin() + message_header + record_header, bytes.end());
        text = text.substr(0, text.find('\0'));
        text = text.substr(text.find(": ") + 2);
        records.push_back({severity & ~8, code, text});
    }
    return records;
}

// Little-endian bytes of 32-bit words, as the target lays a record out.
inline std::vector<unsigned char> le_words(std::initializer_list<std::uint32_t> words) {
    std::vector<unsigned char> bytes;
    for (std::uint32_t word : words) {
        for (int i = 0; i < 4; ++i) {
            bytes.push_back(static_cast<unsigned char>(word >> (8 * i)));
        }
    }
    return bytes;
}

// A command line that outlives the scan; argv[0] is the tool.
struct command_line {
    std::vector<std::string> words;
    std::vector<char*> argv;

    command_line(std::initializer_list<std::string> options) : words{"dorvane"} {
        words.insert(words.end(), options);
        for (std::string& word : words) {
            argv.push_back(word.data());
        }
        argv.push_back(nullptr);
    }
    int argc() const { return static_cast<int>(words.size()); }
};

inline constexpr int FAKE_DEBUG_FD = 7;

class dorvane_test : public ::testing::Test {
  protected:
    void SetUp() override {
        fake_reset();
        fake_devctl_reset();
        static char name[TOOL_NAME_SIZE] = "dorvane";
        tool_name = name;
        debug_fd = FAKE_DEBUG_FD;
        a2i_fd = 0;
        a2i_path = nullptr;
        optind = 0; // glibc: a full restart of the scan
        errno = 0;
    }
    void TearDown() override {
        if (a2i_fd != 0) {
            close(a2i_fd);
        }
        free(a2i_path);
        a2i_fd = 0;
        a2i_path = nullptr;
    }

    tool_options scan(command_line line) {
        tool_options options;
        std::memset(&options, 0xA5, sizeof options); // must be rebuilt from scratch
        read_options(line.argc(), line.argv.data(), options);
        return options;
    }
    int handle(command_line line) { return handle_options(line.argc(), line.argv.data()); }

    // The one request sent, or a failure when there was not exactly one.
    fake_devctl_call only_request() {
        const auto& calls = fake_devctl_calls();
        EXPECT_EQ(calls.size(), 1u);
        return calls.empty() ? fake_devctl_call{} : calls.front();
    }
};
