// veltra serve: the registers of a shop over HTTP and JSON. One worker
// process per register runs that register's jobs in order; the HTTP side
// only queues jobs, waits for them and turns their results into answers.
#pragma once

#include <iosfwd>

#include "config.hpp"

namespace veltra::tool::serve {

// Runs the service until a stop is requested. log gets one line per request
// and the start line. Returns the exit status.
int run_service(const ServiceConfig& config, std::ostream& log);

}  // namespace veltra::tool::serve
