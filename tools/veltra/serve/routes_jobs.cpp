// The jobs' routes, and how a job becomes an answer: at once, when it ends,
// or later by its id.
#include <fstream>

#include "routes.hpp"

namespace veltra::tool::serve {
namespace {

constexpr std::size_t kMaxIdempotencyKey = 200;
// What a 503 for a full queue tells the client to wait, in seconds.
constexpr int kRetryAfterSeconds = 10;

}  // namespace

// Answers with the job's result once it ends: the JSON object, or the
// download's bytes as content_type. No thread waits meanwhile. ?wait=0
// answers 202 at once, and so does a job still pending after the time
// limit; the download is then fetched from /api/v1/jobs/{id}/output. A
// read whose clients all leave before it starts is dropped.
void Routes::answer(const http::Request& req, http::Response& res, std::shared_ptr<Job> job) {
    if (job->joined) job = job->joined;
    if (job->queue_full) {
        send_result(res, *job);
        return;
    }
    WorkerProcess* worker = worker_of(*job);
    if (req.get_param_value("wait") == "0") {
        if (worker) worker->hold(*job);
        send_json(res, 202, store_.describe(*job));
        return;
    }
    const http::Reply reply = res.defer();
    const auto watch = store_.watch(*job, [this, reply, job] {
        http::Response out;
        send_result(out, *job);
        reply.send(std::move(out));
    });
    if (watch == 0) return;  // ended already: answered
    reply.on_timeout(std::chrono::seconds(config_.job_seconds + 30),
                     [this, reply, job, watch, worker] {
                         if (!store_.unwatch(*job, watch)) return;
                         if (worker) worker->hold(*job);
                         http::Response out;
                         send_json(out, 202, store_.describe(*job));
                         reply.send(std::move(out));
                     });
    reply.on_gone([this, job, watch, worker] {
        if (store_.unwatch(*job, watch) && worker) worker->release(job);
    });
}

// A finished job: its download once, or its JSON object.
void Routes::send_result(http::Response& res, Job& job) {
    Json j = store_.describe(job);
    if (job.queue_full) res.set_header("Retry-After", std::to_string(kRetryAfterSeconds));
    const bool download = !job.content_type.empty() || !job.output_dir.empty();
    if (job.state != JobState::kSucceeded || !download) {
        send_json(res, job.http_status, j);
        return;
    }
    std::string output;
    Json files;
    if (!store_.take_output(job, output, files)) {
        send_error(res, 410, "the job's download was handed out already or dropped");
        return;
    }
    res.set_header("X-Veltra-Job", job.id);
    if (job.content_type.empty()) {
        j["files"] = std::move(files);
        send_json(res, 200, j);
        return;
    }
    res.status = 200;
    res.set_content(std::move(output), job.content_type);
}

// Changes to a register: a job, with the Idempotency-Key rule, answered
// when done (or at once with 202 and ?wait=0). job is a draft: the store
// keeps it only once the key's checks pass, so a refused request leaves
// no job behind.
void Routes::change(const http::Request& req, http::Response& res, Register& r,
                    const std::shared_ptr<Job>& job, const std::string& body_to_write) {
    const std::string key = req.get_header_value("Idempotency-Key");
    if (key.size() > kMaxIdempotencyKey) {
        send_error(res, 400, "Idempotency-Key longer than 200 characters");
        return;
    }
    std::shared_ptr<Job> run = job;
    bool repeated = false;
    if (!key.empty()) {
        bool conflict = false;
        const std::string signature = r.config.name + " " + req.method + " " + req.path + "?" +
                                      std::to_string(std::hash<std::string>{}(req.body));
        if (auto first = store_.remember(key, signature, job, conflict)) {
            if (conflict) {
                send_error(res, 422, "Idempotency-Key already used for another request");
                return;
            }
            run = first;
            repeated = true;
        }
    } else {
        store_.add(job);
    }
    if (!repeated) {
        if (!body_to_write.empty() || !job->input_file.empty()) {
            std::ofstream f(job->input_file, std::ios::binary);
            f.write(body_to_write.data(), static_cast<std::streamsize>(body_to_write.size()));
            if (!f) {
                store_.finish(*job, JobState::kFailed, nullptr,
                              error_object("cannot store the body")["error"], 500, "");
            }
        }
        if (job->state == JobState::kQueued) r.worker->submit(job);
    }
    if (repeated) res.set_header("Idempotent-Replayed", "true");
    answer(req, res, run);
}

void Routes::job_routes() {
    server_.get(R"(/api/v1/jobs/([^/]+)/output)",
                [this](const http::Request& req, http::Response& res) {
                    auto job = store_.find(req.matches[1].str());
                    if (!job) {
                        send_error(res, 404, "unknown job: " + req.matches[1].str());
                        return;
                    }
                    if (!store_.wait(*job, std::chrono::seconds(0))) {
                        Json j = store_.describe(*job);
                        j["error"] = {{"message", "the job has not ended yet"}};
                        send_json(res, 409, j);
                        return;
                    }
                    send_result(res, *job);
                });

    server_.get(R"(/api/v1/jobs/([^/]+))", [this](const http::Request& req, http::Response& res) {
        auto job = store_.find(req.matches[1].str());
        if (!job) {
            send_error(res, 404, "unknown job: " + req.matches[1].str());
            return;
        }
        send_json(res, 200, store_.describe(*job));
    });
}

}  // namespace veltra::tool::serve
