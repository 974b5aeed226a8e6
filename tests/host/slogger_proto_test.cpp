// The host logger's packet checks and record lines: packets in, lines and
// replies out, hostile packets included.
#include "slogger_proto.h"
#include "wire_bytes.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

namespace {

using Bytes = wire_bytes;

Bytes record(std::uint32_t severity, std::uint32_t code, const Bytes& payload) {
    return record_bytes(static_cast<std::int32_t>(severity), static_cast<std::int32_t>(code),
                        payload);
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
    const auto count = h.byte_count < 0 ? rec.size() : static_cast<std::size_t>(h.byte_count);
    return message_bytes(
        {h.type, h.length, static_cast<std::int32_t>(count), {h.reserved1, h.reserved2}}, rec);
}

slogger::packet_outcome handle(const Bytes& p, bool truncated = false) {
    return slogger::handle_packet(p.data(), p.size(), truncated);
}

const slogger::record_origin arrived{"2026-12-08T12:00:00.123456Z", 4242};
const slogger::record_origin from_file{{}, 0};

// The text line of a record sent in a sound packet, without the time and pid in front.
std::string line(const Bytes& rec) {
    const Bytes sent = packet(rec); // the outcome's record points into it
    slogger::packet_outcome out = handle(sent);
    EXPECT_TRUE(out.complaint.empty()) << out.complaint;
    std::string full = slogger::format_line(out.record, from_file, slogger::LINE_TEXT);
    EXPECT_EQ(full.rfind("- - ", 0), 0U) << full;
    return full.substr(4);
}

std::string json(const Bytes& rec, const slogger::record_origin& origin = arrived) {
    const Bytes sent = packet(rec);
    return slogger::format_line(handle(sent).record, origin, slogger::LINE_JSON);
}

TEST(SloggerRecords, text_record_line_and_byte_count_reply) {
    Bytes rec = record(13, 20001, text("kestrune: started\n"));
    Bytes sent = packet(rec);
    slogger::packet_outcome out = handle(sent);
    EXPECT_EQ(out.reply, static_cast<std::int32_t>(rec.size()));
    EXPECT_TRUE(out.complaint.empty());
    EXPECT_EQ(slogger::format_line(out.record, arrived, slogger::LINE_TEXT),
              "2026-12-08T12:00:00.123456Z 4242 info 0x00004E21 kestrune: started\\n");
    EXPECT_EQ(slogger::format_line(out.record, from_file, slogger::LINE_TEXT),
              "- - info 0x00004E21 kestrune: started\\n");
}

TEST(SloggerRecords, severity_names_follow_low_three_bits) {
    const char* names[] = {"shutdown", "critical", "error",  "warning",
                           "notice",   "info",     "debug1", "debug2"};
    for (std::uint32_t severity = 0; severity < 8; ++severity) {
        EXPECT_EQ(line(record(severity | 8 | 0x100, 1, text("x"))),
                  std::string(names[severity]) + " 0x00000001 x");
        EXPECT_EQ(slogger::parse_severity(names[severity]), static_cast<int>(severity));
        EXPECT_EQ(slogger::parse_severity(std::to_string(severity)), static_cast<int>(severity));
    }
    EXPECT_EQ(line(record(8, 0xFFFFFFFFu, text(""))), "shutdown 0xFFFFFFFF ");
    // syslog's names, in any case, as the most severe level it files at or above.
    const std::pair<const char*, int> aliases[] = {
        {"emerg", 0}, {"PANIC", 0}, {"alert", 0}, {"Crit", 1},    {"CRITICAL", 1},
        {"err", 2},   {"ERROR", 2}, {"warn", 3},  {"WARNING", 3}, {"Notice", 4},
        {"INFO", 5},  {"debug", 7}, {"Debug1", 6}};
    for (auto [name, severity] : aliases)
        EXPECT_EQ(slogger::parse_severity(name), severity) << name;
    for (const char* bad : {"8", "-1", "", "info ", "05", "debug3", "errr", "war"})
        EXPECT_EQ(slogger::parse_severity(bad), -1) << bad;
}

TEST(SloggerRecords, text_stops_at_zero_or_payload_end) {
    EXPECT_EQ(line(record(13, 1, text("one") + text("two"))), "info 0x00000001 one");
    EXPECT_EQ(line(record(13, 1, Bytes{'a', 'b'})), "info 0x00000001 ab");
    EXPECT_EQ(line(record(13, 1, Bytes{})), "info 0x00000001 ");
}

TEST(SloggerRecords, text_is_escaped_onto_one_line) {
    Bytes odd = {'a', '\n', 'b', '\t', '\\', '\r', 0x1b, 0x7f, 0xc3, 0xa9, '"', 0};
    EXPECT_EQ(line(record(13, 1, odd)), "info 0x00000001 a\\nb\\t\\\\\\x0d\\x1b\\x7f\\xc3\\xa9\"");
}

TEST(SloggerRecords, integer_payload_up_to_32_words_as_signed_ints) {
    Bytes ints = le_words({1, static_cast<std::uint32_t>(-2), 0x80000000u});
    EXPECT_EQ(line(record(3, 7, ints)), "warning 0x00000007 ints[3]: 1 -2 -2147483648");
    EXPECT_EQ(line(record(3, 7, {})), "warning 0x00000007 ints[0]:");
    EXPECT_EQ(json(record(3, 0x00104E21, ints)),
              "{\"time\":\"2026-12-08T12:00:00.123456Z\",\"pid\":4242,\"severity\":\"warning\","
              "\"severity_value\":3,\"code\":1068577,\"ints\":[1,-2,-2147483648]}");
    EXPECT_EQ(json(record(3, 7, {}), from_file),
              "{\"time\":null,\"pid\":null,\"severity\":\"warning\",\"severity_value\":3,"
              "\"code\":7,\"ints\":[]}");

    Bytes max(32 * 4, 0);
    EXPECT_EQ(line(record(3, 7, max)).rfind("warning 0x00000007 ints[32]: 0 0", 0), 0U);
}

TEST(SloggerRecords, other_payloads_as_hex_bytes) {
    EXPECT_EQ(line(record(3, 7, {0x0a, 0x1b, 0xff})), "warning 0x00000007 bytes[3]: 0a 1b ff");
    std::string bytes = json(record(3, 0x80000007u, {0x0a, 0x1b, 0xff}));
    EXPECT_EQ(bytes.substr(bytes.find("\"code\"")), "\"code\":2147483655,\"bytes\":\"0a1bff\"}");
    Bytes over(33 * 4, 0xab);
    std::string long_line = line(record(3, 7, over));
    EXPECT_EQ(long_line.rfind("warning 0x00000007 bytes[132]: ab ab", 0), 0U);
    EXPECT_EQ(long_line.size(), std::string("warning 0x00000007 bytes[132]:").size() + 132 * 3);
}

// The JSON text is the record's text: valid UTF-8 as it stands, each byte of
// an invalid sequence as the character of its number.
TEST(SloggerJson, text_escaped_as_json_requires) {
    const struct {
        Bytes text;
        const char* json;
    } cases[] = {
        {{'a', '"', '\\', '/', '\n', '\t', '\r', 0x01, 0x1f, 0x7f},
         R"("a\"\\/\n\t\r\u0001\u001f\u007f")"},
        {{0xc3, 0xa9, 0xe2, 0x82, 0xac, 0xf0, 0x9f, 0x98, 0x80},
         "\"\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80\""},
        {{0xe9, 'x'}, R"("\u00e9x")"},                               // a lone Latin-1 byte
        {{0xc3}, R"("\u00c3")"},                                     // cut at the end
        {{0xc0, 0xaf}, R"("\u00c0\u00af")"},                         // overlong
        {{0xed, 0xa0, 0x80}, R"("\u00ed\u00a0\u0080")"},             // a surrogate
        {{0xf4, 0x90, 0x80, 0x80}, R"("\u00f4\u0090\u0080\u0080")"}, // above U+10FFFF
        {{0xe2, 0x82, 'x'}, R"("\u00e2\u0082x")"},
    };
    for (const auto& c : cases) {
        Bytes payload = c.text;
        payload.push_back(0);
        std::string got = json(record(13, 1, payload), from_file);
        EXPECT_EQ(got.substr(got.find("\"text\":") + 7), std::string(c.json) + "}") << got;
    }
}

TEST(SloggerTime, arrival_in_utc_with_microseconds) {
    EXPECT_EQ(slogger::utc_time({0, 123456789}), "1970-01-01T00:00:00.123456Z");
    EXPECT_EQ(slogger::utc_time({1796774399, 999999999}), "2026-12-08T23:59:59.999999Z");
    EXPECT_EQ(slogger::utc_time({1796774400, 0}), "2026-12-09T00:00:00.000000Z");
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
        slogger::packet_outcome out = handle(c.packet, c.truncated);
        EXPECT_EQ(out.reply, -c.error) << c.name;
        EXPECT_FALSE(out.complaint.empty()) << c.name;
    }
}

using slogger::piece_kind;

struct Found {
    piece_kind kind;
    std::size_t size;
    bool operator==(const Found&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Found& found) {
    return out << static_cast<int>(found.kind) << ":" << found.size;
}

// The pieces of a whole file, walked as the reader walks it.
std::vector<Found> pieces(const Bytes& file) {
    std::vector<Found> found;
    for (std::size_t at = 0;;) {
        slogger::file_piece piece = slogger::next_piece(file.data() + at, file.size() - at, true);
        if (piece.kind == slogger::PIECE_END)
            return found;
        EXPECT_GT(piece.size, 0U);
        found.push_back({piece.kind, piece.size});
        at += piece.size;
    }
}

TEST(SloggerFile, text_records_end_at_their_zero) {
    Bytes one = record(13, 20001, text("kestrune: a\n"));
    Bytes two = record(10, 20001, text(""));
    EXPECT_EQ(pieces(one + two + one), (std::vector<Found>{{slogger::PIECE_RECORD, one.size()},
                                                           {slogger::PIECE_RECORD, two.size()},
                                                           {slogger::PIECE_RECORD, one.size()}}));
    EXPECT_TRUE(pieces({}).empty());
    // A record is decided only when its zero is at hand.
    EXPECT_EQ(slogger::next_piece(one.data(), one.size() - 1, false).kind,
              slogger::PIECE_NEED_MORE);
    EXPECT_EQ(slogger::next_piece(one.data(), 11, false).kind, slogger::PIECE_NEED_MORE);
}

TEST(SloggerFile, cut_off_record_is_flagged_with_what_there_is) {
    Bytes one = record(13, 1, text("first"));
    Bytes cut = record(13, 1, {'p', 'a', 'r'});
    EXPECT_EQ(pieces(one + cut), (std::vector<Found>{{slogger::PIECE_RECORD, one.size()},
                                                     {slogger::PIECE_CUT_OFF, 15}}));
    EXPECT_EQ(
        pieces(one + Bytes(cut.begin(), cut.begin() + 7)),
        (std::vector<Found>{{slogger::PIECE_RECORD, one.size()}, {slogger::PIECE_GARBLED, 7}}));
}

TEST(SloggerFile, integer_record_runs_to_the_next_record_or_the_end) {
    Bytes ints = record(5, 7, {1, 0, 0, 0, 2, 0, 0, 0});
    Bytes none = record(3, 12, {});
    Bytes one = record(13, 1, text("x"));
    EXPECT_EQ(pieces(ints + one + none + ints),
              (std::vector<Found>{{slogger::PIECE_UNSIZED, 20},
                                  {slogger::PIECE_RECORD, one.size()},
                                  {slogger::PIECE_UNSIZED, 12},
                                  {slogger::PIECE_UNSIZED, 20}}));
    EXPECT_EQ(slogger::next_piece(ints.data(), ints.size(), false).kind, slogger::PIECE_NEED_MORE);
}

TEST(SloggerFile, garbage_is_skipped_to_the_next_text_record) {
    Bytes one = record(13, 1, text("x"));
    Bytes junk = {0x44, 0x33, 0x22, 0x11, 0xff, 0xff, 0xff, 0xff, 1, 0, 0, 0, 9, 9};
    EXPECT_EQ(pieces(junk + one + Bytes(30, 0) + one),
              (std::vector<Found>{{slogger::PIECE_GARBLED, junk.size()},
                                  {slogger::PIECE_RECORD, one.size()},
                                  {slogger::PIECE_GARBLED, 30},
                                  {slogger::PIECE_RECORD, one.size()}}));
    // A text header with a reserved word set is no header.
    Bytes odd = one;
    odd[8] = 1;
    EXPECT_EQ(pieces(odd), (std::vector<Found>{{slogger::PIECE_GARBLED, odd.size()}}));
}

TEST(SloggerFile, nothing_waits_for_more_than_one_record_can_hold) {
    Bytes endless = record(13, 1, Bytes(slogger::MAX_RECORD, 'a'));
    slogger::file_piece piece = slogger::next_piece(endless.data(), slogger::MAX_RECORD, false);
    EXPECT_EQ(piece.kind, slogger::PIECE_CUT_OFF);
    EXPECT_EQ(piece.size, slogger::MAX_RECORD);

    Bytes junk(slogger::MAX_RECORD, 0xee);
    piece = slogger::next_piece(junk.data(), junk.size(), false);
    EXPECT_EQ(piece.kind, slogger::PIECE_GARBLED);
    EXPECT_EQ(piece.size, slogger::MAX_RECORD - 11);

    Bytes ints = record(5, 7, Bytes(slogger::MAX_RECORD, 0));
    piece = slogger::next_piece(ints.data(), slogger::MAX_RECORD, false);
    EXPECT_EQ(piece.kind, slogger::PIECE_UNSIZED);
    EXPECT_EQ(piece.size, slogger::MAX_RECORD);
}

} // namespace
