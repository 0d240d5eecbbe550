// The worker process: one register's jobs, one after another, each an
// operation of worker_ops run in this process and answered as one object.
#include <iostream>
#include <nlohmann/json.hpp>
#include <string>

#include "internal.hpp"
#include "sys/child_process.hpp"
#include "worker_ops.hpp"
#include "worker_protocol.hpp"

namespace veltra::tool::serve {
namespace {

using Json = nlohmann::json;

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
            answer = run_op(request);
        } catch (const std::exception& e) {
            answer = {{"status", 2},
                      {"result", nullptr},
                      {"err", std::string("bad request: ") + e.what()}};
        }
        std::cout << kAnswerMark << answer.dump() << std::endl;
    }
    return 0;
}

}  // namespace veltra::tool::serve
