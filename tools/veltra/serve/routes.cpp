// The route groups' shared pieces: a request's register, and its job.
#include "routes.hpp"

namespace veltra::tool::serve {

void Routes::add_all() {
    page_routes();
    register_routes();
    table_routes();
    keypad_routes();
    sales_routes();
    report_routes();
    backup_routes();
    release_routes();
    archive_routes();
    job_routes();
    schedule_routes();
    group_routes();
    if (watching_) watch_routes();
}

Register* Routes::find_register(const http::Request& req, http::Response& res) {
    auto it = registers_.find(req.matches[1].str());
    if (it == registers_.end()) {
        send_error(res, 404, "unknown register: " + req.matches[1].str());
        return nullptr;
    }
    return &it->second;
}

std::shared_ptr<Job> Routes::op_job(Register& r, const std::string& kind, const std::string& op,
                                    bool registered) {
    auto job = store_.make(r.config.name, kind, registered);
    job->request = {{"op", op}, {"host", r.config.host}};
    return job;
}

void Routes::restores_setup(Job& job, const Register& r) {
    job.setup = SetupCare::kRestore;
    job.request["report_setup"] = true;
    job.request["host"] = r.config.host;
}

WorkerProcess* Routes::worker_of(const Job& job) {
    const auto it = registers_.find(job.register_name);
    return it == registers_.end() ? nullptr : it->second.worker.get();
}

bool Routes::confirmed(const http::Request& req, http::Response& res) {
    if (req.get_param_value("confirm") == "1") return true;
    send_error(res, 400, "this call changes the register: add confirm=1");
    return false;
}

}  // namespace veltra::tool::serve
