// The scrape, written line by line in Prometheus' text exposition format
// (version 0.0.4): a HELP and a TYPE line for each family, then its samples.
#include "metrics.hpp"

#include <cstdio>
#include <sstream>

namespace veltra::tool::serve {
namespace {

std::string number(double v) {
    char text[64];
    std::snprintf(text, sizeof text, "%.15g", v);
    return text;
}

std::string seconds(std::int64_t ms) {
    return number(static_cast<double>(ms) / 1000.0);
}

class Writer {
public:
    void family(const char* name, const char* type, const char* help) {
        out_ << "# HELP " << name << ' ' << help << "\n# TYPE " << name << ' ' << type << '\n';
    }
    void sample(const std::string& name, const std::string& labels, const std::string& value) {
        out_ << name;
        if (!labels.empty()) out_ << '{' << labels << '}';
        out_ << ' ' << value << '\n';
    }
    std::string text() const { return out_.str(); }

private:
    std::ostringstream out_;
};

std::string reg_label(const std::string& name) {
    return "register=" + label_value(name);
}

}  // namespace

std::string label_value(const std::string& text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '\\') {
            out += "\\\\";
        } else if (c == '"') {
            out += "\\\"";
        } else if (c == '\n') {
            out += "\\n";
        } else {
            out += c;
        }
    }
    return out + '"';
}

void Metrics::job_ended(const Job& job) {
    std::string kind = job.request.is_object() ? job.request.value("op", "") : "";
    if (kind.empty()) kind = job.kind.substr(0, job.kind.find(' '));
    if (job.request.is_object() && job.request.contains("name") && kind == "command")
        kind += " " + job.request.value("name", "");
    const std::string verdict = job.change ? (job.verdict.empty() ? "unknown" : job.verdict) : "";
    const double took = job.started_ms != 0 && job.ended_ms >= job.started_ms
                            ? static_cast<double>(job.ended_ms - job.started_ms) / 1000.0
                            : 0.0;
    const std::lock_guard lock(m_);
    ++jobs_[{kind, state_name(job.state), verdict}];
    if (job.started_ms == 0) return;  // never ran: no duration
    Durations& d = durations_[kind];
    for (std::size_t i = 0; i < kBuckets.size(); ++i)
        if (took <= kBuckets[i]) ++d.buckets[i];
    ++d.count;
    d.sum += took;
}

std::string Metrics::text(const std::vector<RegisterFacts>& registers, std::int64_t now_ms,
                          std::size_t notified, std::size_t notify_failed) const {
    Writer w;
    w.family("veltra_register_up", "gauge",
             "Whether the register answered the service's last look at it (1) or not (0).");
    for (const auto& r : registers)
        if (r.look.looked)
            w.sample("veltra_register_up", reg_label(r.name), r.look.answered ? "1" : "0");
    w.family("veltra_register_last_answer_timestamp_seconds", "gauge",
             "When the register last answered, in seconds since the Unix epoch.");
    for (const auto& r : registers)
        if (r.look.last_answer_ms != 0)
            w.sample("veltra_register_last_answer_timestamp_seconds", reg_label(r.name),
                     seconds(r.look.last_answer_ms));
    w.family("veltra_register_silent_since_timestamp_seconds", "gauge",
             "Since when the register has not answered, for a register silent now.");
    for (const auto& r : registers)
        if (!r.look.answered && r.look.silent_since_ms != 0)
            w.sample("veltra_register_silent_since_timestamp_seconds", reg_label(r.name),
                     seconds(r.look.silent_since_ms));
    w.family("veltra_register_setup_mode", "gauge",
             "Whether the register was in setup mode at the last look it answered.");
    for (const auto& r : registers)
        if (!r.look.state.empty())
            w.sample("veltra_register_setup_mode", reg_label(r.name), r.look.setup ? "1" : "0");
    w.family("veltra_register_error", "gauge",
             "Whether the register's error flag was set at the last look it answered.");
    for (const auto& r : registers)
        if (!r.look.state.empty())
            w.sample("veltra_register_error", reg_label(r.name), r.look.error ? "1" : "0");
    w.family("veltra_backup_last_good_age_seconds", "gauge",
             "Age of the register's newest good archive in the archive store.");
    for (const auto& r : registers)
        if (r.last_backup_ms)
            w.sample("veltra_backup_last_good_age_seconds", reg_label(r.name),
                     seconds(now_ms - *r.last_backup_ms));
    w.family("veltra_sales_export_last_age_seconds", "gauge",
             "Age of the register's last scheduled sales export that succeeded.");
    for (const auto& r : registers)
        if (r.last_sales_ms)
            w.sample("veltra_sales_export_last_age_seconds", reg_label(r.name),
                     seconds(now_ms - *r.last_sales_ms));
    w.family("veltra_worker_restarts_total", "counter",
             "Times the register's worker process was restarted.");
    for (const auto& r : registers)
        w.sample("veltra_worker_restarts_total", reg_label(r.name),
                 std::to_string(r.worker_restarts));

    const std::lock_guard lock(m_);
    w.family("veltra_jobs_total", "counter",
             "Jobs ended since the service started, by kind, state and verdict (changes only).");
    for (const auto& [key, n] : jobs_) {
        const auto& [kind, state, verdict] = key;
        w.sample("veltra_jobs_total",
                 "kind=" + label_value(kind) + ",state=" + label_value(state) +
                     ",verdict=" + label_value(verdict),
                 std::to_string(n));
    }
    w.family("veltra_job_duration_seconds", "histogram",
             "How long jobs ran on their register's worker, by kind.");
    for (const auto& [kind, d] : durations_) {
        const std::string k = "kind=" + label_value(kind);
        for (std::size_t i = 0; i < kBuckets.size(); ++i)
            w.sample("veltra_job_duration_seconds_bucket",
                     k + ",le=" + label_value(number(kBuckets[i])), std::to_string(d.buckets[i]));
        w.sample("veltra_job_duration_seconds_bucket", k + ",le=\"+Inf\"", std::to_string(d.count));
        w.sample("veltra_job_duration_seconds_sum", k, number(d.sum));
        w.sample("veltra_job_duration_seconds_count", k, std::to_string(d.count));
    }
    w.family("veltra_notifications_total", "counter",
             "Events given to the notify command, by outcome.");
    w.sample("veltra_notifications_total", "outcome=\"sent\"", std::to_string(notified));
    w.sample("veltra_notifications_total", "outcome=\"failed\"", std::to_string(notify_failed));
    return w.text();
}

}  // namespace veltra::tool::serve
