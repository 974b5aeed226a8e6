// Decodes a stream of devctl frames (u32 code, u32 byte count, bytes; little-
// endian) into lines a person reads, each request by name with its fields, or
// into one JSON object per frame.
#pragma once

#include <cstdio>

enum frame_format { FORMAT_TEXT, FORMAT_JSON };

struct decode_summary {
    unsigned frames;     // frames seen, truncated ones included
    unsigned flagged;    // unknown command, wrong size or truncated
    int read_error;      // errno of a failed read, which ends the stream; 0 if none
    int write_error = 0; // errno of a failed write to out, which ends it too
};

// Reads frames from in until its end and writes their decoding to out,
// flushing after each frame so a live FIFO shows requests as they come; a
// failed write ends it too. Memory stays bounded whatever a frame claims.
decode_summary decode_frames(std::FILE* in, std::FILE* out, frame_format format = FORMAT_TEXT);
