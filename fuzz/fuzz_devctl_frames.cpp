// Arbitrary byte streams through the device decoder's frame parser. For every
// stream: as many frames and as many flagged ones as walking the frames by hand
// finds (a frame is flagged when cut short, of an unknown command or of the
// wrong size), one heading line a frame and one "!!" line a flagged frame, and
// nothing but printable text and newlines on the output; in JSON one object a
// frame, each on one line.
#include "frame_decoder.h"
#include "fuzz_check.h"
#include "wire_bytes.h"

#include "dorvane_records.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

constexpr std::size_t FRAME_HEADER = 8;

bool is_sound_frame(std::uint32_t code, std::uint32_t size) {
    for (const devctl_command& command : DEVCTL_COMMANDS) {
        if (command.code == code)
            return command.record_size == size;
    }
    return false;
}

decode_summary walked(const std::uint8_t* data, std::size_t size) {
    decode_summary summary{0, 0, 0};
    std::size_t offset = 0;
    while (offset < size) {
        ++summary.frames;
        const std::size_t left = size - offset;
        if (left < FRAME_HEADER || le_word(data + offset + 4) > left - FRAME_HEADER) {
            ++summary.flagged; // a cut frame ends the stream
            break;
        }
        const std::uint32_t count = le_word(data + offset + 4);
        summary.flagged += is_sound_frame(le_word(data + offset), count) ? 0 : 1;
        offset += FRAME_HEADER + count;
    }
    return summary;
}

// The output's lines, which must all be whole.
std::vector<std::string> lines_of(const std::string& output) {
    std::vector<std::string> lines;
    for (std::size_t start = 0; start < output.size();) {
        const std::size_t end = output.find('\n', start);
        require(end != std::string::npos, "the output ends with a whole line");
        lines.push_back(output.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

void check_json(const std::string& output, const decode_summary& want) {
    const std::vector<std::string> lines = lines_of(output);
    unsigned flagged = 0;
    for (const std::string& line : lines) {
        require(line.rfind("{\"offset\":", 0) == 0 && line.back() == '}', "one object a line");
        for (unsigned char c : line)
            require(c >= 0x20, "no control character unescaped");
        flagged += line.find("\"flags\":[]}") == std::string::npos ? 1 : 0;
    }
    require(lines.size() == want.frames, "one object a frame");
    require(flagged == want.flagged, "flags on each flagged frame");
}

std::string decoded(const std::uint8_t* data, std::size_t size, frame_format format,
                    decode_summary* summary) {
    std::FILE* in = fmemopen(const_cast<std::uint8_t*>(data), size, "rb");
    char* text = nullptr;
    std::size_t text_size = 0;
    std::FILE* out = open_memstream(&text, &text_size);
    require(in != nullptr && out != nullptr, "memory streams");
    *summary = decode_frames(in, out, format);
    std::fclose(in);
    std::fclose(out);
    const std::string output(text, text_size);
    std::free(text);
    return output;
}

void check_output(const std::string& output, const decode_summary& want) {
    unsigned headings = 0;
    unsigned flags = 0;
    for (const std::string& line : lines_of(output)) {
        for (char c : line)
            require(c >= 0x20 && c < 0x7f, "lines of printable text");
        headings += line.compare(0, 1, "#") == 0 ? 1 : 0;
        flags += line.find("!! ") != std::string::npos &&
                         (line[0] == '#' || line.compare(0, 7, "    !! ") == 0)
                     ? 1
                     : 0;
    }
    require(headings == want.frames, "one heading line a frame");
    require(flags == want.flagged, "one flag line a flagged frame");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0; // fmemopen wants a buffer; an empty stream is no frame
    }
    decode_summary got{};
    const std::string output = decoded(data, size, FORMAT_TEXT, &got);
    const decode_summary want = walked(data, size);
    require(got.frames == want.frames, "every frame counted");
    require(got.flagged == want.flagged, "every malformed frame flagged");
    require(got.read_error == 0, "a memory stream reads without error");
    check_output(output, want);

    check_json(decoded(data, size, FORMAT_JSON, &got), want);
    return 0;
}
