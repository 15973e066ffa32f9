// The release channel that this build belongs to, fixed when it is built.
#ifndef DESKTOP_WINDOWS_PRODUCT_ENVIRONMENT_RELEASE_CHANNEL_H_
#define DESKTOP_WINDOWS_PRODUCT_ENVIRONMENT_RELEASE_CHANNEL_H_

#include <string>

namespace tavra {

enum ReleaseChannel {
  CHANNEL_UNKNOWN = 0,
  CHANNEL_DEVELOPER = 2,
  CHANNEL_BETA = 3,
  CHANNEL_STABLE = 4,
};

// The channel of a channel string; exact, case-sensitive comparison.
ReleaseChannel releaseChannelFromString(const std::string& channel);
const wchar_t* channelDisplayName(ReleaseChannel channel);

// The channel of this build and its names.
ReleaseChannel getReleaseChannel();
bool isStableChannel();
std::string getChannelString();
std::wstring getChannelDisplayName();

}  // namespace tavra

#endif  // DESKTOP_WINDOWS_PRODUCT_ENVIRONMENT_RELEASE_CHANNEL_H_
