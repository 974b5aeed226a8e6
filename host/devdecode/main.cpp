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
    "usage: devctl-decode [--format text|json] [FILE]\n"
    "Decodes device-control frames (u32 code, u32 byte count, bytes; little-endian)\n"
    "from FILE, a capture file or a FIFO, or from standard input when FILE is\n"
    "missing or \"-\": each request by its command name with its fields. Frames\n"
    "whose size does not match their command, unknown commands and truncated\n"
    "frames are flagged with \"!!\" and dumped in hex with an ASCII column.\n"
    "  --format FORMAT  text (default), or json: one object per frame with offset,\n"
    "                   code, name, size, fields and flags, and no summary line\n"
    "  -h, --help, --version  show this help, or the version, and exit\n"
    "Exit status: 0 all frames sound, 1 some frame flagged, 2 usage or read error.\n";

enum long_only { FORMAT = 256, VERSION };

constexpr option LONG_OPTIONS[] = {{"format", required_argument, nullptr, FORMAT},
                                   {"help", no_argument, nullptr, 'h'},
                                   {"version", no_argument, nullptr, VERSION},
                                   {nullptr, 0, nullptr, 0}};

struct options {
    frame_format format = FORMAT_TEXT;
    const char* path = "-";
};

// Returns -1 to go on, else the exit status.
int parse_options(int argc, char* argv[], options& chosen) {
    for (int c; (c = getopt_long(argc, argv, "h", LONG_OPTIONS, nullptr)) != -1;) {
        switch (c) {
        case 'h':
            std::fputs(USAGE, stdout);
            return 0;
        case VERSION:
            std::fputs("devctl-decode (" TOOLS_PACKAGE ") " TOOLS_VERSION "\n", stdout);
            return 0;
        case FORMAT:
            chosen.format = std::strcmp(optarg, "json") == 0 ? FORMAT_JSON : FORMAT_TEXT;
            if (chosen.format == FORMAT_JSON || std::strcmp(optarg, "text") == 0) {
                break;
            }
            std::fprintf(stderr, "devctl-decode: bad --format '%s': want text or json\n", optarg);
            [[fallthrough]];
        default:
            std::fputs(USAGE, stderr);
            return 2;
        }
    }
    if (argc - optind > 1) {
        std::fprintf(stderr, "devctl-decode: one FILE at most, not also '%s'\n", argv[optind + 1]);
        std::fputs(USAGE, stderr);
        return 2;
    }
    chosen.path = optind < argc ? argv[optind] : chosen.path;
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
    decode_summary summary = decode_frames(in, stdout, chosen.format);
    // After a failed read the count would pass for the whole stream's.
    if (chosen.format == FORMAT_TEXT && summary.read_error == 0 && summary.write_error == 0) {
        std::printf("%u frame%s, %u flagged\n", summary.frames, summary.frames == 1 ? "" : "s",
                    summary.flagged);
        summary.write_error = std::fflush(stdout) != 0 ? errno : 0;
    }
    const int error = summary.write_error != 0 ? summary.write_error : summary.read_error;
    if (error != 0) {
        std::fprintf(stderr, "devctl-decode: %s: %s\n",
                     summary.write_error != 0 ? "standard output" : name, std::strerror(error));
        return 2;
    }
    return summary.flagged == 0 ? 0 : 1;
}
