#include "transport/uFrameCodec.h"

#include <gtest/gtest.h>

using namespace korv;
using namespace std::string_literals;

TEST(FrameCodec, BuildAndParse) {
    EXPECT_EQ(CalcLRC(""), 0);
    EXPECT_EQ(CalcLRC("\x05\x10\x1E"s), 0x0B);
    EXPECT_EQ(BuildFrame("\x10\x1E\x00\x00\x00"s), "\x02\x05\x10\x1E\x00\x00\x00\x0B"s);
    EXPECT_EQ(BuildFrame(""), "");
    EXPECT_EQ(BuildFrame(std::string(256, 'a')), "");
    EXPECT_EQ(BuildFrame(std::string(255, 'a')).size(), 258u);

    std::string R;
    EXPECT_EQ(ParseAnswerFrame(BuildFrame("\x10\x00\x01\x02"s), R), TFrameStatus::Ok);
    EXPECT_EQ(R, "\x00\x01\x02"s);
    EXPECT_EQ(ParseAnswerFrame(BuildFrame("\xFE\x05\x03"s), R), TFrameStatus::Ok);
    EXPECT_EQ(R, "\x03"s);
    EXPECT_EQ(ParseAnswerFrame(BuildFrame("\xFF"s), R), TFrameStatus::Ok);
    EXPECT_EQ(R, ""); // nothing after the code: the command layer refuses it
    EXPECT_EQ(FrameCommandCode(BuildFrame("\xFF\x01\x00"s)), "\xFF\x01"s);
    EXPECT_EQ(FrameCommandCode(BuildFrame("\x10\x00"s)), "\x10"s);
}

TEST(FrameCodec, Refusals) {
    std::string R = "x";
    EXPECT_EQ(ParseAnswerFrame("", R), TFrameStatus::BadStart);
    EXPECT_TRUE(R.empty());
    EXPECT_EQ(ParseAnswerFrame("\x03\x01\x10\x11"s, R), TFrameStatus::BadStart);
    EXPECT_EQ(ParseAnswerFrame("\x02\x01"s, R), TFrameStatus::BadLength);
    EXPECT_EQ(ParseAnswerFrame("\x02\x02\x10\x00"s, R), TFrameStatus::BadLength);
    EXPECT_EQ(ParseAnswerFrame("\x02\x01\x10\x11\x00"s, R), TFrameStatus::BadLength);
    EXPECT_EQ(ParseAnswerFrame("\x02\x01\x10\x12"s, R), TFrameStatus::BadLRC);
    EXPECT_TRUE(R.empty());
}
