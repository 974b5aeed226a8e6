// The host logger's packet checks and record lines: packets in, lines and
// replies out, hostile packets included.
#include "slogger_proto.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

void put_word(Bytes* out, std::uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8)
        out->push_back(static_cast<unsigned char>(value >> shift));
}

Bytes record(std::uint32_t severity, std::uint32_t code, const Bytes& payload) {
    Bytes out;
    put_word(&out, severity);
    put_word(&out, code);
    put_word(&out, 0);
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
}

Bytes text(const std::string& s) {
    Bytes out(s.begin(), s.end());
    out.push_back(0);
    return out;
}

struct Header {
    std::uint16_t type = 2;
    std::uint16_t length = 16;
    std::int64_t byte_count = -1; // -1: the real size
    std::uint32_t reserved1 = 0;
    std::uint32_t reserved2 = 0;
};

Bytes packet(const Bytes& rec, Header h = {}) {
    Bytes out = {static_cast<unsigned char>(h.type), static_cast<unsigned char>(h.type >> 8),
                 static_cast<unsigned char>(h.length), static_cast<unsigned char>(h.length >> 8)};
    put_word(&out, static_cast<std::uint32_t>(h.byte_count < 0 ? rec.size() : h.byte_count));
    put_word(&out, h.reserved1);
    put_word(&out, h.reserved2);
    out.insert(out.end(), rec.begin(), rec.end());
    return out;
}

slogger::Outcome handle(const Bytes& p, bool truncated = false) {
    return slogger::handle_packet(p.data(), p.size(), truncated);
}

TEST(SloggerRecords, text_record_line_and_byte_count_reply) {
    Bytes rec = record(13, 20001, text("kestrune: started"));
    slogger::Outcome out = handle(packet(rec));
    EXPECT_EQ(out.reply, static_cast<std::int32_t>(rec.size()));
    EXPECT_EQ(out.line, "info 20001 kestrune: started");
    EXPECT_TRUE(out.complaint.empty());
}

TEST(SloggerRecords, severity_names_follow_low_three_bits) {
    const char* names[] = {"shutdown", "critical", "error",  "warning",
                           "notice",   "info",     "debug1", "debug2"};
    for (std::uint32_t severity = 0; severity < 8; ++severity) {
        EXPECT_EQ(handle(packet(record(severity | 8 | 0x100, 1, text("x")))).line,
                  std::string(names[severity]) + " 1 x");
    }
    EXPECT_EQ(handle(packet(record(8, 0xFFFFFFFFu, text("")))).line, "shutdown 4294967295 ");
}

TEST(SloggerRecords, text_stops_at_zero_or_payload_end) {
    Bytes after_zero = text("one");
    after_zero.insert(after_zero.end(), {'t', 'w', 'o', 0});
    EXPECT_EQ(handle(packet(record(13, 1, after_zero))).line, "info 1 one");
    EXPECT_EQ(handle(packet(record(13, 1, Bytes{'a', 'b'}))).line, "info 1 ab");
    EXPECT_EQ(handle(packet(record(13, 1, Bytes{}))).line, "info 1 ");
}

TEST(SloggerRecords, text_is_escaped_onto_one_line) {
    Bytes odd = {'a', '\n', 'b', '\t', '\\', '\r', 0x1b, 0x7f, 0xc3, 0xa9, '"', 0};
    EXPECT_EQ(handle(packet(record(13, 1, odd))).line,
              "info 1 a\\nb\\t\\\\\\x0d\\x1b\\x7f\\xc3\\xa9\"");
}

TEST(SloggerRecords, integer_payload_up_to_32_words_as_signed_ints) {
    Bytes ints;
    put_word(&ints, 1);
    put_word(&ints, static_cast<std::uint32_t>(-2));
    put_word(&ints, 0x80000000u);
    EXPECT_EQ(handle(packet(record(3, 7, ints))).line, "warning 7 ints[3]: 1 -2 -2147483648");
    EXPECT_EQ(handle(packet(record(3, 7, {}))).line, "warning 7 ints[0]:");

    Bytes max(32 * 4, 0);
    EXPECT_EQ(handle(packet(record(3, 7, max))).line.rfind("warning 7 ints[32]: 0 0", 0), 0U);
}

TEST(SloggerRecords, other_payloads_as_hex_bytes) {
    EXPECT_EQ(handle(packet(record(3, 7, {0x0a, 0x1b, 0xff}))).line,
              "warning 7 bytes[3]: 0a 1b ff");
    Bytes over(33 * 4, 0xab);
    std::string line = handle(packet(record(3, 7, over))).line;
    EXPECT_EQ(line.rfind("warning 7 bytes[132]: ab ab", 0), 0U);
    EXPECT_EQ(line.size(), std::string("warning 7 bytes[132]:").size() + 132 * 3);
}

struct Hostile {
    const char* name;
    Bytes packet;
    bool truncated;
    int error;
};

TEST(SloggerHostile, refused_with_negative_errno_and_a_complaint) {
    Bytes rec = record(13, 1, text("x"));
    const Hostile cases[] = {
        {"empty", {}, false, EINVAL},
        {"short", Bytes(15, 0), false, EINVAL},
        {"write type", packet(rec, {.type = 0x102}), false, EINVAL},
        {"zero type", packet(rec, {.type = 0}), false, EINVAL},
        {"header length", packet(rec, {.length = 12}), false, EINVAL},
        {"reserved 1", packet(rec, {.reserved1 = 1}), false, EINVAL},
        {"reserved 2", packet(rec, {.reserved2 = 0x80000000u}), false, EINVAL},
        {"count too big", packet(rec, {.byte_count = 100}), false, EINVAL},
        {"count too small", packet(rec, {.byte_count = 12}), false, EINVAL},
        {"count negative", packet(rec, {.byte_count = 0xFFFFFFF0}), false, EINVAL},
        {"no record header", packet(Bytes(11, 0)), false, EINVAL},
        {"header only", packet({}), false, EINVAL},
        {"truncated", packet(Bytes(100, 0)), true, EMSGSIZE},
    };
    for (const Hostile& c : cases) {
        slogger::Outcome out = handle(c.packet, c.truncated);
        EXPECT_EQ(out.reply, -c.error) << c.name;
        EXPECT_TRUE(out.line.empty()) << c.name;
        EXPECT_FALSE(out.complaint.empty()) << c.name;
    }
}

} // namespace
