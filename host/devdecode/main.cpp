// devctl-decode: shows the device-control requests captured in a file or
// arriving on a FIFO, one request per block, fields by name.
#include "frame_decoder.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

constexpr char USAGE[] =
    "usage: devctl-decode [FILE]\n"
    "Decodes device-control frames (u32 code, u32 byte count, bytes; little-endian)\n"
    "from FILE, a capture file or a FIFO, or from standard input when FILE is\n"
    "missing or \"-\". Each request is shown by its command name with its fields\n"
    "(words in decimal and hex, texts up to their zero). Frames whose size does not\n"
    "match their command, unknown commands and truncated frames are flagged with\n"
    "\"!!\" and dumped in hex.\n"
    "Exit status: 0 all frames sound, 1 some frame flagged, 2 usage or open error.\n";

} // namespace

int main(int argc, char* argv[]) {
    if (argc > 2) {
        std::fputs(USAGE, stderr);
        return 2;
    }
    const char* path = argc == 2 ? argv[1] : "-";
    if (std::strcmp(path, "--help") == 0 || std::strcmp(path, "-h") == 0) {
        std::fputs(USAGE, stdout);
        return 0;
    }
    std::FILE* in = stdin;
    if (std::strcmp(path, "-") != 0) {
        in = std::fopen(path, "rb");
        if (in == nullptr) {
            std::fprintf(stderr, "devctl-decode: %s: %s\n", path, std::strerror(errno));
            return 2;
        }
    }
    const decode_summary summary = decode_frames(in, stdout);
    if (in != stdin) {
        std::fclose(in);
    }
    std::printf("%u frames, %u flagged\n", summary.frames, summary.flagged);
    return summary.flagged == 0 ? 0 : 1;
}
