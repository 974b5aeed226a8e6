// Arbitrary command lines through dorvane's option scan and request choice,
// against the fake platform. Input: one control byte (bit 0: the request's
// devctl fails), then the arguments behind the program name, each ended by a
// zero byte; the last one may run to the end of the input.
//
// For every input, what holds whatever the options choose: at most one
// request, of its command's record length, on its own device; every log record
// well formed and naming the tool; the opened devices closed. Which request
// and which bytes is the unit tests' tables' to say.
#include "dorvane.h"
#include "dorvane_records.h"
#include "fake_devctl.h"
#include "fake_platform.h"
#include "fuzz_support.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

extern "C" char* __progname;

namespace {

// As the tool scans on glibc: in order, stopping at the first operand.
constexpr char OPTION_STRING[] = "+a:b:c:d:e:f:gp:S:O:z:s:x:y:";
// The fake platform answers an open of the logger device with a descriptor of
// its own. Each -p device is renamed to it, so no host path is ever opened, the
// open cannot fail (it would end the process) and nothing leaks.
constexpr const char* HARMLESS_DEVICE = SLOG_DEVICE;
constexpr unsigned char CONTROL_DEVCTL_FAILS = 1;
constexpr int FAILED_DEVCTL = EIO;

std::vector<std::string> split_words(const std::uint8_t* data, std::size_t size) {
    std::vector<std::string> words{"dorvane"};
    std::size_t start = 0;
    for (std::size_t i = 0; i < size; ++i) {
        if (data[i] == 0) {
            words.emplace_back(reinterpret_cast<const char*>(data) + start, i - start);
            start = i + 1;
        }
    }
    if (start < size)
        words.emplace_back(reinterpret_cast<const char*>(data) + start, size - start);
    return words;
}

std::vector<char*> argument_vector(std::vector<std::string>& words) {
    std::vector<char*> argv;
    for (std::string& word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);
    return argv;
}

// Scans the words as the tool will and counts the -p options. Each -p
// argument, the rest of its word (-gpPATH) or the whole next word, becomes
// the harmless device; the scan reads the same options afterwards.
unsigned disarm_devices(std::vector<std::string>& words) {
    unsigned devices = 0;
    std::vector<char*> argv = argument_vector(words);
    optind = 0; // glibc: a full restart of the scan
    opterr = 0;
    int letter;
    while ((letter = getopt(static_cast<int>(words.size()), argv.data(), OPTION_STRING)) != -1) {
        if (letter == 'p') {
            const int index = optind - 1;
            const auto at = static_cast<std::size_t>(optarg - argv[index]);
            require(at <= words[index].size(), "a -p argument lies in the word before optind");
            words[index].replace(at, std::string::npos, HARMLESS_DEVICE);
            argv[index] = words[index].data();
            ++devices;
        }
    }
    return devices;
}

// The request sent, if any: one of the six commands, with its exact record
// length, on the debug device, or on the -p device for pause/resume alone.
bool check_request(int debug_device) {
    const std::vector<fake_devctl_call>& calls = fake_devctl_calls();
    require(calls.size() <= 1, "at most one request per run");
    if (calls.empty())
        return false;
    const fake_devctl_call& call = calls.front();
    const devctl_command* command = nullptr;
    for (const devctl_command& each : DEVCTL_COMMANDS)
        command = each.code == call.code ? &each : command;
    require(command != nullptr, "one of the six commands");
    require(call.bytes.size() == command->record_size, "the command's exact record length");
    const bool on_a2i = command == &DEVCTL_COMMANDS[CMD_PAUSE_RESUME];
    require(call.fd == (on_a2i ? a2i_fd : debug_device), "the command's own device");
    require(!call.info_given, "no device information asked for");
    return true;
}

void check_records(bool failed_request) {
    const std::string prefix = std::string(__progname) + ": " + TOOL_SELF_NAME + ":  ";
    unsigned failure_lines = 0;
    for (const sent_message& message : checked_messages()) {
        const std::string text = checked_text(message);
        require(text.compare(0, prefix.size(), prefix) == 0, "records name program and tool");
        failure_lines += text.find("devctl( ") != std::string::npos ? 1 : 0;
    }
    require(failure_lines == (failed_request ? 1u : 0u),
            "one failure record exactly when the request failed");
}

void check_devices(unsigned devices, int debug_device) {
    require(fake_calls_of(fake_call_kind::open).size() == devices,
            "each -p opens its device once, and only the harmless one");
    require((devices > 0) == (a2i_fd != 0), "a -p device kept open until the end");
    const std::vector<fake_call> closes = fake_calls_of(fake_call_kind::close);
    require(closes.size() == (a2i_fd != 0 ? 2u : 1u) && closes[0].fd == debug_device &&
                (a2i_fd == 0 || closes[1].fd == a2i_fd),
            "the debug device closed, then the -p device");
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***);
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Complaints about bad options go to standard output: thousands a second.
    require(std::freopen("/dev/null", "w", stdout) != nullptr, "standard output silenced");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0)
        return 0;
    const bool devctl_fails = (data[0] & CONTROL_DEVCTL_FAILS) != 0;
    std::vector<std::string> words = split_words(data + 1, size - 1);
    const unsigned devices = disarm_devices(words);

    fake_reset();
    fake_devctl_reset();
    if (devctl_fails)
        fake_script_devctl(FAILED_DEVCTL, FAILED_DEVCTL);
    static char name[TOOL_NAME_SIZE];
    std::memcpy(name, TOOL_SELF_NAME, sizeof TOOL_SELF_NAME);
    tool_name = name;
    const int debug_device = fake_device_descriptor();
    debug_fd = debug_device;
    a2i_fd = 0;

    std::vector<char*> argv = argument_vector(words);
    optind = 0;
    const int result = handle_options(static_cast<int>(words.size()), argv.data());
    close_devices();

    const bool failed_request = check_request(debug_device) && devctl_fails;
    require(result == (failed_request ? FAILED_DEVCTL : 0), "the failed request's number, else 0");
    check_records(failed_request);
    check_devices(devices, debug_device);
    require(devices == 0 || std::strcmp(a2i_path, HARMLESS_DEVICE) == 0,
            "only the harmless device was opened");
    std::free(a2i_path);
    a2i_path = nullptr;
    return 0;
}
