#pragma once
// The host part of a URL, for the rule that an object hosted by a page acts only on URLs of the page's
// own host.
#include <string>
#include <string_view>

namespace kesi::controls {

// The host of url ("scheme://[user@]host[:port]/..."), lower-cased (ASCII); empty when url has no
// "scheme://" or no host (a file path, a bare name).
std::wstring HostOfUrl(std::wstring_view url);

// True when url has a host and it equals the host of pageUrl.
bool SameHostAsPage(std::wstring_view url, std::wstring_view pageUrl);

}  // namespace kesi::controls
