#include <gtest/gtest.h>
#include "fhr_core/text.hpp"
TEST(Text, TrimsUnicodeWhiteSpace) { EXPECT_EQ(fhr_core::trim_white_space("\xC2\xA0 x\t\xE3\x80\x80"), "x"); }
