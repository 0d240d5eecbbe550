// Sales, backups and releases in the worker. The service names every file
// and folder (after the job's id, inside the worker's directory); the
// register's answers go back as the tool's --json result objects.
#include "worker_ops.hpp"

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <iostream>
#include <string>

#include "failure.hpp"
#include "internal.hpp"
#include "tool_context.hpp"
#include "veltra.h"
#include "worker_protocol.hpp"

namespace veltra::tool::serve {
namespace {

using Json = nlohmann::json;
using Clock = std::chrono::steady_clock;

// The day's sales are polled every second after "VENDCORR", not every 5 s
// as ecr_recv_vend_corrente does, so that an HTTP answer does not wait
// seconds longer than the register needs.
constexpr std::uint32_t kSalesPollMs = 1000;

// A line at most every 100 ms per transfer, and one when each starts.
constexpr auto kProgressEvery = std::chrono::milliseconds(100);

// Which transfers a job's progress counts.
enum class Counted {
    kFiles,    // all but the command files
    kMembers,  // the twelve member files of an archive
    kPuts,     // files sent, but the command files
};

bool is_member(const std::string& name) {
    for (const Member& m : kMembers)
        if (name == m.name) return true;
    return false;
}

// What the job's transfers have moved, written as progress lines: the
// transfers counted, the current file, and the bytes of all of them
// against total (null when not known before).
class ProgressLines {
public:
    ProgressLines(Counted counted, std::int64_t total) : counted_(counted), total_(total) {
        set_transfer_observer(&ProgressLines::observe, this);
    }
    ~ProgressLines() { set_transfer_observer(nullptr, nullptr); }
    ProgressLines(const ProgressLines&) = delete;
    ProgressLines& operator=(const ProgressLines&) = delete;

    int transfers() const { return transfers_; }

private:
    static void observe(void* self, const TransferProgress& p) {
        static_cast<ProgressLines*>(self)->update(p);
    }
    bool counts(const TransferProgress& p) const {
        const std::string name(ecr_base_name(std::string_view(p.pathname)));
        if (name == "COMMAND.TXT") return false;
        switch (counted_) {
            case Counted::kFiles:
                return true;
            case Counted::kMembers:
                return is_member(name);
            case Counted::kPuts:
                return p.put;
        }
        return false;
    }
    void update(const TransferProgress& p) {
        const auto now = Clock::now();
        const bool first = p.done == 0;
        if (first) counting_ = counts(p);
        if (!counting_) return;
        if (first) {
            earlier_ += current_;
            current_ = 0;
            ++transfers_;
            file_ = std::string(ecr_base_name(std::string_view(p.pathname)));
            file_total_ = p.total;
            if (file_total_ < 0) {
                for (const Member& m : kMembers)
                    if (file_ == m.name) file_total_ = m.size;
            }
        }
        current_ = p.done;
        const bool last = file_total_ >= 0 && p.done >= file_total_;
        if (!first && !last && now - last_ < kProgressEvery) return;
        last_ = now;
        Json j = {{"transfers", transfers_},
                  {"file", file_},
                  {"file_done", p.done},
                  {"file_total", file_total_ >= 0 ? Json(file_total_) : Json(nullptr)},
                  {"done", earlier_ + current_},
                  {"total", total_ >= 0 ? Json(total_) : Json(nullptr)}};
        std::cout << kProgressMark << j.dump() << std::endl;
    }

    Counted counted_;
    std::int64_t total_;
    bool counting_ = false;
    int transfers_ = 0;
    std::string file_;
    std::int64_t file_total_ = -1;
    std::int64_t earlier_ = 0;
    std::int64_t current_ = 0;
    Clock::time_point last_{};
};

// The members' bytes, what a save fetches and a restore sends in the full layout.
std::int64_t members_total() {
    std::int64_t total = 0;
    for (const Member& m : kMembers) total += m.size;
    return total;
}

Json answer(const char* function, std::int32_t code, bool counted, Json extra = Json::object()) {
    Json result = result_object(function, code, counted);
    if (code < 0) result["meaning"] = result_meaning(code);
    for (auto& [key, value] : extra.items()) result[key] = value;
    const std::string err = code < 0 ? failure_line(function, code, "") : std::string();
    return {{"status", code < 0 ? 1 : 0}, {"out", result.dump()}, {"err", err}};
}

Json release_show(const std::string& host) {
    char name[ECR_REL_TEXT_BUFSIZE] = {};
    char version[ECR_REL_TEXT_BUFSIZE] = {};
    char bitmap[ECR_REL_BITMAP_BUFSIZE] = {};
    const std::int32_t code = ecr_rel_info_cassa(host.c_str(), name, version, bitmap);
    return answer("ecr_rel_info_cassa", code, false,
                  {{"release", name}, {"version", version}, {"bitmap_type", bitmap}});
}

// The file is checked on its own first, so that nothing reaches the
// register for a file that is no release.
Json release_update(const std::string& host, const std::string& file) {
    char name[ECR_REL_TEXT_BUFSIZE] = {};
    char version[ECR_REL_TEXT_BUFSIZE] = {};
    char bitmap[ECR_REL_BITMAP_BUFSIZE] = {};
    const std::int32_t checked = ecr_rel_info_file(file.c_str(), name, version, bitmap);
    if (checked != 0) return answer("ecr_rel_info_file", checked, false);
    const Json identity = {{"release", name}, {"version", version}, {"bitmap_type", bitmap}};
    std::error_code ec;
    const auto size = std::filesystem::file_size(file, ec);
    ProgressLines progress(Counted::kPuts, ec ? -1 : static_cast<std::int64_t>(size));
    const std::int32_t code = ecr_rel_update(file.c_str(), host.c_str());
    return answer("ecr_rel_update", code, false, identity);
}

}  // namespace

Json run_op(const Json& request) {
    const std::string op = request.at("op").get<std::string>();
    const std::string host = request.at("host").get<std::string>();
    if (op == "sales-today") {
        ProgressLines progress(Counted::kFiles, -1);
        const std::string dir = request.at("dir").get<std::string>();
        return answer("ecr_recv_vend_corrente",
                      recv_vend_corrente(host.c_str(), dir.c_str(), kSalesPollMs), true);
    }
    if (op == "sales-range") {
        const std::string dir = request.at("dir").get<std::string>();
        const auto from = request.at("from").get<std::vector<std::int32_t>>();
        const auto to = request.at("to").get<std::vector<std::int32_t>>();
        if (from.size() != 3 || to.size() != 3) throw std::invalid_argument("from, to: [d, m, y]");
        ProgressLines progress(Counted::kFiles, -1);
        const std::int32_t code = ecr_recv_vend_storico(host.c_str(), dir.c_str(), from[0], from[1],
                                                        from[2], to[0], to[1], to[2]);
        return answer("ecr_recv_vend_storico", code, true);
    }
    if (op == "backup-save") {
        ProgressLines progress(Counted::kMembers, members_total());
        const std::string file = request.at("file").get<std::string>();
        return answer("ecr_dati_save", ecr_dati_save(file.c_str(), host.c_str()), false);
    }
    if (op == "backup-restore") {
        ProgressLines progress(Counted::kMembers, members_total());
        const std::string file = request.at("file").get<std::string>();
        return answer("ecr_dati_restore", ecr_dati_restore(file.c_str(), host.c_str()), false);
    }
    if (op == "setup-restore") {
        std::int32_t in_setup = 0;
        std::int32_t code = ecr_check_ready(host.c_str(), &in_setup);
        if (code == 0 && in_setup != 0) code = ecr_setup_mode(host.c_str(), false);
        return answer("ecr_command", code, false, {{"was_in_setup", in_setup != 0}});
    }
    if (op == "release-show") return release_show(host);
    if (op == "release-update") return release_update(host, request.at("file").get<std::string>());
    throw std::invalid_argument("unknown op: " + op);
}

}  // namespace veltra::tool::serve
