// A register's archives in the service's store: listed, downloaded, made
// now, and restored onto the register as the same change an uploaded backup
// is. Names are looked up in the catalogue, never taken as paths.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "archives.hpp"
#include "gzip_file.hpp"
#include "internal.hpp"
#include "routes.hpp"
#include "service_clock.hpp"

namespace veltra::tool::serve {
namespace {

// The shop's local time, as the archive's name shows it.
std::string local_text(std::int64_t ms) {
    const LocalTime t = local_time(ms);
    char text[32];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d", t.year, t.month, t.day,
                  t.hour, t.minute, t.second);
    return text;
}

}  // namespace

Json archive_json(const ArchiveInfo& a) {
    return {{"name", a.name},
            {"time", local_text(a.time_ms)},
            {"time_ms", a.time_ms},
            {"size", a.size},
            {"plain_size", a.plain_size},
            {"version", a.version},
            {"release", a.release},
            {"good", a.good},
            {"reason", a.reason},
            {"job", a.job_id}};
}

void Routes::archive_routes() {
    if (archives_ == nullptr) return;

    server_.get(R"(/api/v1/registers/([^/]+)/archives)",
                [this](const http::Request& req, http::Response& res) {
                    Register* r = find_register(req, res);
                    if (r == nullptr) return;
                    Json list = Json::array();
                    for (const ArchiveInfo& a : archives_->list(r->config.name))
                        list.push_back(archive_json(a));
                    send_json(res, 200, {{"archives", std::move(list)}});
                });

    server_.get(R"(/api/v1/registers/([^/]+)/archives/([^/]+))", [this](const http::Request& req,
                                                                        http::Response& res) {
        Register* r = find_register(req, res);
        if (r == nullptr) return;
        const std::string name = req.matches[2].str();
        const auto path = archives_->path_of(r->config.name, name);
        if (!path) {
            send_error(res, 404, "no archive of " + r->config.name + " to download: " + name);
            return;
        }
        const http::Reply reply = res.defer();
        server_.run_blocking([reply, path = *path, name] {
            http::Response out = reply.response();
            std::error_code ec;
            const auto size = std::filesystem::file_size(path, ec);
            std::ifstream f(path, std::ios::binary);
            std::string bytes(std::istreambuf_iterator<char>(f), {});
            if (ec || !f.is_open() || bytes.empty() || bytes.size() != size) {
                // The rule deleted it since it was looked up.
                send_error(out, 404, "the archive is gone: " + name);
            } else {
                out.set_header("Content-Disposition", "attachment; filename=\"" + name + "\"");
                out.status = 200;
                out.set_content(std::move(bytes), "application/gzip");
            }
            reply.send(std::move(out));
        });
    });

    // A backup now, kept in the store. The save is a read of the register;
    // the archive is kept as the save ends, on the worker's thread (so before
    // its next job, which may clear the worker's folder), whether or not the
    // client still waits.
    server_.post(R"(/api/v1/registers/([^/]+)/archives)", [this](const http::Request& req,
                                                                 http::Response& res) {
        Register* r = find_register(req, res);
        if (r == nullptr) return;
        auto job = op_job(*r, "archive save", "backup-save");
        const std::string plain = r->worker->path(job->id + ".dat");
        job->request["file"] = plain;
        restores_setup(*job, *r);
        const http::Reply reply = res.defer();
        store_.watch(*job, [this, reply, job, plain, reg = r->config.name] {
            http::Response out;
            if (job->state != JobState::kSucceeded) {
                send_result(out, *job);
            } else {
                try {
                    const ArchiveInfo a = archives_->keep(reg, plain, job->id, service_now_ms());
                    Json j = store_.describe(*job);
                    j["archive"] = archive_json(a);
                    if (!a.good)
                        j["error"] = {
                            {"message", "the archive did not pass its check: " + a.reason}};
                    send_json(out, a.good ? 200 : 500, j);
                } catch (const std::exception& e) {
                    send_error(out, 500, std::string("the archive could not be kept: ") + e.what());
                }
            }
            std::error_code ec;
            std::filesystem::remove(plain, ec);
            reply.send(std::move(out));
        });
        // A client that waits longer than a job may run is told the job;
        // the archive is still kept when it ends.
        reply.on_timeout(std::chrono::seconds(config_.job_seconds + 30), [this, reply, job] {
            http::Response out;
            send_json(out, 202, store_.describe(*job));
            reply.send(std::move(out));
        });
        r->worker->submit(job);
        // wait=0: told the job at once; the archive is kept as it ends.
        if (req.get_param_value("wait") == "0") {
            http::Response out;
            send_json(out, 202, store_.describe(*job));
            reply.send(std::move(out));
        }
    });

    server_.post(
        R"(/api/v1/registers/([^/]+)/archives/([^/]+)/restore)",
        [this](const http::Request& req, http::Response& res) {
            Register* r = find_register(req, res);
            if (r == nullptr || !confirmed(req, res)) return;
            if (replay(req, res, *r)) return;
            const std::string name = req.matches[2].str();
            const std::optional<ArchiveInfo> a = archives_->find(r->config.name, name);
            if (!a) {
                send_error(res, 404, "no archive of " + r->config.name + ": " + name);
                return;
            }
            const auto path = archives_->path_of(r->config.name, name);
            if (!a->good || !path) {
                send_error(res, 409,
                           "archive " + name + " did not pass its check (" + a->reason +
                               "): it is never restored");
                return;
            }
            // Inflating 7 MB takes a moment: not on the server's threads.
            const http::Reply reply = res.defer();
            server_.run_blocking([this, reply, r, path = *path, name] {
                http::Response out = reply.response();
                std::string archive;
                std::string damage;
                try {
                    archive = gunzip_text(path, kArchiveSize);
                    ArchiveCheck check;
                    check.add(std::span(reinterpret_cast<const std::uint8_t*>(archive.data()),
                                        archive.size()));
                    ArchiveInfo found;
                    check.result(found);
                    if (!found.good) damage = found.reason;
                } catch (const GzipError& e) {
                    damage = e.what();
                }
                if (!damage.empty()) {
                    // Nothing went to the register: a damaged archive is no change.
                    send_error(out, 500,
                               "archive " + name + " is damaged on disk (" + damage +
                                   "): nothing was sent to the register");
                } else {
                    restore_backup(reply.request(), out, *r, archive);
                }
                reply.send(std::move(out));
            });
        });
}

}  // namespace veltra::tool::serve
