// HTTPS on Windows through WinHTTP: the machine's certificate store and
// proxy settings decide, as for any Windows program.
#pragma once

#include <boost/beast/http.hpp>
#include <chrono>
#include <optional>
#include <string>

#include "http_client.hpp"

namespace veltra::http {

struct WinHttpTarget {
    std::string host;
    int port = 0;
    TlsOptions tls;
    std::chrono::seconds timeout{60};
};

// One request over HTTPS; empty with error set when there was no answer.
std::optional<Client::Result> winhttp_send(
    const WinHttpTarget& to,
    const boost::beast::http::request<boost::beast::http::string_body>& req,
    const Client::Receiver& receiver, std::string& error);

}  // namespace veltra::http
