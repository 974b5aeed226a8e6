// host-slogger --read: the records a fallback left in a /dev/slog file,
// decoded as the logger would have written them, with what is unsound flagged
// on standard error by its byte offset. Memory stays bounded whatever the file
// holds: at most two records' room.
#include "log_output.h"
#include "slog_file.h"
#include "wire_text.h"

#include <cerrno>
#include <cstring>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

namespace {

// Why a piece is flagged; null for a sound record.
const char* flag_of(slogger::PieceKind kind) {
    switch (kind) {
    case slogger::PieceKind::unsized:
        return "integer or binary record: its length is not in the file, taken up to the next "
               "record";
    case slogger::PieceKind::cut_off:
        return "text record cut off: no terminating zero";
    case slogger::PieceKind::garbled:
        return "no record here";
    default:
        return nullptr;
    }
}

struct Stream {
    int fd;
    std::vector<unsigned char> buffer = std::vector<unsigned char>(2 * slogger::max_record);
    std::size_t begin = 0; // the bytes not yet decoded are [begin, end)
    std::size_t end = 0;
    bool at_end = false;
};

// Reads more behind what is left; false on a read error, errno set.
bool fill(Stream& stream) {
    if (stream.begin != 0) {
        std::memmove(stream.buffer.data(), stream.buffer.data() + stream.begin,
                     stream.end - stream.begin);
        stream.end -= stream.begin;
        stream.begin = 0;
    }
    for (;;) {
        ssize_t n =
            read(stream.fd, stream.buffer.data() + stream.end, stream.buffer.size() - stream.end);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        stream.at_end = n == 0;
        stream.end += static_cast<std::size_t>(n);
        return true;
    }
}

void flag(const std::string& name, unsigned long long offset, const slogger::Piece& piece,
          const unsigned char* bytes) {
    std::string text = name + ": byte " + std::to_string(offset) + ": " + flag_of(piece.kind) +
                       " (" + std::to_string(piece.size) + " bytes";
    if (piece.kind == slogger::PieceKind::garbled) {
        constexpr std::size_t shown = 16;
        text += ": ";
        wire::append_hex(text, bytes, piece.size < shown ? piece.size : shown, ' ');
        if (piece.size > shown)
            text += " ...";
    }
    complain(text + ")");
}

} // namespace

int read_file(const std::string& path, const LogOutput& output) {
    const bool standard_input = path == "-";
    const std::string name = standard_input ? "standard input" : path;
    Stream stream{standard_input ? 0 : open(path.c_str(), O_RDONLY | O_CLOEXEC)};
    if (stream.fd < 0) {
        complain(name + ": " + std::strerror(errno));
        return 2;
    }
    const slogger::Origin absent{{}, 0};
    unsigned long long offset = 0;
    bool flagged = false;
    int status = -1;
    while (status < 0) {
        const unsigned char* data = stream.buffer.data() + stream.begin;
        slogger::Piece piece = slogger::next_piece(data, stream.end - stream.begin, stream.at_end);
        switch (piece.kind) {
        case slogger::PieceKind::end:
            status = flagged ? 1 : 0;
            continue;
        case slogger::PieceKind::need_more:
            if (!fill(stream)) {
                complain(name + ": " + std::strerror(errno));
                status = 2;
            }
            continue;
        case slogger::PieceKind::garbled:
            break;
        default:
            if (!write_record(
                    output, slogger::decode_record(data, piece.size - slogger::record_header_size),
                    absent)) {
                complain(std::string("writing the output: ") + std::strerror(errno));
                status = 2;
                continue;
            }
        }
        if (piece.kind != slogger::PieceKind::record) {
            flagged = true;
            flag(name, offset, piece, data);
        }
        stream.begin += piece.size;
        offset += piece.size;
    }
    if (!standard_input)
        close(stream.fd);
    return status;
}
