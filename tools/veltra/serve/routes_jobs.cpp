// The jobs' routes, and how a job becomes an answer: at once, when it ends,
// or later by its id.
#include <fstream>

#include "latin1.hpp"
#include "routes.hpp"
#include "sys/sha256.hpp"

namespace veltra::tool::serve {
namespace {

constexpr std::size_t kMaxIdempotencyKey = 200;
// What a 503 for a full queue tells the client to wait, in seconds.
constexpr int kRetryAfterSeconds = 10;
// The jobs a history answer holds at most.
constexpr int kMaxHistory = 500;

// Every string of the request equal to from becomes to.
void replace_path(Json& j, const std::string& from, const std::string& to) {
    if (j.is_string() && j.get<std::string>() == from) {
        j = to;
    } else if (j.is_structured()) {
        for (auto& item : j) replace_path(item, from, to);
    }
}

std::string hex_sha256(const std::string& text) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char b : sys::sha256(text)) {
        out += kDigits[b >> 4];
        out += kDigits[b & 15];
    }
    return out;
}

// What an Idempotency-Key is bound to: the register, the route with its
// query (but wait), and the body's digest.
std::string signature_of(const http::Request& req, const std::string& reg) {
    Json query = Json::object();
    // ?wait= asks how to be answered, not what to do.
    for (const auto& [name, value] : req.params)
        if (name != "wait") query[name] = value;
    return Json{{"register", reg},
                {"method", req.method},
                {"path", req.path},
                {"query", query},
                {"body_sha256", hex_sha256(req.body)}}
        .dump();
}

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
        // The files are the register's Latin-1 text; JSON is UTF-8.
        if (files.is_object())
            for (auto& [name, text] : files.items())
                if (text.is_string()) text = latin1_to_utf8(text.get<std::string>());
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
    job->signature = signature_of(req, r.config.name);
    prepare_change(*job, config_.token.empty() ? "local" : config_.token_name);
    std::shared_ptr<Job> run = job;
    bool repeated = false;
    if (!key.empty()) {
        bool conflict = false;
        if (auto first = store_.remember(key, job->signature, job, conflict)) {
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
    if (!repeated) start_change(r, job, body_to_write);
    if (repeated) res.set_header("Idempotent-Replayed", "true");
    answer(req, res, run);
}

void Routes::prepare_change(Job& job, const std::string& who) {
    job.change = true;
    job.who = who;
    // The input of a change stays in the journal's folder until its verdict
    // is reached, so that a change interrupted by a stop can be verified.
    if (!job.input_file.empty() && store_.journal()) {
        const std::string kept =
            store_.input_path(job.id, std::filesystem::path(job.input_file).extension().string());
        replace_path(job.request, job.input_file, kept);
        job.input_file = kept;
    }
}

void Routes::start_change(Register& r, const std::shared_ptr<Job>& job, const std::string& body) {
    if (!body.empty() || !job->input_file.empty()) {
        std::ofstream f(job->input_file, std::ios::binary);
        f.write(body.data(), static_cast<std::streamsize>(body.size()));
        if (!f) {
            store_.finish(*job, JobState::kFailed, nullptr,
                          error_object("cannot store the body")["error"], 500, "");
        }
    }
    if (job->state == JobState::kQueued) r.worker->submit(job);
}

void Routes::own_change(Register& r, const std::shared_ptr<Job>& job, const std::string& who,
                        const std::string& body) {
    prepare_change(*job, who);
    store_.add(job);
    start_change(r, job, body);
}

bool Routes::replay(const http::Request& req, http::Response& res, Register& r) {
    const std::string key = req.get_header_value("Idempotency-Key");
    if (key.empty() || key.size() > kMaxIdempotencyKey) return false;
    bool conflict = false;
    auto first = store_.remember(key, signature_of(req, r.config.name), nullptr, conflict);
    if (!first) return false;
    if (conflict) {
        send_error(res, 422, "Idempotency-Key already used for another request");
        return true;
    }
    res.set_header("Idempotent-Replayed", "true");
    answer(req, res, first);
    return true;
}

std::shared_ptr<Job> Routes::verify(const std::shared_ptr<Job>& change) {
    auto it = registers_.find(change->register_name);
    if (it == registers_.end()) return nullptr;
    {
        std::lock_guard lock(verifying_m_);
        if (!verifying_.insert(change->id).second) return nullptr;
    }
    Register& r = it->second;
    auto v = store_.make(r.config.name, "verify");
    const Json before =
        change->evidence.is_object() ? change->evidence.value("before", Json(nullptr)) : Json();
    v->request = {{"op", "verify"},
                  {"host", r.config.host},
                  {"kind", change->kind},
                  {"job", change->id},
                  {"request", {{"file", change->input_file}}},
                  {"before", before}};
    const std::string id = change->id;
    store_.watch(*v, [this, v, id] {
        const Json& result = v->result;
        if (result.is_object() && result.contains("verdict") && result["verdict"].is_string()) {
            store_.settle(id, result["verdict"].get<std::string>(), result.value("reason", ""),
                          result.value("evidence", Json(nullptr)));
        }
        std::lock_guard lock(verifying_m_);
        verifying_.erase(id);
    });
    r.worker->submit(v);
    return v;
}

void Routes::job_routes() {
    server_.get("/api/v1/jobs", [this](const http::Request& req, http::Response& res) {
        int limit = 50;
        try {
            if (req.has_param("limit")) limit = std::stoi(req.get_param_value("limit"));
        } catch (const std::exception&) {
            limit = 0;
        }
        if (limit < 1 || limit > kMaxHistory) {
            send_error(res, 400, "limit: 1 to " + std::to_string(kMaxHistory));
            return;
        }
        send_json(res, 200,
                  {{"jobs", store_.history(limit, req.get_param_value("changes") == "1")}});
    });

    server_.post(R"(/api/v1/jobs/([^/]+)/verify)",
                 [this](const http::Request& req, http::Response& res) {
                     const std::string id = req.matches[1].str();
                     auto job = store_.find(id);
                     if (!job) {
                         send_error(res, 404, "unknown job: " + id);
                         return;
                     }
                     if (!job->change) {
                         send_error(res, 400, "only a change to a register has a verdict");
                         return;
                     }
                     if (store_.is_pending(*job)) {
                         send_error(res, 409, "the job has not ended yet");
                         return;
                     }
                     auto v = verify(job);
                     if (!v) {
                         send_error(res, 409,
                                    "a verification of this job runs already, or its register "
                                    "is no longer served");
                         return;
                     }
                     const http::Reply reply = res.defer();
                     // Watched after verify()'s own watch: the verdict is settled first.
                     store_.watch(*v, [this, reply, id] {
                         http::Response out;
                         auto now = store_.find(id);
                         send_json(out, 200, store_.describe(*now));
                         reply.send(std::move(out));
                     });
                 });

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
