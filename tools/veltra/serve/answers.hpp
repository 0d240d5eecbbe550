// The service's JSON answers: the error object, and the HTTP status that
// fits a library result.
#pragma once

#include <cstdint>
#include <exception>
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
// 500 with what an exception a route let out says.
void send_internal_error(http::Response& res, std::exception_ptr ep);

}  // namespace veltra::tool::serve
