// The service's web page, page.html: one HTML text with its style and
// script inline, nothing fetched from elsewhere. It shows the registers and
// their state, the tables down and up, and the keypad with its display line
// (keys through /keys, the displays through /display read as one stream per
// browser, so that the token can travel in a header and tabs do not use up
// the browser's connections).
#pragma once

#include <string>

namespace veltra::tool::serve {

const std::string& page_html();

}  // namespace veltra::tool::serve
