#include "cvexception.h"

#include <gtest/gtest.h>

using CvBase::CCvError;

TEST(Error, CodeParsesBack) {
    CCvError e(0xE601005F, nullptr, 0, nullptr);
    EXPECT_EQ(0xE601005Fu, e.GetCode());
}
