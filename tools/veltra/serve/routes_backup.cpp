// Backups saved and restored, releases shown and updated: the archives
// and release files go through the worker's folder.
#include "internal.hpp"
#include "routes.hpp"

namespace veltra::tool::serve {

void Routes::backup_routes() {
    server_.post(R"(/api/v1/registers/([^/]+)/backup)",
                 [this](const http::Request& req, http::Response& res) {
                     Register* r = find_register(req, res);
                     if (r == nullptr) return;
                     auto job = op_job(*r, "backup save", "backup-save");
                     job->output_file = r->worker->path(job->id + ".dat");
                     job->content_type = "application/octet-stream";
                     job->request["file"] = job->output_file;
                     restores_setup(*job, *r);
                     res.set_header("Content-Disposition",
                                    "attachment; filename=\"" + r->config.name + ".dat\"");
                     r->worker->submit(job);
                     answer(req, res, job);
                 });
    server_.put(R"(/api/v1/registers/([^/]+)/backup)",
                [this](const http::Request& req, http::Response& res) {
                    Register* r = find_register(req, res);
                    if (r == nullptr || !confirmed(req, res)) return;
                    if (req.body.size() != kArchiveSize) {
                        send_error(res, 400,
                                   "an archive is exactly " + std::to_string(kArchiveSize) +
                                       " bytes; the body has " + std::to_string(req.body.size()));
                        return;
                    }
                    restore_backup(req, res, *r, req.body);
                });
}

void Routes::restore_backup(const http::Request& req, http::Response& res, Register& r,
                            const std::string& archive) {
    auto job = op_job(r, "backup restore", "backup-restore", false);
    job->setup = SetupCare::kLeave;
    job->input_file = r.worker->path(job->id + ".dat");
    job->request["file"] = job->input_file;
    change(req, res, r, job, archive);
}

void Routes::release_routes() {
    server_.get(R"(/api/v1/registers/([^/]+)/release)",
                [this](const http::Request& req, http::Response& res) {
                    Register* r = find_register(req, res);
                    if (r == nullptr) return;
                    auto job = op_job(*r, "release show", "release-show");
                    restores_setup(*job, *r);
                    r->worker->submit(job);
                    answer(req, res, job);
                });
    server_.put(R"(/api/v1/registers/([^/]+)/release)",
                [this](const http::Request& req, http::Response& res) {
                    Register* r = find_register(req, res);
                    if (r == nullptr || !confirmed(req, res)) return;
                    if (req.body.size() > kReleaseMaxSize) {
                        send_error(res, 413,
                                   "body too large: a release file is at most " +
                                       std::to_string(kReleaseMaxSize) + " bytes");
                        return;
                    }
                    if (req.body.empty()) {
                        send_error(res, 400, "the body holds no release file");
                        return;
                    }
                    auto job = op_job(*r, "release update", "release-update", false);
                    job->setup = SetupCare::kLeave;
                    job->input_file = r->worker->path(job->id + ".rel");
                    job->request["file"] = job->input_file;
                    change(req, res, *r, job, req.body);
                });
}

}  // namespace veltra::tool::serve
