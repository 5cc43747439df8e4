#pragma once
// Splitting URLs into their parts, as the HTTP client needs them for
// requests, proxies and relocations.
#include <string>
#include <string_view>

namespace yux::net {

// For n > 0: the position just after the n-th occurrence of sub in text,
// counted from the start (equal to the 1-based position of the occurrence's
// last character).  For n < 0: the 1-based position of the |n|-th
// occurrence counted from the end (-1 = the last).  0 when there are fewer
// occurrences, when n is 0 or when sub is empty.
int NetNthPos(std::string_view sub, std::string_view text, int n);

// Splits url into scheme (lower case), user, password, host, port and path.
// On entry `path` holds the current path, against which "./" and "../" URLs
// are resolved.  An IPv6 literal host keeps its brackets ("[::1]"); a colon
// inside the brackets is never taken for the port separator.  The host part
// ends at the first "/", "?" or "#"; the path keeps the query and fragment.
void SplitUrl(std::string_view url, std::string& proto, std::string& user, std::string& pass,
              std::string& host, std::string& port, std::string& path);

}  // namespace yux::net
