// Commands of the register's firmware release: a release file's identity,
// the register's, and the update, which asks first.
#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>
#include <ostream>
#include <string>

#include "command_functions.hpp"
#include "command_table.hpp"
#include "veltra.h"
#include "verdict.hpp"

namespace veltra::tool {
namespace {

struct Identity {
    char name[ECR_REL_TEXT_BUFSIZE] = {};
    char versione[ECR_REL_TEXT_BUFSIZE] = {};
    char bitmap[ECR_REL_BITMAP_BUFSIZE] = {};

    std::string text() const {
        return std::string(name) + " " + versione + ", bitmap " +
               (*bitmap != '\0' ? bitmap : "none");
    }
    nlohmann::json json() const {
        return {{"name", name}, {"version", versione}, {"bitmap", bitmap}};
    }
};

struct ReleaseInfo {
    std::string file;

    void declare(CLI::App& app) { app.add_option("FILE", file, "the release file")->required(); }
    int run(Context& ctx) {
        Identity id;
        const std::int32_t r = ecr_rel_info_file(file.c_str(), id.name, id.versione, id.bitmap);
        nlohmann::json extra = id.json();
        extra["file"] = file;
        return ctx.finish("ecr_rel_info_file", r, false, file + ": release " + id.text(), extra);
    }
};

struct ReleaseShow {
    void declare(CLI::App&) {}
    int run(Context& ctx) {
        Identity id;
        const std::int32_t r = ecr_rel_info_cassa(ctx.host(), id.name, id.versione, id.bitmap);
        const bool supported = *id.name != '\0' && *id.versione != '\0' && *id.bitmap != '\0';
        nlohmann::json extra = id.json();
        extra["host"] = ctx.host_label();
        extra["updatable"] = supported;
        const std::string text =
            supported
                ? "register " + ctx.host_label() + ": release " + id.text()
                : "register " + ctx.host_label() + " reports no complete release (name '" +
                      id.name + "', version '" + id.versione + "'): it takes no release update";
        return ctx.finish("ecr_rel_info_cassa", r, false, text, extra);
    }
};

struct ReleaseUpdate {
    std::string file;
    bool yes = false;

    void declare(CLI::App& app) {
        app.add_option("FILE", file, "the release file")->required();
        app.add_flag("--yes", yes, "install without asking");
        app.footer(
            "The register is put into setup mode and left in it: installing and restarting\n"
            "are the register's own.\n\n" +
            std::string(kVerdictHelp) +
            "\nA lost answer is applied when the register reports the file's release and\n"
            "version.");
    }
    int run(Context& ctx) {
        Identity offered, running;
        std::int32_t r =
            ecr_rel_info_file(file.c_str(), offered.name, offered.versione, offered.bitmap);
        if (r != 0) return ctx.finish("ecr_rel_info_file", r, false, "");
        r = ecr_rel_info_cassa(ctx.host(), running.name, running.versione, running.bitmap);
        if (r != 0) return ctx.finish("ecr_rel_info_cassa", r, false, "");
        nlohmann::json extra = offered.json();
        extra["file"] = file;
        extra["register"] = running.json();
        extra["uploaded"] = false;
        if (!ctx.confirm(yes,
                         "Install release " + offered.text() + " from " + file +
                             " on the register at " + ctx.host_label() + ", which runs " +
                             running.text() + "?",
                         "release update")) {
            ctx.err() << "veltra: not confirmed, nothing sent\n";
            return kExitFailure;
        }
        const std::optional<Fingerprint> before = ctx.read_before();
        r = ecr_rel_update(file.c_str(), ctx.host());
        Reading after;
        if (Fingerprint fp; (after.failure = read_fingerprint(ctx.host(), fp)) == 0)
            after.fingerprint = fp;
        const Decision d = r == 0 ? decide_acknowledged(before, after)
                                  : decide_release(offered.name, offered.versione, before, after);
        extra["uploaded"] = d.verdict == Verdict::applied;
        const std::string hint = r == ECR_ERR_REL_FILE_NOT_CASSA
                                     ? std::string("the file's release is ") + offered.name +
                                           ", the register runs " + running.name
                                     : "";
        return ctx.finish_change("ecr_rel_update", r, false,
                                 "release " + offered.text() + " put to " + ctx.host_label() +
                                     " as " + offered.name +
                                     ".BIN; the register installs it and stays in setup mode",
                                 extra, d, hint);
    }
};

}  // namespace

int release_update(Context& ctx, const std::string& file) {
    ReleaseUpdate c{file, true};
    return c.run(ctx);
}

std::vector<Command> release_commands() {
    return {
        command<ReleaseInfo>(
            {"release", "info"},
            "check a release file and show its release name, version and bitmap type",
            "ecr_rel_info_file", "veltra release info ELT5.rel"),
        command<ReleaseShow>(
            {"release", "show"}, "the release the register reports: name, version and bitmap type",
            "ecr_rel_info_cassa", "veltra --host 192.168.1.20 release show --json"),
        command<ReleaseUpdate>(
            {"release", "update"},
            "put a release file to the register when its release name matches (asks first)",
            "ecr_rel_info_file, ecr_rel_info_cassa, ecr_rel_update",
            "veltra --host 192.168.1.20 release update ELT5.rel --yes"),
    };
}

}  // namespace veltra::tool
