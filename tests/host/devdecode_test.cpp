// The frame decoder on byte streams built here: what a person sees, and that
// hostile input is reported rather than trusted.
#include "frame_decoder.h"
#include "wire_bytes.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

using bytes = wire_bytes;

// A frame whose byte count is the payload's, or the claimed one.
bytes frame(std::uint32_t code, const bytes& payload, std::int64_t claimed_count = -1) {
    const auto count = claimed_count < 0 ? payload.size() : static_cast<std::size_t>(claimed_count);
    return le_words({code, static_cast<std::uint32_t>(count)}) + payload;
}

struct decoded {
    decode_summary summary;
    std::string text;
};

decoded decode(const bytes& input, frame_format format = FORMAT_TEXT) {
    std::vector<unsigned char> copy = input;
    copy.push_back(0); // fmemopen wants a non-empty buffer
    std::FILE* in = fmemopen(copy.data(), input.size(), "rb");
    char* text = nullptr;
    std::size_t size = 0;
    std::FILE* out = open_memstream(&text, &size);
    decoded result{decode_frames(in, out, format), {}};
    std::fclose(out);
    std::fclose(in);
    result.text.assign(text, size);
    std::free(text);
    return result;
}

bool has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

TEST(devdecode, sound_frames_show_name_and_each_field_in_decimal_and_hex) {
    const decoded d = decode(frame(0x80041103u, le_words({3, 4, 5, 0xFFFFFFFFu})) +
                             frame(0x80041133u, le_words({7, 0, 0})));
    EXPECT_EQ(d.summary.frames, 2u);
    EXPECT_EQ(d.summary.flagged, 0u);
    EXPECT_TRUE(has(d.text, "#1 @0  DCMD_DIRECT_CONNECT  0x80041103  16 bytes\n")) << d.text;
    EXPECT_TRUE(has(d.text, "      12  source    4294967295  0xFFFFFFFF\n")) << d.text;
    EXPECT_TRUE(has(d.text, "#2 @24  DCMD_BROWSER_SELECT_PATH_ID  0x80041133  12 bytes\n"));
    EXPECT_TRUE(has(d.text, "       0  y         7  0x00000007\n")) << d.text;
    EXPECT_FALSE(has(d.text, "!!"));
}

TEST(devdecode, text_fields_stop_at_zero_escape_and_show_leftover_tail) {
    const std::string text("/x\0ng/o\x01\"", 10);
    bytes record = le_words({1, 0, 0, 0, 0, 0}) + bytes(text.begin(), text.end());
    record.resize(280, 0);
    const decoded d = decode(frame(0x80041102u, record));
    EXPECT_EQ(d.summary.flagged, 0u);
    EXPECT_TRUE(has(d.text, "      24  text      \"/x\"  (2 characters)\n")) << d.text;
    EXPECT_TRUE(has(d.text, "after the zero: \"ng/o\\x01\\\"\"\n")) << d.text;

    bytes unterminated(264, 'A');
    const decoded full = decode(frame(0x80041132u, unterminated));
    EXPECT_TRUE(has(full.text, "(264 characters)")) << "reads no further than the record";
}

TEST(devdecode, wrong_size_and_unknown_code_are_flagged_and_later_frames_still_decoded) {
    const decoded d =
        decode(frame(0x80041122u, bytes{1, 2, 3, 4, 5}) + frame(0x12345678u, bytes(3, 0xAB)) +
               frame(0x80041122u, le_words({1})));
    EXPECT_EQ(d.summary.frames, 3u);
    EXPECT_EQ(d.summary.flagged, 2u);
    EXPECT_TRUE(has(d.text, "!! size mismatch: DCMD_A2I_SERV_PAUSE_RESUME takes 4 bytes\n"));
    EXPECT_TRUE(has(d.text, "    0000  01 02 03 04 05" + std::string(11 * 3, ' ') + "  |.....|\n"))
        << d.text;
    EXPECT_TRUE(has(d.text, "unknown command  0x12345678  3 bytes\n    !! unknown command code"));
    EXPECT_TRUE(has(d.text, "#3 @24  DCMD_A2I_SERV_PAUSE_RESUME  0x80041122  4 bytes\n"
                            "       0  resume    1  0x00000001\n"))
        << d.text;
}

TEST(devdecode, truncated_header_and_payload_are_reported) {
    const decoded header_cut = decode(bytes{0x01, 0x11, 0x04});
    EXPECT_EQ(header_cut.summary.frames, 1u);
    EXPECT_EQ(header_cut.summary.flagged, 1u);
    EXPECT_TRUE(has(header_cut.text, "!! truncated frame header: 3 of 8 bytes"));

    const decoded payload_cut = decode(frame(0x80041101u, le_words({1, 2}), 16));
    EXPECT_EQ(payload_cut.summary.flagged, 1u);
    EXPECT_TRUE(has(payload_cut.text, "!! truncated frame: 8 of 16 bytes")) << payload_cut.text;
}

TEST(devdecode, huge_byte_count_is_reported_not_trusted) {
    bytes payload(10000, 0x5A);
    const decoded d = decode(frame(0x80041101u, payload, 0xFFFFFFF0u));
    EXPECT_EQ(d.summary.frames, 1u);
    EXPECT_EQ(d.summary.flagged, 1u);
    EXPECT_TRUE(has(d.text, "4294967280 bytes\n    !! truncated frame: 10000 of 4294967280 bytes"));
    EXPECT_TRUE(has(d.text, "... 9936 more bytes")) << "dump stays short";
    EXPECT_TRUE(has(
        d.text, "    0030  5A 5A 5A 5A 5A 5A 5A 5A 5A 5A 5A 5A 5A 5A 5A 5A  |ZZZZZZZZZZZZZZZZ|\n"
                "          ... 9936"))
        << d.text;

    const decoded oversized = decode(frame(0x80041101u, payload));
    EXPECT_TRUE(has(oversized.text, "!! size mismatch")) << oversized.text;
}

TEST(devdecode, dump_rows_show_hex_offsets_and_printable_bytes) {
    bytes payload = {'h', 'i', 0x00, 0x7F, 0x1F, ' ', '~', 0x80};
    payload.resize(18, 'q');
    const decoded d = decode(frame(0x12345678u, payload));
    EXPECT_TRUE(has(
        d.text, "    0000  68 69 00 7F 1F 20 7E 80 71 71 71 71 71 71 71 71  |hi... ~.qqqqqqqq|\n"
                "    0010  71 71" +
                    std::string(14 * 3, ' ') + "  |qq|\n"))
        << d.text;
}

TEST(devdecode, json_has_one_object_per_frame_with_fields_and_flags) {
    const std::string text("a\"\xe9\0z", 5);
    bytes record = le_words({1, 2, 3, 4, 0, 0}) + bytes(text.begin(), text.end());
    record.resize(280, 0);
    const bytes input = frame(0x80041133u, le_words({7, 0, 0})) + frame(0x80041102u, record) +
                        frame(0x1u, bytes{9}) + frame(0x80041122u, bytes{1}, 4);

    const decoded d = decode(input, FORMAT_JSON);
    EXPECT_EQ(d.summary.frames, 4u);
    EXPECT_EQ(d.summary.flagged, 2u);
    EXPECT_EQ(
        d.text,
        "{\"offset\":0,\"code\":2147750195,\"name\":\"DCMD_BROWSER_SELECT_PATH_ID\",\"size\":12,"
        "\"fields\":[{\"offset\":0,\"name\":\"y\",\"value\":7},{\"offset\":4,\"name\":"
        "\"reserved\",\"value\":0},{\"offset\":8,\"name\":\"reserved\",\"value\":0}],"
        "\"flags\":[]}\n"
        "{\"offset\":20,\"code\":2147750146,\"name\":\"DCMD_DEBUG_NEW_ENABLE_DISABLE\","
        "\"size\":280,\"fields\":[{\"offset\":0,\"name\":\"a\",\"value\":1},{\"offset\":4,"
        "\"name\":\"b\",\"value\":2},{\"offset\":8,\"name\":\"c\",\"value\":3},{\"offset\":12,"
        "\"name\":\"d\",\"value\":4},{\"offset\":16,\"name\":\"reserved\",\"value\":0},"
        "{\"offset\":20,\"name\":\"reserved\",\"value\":0},{\"offset\":24,\"name\":\"text\","
        "\"value\":\"a\\\"\\u00e9\",\"after_zero\":\"z\"}],\"flags\":[]}\n"
        "{\"offset\":308,\"code\":1,\"name\":null,\"size\":1,\"fields\":[],"
        "\"flags\":[\"unknown_command\"]}\n"
        "{\"offset\":317,\"code\":2147750178,\"name\":\"DCMD_A2I_SERV_PAUSE_RESUME\","
        "\"size\":4,\"fields\":[],\"flags\":[\"truncated\"]}\n");

    const decoded header_cut = decode(bytes{1, 2, 3}, FORMAT_JSON);
    EXPECT_EQ(header_cut.text, "{\"offset\":0,\"code\":null,\"name\":null,\"size\":null,"
                               "\"fields\":[],\"flags\":[\"truncated_header\"]}\n");
}

TEST(devdecode, read_error_is_reported_not_taken_for_the_end) {
    std::FILE* directory = std::fopen("/", "rb");
    ASSERT_NE(directory, nullptr);
    std::FILE* out = std::tmpfile();
    const decode_summary summary = decode_frames(directory, out);
    std::fclose(out);
    std::fclose(directory);
    EXPECT_EQ(summary.read_error, EISDIR);
    EXPECT_EQ(summary.frames, 0u);
    EXPECT_EQ(decode({}).summary.read_error, 0);
}

TEST(devdecode, empty_stream_has_no_frames) {
    const decoded d = decode({});
    EXPECT_EQ(d.summary.frames, 0u);
    EXPECT_EQ(d.text, "");
}

} // namespace
