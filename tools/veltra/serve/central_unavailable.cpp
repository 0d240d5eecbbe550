// A build without a PostgreSQL client has no central service.
#include <stdexcept>

#include "central.hpp"

namespace veltra::tool::serve {

bool central_available() {
    return false;
}

int run_central(const CentralConfig&, std::ostream&, std::ostream&) {
    throw std::logic_error("this build has no central service");
}

}  // namespace veltra::tool::serve
