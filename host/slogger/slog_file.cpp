#include "slog_file.h"

#include "slogger_proto.h"
#include "wire_text.h"

#include <cstring>

namespace slogger {

namespace {

bool is_text_header(const unsigned char* header) {
    std::uint32_t severity = wire::le32(header);
    return severity >= SLOG_TEXT_FLAG && severity <= (SLOG_TEXT_FLAG | 7) &&
           wire::le32(header + 8) == 0;
}

bool is_other_header(const unsigned char* header) {
    std::uint32_t severity = wire::le32(header);
    return severity < SLOG_TEXT_FLAG && wire::le32(header + 8) == 0 &&
           (severity | wire::le32(header + 4)) != 0;
}

// The first header at or after `from` wholly within `size` bytes, or 0;
// with `any` of either kind, else of a text record.
std::size_t next_header(const unsigned char* data, std::size_t from, std::size_t size, bool any) {
    for (std::size_t at = from; at + record_header_size <= size; ++at) {
        if (is_text_header(data + at) || (any && is_other_header(data + at)))
            return at;
    }
    return 0;
}

} // namespace

Piece next_piece(const unsigned char* data, std::size_t size, bool at_end) {
    const bool full = size >= max_record;
    const std::size_t window = full ? max_record : size;
    if (size == 0 && at_end)
        return {PieceKind::end, 0};
    if (size < record_header_size)
        return at_end ? Piece{PieceKind::garbled, size} : Piece{PieceKind::need_more, 0};

    if (is_text_header(data)) {
        const auto* zero = static_cast<const unsigned char*>(
            std::memchr(data + record_header_size, 0, window - record_header_size));
        if (zero != nullptr)
            return {PieceKind::record, static_cast<std::size_t>(zero - data) + 1};
        // Cut by the end of the file, or longer than any record: either way
        // the text is all there is of it.
        if (at_end || full)
            return {PieceKind::cut_off, window};
        return {PieceKind::need_more, 0};
    }
    if (is_other_header(data)) {
        std::size_t next = next_header(data, record_header_size, window, true);
        if (next != 0)
            return {PieceKind::unsized, next};
        if (at_end || full)
            return {PieceKind::unsized, window};
        return {PieceKind::need_more, 0};
    }
    // Junk is left only for a text header: too much junk looks like another.
    std::size_t next = next_header(data, 1, window, false);
    if (next != 0)
        return {PieceKind::garbled, next};
    if (at_end)
        return {PieceKind::garbled, window};
    // Keep what may be the start of a header cut by the end of the window.
    if (full)
        return {PieceKind::garbled, window - (record_header_size - 1)};
    return {PieceKind::need_more, 0};
}

} // namespace slogger
