// `veltra demo [DIR]`: a simulated register started in process on free
// loopback ports, and a tour of the library's families against it, each
// step with its result and time. The files the tour makes stay in DIR.
#include <CLI/CLI.hpp>
#include <array>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <ostream>
#include <sstream>

#include "command_table.hpp"
#include "display_text.hpp"
#include "failure.hpp"
#include "internal.hpp"
#include "key_table.hpp"
#include "register_state.hpp"
#include "releases.hpp"
#include "simulator.hpp"
#include "veltra.h"
#include "work_dir.hpp"

namespace veltra::tool {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr const char* kHost = "127.0.0.1";
// The edit: department 1 gets another name.
constexpr int kEditedDepartment = 1;
constexpr const char* kEditedName = "DEMO VELTRA";
// The sale: 12,50 keyed in cents on department 2, then TOTALE.
constexpr int kSaleDepartment = 2;
constexpr std::int32_t kSaleCents = 1250;
constexpr std::uint32_t kDisplayWaitMs = 3000;

// A step that cannot go on: the one line saying why.
struct StepFailure {
    std::string line;
};

std::int32_t check(const char* function, std::int32_t result) {
    if (result < 0) throw StepFailure{failure_line(function, result, failure_hint(result, kHost))};
    return result;
}

[[noreturn]] void fail(const std::string& why) {
    throw StepFailure{"veltra: demo: " + why};
}

// Sets an environment variable for the tour and puts back what was there.
class EnvOverride {
public:
    EnvOverride(const char* name, const std::string& value)
        : name_(name), before_(sys::env_get(name)) {
        sys::env_set(name_, value);
    }
    ~EnvOverride() { sys::env_set(name_, before_); }
    EnvOverride(const EnvOverride&) = delete;
    EnvOverride& operator=(const EnvOverride&) = delete;

private:
    const char* name_;
    std::optional<std::string> before_;
};

std::vector<std::string> split(const std::string& line, char sep) {
    std::vector<std::string> fields;
    std::string field;
    std::istringstream in(line);
    while (std::getline(in, field, sep)) fields.push_back(field);
    if (!line.empty() && line.back() == sep) fields.emplace_back();
    return fields;
}

std::string join(const std::vector<std::string>& fields, char sep) {
    std::string line;
    for (std::size_t i = 0; i < fields.size(); ++i)
        line += (i ? std::string(1, sep) : "") + fields[i];
    return line;
}

// The lines of a CSV the library wrote (LF or CR LF ends).
std::vector<std::string> csv_lines(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) fail("cannot read " + path.string());
    std::vector<std::string> lines;
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
    }
    return lines;
}

// Written as text, as the library writes its CSV (CR LF on Windows).
void write_lines(const fs::path& path, const std::vector<std::string>& lines) {
    std::ofstream out(path, std::ios::trunc);
    for (const std::string& l : lines) out << l << "\n";
    if (!out.flush()) fail("cannot write " + path.string());
}

// The row of a CSV whose first field (the record number) is id.
std::size_t row_of(const std::vector<std::string>& lines, int id, const fs::path& path) {
    for (std::size_t i = 1; i < lines.size(); ++i) {
        if (lines[i].substr(0, lines[i].find(';')) == std::to_string(id)) return i;
    }
    fail(path.string() + " has no record " + std::to_string(id));
}

std::size_t column_of(const std::vector<std::string>& lines, const std::string& name,
                      const fs::path& path) {
    const std::vector<std::string> header =
        lines.empty() ? std::vector<std::string>{} : split(lines.front(), ';');
    for (std::size_t i = 0; i < header.size(); ++i) {
        if (header[i] == name) return i;
    }
    fail(path.string() + " has no column " + name);
}

std::string euros(std::int64_t cents) {
    char text[32];
    std::snprintf(text, sizeof text, "%lld,%02lld", static_cast<long long>(cents / 100),
                  static_cast<long long>(cents % 100));
    return text;
}

std::string seconds_text(double seconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%.2f s", seconds);
    return text;
}

// One TCP connection to the register, as DELPAD opens its two.
class Connection {
public:
    Connection(std::uint16_t port, const char* what) {
        std::uint32_t addr = 0;
        parse_dotted(kHost, addr);
        int error = 0;
        id_ = sys::tcp_open(error);
        if (id_ < 0) fail(std::string("no socket for the ") + what + " connection");
        if (sys::tcp_connect(id_, addr, port, 0) != 0 || sys::tcp_set_timeouts(id_, 200, 2000) != 0)
            fail(std::string("cannot connect the ") + what + " connection to " + kHost + ":" +
                 std::to_string(port));
    }
    ~Connection() {
        if (id_ >= 0) sys::tcp_close(id_);
    }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    void send(const std::string& bytes) {
        const auto io = sys::tcp_send(
            id_, std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()));
        if (io.status != sys::TcpStatus::kDone) fail("the register does not take the key presses");
    }
    // What arrived within one receive time-out ("" for none).
    std::string receive() {
        std::uint8_t buf[512];
        const auto io = sys::tcp_recv(id_, buf);
        if (io.status == sys::TcpStatus::kDone)
            return std::string(reinterpret_cast<const char*>(buf), io.bytes);
        if (io.status == sys::TcpStatus::kTimedOut) return "";
        fail("the register closed the display connection");
    }

private:
    std::int32_t id_ = -1;
};

class Tour;

struct DemoStep {
    std::string name;
    std::string calls;
    std::function<void(Tour&)> run;
};

// What a run is given on its command line.
struct DemoSetup {
    std::string dir;
    std::vector<ecrsim::TftpFault> faults;
};

class Tour {
public:
    Tour(Context& ctx, fs::path dir, ecrsim::Register& reg)
        : ctx_(ctx), dir_(std::move(dir)), reg_(reg) {}

    // Runs the steps in order; each failure is reported and the rest still run.
    // With --json the text goes nowhere and one object ends the run.
    int run(const std::vector<DemoStep>& steps) {
        const Clock::time_point start = Clock::now();
        std::size_t passed = 0;
        std::string failed;
        nlohmann::json results = nlohmann::json::array();
        for (std::size_t i = 0; i < steps.size(); ++i) {
            const DemoStep& s = steps[i];
            out() << i + 1 << "/" << steps.size() << " " << s.name << " [" << s.calls << "]\n"
                  << std::flush;
            const Clock::time_point at = Clock::now();
            std::optional<std::string> failure;
            try {
                s.run(*this);
            } catch (const StepFailure& f) {
                failure = f.line;
            } catch (const std::exception& e) {
                failure = std::string("veltra: demo: ") + e.what();
            }
            if (failure) ctx_.err() << *failure << "\n" << std::flush;
            const double seconds = std::chrono::duration<double>(Clock::now() - at).count();
            out() << "    " << (failure ? "FAILED" : "ok") << "  " << seconds_text(seconds) << "\n"
                  << std::flush;
            results.push_back({{"name", s.name},
                               {"calls", s.calls},
                               {"ok", !failure},
                               {"seconds", seconds},
                               {"failure", failure ? nlohmann::json(*failure) : nullptr}});
            if (!failure) {
                ++passed;
            } else {
                failed += (failed.empty() ? "" : ", ") + s.name;
            }
        }
        const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        out() << "veltra demo: " << passed << " of " << steps.size() << " steps ok"
              << (failed.empty() ? "" : "; failed: " + failed) << "; " << seconds_text(seconds)
              << " in all; files in " << dir_.string() << "\n";
        if (ctx_.json) {
            const nlohmann::json j = {{"dir", dir_.string()},
                                      {"steps", results},
                                      {"passed", passed},
                                      {"failed", steps.size() - passed},
                                      {"seconds", seconds}};
            ctx_.out() << j.dump(2) << "\n";
        }
        return passed == steps.size() ? kExitOk : kExitFailure;
    }

    // The tour's text: stdout, or nowhere with --json.
    std::ostream& out() { return ctx_.json ? discard_ : ctx_.out(); }
    void say(const std::string& text) { out() << "    " << text << "\n" << std::flush; }
    std::string file(const std::string& name) const { return (dir_ / name).string(); }
    const fs::path& dir() const { return dir_; }
    ecrsim::Register& reg() { return reg_; }

    // What the sale step leaves for the sales step.
    std::optional<std::int64_t> sale_total;

private:
    Context& ctx_;
    fs::path dir_;
    ecrsim::Register& reg_;
    std::ostringstream discard_;
};

void status_step(Tour& t) {
    std::array<char, kInfoAnswerSize> org{}, mod{};
    VarList vars{};
    check("ecr_get_info", ecr_get_info(kHost, org.data(), mod.data(), vars.data()));
    char stato[2] = {}, conn[2] = {};
    check("ecr_get_status_new", ecr_get_status_new(kHost, stato, conn));
    t.say(std::string("state ") + stato + (std::string(stato) == "I" ? " (free)" : "") +
          ", host connection " + conn + ", version " + vars[kInfoVersion] + ", bitmap " +
          vars[kInfoBitmapType] + ", release " + vars[kInfoReleaseName]);
}

void plu_step(Tour& t) {
    const std::string csv = t.file("plu.csv");
    const std::int32_t rows = check("ecr_recv_plu_all", ecr_recv_plu_all(kHost, csv.c_str()));
    t.say(std::to_string(rows) + " articles written to " + csv);
}

void department_step(Tour& t) {
    const std::string before = t.file("reparti.csv");
    const std::string edited = t.file("reparti-edited.csv");
    const std::string after = t.file("reparti-after.csv");
    check("ecr_recv_reparti_all", ecr_recv_reparti_all(kHost, before.c_str()));
    std::vector<std::string> lines = csv_lines(before);
    const std::size_t row = row_of(lines, kEditedDepartment, before);
    std::vector<std::string> fields = split(lines[row], ';');
    const std::size_t name = column_of(lines, "descr", before);
    t.say("department " + std::to_string(kEditedDepartment) + " was: " + lines[row]);
    fields.at(name) = kEditedName;
    lines[row] = join(fields, ';');
    write_lines(edited, lines);
    const std::int32_t applied = check("ecr_send_reparti", ecr_send_reparti(kHost, edited.c_str()));
    t.say(std::to_string(applied) + " lines of " + edited + " uploaded");
    check("ecr_recv_reparti_all", ecr_recv_reparti_all(kHost, after.c_str()));
    const std::vector<std::string> back = csv_lines(after);
    const std::string& now = back.at(row_of(back, kEditedDepartment, after));
    t.say("department " + std::to_string(kEditedDepartment) + " now: " + now);
    if (split(now, ';').at(name) != kEditedName)
        fail("the register's department " + std::to_string(kEditedDepartment) +
             " does not carry the edited name");
}

// The key codes of a sale as DELPAD sends them: the amount's digits, the
// department key, TOTALE.
std::vector<const delpad::KeySpec*> sale_keys() {
    std::vector<const delpad::KeySpec*> keys;
    for (char digit : std::to_string(kSaleCents)) keys.push_back(delpad::key_for_char(digit));
    keys.push_back(delpad::find_key(delpad::department_name(kSaleDepartment)));
    keys.push_back(delpad::find_key("TOTALE"));
    return keys;
}

// A key as the demo names it: the digit, "REPARTO n", or the caption's first word.
std::string key_label(const delpad::KeySpec& k) {
    if (k.family == delpad::KeyFamily::digit) return k.caption.substr(0, 1);
    if (k.name == delpad::department_name(kSaleDepartment)) return k.caption;
    return k.caption.substr(0, k.caption.find(' '));
}

void sale_step(Tour& t) {
    const auto book = t.reg().sales().departments;
    const auto found = book.find(kSaleDepartment);
    const std::int64_t before = found == book.end() ? 0 : found->second.amount;
    // DELPAD's two connections: display (DATA) and key presses (SEND, the
    // raw channel's port).
    Connection display(t.reg().keyboard_port(), "display");
    Connection keys(line_port(), "key");
    std::string sent;
    for (const delpad::KeySpec* k : sale_keys()) {
        keys.send(delpad::key_message(k->code));
        sent += (sent.empty() ? "" : " ") + key_label(*k) + " (" + k->code + ")";
    }
    t.say("keys pressed: " + sent);
    std::string stream;
    const Clock::time_point give_up = Clock::now() + std::chrono::milliseconds(kDisplayWaitMs);
    while (stream.find("TOTALE") == std::string::npos && Clock::now() < give_up)
        stream += display.receive();
    const std::size_t last = stream.rfind(ecrsim::kDisplayPrefix);
    if (stream.find("TOTALE") == std::string::npos || last == std::string::npos)
        fail("the register's display does not show TOTALE after the sale");
    std::string shown = delpad::display_text(std::string_view(stream).substr(last));
    while (!shown.empty() && (shown.back() == '\n' || shown.back() == '\r')) shown.pop_back();
    t.say("display: " + shown);
    t.sale_total = before + kSaleCents;
    t.say("department " + std::to_string(kSaleDepartment) + " today: " + euros(before) + " + " +
          euros(kSaleCents));
}

void sales_step(Tour& t) {
    const fs::path dir = t.dir() / "sales";
    fs::create_directories(dir);
    const std::int32_t days =
        check("ecr_recv_vend_corrente", ecr_recv_vend_corrente(kHost, dir.string().c_str()));
    if (days == 0) fail("the register reports no sales today");
    fs::path rep;
    for (const auto& e : fs::directory_iterator(dir)) {
        const std::string n = e.path().filename().string();
        if (n.rfind("VEND_REP_", 0) == 0) rep = e.path();
        if (n.rfind("VEND_", 0) == 0) t.say("written: " + e.path().string());
    }
    if (rep.empty()) fail("no department sales file in " + dir.string());
    const std::vector<std::string> lines = csv_lines(rep);
    const std::string& row = lines.at(row_of(lines, kSaleDepartment, rep));
    const std::string total = split(row, ';').at(column_of(lines, "totale_reparto", rep));
    t.say("department " + std::to_string(kSaleDepartment) + " in " + rep.filename().string() +
          ": totale_reparto " + total);
    if (!t.sale_total) {
        t.say("(no sale was keyed, nothing to compare)");
    } else if (total != std::to_string(*t.sale_total)) {
        fail("the day's sales of department " + std::to_string(kSaleDepartment) + " are " + total +
             ", not " + std::to_string(*t.sale_total) + " with the keyed sale");
    } else {
        t.say("the keyed sale of " + euros(kSaleCents) + " is in it");
    }
}

void backup_step(Tour& t) {
    const std::string archive = t.file("backup.dat");
    const fs::path members = t.dir() / "backup";
    check("ecr_dati_save", ecr_dati_save(archive.c_str(), kHost));
    t.say("saved " + archive + " (" + std::to_string(fs::file_size(archive)) + " bytes)");
    std::array<char, ECR_DATI_INFO_BUFSIZE> org{}, mod{};
    VarList vars{};
    check("ecr_dati_info", ecr_dati_info(archive.c_str(), org.data(), mod.data(), vars.data()));
    t.say(std::string("archive of version ") + vars[kInfoVersion] + ", bitmap " +
          vars[kInfoBitmapType] + ", release " + vars[kInfoReleaseName]);
    fs::create_directories(members);
    check("ecr_dati_extract", ecr_dati_extract(archive.c_str(), members.string().c_str()));
    std::size_t files = 0;
    for (const auto& e : fs::directory_iterator(members)) files += e.is_regular_file();
    t.say(std::to_string(files) + " files extracted into " + members.string());
}

void release_step(Tour& t) {
    char name[ECR_REL_TEXT_BUFSIZE], version[ECR_REL_TEXT_BUFSIZE], bitmap[ECR_REL_BITMAP_BUFSIZE];
    check("ecr_rel_info_cassa", ecr_rel_info_cassa(kHost, name, version, bitmap));
    t.say(std::string("the register runs ") + name + " " + version + ", bitmap " + bitmap);
    // The next version of the register's own release, made as the simulated
    // register's images are.
    const std::string next = ecrsim::next_version(version);
    ecrsim::ReleaseFields fields;
    fields.text = std::string(name) + " " + next;
    fields.bitmap = static_cast<unsigned char>(bitmap[0]);
    const std::string file = t.file(std::string(name) + "_" + next + ".BIN");
    const ecrsim::Bytes image = ecrsim::build_release(fields);
    {
        std::ofstream out(file, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(image.data()),
                  static_cast<std::streamsize>(image.size()));
        if (!out.flush()) fail("cannot write " + file);
    }
    check("ecr_rel_info_file", ecr_rel_info_file(file.c_str(), name, version, bitmap));
    t.say(file + " checked: " + name + " " + version + ", bitmap " + bitmap);
    check("ecr_rel_update", ecr_rel_update(file.c_str(), kHost));
    check("ecr_rel_info_cassa", ecr_rel_info_cassa(kHost, name, version, bitmap));
    t.say(std::string("installed: the register runs ") + name + " " + version);
    if (next != version) fail("the register still reports version " + std::string(version));
}

std::vector<DemoStep> demo_steps() {
    return {
        {"status", "ecr_get_info, ecr_get_status_new", status_step},
        {"PLU table to CSV", "ecr_recv_plu_all", plu_step},
        {"one department edited and uploaded",
         "ecr_recv_reparti_all, ecr_send_reparti, ecr_recv_reparti_all", department_step},
        {"a sale keyed on the register", "key codes on the raw channel's port", sale_step},
        {"the day's sales to CSV", "ecr_recv_vend_corrente", sales_step},
        {"backup saved, inspected, extracted", "ecr_dati_save, ecr_dati_info, ecr_dati_extract",
         backup_step},
        {"release checked and installed", "ecr_rel_info_cassa, ecr_rel_info_file, ecr_rel_update",
         release_step},
    };
}

int run_demo(Context& ctx, const DemoSetup& setup) {
    const fs::path dir = setup.dir.empty() ? fs::path("veltra-demo") : fs::path(setup.dir);
    std::error_code ec;
    if (fs::exists(dir, ec) && !fs::is_directory(dir, ec))
        throw UsageError{"DIR " + dir.string() + " is not a folder"};
    fs::create_directories(dir, ec);
    if (ec) {
        ctx.err() << "veltra: demo: cannot make the folder " << dir.string() << ": " << ec.message()
                  << "\n";
        return kExitFailure;
    }
    // The register's state is the demo's own, fresh each run.
    WorkDir state;
    std::ofstream log(dir / "ecrsim.log", std::ios::trunc);
    ecrsim::Options o;
    o.address = kHost;
    o.state_dir = state.dir();
    // A current register, seeded: 100000 articles, named departments, sales.
    o.layout = {ecrsim::Generation::Current, 'L'};
    o.seed = true;
    // A command keeps it busy briefly, so the day's sales wait one poll only.
    o.busy_ms = 200;
    o.record = false;
    o.log = [&log](const std::string& line) { log << line << "\n"; };
    std::unique_ptr<ecrsim::Register> reg;
    try {
        reg = std::make_unique<ecrsim::Register>(o);
    } catch (const std::exception& e) {
        ctx.err() << "veltra: demo: the simulated register does not start: " << e.what() << "\n";
        return kExitFailure;
    }
    for (const ecrsim::TftpFault& f : setup.faults) reg->add_fault(f);
    // The library reads its ports from the environment at each call.
    EnvOverride tftp(kTftpPortVariable, std::to_string(reg->tftp_port()));
    EnvOverride line(kLinePortVariable, std::to_string(reg->line_port()));
    if (!ctx.json)
        ctx.out() << "veltra demo: simulated register on " << kHost << " (TFTP port "
                  << reg->tftp_port() << ", line port " << reg->line_port() << ", display port "
                  << reg->keyboard_port() << "), files in " << dir.string() << "\n";
    Tour tour(ctx, dir, *reg);
    const int status = tour.run(demo_steps());
    reg->stop();
    return status;
}

struct Demo {
    std::string dir = "veltra-demo";
    std::vector<std::string> faults;

    void declare(CLI::App& app) {
        app.add_option("DIR", dir, "folder for the files the tour makes")->capture_default_str();
        app.add_option("--fault", faults,
                       "a fault the simulated register plays, as ecrsim's --fault "
                       "(error:1:1@PLU.BIN refuses the article table)");
        app.footer(
            "Steps: status; the PLU table (100000 articles) to CSV; department 1\n"
            "renamed in the CSV, uploaded and downloaded again; a sale keyed on\n"
            "department 2; the day's sales CSV; a backup saved, inspected and\n"
            "extracted; a release of the next version made, checked and installed.\n"
            "Exit status 0 when every step succeeds, else 1. --host does not apply:\n"
            "the demo talks only to its own register.");
    }
    int run(Context& ctx) {
        DemoSetup setup;
        setup.dir = dir;
        for (const std::string& text : faults) {
            const auto f = ecrsim::parse_tftp_fault(text);
            if (!f) throw UsageError{"not a fault: " + text};
            setup.faults.push_back(*f);
        }
        return run_demo(ctx, setup);
    }
};

}  // namespace

std::vector<Command> demo_commands() {
    return {
        command<Demo>({"demo"},
                      "start a simulated register on free ports and tour the library against it",
                      "ecrsim, embedded; status, tables, keys, sales, backup and release functions",
                      "veltra demo ./veltra-demo"),
    };
}

}  // namespace veltra::tool
