// The service's JSON answers: the error object, and the HTTP status that
// fits a library result.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>

#include "http.hpp"

namespace veltra::tool::serve {

using Json = nlohmann::json;

// {"error": {"message": message}}
Json error_object(const std::string& message);
// The HTTP status that fits a library result.
int status_for(std::int32_t code);
void send_json(http::Response& res, int status, const Json& body);
void send_error(http::Response& res, int status, const std::string& message);

}  // namespace veltra::tool::serve
