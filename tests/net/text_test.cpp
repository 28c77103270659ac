#include "net/text.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(StripLineEnd, CutsAtMostTheLastTwoLineBreaks) {
    struct Case {
        const char* in;
        const char* out;
    } cases[] = {
        {"abc\r\n", "abc"},   {"abc\n\n\n", "abc\n"}, {"ab\nc", "ab"}, {"abc\r", "abc"},
        {"abc\n", "abc"},     {"\r\n", ""},           {"\n", ""},      {"", ""},
        {"abc", "abc"},       {"a\n\r\n", "a\n"},
    };
    for (const Case& c : cases) {
        std::string text = c.in;
        StripLineEnd(text.data());
        EXPECT_STREQ(text.c_str(), c.out) << "input " << testing::PrintToString(c.in);
    }
    StripLineEnd(nullptr);  // must not crash
}

TEST(EndsWithLineBreak, LooksAtTheLastCharacterOnly) {
    EXPECT_EQ(EndsWithLineBreak("x\r\n"), 1);
    EXPECT_EQ(EndsWithLineBreak("x\r"), 1);
    EXPECT_EQ(EndsWithLineBreak("x\n"), 1);
    EXPECT_EQ(EndsWithLineBreak("x\ny"), 0);
    EXPECT_EQ(EndsWithLineBreak(""), 0);
    EXPECT_EQ(EndsWithLineBreak(nullptr), 0);
}

TEST(GetToken, FindsNumberedWordsBetweenRunsOfDelimiters) {
    struct Case {
        const char* text;
        const char* delimiters;
        int index;
        std::size_t outSize;
        int result;
        const char* out;
    } cases[] = {
        {"  USER   bob ", " ", 0, 257, 0, "USER"},
        {"  USER   bob ", " ", 1, 257, 0, "bob"},
        {"  USER   bob ", " ", 2, 257, 1, ""},
        {"RETR a b", " ", 0, 257, 0, "RETR"},
        {"RETR a b", " ", 1, 257, 0, "a"},
        {"PORT 1,2", " ", 2, 257, 1, ""},
        {"1,2,,3", ",", 2, 257, 0, "3"},
        {"a b\tc", " \t", 2, 257, 0, "c"},
        {"", " ", 0, 257, 1, ""},
        {"   ", " ", 0, 257, 1, ""},
        {"word", " ", -1, 257, 1, ""},
        // The word must fit with its terminator.
        {"abcd", " ", 0, 4, 1, ""},
        {"abcd", " ", 0, 5, 0, "abcd"},
    };
    for (const Case& c : cases) {
        char out[300] = "junk";
        EXPECT_EQ(GetToken(c.text, c.delimiters, c.index, out, c.outSize), c.result)
            << c.text << " #" << c.index;
        EXPECT_STREQ(out, c.out) << c.text << " #" << c.index;
    }
}

TEST(GetToken, NullInputsFailAndEmptyTheOutput) {
    char out[8] = "junk";
    EXPECT_EQ(GetToken(nullptr, " ", 0, out, sizeof out), 1);
    EXPECT_STREQ(out, "");
    std::strcpy(out, "junk");
    EXPECT_EQ(GetToken("a b", nullptr, 0, out, sizeof out), 1);
    EXPECT_STREQ(out, "");
    EXPECT_EQ(GetToken("a", " ", 0, out, 0), 1);
}

}  // namespace
