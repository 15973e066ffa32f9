#include "desktop/windows/product_environment/release_channel.h"

#include <gtest/gtest.h>

namespace tavra {
namespace {

TEST(ReleaseChannelTest, ChannelStringsCompareExactly) {
  EXPECT_EQ(CHANNEL_DEVELOPER, releaseChannelFromString("developer"));
  EXPECT_EQ(CHANNEL_BETA, releaseChannelFromString("beta"));
  EXPECT_EQ(CHANNEL_STABLE, releaseChannelFromString("Stable"));
  for (const char* other : {"", "Developer", "stable", "BETA", "developer ", "canary"}) {
    EXPECT_EQ(CHANNEL_UNKNOWN, releaseChannelFromString(other)) << other;
  }
}

TEST(ReleaseChannelTest, DisplayNames) {
  EXPECT_STREQ(L"Developer", channelDisplayName(CHANNEL_DEVELOPER));
  EXPECT_STREQ(L"Next", channelDisplayName(CHANNEL_BETA));
  EXPECT_STREQ(L"Stable", channelDisplayName(CHANNEL_STABLE));
  EXPECT_STREQ(L"unknown", channelDisplayName(CHANNEL_UNKNOWN));
  EXPECT_STREQ(L"unknown", channelDisplayName(static_cast<ReleaseChannel>(1)));
}

TEST(ReleaseChannelTest, ThisBuildIsTheDeveloperChannel) {
  EXPECT_EQ("developer", getChannelString());
  EXPECT_EQ(CHANNEL_DEVELOPER, getReleaseChannel());
  EXPECT_FALSE(isStableChannel());
  EXPECT_EQ(L"Developer", getChannelDisplayName());
}

}  // namespace
}  // namespace tavra
