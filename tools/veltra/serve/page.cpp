// The page's text, page.html, is built into the program (see
// cmake/embed_file.cmake): the program serves it without a file beside it.
#include "page.hpp"

#include <cstddef>

namespace veltra::tool::serve {

extern const unsigned char kPageText[];
extern const std::size_t kPageText_size;

const std::string& page_html() {
    static const std::string page(reinterpret_cast<const char*>(kPageText), kPageText_size);
    return page;
}

}  // namespace veltra::tool::serve
