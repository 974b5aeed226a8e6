// host-slogger --read: the records a fallback left in a /dev/slog file, as the
// logger would have written them, what is unsound flagged by its offset; and
// the piece finder. Memory stays bounded: two records' room, and --lines.
#include "host_slogger.h"
#include "wire_text.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <deque>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

namespace slogger {

namespace {

// What 12 bytes begin, ordered: a record of either kind, a text record.
enum header_kind { NO_HEADER, OTHER_HEADER, TEXT_HEADER };

header_kind header_at(const unsigned char* data) {
    slog_record_header header;
    std::memcpy(&header, data, sizeof header);
    if (header.reserved != 0 || header.severity < 0 || header.severity > (SLOG_TEXT_FLAG | 7)) {
        return NO_HEADER;
    }
    return header.severity >= SLOG_TEXT_FLAG      ? TEXT_HEADER
           : (header.severity | header.code) != 0 ? OTHER_HEADER
                                                  : NO_HEADER; // filler
}

// The first header of `least` kind or more from `from`, wholly within `size` bytes; or 0.
std::size_t next_header(const unsigned char* data, std::size_t from, std::size_t size,
                        header_kind least) {
    for (std::size_t at = from; at + sizeof(slog_record_header) <= size; ++at) {
        if (header_at(data + at) >= least) {
            return at;
        }
    }
    return 0;
}

} // namespace

file_piece next_piece(const unsigned char* data, std::size_t size, bool at_end) {
    const bool full = size >= MAX_RECORD;
    const std::size_t window = full ? MAX_RECORD : size;
    if (size == 0 && at_end) {
        return {PIECE_END, 0};
    }
    if (size < sizeof(slog_record_header)) {
        return at_end ? file_piece{PIECE_GARBLED, size} : file_piece{PIECE_NEED_MORE, 0};
    }
    const header_kind kind = header_at(data);
    if (kind == TEXT_HEADER) {
        const auto* zero = static_cast<const unsigned char*>(
            std::memchr(data + sizeof(slog_record_header), 0, window - sizeof(slog_record_header)));
        if (zero != nullptr) {
            return {PIECE_RECORD, static_cast<std::size_t>(zero - data) + 1};
        }
        // Cut by the end of the file, or longer than any record: the text is all there is.
        return at_end || full ? file_piece{PIECE_CUT_OFF, window} : file_piece{PIECE_NEED_MORE, 0};
    }
    if (kind == OTHER_HEADER) {
        const std::size_t next =
            next_header(data, sizeof(slog_record_header), window, OTHER_HEADER);
        if (next != 0 || at_end || full) {
            return {PIECE_UNSIZED, next != 0 ? next : window};
        }
        return {PIECE_NEED_MORE, 0};
    }
    // Junk is left only for a text header: too much junk looks like another.
    const std::size_t next = next_header(data, 1, window, TEXT_HEADER);
    if (next != 0 || at_end) {
        return {PIECE_GARBLED, next != 0 ? next : window};
    }
    // Keep what may be the start of a header cut by the end of the window.
    return full ? file_piece{PIECE_GARBLED, window - (sizeof(slog_record_header) - 1)}
                : file_piece{PIECE_NEED_MORE, 0};
}

} // namespace slogger

namespace {

// Bytes of a stretch of junk its flag shows.
constexpr std::size_t JUNK_SHOWN = 16;

// What the file holds and what was made of it so far.
struct file_stream {
    std::string name; // the path, or "standard input"
    int fd;
    std::vector<unsigned char> buffer = std::vector<unsigned char>(2 * slogger::MAX_RECORD);
    std::size_t begin = 0; // the bytes read but not yet decoded are [begin, end)
    std::size_t end = 0;
    bool at_end = false;
    // How many lines `last` keeps: --lines up to the end of the file, then -1.
    long long lines = options.lines;
    off_t offset = 0;               // in the file, of begin
    off_t junk_offset = 0;          // a stretch of junk, flagged once when it ends: where
    std::size_t junk_size = 0;      // it began, its length,
    std::string junk_head{};        // and ": " and its first bytes in hexadecimal
    bool flagged = false;           // some piece was flagged: exit status 1
    std::string failed{};           // what could not be read or written, why: status 2
    std::deque<std::string> last{}; // the lines not yet written: with --lines, the last
};

// Reads more behind what is left; false on a read error.
bool fill(file_stream& stream) {
    stream.end -= stream.begin;
    std::memmove(stream.buffer.data(), stream.buffer.data() + stream.begin, stream.end);
    stream.begin = 0;
    const ssize_t n =
        read(stream.fd, stream.buffer.data() + stream.end, stream.buffer.size() - stream.end);
    stream.at_end = n == 0;
    stream.end += n > 0 ? static_cast<std::size_t>(n) : 0;
    stream.failed = n < 0 ? stream.name + ": " + std::strerror(errno) : "";
    return n >= 0;
}

// Says on standard error where a piece that is not a sound record lies, and why.
void flag(file_stream& stream, off_t offset, const char* what, std::size_t size,
          const std::string& shown = "") {
    stream.flagged = true;
    complain(stream.name + ": byte " + std::to_string(offset) + ": " + what + " (" +
             std::to_string(size) + " bytes" + shown + ")");
}

// Flags what is not a sound record: a guessed or cut-off record at once, a
// stretch of junk once when it ends, with its whole length.
void take_flags(file_stream& stream, const slogger::file_piece& piece) {
    if (piece.kind == slogger::PIECE_GARBLED && stream.junk_size == 0) {
        stream.junk_offset = stream.offset;
        stream.junk_head = ": ";
        wire::append_hex(stream.junk_head, stream.buffer.data() + stream.begin,
                         std::min(piece.size, JUNK_SHOWN), ' ');
    }
    if (piece.kind == slogger::PIECE_GARBLED) {
        stream.junk_size += piece.size;
    } else if (piece.kind != slogger::PIECE_NEED_MORE && stream.junk_size != 0) {
        flag(stream, stream.junk_offset, "no record here", stream.junk_size,
             stream.junk_head + (stream.junk_size > JUNK_SHOWN ? " ..." : ""));
        stream.junk_size = 0;
    }
    if (piece.kind == slogger::PIECE_UNSIZED || piece.kind == slogger::PIECE_CUT_OFF) {
        flag(stream, stream.offset,
             piece.kind == slogger::PIECE_CUT_OFF ? "text record cut off: no terminating zero"
                                                  : "integer or binary record: its length is not "
                                                    "in the file, taken up to the next record",
             piece.size);
    }
}

// Writes the lines kept; false when the output failed. --lines keeps them up
// to the end of the file; later ones, with --follow, go out at once.
bool write_kept(file_stream& stream) {
    for (std::string& line : stream.last) {
        if (!write_line(std::move(line))) {
            stream.failed = output_name() + std::string(": ") + std::strerror(errno);
            return false;
        }
    }
    stream.last.clear();
    stream.lines = -1;
    return true;
}

// Writes a record's line, or keeps it for --lines; false when the output failed.
bool show(file_stream& stream, const slogger::file_piece& piece) {
    const slogger::record_origin absent{{}, 0};
    const slogger::record_view record = slogger::decode_record(
        stream.buffer.data() + stream.begin, piece.size - sizeof(slog_record_header));
    if (selected(record, absent)) {
        stream.last.push_back(slogger::format_line(record, absent, options.format));
    }
    if (stream.lines >= 0 && stream.last.size() > static_cast<std::size_t>(stream.lines)) {
        stream.last.pop_front();
    }
    return stream.lines >= 0 || write_kept(stream);
}

// At the end of what the file holds, --follow waits until the file grows,
// or starts over when it was emptied (as the runner empties /dev/slog before
// a run); false when there is nothing more to read.
bool await_growth(file_stream& stream) {
    struct stat now {};
    while (options.follow && fstat(stream.fd, &now) == 0 && S_ISREG(now.st_mode)) {
        if (now.st_size < stream.offset) {
            complain(stream.name + ": file truncated");
            stream.offset = lseek(stream.fd, 0, SEEK_SET);
        }
        if (now.st_size != stream.offset) {
            stream.at_end = false;
            return true;
        }
        poll(nullptr, 0, 200); // a look five times a second
    }
    return false;
}

} // namespace

int read_file(const char* path) {
    const bool standard_input = std::strcmp(path, "-") == 0;
    file_stream stream{standard_input ? "standard input" : path,
                       standard_input ? STDIN_FILENO : open(path, O_RDONLY | O_CLOEXEC)};
    stream.failed = stream.fd < 0 ? stream.name + ": " + std::strerror(errno) : "";
    for (bool more = stream.fd >= 0; more;) {
        const slogger::file_piece piece = slogger::next_piece(
            stream.buffer.data() + stream.begin, stream.end - stream.begin, stream.at_end);
        take_flags(stream, piece);
        if (piece.kind == slogger::PIECE_NEED_MORE) {
            more = fill(stream);
        } else if (piece.kind == slogger::PIECE_END) {
            more = write_kept(stream) && await_growth(stream);
        } else {
            more = piece.kind == slogger::PIECE_GARBLED || show(stream, piece);
            stream.begin += piece.size;
            stream.offset += static_cast<off_t>(piece.size);
        }
    }
    if (!stream.failed.empty()) {
        complain(stream.failed);
        return 2;
    }
    return stream.flagged ? 1 : 0;
}
