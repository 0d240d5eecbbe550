// The worker process: one register's jobs, one after another, each a command
// of the tool run in this process with its streams captured.
#include <iostream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "command_table.hpp"
#include "internal.hpp"
#include "key_table.hpp"
#include "sys/child_process.hpp"
#include "worker_ops.hpp"
#include "worker_protocol.hpp"

namespace veltra::tool::serve {
namespace {

using Json = nlohmann::json;

Json run_args(const std::vector<std::string>& args) {
    std::ostringstream out, err;
    std::istringstream in;
    Io io{out, err, in, false, false};
    const int status = run_tool(args, io);
    return {{"status", status}, {"out", out.str()}, {"err", err.str()}};
}

// Key codes on the raw channel, one message per key, the way the keypad
// sends them. The host is resolved as every library call resolves it.
Json send_keys(const std::string& host, const std::vector<std::string>& codes) {
    std::uint32_t addr = 0;
    if (ecr_resolve_host(host.c_str(), addr) != 0)
        return {{"status", 1}, {"sent", 0}, {"err", "host name not resolved: " + host}};
    sys::TcpStream s;
    if (s.connect(addr, veltra::line_port(), 0) != 0)
        return {{"status", 1}, {"sent", 0}, {"err", "connection failed"}};
    int sent = 0;
    for (const std::string& code : codes) {
        const std::string m = delpad::key_message(code);
        if (s.send(std::span(reinterpret_cast<const std::uint8_t*>(m.data()), m.size())).status !=
            sys::TcpStatus::kDone)
            return {{"status", 1}, {"sent", sent}, {"err", "connection closed"}};
        ++sent;
    }
    return {{"status", 0}, {"sent", sent}, {"err", ""}};
}

// Whether the register is in setup mode before the job, for the service to
// put it back so should the job fail half way. Nothing when it cannot tell.
void report_setup(const std::string& host) {
    std::int32_t in_setup = 0;
    if (ecr_check_ready(host.c_str(), &in_setup) != 0) return;
    std::cout << kSetupMark << Json{{"in_setup", in_setup}}.dump() << std::endl;
}

}  // namespace

int run_worker() {
    sys::end_with_parent();
    std::string line;
    while (std::getline(std::cin, line)) {
        Json answer;
        try {
            const Json request = Json::parse(line);
            if (request.value("report_setup", false))
                report_setup(request.at("host").get<std::string>());
            if (request.contains("op")) {
                answer = run_op(request);
            } else if (request.contains("keys")) {
                answer = send_keys(request.at("host").get<std::string>(),
                                   request.at("keys").get<std::vector<std::string>>());
            } else {
                answer = run_args(request.at("args").get<std::vector<std::string>>());
            }
        } catch (const std::exception& e) {
            answer = {{"status", 2}, {"out", ""}, {"err", std::string("bad request: ") + e.what()}};
        }
        std::cout << kAnswerMark << answer.dump() << std::endl;
    }
    return 0;
}

}  // namespace veltra::tool::serve
