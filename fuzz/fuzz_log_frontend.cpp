// Arbitrary program names, severities, codes and argument texts through the
// front end and the client, against the fake platform's recorded MsgSendv;
// the free stack and the logger's answers are fuzzed too. The program name is
// the fuzzed part of the format: the front end puts it there.
//
// For every input: a record goes out exactly when it passes the threshold and
// the stack suffices; every message on the wire is well formed; a text record
// reads the program name verbatim ("%" as itself), ": " and the formatted
// message, cut to 1015 characters; a binary or integer record carries its
// values unchanged; every retry carries the same record.
#include "fake_platform.h"
#include "fuzz_support.h"
#include "log.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <string>
#include <unistd.h>
#include <vector>

extern "C" char* __progname;

namespace {

enum class call_kind {
    error,
    warning,
    info,
    debug,
    vprintf,
    printf_code,
    started,
    terminated,
    binary,
    ints,
    kMaxValue = ints // the provider's name for the last one
};

// What a kind of call fixes: its severity and the code of its text record
// (FUZZED: the input's), and the text of a process record.
constexpr std::int32_t FUZZED = INT32_MIN;
struct kind_traits {
    std::int32_t severity;
    std::int32_t code;
    const char* process_text;
};
constexpr kind_traits KINDS[] = {
    {LOG_SEVERITY_ERROR, LOG_CODE_TEXT, nullptr},
    {LOG_SEVERITY_WARNING, LOG_CODE_TEXT, nullptr},
    {LOG_SEVERITY_INFO, LOG_CODE_TEXT, nullptr},
    {LOG_SEVERITY_DEBUG, LOG_CODE_TEXT, nullptr},
    {FUZZED, LOG_CODE_TEXT, nullptr},
    {FUZZED, FUZZED, nullptr},
    {LOG_SEVERITY_INFO, LOG_CODE_STARTED, "process started PID=0x%08X"},
    {LOG_SEVERITY_INFO, LOG_CODE_TERMINATED, "process terminated PID=0x%08X"},
    {FUZZED, FUZZED, nullptr},
    {FUZZED, FUZZED, nullptr},
};
static_assert(std::size(KINDS) == static_cast<std::size_t>(call_kind::kMaxValue) + 1);

const kind_traits& traits(call_kind kind) {
    return KINDS[static_cast<std::size_t>(kind)];
}

// Fixed formats, as callers write them; each reads at most two texts.
constexpr const char* FORMATS[] = {
    "%s",           "%s%s",        "%s:  %s \n",
    "[%.7s|%-12s]", "%s 100%% %s", "%s:  devctl( DCMD_DIRECT_CONNECT ) failed: %s",
};

// What the logger answers to successive sends.
constexpr long REPLY_OK = 0;
constexpr int SEND_ERRORS[] = {EBADF, ENOSYS, EINTR};

struct call {
    call_kind kind;
    std::int32_t severity;
    std::int32_t code;
    const char* format;
    std::string first;
    std::string second;
    std::vector<std::int32_t> values; // always 32; the first count are sent
    std::vector<unsigned char> data;  // the bytes of a binary record
    std::int32_t count;               // integers, or the binary size handed over
};

struct outcome {
    bool sent;
    std::int32_t severity_word;
    std::int32_t code;
    std::string payload;
};

// Text without a zero byte, as a C string holds it.
std::string c_text(FuzzedDataProvider& input, std::size_t most) {
    std::string text = input.ConsumeRandomLengthString(most);
    return text.substr(0, text.find('\0'));
}

// Fuzzed severities mostly around the threshold and the text flag; now and then anything.
int severity_of(call_kind kind, FuzzedDataProvider& input) {
    if (traits(kind).severity != FUZZED)
        return traits(kind).severity;
    return input.ConsumeBool() ? input.ConsumeIntegral<std::int32_t>()
                               : input.ConsumeIntegralInRange<std::int32_t>(-16, 16);
}

call read_call(FuzzedDataProvider& input) {
    call c{};
    c.kind = input.ConsumeEnum<call_kind>();
    c.severity = severity_of(c.kind, input);
    c.code = input.ConsumeBool() ? input.ConsumeIntegral<std::int32_t>() : LOG_CODE_TEXT;
    c.format = input.PickValueInArray(FORMATS);
    c.first = c_text(input, 1100);
    c.second = c_text(input, 1100);
    if (c.kind == call_kind::ints) {
        c.count = input.ConsumeIntegralInRange<std::int32_t>(-2, SLOG_INTS_MAX + 2);
        for (unsigned i = 0; i < SLOG_INTS_MAX; ++i)
            c.values.push_back(input.ConsumeIntegral<std::int32_t>());
    } else if (c.kind == call_kind::binary) {
        const bool negative = input.ConsumeBool();
        c.data = input.ConsumeRemainingBytes<unsigned char>();
        c.count = negative ? -1 - static_cast<std::int32_t>(c.data.size())
                           : static_cast<std::int32_t>(c.data.size());
    }
    return c;
}

void log_vprintf_with(int severity, const char* format, ...) {
    va_list args;
    va_start(args, format);
    log_vprintf(severity, format, args);
    va_end(args);
}

void make_call(const call& c) {
    const char* a = c.first.c_str();
    const char* b = c.second.c_str();
    const std::int32_t* v = c.values.data();
    switch (c.kind) {
    case call_kind::error:
        return log_error(c.format, a, b);
    case call_kind::warning:
        return log_warning(c.format, a, b);
    case call_kind::info:
        return log_info(c.format, a, b);
    case call_kind::debug:
        return log_debug(c.format, a, b);
    case call_kind::vprintf:
        return log_vprintf_with(c.severity, c.format, a, b);
    case call_kind::printf_code:
        return log_printf_code(c.code, c.severity, c.format, a, b);
    case call_kind::started:
        return log_started();
    case call_kind::terminated:
        return log_terminated();
    case call_kind::binary:
        return log_binary(c.code, c.severity, c.data.data(), c.count);
    case call_kind::ints:
        return log_ints(c.code, c.severity, c.count, v[0], v[1], v[2], v[3], v[4], v[5], v[6], v[7],
                        v[8], v[9], v[10], v[11], v[12], v[13], v[14], v[15], v[16], v[17], v[18],
                        v[19], v[20], v[21], v[22], v[23], v[24], v[25], v[26], v[27], v[28], v[29],
                        v[30], v[31]);
    }
}

std::string formatted(const char* format, ...) {
    va_list args;
    va_start(args, format);
    va_list measured;
    va_copy(measured, args);
    const int length = std::vsnprintf(nullptr, 0, format, measured);
    va_end(measured);
    std::string text(static_cast<std::size_t>(length) + 1, '\0');
    std::vsnprintf(text.data(), text.size(), format, args);
    va_end(args);
    text.pop_back();
    return text;
}

std::string message_text(const call& c) {
    if (traits(c.kind).process_text != nullptr)
        return formatted(traits(c.kind).process_text, static_cast<unsigned>(getpid()));
    return formatted(c.format, c.first.c_str(), c.second.c_str());
}

std::int32_t text_code(const call& c) {
    return traits(c.kind).code == FUZZED ? c.code : traits(c.kind).code;
}

// The stack the text path needs for a record of this capacity.
std::size_t needed_stack(std::size_t capacity) {
    return ((sizeof(slog_record_header) + capacity + 7) & ~std::size_t{7}) + SLOG_STACK_HEADROOM;
}

outcome expected_text(const call& c, const std::string& name, std::size_t first_stack,
                      std::size_t second_stack) {
    const std::string full = name + ": " + message_text(c);
    std::size_t capacity = SLOG_TEXT_MAX;
    if (first_stack <= SLOG_STACK_PLENTY)
        capacity = std::min(full.size() + 1, SLOG_TEXT_MAX);
    // A first answer too short for even an empty record is refused before
    // the text is measured.
    const bool room = first_stack > needed_stack(1) && second_stack > needed_stack(capacity);
    outcome want{
        c.severity <= log_threshold && room, c.severity | SLOG_TEXT_FLAG, text_code(c), {}};
    want.payload.assign(full.begin(), full.begin() + std::min(full.size(), capacity - 1));
    want.payload.push_back(0);
    return want;
}

outcome expected(const call& c, const std::string& name, std::size_t first_stack,
                 std::size_t second_stack) {
    const bool passes = c.severity <= log_threshold;
    outcome want{passes, c.severity, c.code, {}};
    if (c.kind == call_kind::binary) {
        want.sent = passes && c.count >= 0;
        want.payload.assign(c.data.begin(), c.data.end());
        return want;
    }
    if (c.kind == call_kind::ints) {
        want.sent = passes && static_cast<std::uint32_t>(c.count) <= SLOG_INTS_MAX;
        const auto* begin = reinterpret_cast<const unsigned char*>(c.values.data());
        const std::size_t sent_values = want.sent ? static_cast<std::size_t>(c.count) : 0;
        want.payload.assign(begin, begin + sent_values * sizeof(std::int32_t));
        return want;
    }
    return expected_text(c, name, first_stack, second_stack);
}

void script_logger(FuzzedDataProvider& input) {
    const unsigned sends = input.ConsumeIntegralInRange(0u, 4u);
    for (unsigned i = 0; i < sends; ++i) {
        if (input.ConsumeBool()) {
            fake_script_send(REPLY_OK);
        } else {
            fake_script_send(-1, input.PickValueInArray(SEND_ERRORS));
        }
    }
    const unsigned open_failures = input.ConsumeIntegralInRange(0u, 2u);
    for (unsigned i = 0; i < open_failures; ++i)
        fake_script_open_failure(ENOENT);
}

void check(const outcome& want, const call& c, bool logger_scripted) {
    const std::vector<sent_message> messages = checked_messages();
    require(messages.empty() != want.sent, "a record goes out exactly when it should");
    require(messages.size() <= 4, "at most four sends per record");
    require(logger_scripted || messages.size() <= 1, "one send when the logger answers");
    const bool text = c.kind != call_kind::binary && c.kind != call_kind::ints;
    for (const sent_message& message : messages) {
        if (text) {
            checked_text(message);
        } else {
            require(message.part_lengths.size() == 3, "header, record header and values");
        }
        require(message.record.severity == want.severity_word, "the severity word");
        require(message.record.code == want.code, "the record code");
        require(message.payload == want.payload, "the record's bytes, on every send");
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    fake_reset();

    const bool no_name = input.ConsumeProbability<float>() < 0.02f;
    std::string name = c_text(input, 1100);
    std::size_t first_stack = FAKE_STACK_PLENTY;
    std::size_t second_stack = FAKE_STACK_PLENTY;
    if (input.ConsumeBool()) {
        first_stack = input.ConsumeIntegralInRange<std::size_t>(0, 2 * SLOG_STACK_PLENTY);
        second_stack = input.ConsumeIntegralInRange<std::size_t>(0, 2 * SLOG_STACK_PLENTY);
        fake_script_stackavail(first_stack);
        fake_script_stackavail(second_stack);
    }
    const bool logger_scripted = input.ConsumeBool();
    if (logger_scripted)
        script_logger(input);
    const call c = read_call(input);

    char* const own_name = __progname;
    __progname = no_name ? nullptr : name.data();
    make_call(c);
    __progname = own_name;

    check(expected(c, no_name ? std::string() : name, first_stack, second_stack), c,
          logger_scripted);
    return 0;
}
