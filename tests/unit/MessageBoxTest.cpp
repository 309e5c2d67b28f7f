#include "platform/MessageBox.h"

#include <gtest/gtest.h>

using platform::wrapMessageText;

TEST(WrapMessageText, ShortTextAndItsLineBreaksStay) {
    EXPECT_EQ(wrapMessageText("Failed to send message.\nError code 3.", 60),
              "Failed to send message.\nError code 3.");
    EXPECT_EQ(wrapMessageText("", 60), "");
}

TEST(WrapMessageText, LongLinesBreakAtSpaces) {
    const std::string text = "Murmelo cannot find xdg-email (package xdg-utils), which it needs "
                             "to hand messages to your mail program.";
    const std::string wrapped = wrapMessageText(text, 40);
    std::size_t start = 0;
    while (start < wrapped.size()) {
        std::size_t end = wrapped.find('\n', start);
        if (end == std::string::npos)
            end = wrapped.size();
        EXPECT_LE(end - start, 40u) << wrapped;
        start = end + 1;
    }
    std::string joined = wrapped;
    for (char& c : joined)
        if (c == '\n')
            c = ' ';
    EXPECT_EQ(joined, text) << "only spaces turn into line breaks";
}

TEST(WrapMessageText, AWordLongerThanALineIsCut) {
    EXPECT_EQ(wrapMessageText("abcdefghij", 4), "abcd\nefgh\nij");
}
