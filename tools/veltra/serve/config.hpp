// The service's configuration: the registers it serves, where it listens,
// its token and its limits.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace veltra::tool::serve {

struct RegisterConfig {
    std::string name;  // letters, digits, '-' and '_', at most 32
    std::string host;
    std::optional<std::uint16_t> tftp_port;  // else ECR_TFTP_PORT, else the library's
    std::optional<std::uint16_t> line_port;  // else ECR_LINE_PORT, else the library's
    std::uint16_t display_port = 9930;
};

struct ServiceConfig {
    std::vector<RegisterConfig> registers;
    std::string listen_host = "127.0.0.1";
    int listen_port = 8090;            // 0: the system picks one (printed at start)
    std::string token;                 // empty: no token asked
    std::string token_name = "token";  // who asked, in the audit trail, when a token is asked
    std::string state_dir;             // the journal's folder
    int verify_seconds = 60;           // how often changes of unknown verdict are verified again
    int job_seconds = 600;             // a job taking longer is failed and its worker restarted
    std::string worker_program;        // the veltra program the workers run
};

// "NAME=HOST[:TFTP[:LINE[:DISPLAY]]]". False with error set when wrong.
bool parse_register(const std::string& text, RegisterConfig& out, std::string& error);
// "HOST:PORT" or "PORT".
bool parse_listen(const std::string& text, ServiceConfig& out, std::string& error);
// True for 127.0.0.0/8 and "localhost": no token is needed there.
bool is_loopback(const std::string& host);

}  // namespace veltra::tool::serve
