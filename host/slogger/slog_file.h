// Finding the records in the bytes of a /dev/slog file. A write request puts
// exactly the record's bytes there, one record after another with nothing in
// between: a 12-byte header, then the payload. A text record ends at its
// terminating zero; an integer or binary record carries no length, so its end
// is taken to be where the next header begins, or the end of the file. A
// header is taken as one when its reserved word is zero and its severity word
// has no bit above the text flag; twelve zero bytes are filler, not a record.
// Bytes that start no record are skipped up to the next text record's header.
// No I/O here.
#pragma once

#include <cstddef>

namespace slogger {

enum class PieceKind {
    end,       // nothing left
    need_more, // read more and ask again
    record,    // a sound text record
    unsized,   // an integer or binary record whose end was guessed
    cut_off,   // a text record without its terminating zero
    garbled,   // bytes that start no record, or a header cut off by the end
};

struct Piece {
    PieceKind kind;
    std::size_t size; // the bytes it takes from the front of the stream
};

// What starts at `data`, of which `size` bytes are at hand; `at_end` when no
// more follow. Decides without more bytes once `size` reaches max_record.
Piece next_piece(const unsigned char* data, std::size_t size, bool at_end);

} // namespace slogger
