// The frame layout: little-endian words, 256-byte name fields, the text length and its checks.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "manager_if/frame_codec.h"

namespace {

using namespace qma::manager_if;

std::string body_with(const std::string& name, const std::string& dir, uint32_t text_length,
                      const std::string& text, size_t pad_to = 0) {
  std::string body(kFrameFixedBody, '\0');
  std::memcpy(body.data(), name.data(), name.size());
  std::memcpy(body.data() + 256, dir.data(), dir.size());
  write_le32(body.data() + 512, text_length);
  body += text;
  if (body.size() < pad_to) body.resize(pad_to, '\0');
  return body;
}

TEST(FrameCodecTest, WordsAreLittleEndianWhateverTheHost) {
  char bytes[4];
  write_le32(bytes, 0x01020304u);
  EXPECT_EQ(std::string(bytes, 4), std::string("\x04\x03\x02\x01", 4));
  EXPECT_EQ(read_le32("\xff\xff\xff\xff"), 0xFFFFFFFFu);
  EXPECT_EQ(read_le32("\x04\x02\x00\x00"), 516u);
}

TEST(FrameCodecTest, EncodedFrameHasHeaderNamesLengthAndText) {
  std::string frame = encode_frame(2, 1, "pkg.zip", "/srv/in", "<x/>");
  ASSERT_EQ(frame.size(), 12u + 516u + 4u);
  EXPECT_EQ(read_le32(frame.data()), 2u);
  EXPECT_EQ(read_le32(frame.data() + 4), 1u);
  EXPECT_EQ(read_le32(frame.data() + 8), 520u);
  EXPECT_STREQ(frame.data() + 12, "pkg.zip");
  EXPECT_STREQ(frame.data() + 12 + 256, "/srv/in");
  EXPECT_EQ(read_le32(frame.data() + 12 + 512), 4u);
  EXPECT_EQ(frame.substr(528), "<x/>");
  std::string long_name(300, 'n');
  std::string cut = encode_frame(0, 0, long_name, "", "");
  EXPECT_EQ(std::strlen(cut.data() + 12), 255u) << "a name field always keeps its zero byte";
}

TEST(FrameCodecTest, RequestBodiesAreCheckedBeforeUse) {
  struct Row {
    const char* name;
    std::string body;
    FrameError expected;
  };
  std::string full_name(256, 'a');
  const Row rows[] = {
      {"well formed", body_with("f", "d", 3, "abc"), FrameError::kNone},
      {"text shorter than the body", body_with("", "", 1, "abc"), FrameError::kNone},
      {"empty text", body_with("", "", 0, ""), FrameError::kNone},
      {"text longer than the body", body_with("", "", 4, "abc"), FrameError::kTextTooLong},
      {"huge text length", body_with("", "", 0xFFFFFFFFu, "abc"), FrameError::kTextTooLong},
      {"name without zero", body_with(full_name, "", 0, ""), FrameError::kFileNameNotTerminated},
      {"directory without zero", body_with("", full_name, 0, ""),
       FrameError::kDirectoryNotTerminated},
  };
  for (const Row& row : rows) {
    RequestBody out;
    EXPECT_EQ(decode_request_body(row.body.data(), static_cast<uint32_t>(row.body.size()), &out),
              row.expected)
        << row.name;
  }
  RequestBody out;
  std::string body = body_with("pkg.zip", "/srv/in", 3, "abc");
  ASSERT_EQ(decode_request_body(body.data(), static_cast<uint32_t>(body.size()), &out),
            FrameError::kNone);
  EXPECT_EQ(out.file_name, "pkg.zip");
  EXPECT_EQ(out.directory, "/srv/in");
  EXPECT_EQ(out.text, "abc");
}

TEST(FrameCodecTest, BodyLengthsOutsideTheLimitsAreRefusedUnread) {
  EXPECT_EQ(check_body_length(0), FrameError::kBodyTooShort);
  EXPECT_EQ(check_body_length(515), FrameError::kBodyTooShort);
  EXPECT_EQ(check_body_length(516), FrameError::kNone);
  EXPECT_EQ(check_body_length(kFrameMaxBody), FrameError::kNone);
  EXPECT_EQ(check_body_length(kFrameMaxBody + 1), FrameError::kBodyTooLarge);
  EXPECT_EQ(check_body_length(0xFFFFFFFFu), FrameError::kBodyTooLarge);
}

}  // namespace
