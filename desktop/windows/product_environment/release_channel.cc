#include "desktop/windows/product_environment/release_channel.h"

#ifndef TAVRA_RELEASE_CHANNEL
#define TAVRA_RELEASE_CHANNEL "developer"
#endif

namespace tavra {

ReleaseChannel releaseChannelFromString(const std::string& channel) {
  if (channel == "developer") return CHANNEL_DEVELOPER;
  if (channel == "beta") return CHANNEL_BETA;
  if (channel == "Stable") return CHANNEL_STABLE;
  return CHANNEL_UNKNOWN;
}

const wchar_t* channelDisplayName(ReleaseChannel channel) {
  switch (channel) {
    case CHANNEL_DEVELOPER:
      return L"Developer";
    case CHANNEL_BETA:
      return L"Next";
    case CHANNEL_STABLE:
      return L"Stable";
    case CHANNEL_UNKNOWN:
      break;
  }
  return L"unknown";
}

std::string getChannelString() { return TAVRA_RELEASE_CHANNEL; }
ReleaseChannel getReleaseChannel() { return releaseChannelFromString(getChannelString()); }
bool isStableChannel() { return getReleaseChannel() == CHANNEL_STABLE; }
std::wstring getChannelDisplayName() { return channelDisplayName(getReleaseChannel()); }

}  // namespace tavra
