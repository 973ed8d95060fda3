// test_blank_controls.cpp - control characters of a mail's text become
// blanks, everything else (8-bit bytes too) stays, the length never changes.
#include <gtest/gtest.h>

#include <string>

#include "mailhdr/blank_controls.h"

TEST(BlankControls, ControlsBecomeBlanksOthersStay) {
    const std::string in("a\r\nb\tc\x1b[0m\x7f\xe4~ ", 14);
    const std::string out = MimeBlankControls(in);
    ASSERT_EQ(out.size(), in.size());
    EXPECT_EQ(out, std::string("a  b c [0m \xe4~ "));
}

TEST(BlankControls, NulInsideIsBlankedNotCut) {
    const std::string in("x\0y", 3);
    EXPECT_EQ(MimeBlankControls(in), "x y");
    EXPECT_EQ(MimeBlankControls(""), "");
}
