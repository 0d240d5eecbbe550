// Commands of the register itself: ping, status, the register's commands,
// and register files by name.
#include <CLI/CLI.hpp>
#include <array>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <ostream>
#include <sstream>

#include "command_functions.hpp"
#include "command_table.hpp"
#include "internal.hpp"
#include "veltra.h"
#include "verdict.hpp"
#include "work_dir.hpp"

namespace veltra::tool {

nlohmann::json info_fields(const std::string& answer) {
    nlohmann::json fields = nlohmann::json::array();
    std::string line = answer;
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    if (line.empty()) return fields;
    std::istringstream in(line);
    std::string field;
    while (std::getline(in, field, ',')) {
        const std::size_t eq = field.find('=');
        nlohmann::json f;
        f["name"] = field.substr(0, eq);
        f["value"] = eq == std::string::npos ? "" : field.substr(eq + 1);
        fields.push_back(f);
    }
    return fields;
}

namespace {

struct Ping {
    int seconds = 3;

    void declare(CLI::App& app) {
        app.add_option("--seconds", seconds, "seconds to wait for each reply")
            ->check(CLI::Range(1, 60));
    }
    int run(Context& ctx) {
        const std::int32_t r = ecr_ping(ctx.host(), seconds);
        const std::string hint =
            r == ERR_SOCKET_OPEN
                ? "ICMP needs net.ipv4.ping_group_range to cover your group, or CAP_NET_RAW"
                : "";
        return ctx.finish("ecr_ping", r, false, ctx.host_label() + " answers",
                          {{"host", ctx.host_label()}}, hint);
    }
};

const char* state_meaning(const std::string& letter) {
    if (letter == "I") return "free";
    if (letter == "V") return "free, receipt flag set";
    if (letter == "E") return "in error";
    if (letter == "S") return "in setup mode";
    if (letter == "C") return "running a command";
    return "not available for work";
}

struct Status {
    void declare(CLI::App&) {}
    int run(Context& ctx) {
        std::array<char, kInfoAnswerSize> org{}, mod{};
        VarList vars{};
        std::int32_t r = ecr_get_info(ctx.host(), org.data(), mod.data(), vars.data());
        if (r != 0) return ctx.finish("ecr_get_info", r, false, "");
        char stato[2] = {}, conn[2] = {};
        r = ecr_get_status_new(ctx.host(), stato, conn);
        if (r != 0) return ctx.finish("ecr_get_status_new", r, false, "");
        const std::string state = stato;
        const bool ready = state == "I" || state == "V";
        const int generation = ecr_info_generation(vars);
        const nlohmann::json fields = info_fields(org.data());
        nlohmann::json extra = {{"host", ctx.host_label()},
                                {"stato", state},
                                {"hst_conn", std::string(conn)},
                                {"ready", ready},
                                {"generation", generation},
                                {"version", vars[kInfoVersion]},
                                {"bitmap", vars[kInfoBitmapType]},
                                {"release_name", vars[kInfoReleaseName]},
                                {"info", fields}};
        std::ostringstream text;
        text << "register " << ctx.host_label() << ": state " << state << " ("
             << state_meaning(state) << "), host connection "
             << (std::string(conn) == "S" ? "active" : "none") << "\n"
             << "generation " << generation << ", version " << vars[kInfoVersion] << ", bitmap "
             << vars[kInfoBitmapType];
        if (*vars[kInfoReleaseName] != '\0') text << ", release " << vars[kInfoReleaseName];
        text << "\ninfo variables:";
        int index = 0;
        for (const auto& f : fields) {
            text << "\n  " << (index < 10 ? " " : "") << index << " "
                 << f["name"].get<std::string>() << "=" << f["value"].get<std::string>();
            ++index;
        }
        return ctx.finish("ecr_get_status_new", 0, false, text.str(), extra);
    }
};

struct RegisterCommand {
    const char* word;
    std::int32_t request;
    const char* text;  // what the register is sent
    bool destructive;
};

constexpr RegisterCommand kRegisterCommands[] = {
    {"setup-on", 1, "SETUP 1", false},       {"setup-off", 2, "SETUP 0", false},
    {"azzdati", 3, "AZZDATI", true},         {"azzfat", 4, "AZZFAT", true},
    {"azzven-corr", 5, "AZZVEN_CORR", true}, {"azzfis", 8, "AZZFIS", true},
    {"azzven-arch", 9, "AZZVEN_ARCH", true},
};

struct SendCommand {
    std::string word;
    bool yes = false;

    void declare(CLI::App& app) {
        std::vector<std::string> words;
        for (const RegisterCommand& c : kRegisterCommands) words.emplace_back(c.word);
        app.add_option("NAME", word,
                       "setup-on, setup-off, azzdati, azzfat, azzven-corr, azzfis or azzven-arch")
            ->required()
            ->check(CLI::IsMember(words));
        app.add_flag("--yes", yes, "do not ask before a reset");
        app.footer(std::string(kVerdictHelp) +
                   "\nA lost answer is applied when: setup-on/-off, SETUP shows the new mode;\n"
                   "azzfis, NUM_AZZ went up by one; azzven-corr, TOT_GIORNO went to 0; azzfat,\n"
                   "NUM_FATT went to 0; azzdati, both did. Where the register already showed\n"
                   "that value, and always for azzven-arch (INFO counts no archives), it is\n"
                   "unknown.");
    }
    int run(Context& ctx) {
        const RegisterCommand* c = nullptr;
        for (const RegisterCommand& k : kRegisterCommands) {
            if (word == k.word) c = &k;
        }
        if (c->destructive && !ctx.confirm(yes,
                                           std::string("Send ") + c->text + " to the register at " +
                                               ctx.host_label() + "? It cannot be undone.",
                                           std::string("command ") + c->word)) {
            ctx.err() << "veltra: not confirmed, nothing sent\n";
            return kExitFailure;
        }
        // The fingerprint before settles a lost answer. A register that
        // cannot be read is still sent the command, as the user asked; a
        // lost answer then stays unknown.
        const std::optional<Fingerprint> before = ctx.read_before();
        const std::int32_t r = ecr_command(ctx.host(), "", c->request, nullptr, 0);
        Reading after;
        if (Fingerprint fp; (after.failure = read_fingerprint(ctx.host(), fp)) == 0)
            after.fingerprint = fp;
        const Decision d =
            r == 0 ? decide_acknowledged(before, after) : decide_command(c->request, before, after);
        return ctx.finish_change("ecr_command", r, false,
                                 std::string(c->text) + " done on " + ctx.host_label(),
                                 {{"request", c->request}, {"command", c->text}}, d);
    }
};

struct FileGet {
    std::string name;
    std::string local;

    void declare(CLI::App& app) {
        app.add_option("NAME", name, "the register file, e.g. IVA.BIN")->required();
        app.add_option("LOCAL", local, "local file or directory (default: ./NAME)");
    }
    int run(Context& ctx) {
        if (name.find_first_of("/\\:") != std::string::npos)
            throw UsageError{"NAME is a register file name, not a path: " + name};
        std::string target = local.empty() ? name : local;
        if (std::filesystem::is_directory(target))
            target = (std::filesystem::path(target) / name).string();
        // The library names the register file after the local file, so the
        // get lands in the work directory first and the user's file is
        // replaced only by a whole one.
        WorkDir work;
        const std::string fetched = work.file(name);
        const std::int32_t r = ecr_command(ctx.host(), fetched.c_str(), 7, nullptr, 0);
        if (r == 0) move_file(fetched, target);
        return ctx.finish("ecr_command", r, false,
                          name + " saved as " + target + " (" +
                              std::to_string(ecr_file_size(target.c_str())) + " bytes)",
                          {{"register_file", name}, {"local", target}});
    }
};

struct FilePut {
    std::string local;

    void declare(CLI::App& app) {
        app.add_option("LOCAL", local, "the local file, named as the register file")->required();
    }
    int run(Context& ctx) {
        const std::int32_t r = ecr_command(ctx.host(), local.c_str(), 6, nullptr, 0);
        const std::string name(ecr_base_name(std::string_view(local)));
        const std::string hint =
            r == ERR_TRANSFER_FAILED
                ? "the register takes its files only in setup mode: veltra command setup-on first"
                : "";
        return ctx.finish("ecr_command", r, false,
                          local + " put to " + ctx.host_label() + " as " + name,
                          {{"register_file", name}, {"local", local}}, hint);
    }
};

}  // namespace

int status_command(Context& ctx) {
    Status c;
    return c.run(ctx);
}

std::optional<std::int32_t> register_command_request(std::string_view word) {
    for (const RegisterCommand& k : kRegisterCommands)
        if (word == k.word) return k.request;
    return std::nullopt;
}

int register_command(Context& ctx, const std::string& word) {
    if (!register_command_request(word)) throw UsageError{"no register command " + word};
    SendCommand c{word, true};
    return c.run(ctx);
}

std::vector<Command> register_commands() {
    return {
        command<Ping>({"ping"}, "check that the register answers (ICMP echo, up to three tries)",
                      "ecr_ping", "veltra --host 192.168.1.20 ping --seconds 2"),
        command<Status>(
            {"status"}, "the register's state, host connection, generation and info variables",
            "ecr_get_info, ecr_get_status_new", "veltra --host 192.168.1.20 status --json"),
        command<SendCommand>({"command"},
                             "send one of the register's commands (the resets ask first)",
                             "ecr_command requests 1-5, 8, 9",
                             "veltra --host 192.168.1.20 command azzven-corr --yes"),
        command<FileGet>({"file", "get"}, "get a register file (one of ecr_files_list) into LOCAL",
                         "ecr_command request 7",
                         "veltra --host 192.168.1.20 file get IVA.BIN iva.bin"),
        command<FilePut>({"file", "put"},
                         "put LOCAL to the register under its base name (one of ecr_files_list)",
                         "ecr_command request 6", "veltra --host 192.168.1.20 file put IVA.BIN"),
    };
}

}  // namespace veltra::tool
