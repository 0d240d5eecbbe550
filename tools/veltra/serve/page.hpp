// The service's web page: one HTML text with its style and script inline,
// no build step and nothing fetched from elsewhere.
#pragma once

#include <string>

namespace veltra::tool::serve {

const std::string& page_html();

}  // namespace veltra::tool::serve
