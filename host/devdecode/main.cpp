// devctl-decode: shows the device-control requests captured in a file or
// arriving on a FIFO, one request per block, fields by name; or one JSON
// object per request.
#include "frame_decoder.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <getopt.h>

namespace {

constexpr char USAGE[] =
    "usage: devctl-decode [--format text|json] [--help] [FILE]\n"
    "Decodes device-control frames (u32 code, u32 byte count, bytes; little-endian)\n"
    "from FILE, a capture file or a FIFO, or from standard input when FILE is\n"
    "missing or \"-\". Each request is shown by its command name with its fields\n"
    "(words in decimal and hex, texts up to their zero). Frames whose size does not\n"
    "match their command, unknown commands and truncated frames are flagged with\n"
    "\"!!\" and dumped in hex with an ASCII column.\n"
    "  --format FORMAT  text (default), or json: one object per frame with offset,\n"
    "                   code, name, size, fields and flags, and no summary line\n"
    "Exit status: 0 all frames sound, 1 some frame flagged, 2 usage or read error.\n";

struct options {
    frame_format format = FORMAT_TEXT;
    const char* path = "-";
};

// Returns -1 to go on, else the exit status.
int parse_options(int argc, char* argv[], options& chosen) {
    static const option LONG_OPTIONS[] = {{"format", required_argument, nullptr, 'f'},
                                          {"help", no_argument, nullptr, 'h'},
                                          {nullptr, 0, nullptr, 0}};
    for (int c; (c = getopt_long(argc, argv, "h", LONG_OPTIONS, nullptr)) != -1;) {
        const bool text = c == 'f' && std::strcmp(optarg, "text") == 0;
        const bool json = c == 'f' && std::strcmp(optarg, "json") == 0;
        if (text || json) {
            chosen.format = json ? FORMAT_JSON : FORMAT_TEXT;
            continue;
        }
        if (c == 'h') {
            std::fputs(USAGE, stdout);
            return 0;
        }
        if (c == 'f') {
            std::fprintf(stderr, "devctl-decode: bad --format '%s': want text or json\n", optarg);
        }
        std::fputs(USAGE, stderr);
        return 2;
    }
    if (argc - optind > 1) {
        std::fprintf(stderr, "devctl-decode: one FILE at most, not also '%s'\n", argv[optind + 1]);
        std::fputs(USAGE, stderr);
        return 2;
    }
    if (optind < argc) {
        chosen.path = argv[optind];
    }
    return -1;
}

} // namespace

int main(int argc, char* argv[]) {
    static char program_name[] = "devctl-decode";
    argv[0] = program_name; // getopt's complaints begin with it
    options chosen;
    const int status = parse_options(argc, argv, chosen);
    if (status >= 0) {
        return status;
    }
    const bool standard_input = std::strcmp(chosen.path, "-") == 0;
    const char* name = standard_input ? "standard input" : chosen.path;
    std::FILE* in = standard_input ? stdin : std::fopen(chosen.path, "rb");
    if (in == nullptr) {
        std::fprintf(stderr, "devctl-decode: %s: %s\n", name, std::strerror(errno));
        return 2;
    }
    const decode_summary summary = decode_frames(in, stdout, chosen.format);
    if (!standard_input) {
        std::fclose(in);
    }
    // After a failed read the count would pass for the whole stream's.
    if (chosen.format == FORMAT_TEXT && summary.read_error == 0) {
        std::printf("%u frame%s, %u flagged\n", summary.frames, summary.frames == 1 ? "" : "s",
                    summary.flagged);
    }
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        std::fprintf(stderr, "devctl-decode: standard output: %s\n", std::strerror(errno));
        return 2;
    }
    if (summary.read_error != 0) {
        std::fprintf(stderr, "devctl-decode: %s: %s\n", name, std::strerror(summary.read_error));
        return 2;
    }
    return summary.flagged == 0 ? 0 : 1;
}
