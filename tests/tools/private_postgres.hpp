// A PostgreSQL server of the test's own: Debian's initdb and pg_ctl make
// and start it in a scratch folder, listening on a Unix socket there and on
// no TCP port, with one superuser "veltra" trusted on that socket; it is
// stopped and removed at the end. The server refuses to run as root: a test
// run as root starts it as the user nobody.
#pragma once

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "test_support.hpp"

namespace veltra::test {

class PrivatePostgres {
public:
    // The folder of Debian's PostgreSQL programs (the newest version), or
    // nothing when none is installed.
    static std::optional<std::filesystem::path> bin_dir() {
        std::optional<std::filesystem::path> best;
        std::error_code ec;
        for (const auto& e : std::filesystem::directory_iterator("/usr/lib/postgresql", ec)) {
            const auto bin = e.path() / "bin";
            if (!std::filesystem::exists(bin / "initdb") ||
                !std::filesystem::exists(bin / "pg_ctl"))
                continue;
            if (!best || std::stoi(e.path().filename().string()) >
                             std::stoi(best->parent_path().filename().string()))
                best = bin;
        }
        return best;
    }

    // Makes and starts the server; started() says whether it did, and
    // why_not() why not.
    PrivatePostgres() {
        const auto bin = bin_dir();
        if (!bin) {
            why_ = "no PostgreSQL server installed (Debian: postgresql)";
            return;
        }
        bin_ = *bin;
        std::filesystem::permissions(dir_.path(), std::filesystem::perms::owner_all |
                                                      std::filesystem::perms::group_exec |
                                                      std::filesystem::perms::others_exec);
        std::filesystem::create_directory(data());
        if (geteuid() == 0) {
            as_ = "runuser -u nobody -- ";
            run("chown nobody " + quoted(data().string()));
        }
        if (run(as_ + quoted((bin_ / "initdb").string()) + " -D " + quoted(data().string()) +
                " -U veltra --auth=trust -E UTF8 --locale=C.UTF-8 -N >" +
                quoted(dir_.file("initdb.log")) + " 2>&1") != 0) {
            why_ = "initdb failed: see " + dir_.file("initdb.log");
            return;
        }
        if (!pg_ctl("start")) {
            why_ = "the server did not start";
            return;
        }
        started_ = true;
    }

    // Stops the server and starts it again: every connection to it breaks.
    bool restart() { return started_ && pg_ctl("-m fast restart"); }
    ~PrivatePostgres() {
        if (started_)
            run(as_ + quoted((bin_ / "pg_ctl").string()) + " -D " + quoted(data().string()) +
                " -m immediate -w stop >/dev/null 2>&1");
    }
    PrivatePostgres(const PrivatePostgres&) = delete;
    PrivatePostgres& operator=(const PrivatePostgres&) = delete;

    bool started() const { return started_; }
    const std::string& why_not() const { return why_; }

    // libpq's address of a database on this server.
    std::string conninfo(const std::string& database = "postgres") const {
        return "host=" + data().string() + " user=veltra dbname=" + database;
    }
    // Makes a database of its own for one test.
    std::string new_database(const std::string& name) {
        run(quoted((bin_ / "createdb").string()) + " -h " + quoted(data().string()) +
            " -U veltra " + name);
        return conninfo(name);
    }

private:
    // No TCP port, the socket in the data folder, no fsync (a test's data
    // need not outlive a crash of the machine).
    bool pg_ctl(const std::string& what) {
        const std::string options = "-k " + data().string() + " -c listen_addresses= -F";
        return run(as_ + quoted((bin_ / "pg_ctl").string()) + " -D " + quoted(data().string()) +
                   " -o " + quoted(options) + " -w -t 60 -l " + quoted((data() / "log").string()) +
                   " " + what + " >/dev/null 2>&1") == 0;
    }
    std::filesystem::path data() const { return dir_.path() / "data"; }
    static std::string quoted(const std::string& s) { return "'" + s + "'"; }
    static int run(const std::string& command) { return std::system(command.c_str()); }

    TempDir dir_;
    std::filesystem::path bin_;
    std::string as_;
    std::string why_;
    bool started_ = false;
};

}  // namespace veltra::test
