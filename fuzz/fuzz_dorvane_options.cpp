// Arbitrary command lines through dorvane's option scan and request choice,
// against the fake platform. Input: one control byte (bit 0: the request's
// devctl fails), then the arguments behind the program name, each ended by a
// zero byte; the last one may run to the end of the input.
//
// For every input: exactly the request the options choose, with its command's
// record length and every byte of its record, on the right descriptor, or none;
// every log record well formed and naming the tool; the opened devices closed.
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
#include <initializer_list>
#include <string>
#include <unistd.h>
#include <utility>
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

using bytes = std::vector<unsigned char>;

// What the options ask for, worked out beside the tool rather than by it.
struct expected_options {
    std::uint32_t number[128] = {}; // by option letter; -e stored as -d
    bool seen[128] = {};
    char path_text[PATH_TEXT_SIZE] = {};
    bool path_refused = false;
    unsigned p_count = 0;
};

struct expected_request {
    bool sent = false;
    dorvane_command command = CMD_COUNT;
    bool on_a2i = false;
    bytes record;
    bool path_refused = false; // held back because a -f was refused
};

// The target's strtoul(text, nullptr, 0) with its 32-bit unsigned long, from
// the host's 64-bit strtoull: a magnitude above 32 bits saturates, whatever
// the sign; a smaller one is negated modulo 2^32 after a minus.
std::uint32_t target_strtoul(const char* text) {
    const char* p = text;
    while (*p == ' ' || (*p >= '\t' && *p <= '\r')) {
        ++p;
    }
    const bool negative = *p == '-';
    errno = 0;
    const unsigned long long value = std::strtoull(text, nullptr, 0);
    if (errno == ERANGE) {
        return 0xFFFFFFFFu;
    }
    const unsigned long long magnitude = negative ? 0 - value : value;
    if (magnitude > 0xFFFFFFFFu) {
        return 0xFFFFFFFFu;
    }
    const auto low = static_cast<std::uint32_t>(magnitude);
    return negative ? 0u - low : low;
}

void note_option(expected_options& options, int letter, const char* argument) {
    const unsigned index = static_cast<unsigned char>(letter);
    options.seen[index] = true;
    if (letter == 'f') {
        const std::size_t length = std::strlen(argument);
        if (length < PATH_TEXT_SIZE) {
            std::memcpy(options.path_text, argument, length + 1);
        } else { // refused: path_text unchanged, and no request may carry it
            options.path_refused = true;
        }
    } else if (letter == 'p') {
        ++options.p_count;
    } else if (letter != 'g' && letter != '?') {
        const std::uint32_t value = target_strtoul(argument);
        errno = EDOM;
        require(to_u32_like_target(argument) == value, "numbers convert as on the target");
        require(errno == EDOM, "a conversion leaves errno as it was");
        options.number[letter == 'e' ? static_cast<unsigned>('d') : index] = value;
    }
}

std::vector<std::string> split_words(const std::uint8_t* data, std::size_t size) {
    std::vector<std::string> words{"dorvane"};
    std::size_t start = 0;
    for (std::size_t i = 0; i < size; ++i) {
        if (data[i] == 0) {
            words.emplace_back(reinterpret_cast<const char*>(data) + start, i - start);
            start = i + 1;
        }
    }
    if (start < size) {
        words.emplace_back(reinterpret_cast<const char*>(data) + start, size - start);
    }
    return words;
}

std::vector<char*> argument_vector(std::vector<std::string>& words) {
    std::vector<char*> argv;
    for (std::string& word : words) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);
    return argv;
}

// Scans the words as the tool will and notes what they ask for. Each -p
// argument, the rest of its word (-gpPATH) or the whole next word, becomes
// the harmless device; the scan reads the same options afterwards.
expected_options scan_and_disarm(std::vector<std::string>& words) {
    expected_options options;
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
            optarg = argv[index] + at;
        }
        note_option(options, letter, optarg);
    }
    return options;
}

void put_words(bytes& record, std::initializer_list<std::uint32_t> words) {
    for (std::uint32_t word : words) {
        for (int i = 0; i < 4; ++i) {
            record.push_back(static_cast<unsigned char>(word >> (8 * i)));
        }
    }
}

expected_request request(dorvane_command command, bytes record, bool on_a2i = false) {
    record.resize(DEVCTL_COMMANDS[command].record_size, 0);
    return {true, command, on_a2i, std::move(record)};
}

// Precedence -a, -x, -g, then the source value.
expected_request expected(const expected_options& o) {
    const auto n = [&o](char letter) { return o.number[static_cast<unsigned char>(letter)]; };
    const auto given = [&o](char letter) { return o.seen[static_cast<unsigned char>(letter)]; };
    bytes record;
    expected_request held_back;
    held_back.path_refused = true;
    if (given('a')) {
        if (o.path_refused) {
            return held_back;
        }
        put_words(record, {n('a'), n('b'), n('c'), n('d'), 0, 0});
        record.insert(record.end(), o.path_text, o.path_text + PATH_TEXT_SIZE);
        return request(CMD_ENABLE_DISABLE, record);
    }
    if (given('x')) {
        if (n('x') == 0) {
            if (o.path_refused) {
                return held_back;
            }
            return request(CMD_PATH_NAME, bytes(o.path_text, o.path_text + strlen(o.path_text)));
        }
        if (n('x') == 1) {
            put_words(record, {n('y')});
            return request(CMD_PATH_ID, record);
        }
        return {};
    }
    if (given('g')) {
        put_words(record, {n('z'), n('S'), n('s'), n('O')});
        return request(CMD_DIRECT_CONNECT, record);
    }
    if (n('O') <= 1) {
        put_words(record, {n('z'), n('O'), n('S'), n('s')});
        return request(CMD_CONNECT_AND_FADE, record);
    }
    if (n('O') <= 3 && o.p_count > 0) {
        put_words(record, {n('O') == 3 ? 1u : 0u});
        return request(CMD_PAUSE_RESUME, record, true);
    }
    return {};
}

void check_request(const expected_request& want, int debug_device) {
    const std::vector<fake_devctl_call>& calls = fake_devctl_calls();
    require(calls.size() <= 1, "at most one request per run");
    require(calls.size() == (want.sent ? 1u : 0u), "a request exactly when the options choose one");
    if (!want.sent) {
        return;
    }
    const fake_devctl_call& call = calls.front();
    const devctl_command& command = DEVCTL_COMMANDS[want.command];
    require(call.code == command.code, "the command the options choose");
    require(call.bytes.size() == command.record_size, "the command's exact record length");
    require(call.bytes == want.record, "every byte of the record");
    require(call.fd == (want.on_a2i ? a2i_fd : debug_device), "the command's own device");
    require(!call.info_given, "no device information asked for");
}

void check_records(const expected_request& want, bool devctl_fails) {
    const std::string prefix = std::string(__progname) + ": " + TOOL_SELF_NAME + ":  ";
    unsigned failure_lines = 0;
    unsigned held_back_lines = 0;
    for (const wire_message& message : checked_messages()) {
        const std::string text = checked_text(message);
        require(text.compare(0, prefix.size(), prefix) == 0, "records name program and tool");
        failure_lines += text.find("devctl( ") != std::string::npos ? 1 : 0;
        held_back_lines +=
            text.find(" not sent: a -f path was refused") != std::string::npos ? 1 : 0;
    }
    require(failure_lines == (want.sent && devctl_fails ? 1u : 0u),
            "one failure record exactly when the request failed");
    require(held_back_lines == (want.path_refused ? 1u : 0u),
            "one record exactly when a refused -f held the request back");
}

void check_devices(const expected_options& options, int debug_device) {
    require(fake_calls_of(fake_call_kind::open).size() == options.p_count,
            "each -p opens its device once, and only the harmless one");
    require((options.p_count > 0) == (a2i_fd != 0), "a -p device kept open until the end");
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
    if (size == 0) {
        return 0;
    }
    const bool devctl_fails = (data[0] & CONTROL_DEVCTL_FAILS) != 0;
    std::vector<std::string> words = split_words(data + 1, size - 1);
    const expected_options options = scan_and_disarm(words);
    const expected_request want = expected(options);

    fake_reset();
    fake_devctl_reset();
    if (devctl_fails) {
        fake_script_devctl(FAILED_DEVCTL, FAILED_DEVCTL);
    }
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

    require(result == (want.sent && devctl_fails ? FAILED_DEVCTL : 0),
            "the failed request's number, else 0");
    check_request(want, debug_device);
    check_records(want, devctl_fails);
    check_devices(options, debug_device);
    require(options.p_count == 0 || std::strcmp(a2i_path, HARMLESS_DEVICE) == 0,
            "only the harmless device was opened");
    std::free(a2i_path);
    a2i_path = nullptr;
    return 0;
}
