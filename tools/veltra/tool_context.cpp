// The tool's context: host choice, result reporting and confirmations.
#include "tool_context.hpp"

#include <istream>
#include <nlohmann/json.hpp>
#include <ostream>

#include "failure.hpp"
#include "internal.hpp"
#include "verdict.hpp"

namespace veltra::tool {

const char* Context::host() {
    if (!host_) {
        if (!host_option.empty()) {
            host_ = host_option;
        } else {
            host_ = sys::env_get("ECR_HOST").value_or("");
        }
    }
    return host_->c_str();
}

std::string Context::host_label() {
    const std::string h = host();
    return h.empty() || h[0] == '@' ? std::string(kDefaultHostName) : h;
}

std::optional<Fingerprint> Context::read_before() {
    Fingerprint fp;
    if (read_fingerprint(host(), fp) != 0) return std::nullopt;
    if (on_before) on_before(fp);
    return fp;
}

void Context::emit(nlohmann::json j) {
    if (result_sink != nullptr) {
        *result_sink = std::move(j);
    } else {
        out() << j.dump(2) << "\n";
    }
}

nlohmann::json result_object(const char* function, std::int32_t result, bool counted) {
    nlohmann::json j;
    j["function"] = function;
    j["code"] = result < 0 ? result : 0;
    j["name"] = result_label(result);
    if (counted && result >= 0) {
        j["count"] = result;
    } else {
        j["count"] = nullptr;
    }
    return j;
}

int Context::finish(const char* function, std::int32_t result, bool counted,
                    const std::string& text, nlohmann::json extra, const std::string& hint) {
    if (json) {
        nlohmann::json j = result_object(function, result, counted);
        if (result < 0) j["meaning"] = result_meaning(result);
        for (auto& [key, value] : extra.items()) j[key] = value;
        emit(std::move(j));
    }
    if (result < 0) {
        err() << failure_line(function, result,
                              hint.empty() ? failure_hint(result, host_label()) : hint)
              << "\n";
        return kExitFailure;
    }
    if (!json && !text.empty()) out() << text << "\n";
    return kExitOk;
}

int Context::finish(const char* function, std::int32_t result, bool counted,
                    const std::string& text) {
    return finish(function, result, counted, text, nlohmann::json::object());
}

int Context::finish_change(const char* function, std::int32_t result, bool counted,
                           const std::string& text, nlohmann::json extra, const Decision& decision,
                           const std::string& hint) {
    if (json) {
        nlohmann::json j = result_object(function, result, counted);
        if (result < 0) j["meaning"] = result_meaning(result);
        for (auto& [key, value] : extra.items()) j[key] = value;
        j["verdict"] = verdict_name(decision.verdict);
        j["reason"] = decision.reason;
        j["evidence"] = decision.evidence;
        emit(std::move(j));
    } else {
        if (result >= 0 && !text.empty()) out() << text << "\n";
        out() << "verdict: " << verdict_name(decision.verdict) << ": " << decision.reason << "\n"
              << "evidence: " << decision.evidence.dump() << "\n";
    }
    if (result < 0)
        err() << failure_line(function, result,
                              hint.empty() ? failure_hint(result, host_label()) : hint)
              << "\n";
    switch (decision.verdict) {
        case Verdict::applied:
            return kExitOk;
        case Verdict::not_applied:
            return kExitFailure;
        case Verdict::unknown:
            return kExitUnknown;
    }
    return kExitUnknown;
}

bool Context::confirm(bool yes, const std::string& question, const std::string& what) {
    if (yes) return true;
    if (!io_.in_terminal) {
        throw UsageError{what + " needs --yes when not run from a terminal"};
    }
    err() << question << " [y/N] " << std::flush;
    std::string answer;
    if (!std::getline(io_.in, answer)) return false;
    return answer == "y" || answer == "Y" || answer == "yes" || answer == "YES";
}

}  // namespace veltra::tool
