// The routes of operations over groups of registers, the same on a shop's
// service (its own registers) and on a chain's central service (registers
// of many shops): /api/v1/groups, a table pushed to a group, a backup or
// the day's sales of each of its registers, and /api/v1/fleet to follow
// them.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "config.hpp"
#include "fleet.hpp"
#include "http.hpp"

namespace veltra::tool::serve {

struct FleetRouteAccess {
    // Whether the caller may start and see operations; answers the refusal
    // itself when not.
    std::function<bool(const http::Request&, http::Response&)> allowed;
    // Who asked, as the operation keeps it.
    std::function<std::string(const http::Request&)> who;
};

// groups and fleet outlive the server.
void add_fleet_routes(http::Server& server, Fleet& fleet, const std::vector<Group>& groups,
                      FleetRouteAccess access);

}  // namespace veltra::tool::serve
