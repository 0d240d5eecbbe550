// The store a journal or sales-history test runs on: SQLite's journal.db in
// a scratch state folder, or a schema of its own in a PostgreSQL server the
// test program starts once (Debian's, in a scratch folder) and stops at its
// end. raw_text and raw_exec reach the rows past the program's code, as a
// person with the sqlite3 or psql tool would.
#pragma once

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <atomic>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "store_db.hpp"
#include "test_support.hpp"
#ifdef VELTRA_WITH_POSTGRESQL
#include "pg.hpp"
#include "private_postgres.hpp"
#endif

namespace veltra::test {

enum class StoreKind { sqlite, postgresql };

inline std::vector<StoreKind> store_kinds() {
#ifdef VELTRA_WITH_POSTGRESQL
    return {StoreKind::sqlite, StoreKind::postgresql};
#else
    return {StoreKind::sqlite};
#endif
}

inline std::string store_kind_name(const ::testing::TestParamInfo<StoreKind>& info) {
    return info.param == StoreKind::sqlite ? "SQLite" : "PostgreSQL";
}

#ifdef VELTRA_WITH_POSTGRESQL
// One server for the whole test program, started at its first use, in a
// folder of its own rather than in the TEMP of the test that first asks
// (which goes with that test).
inline PrivatePostgres& shared_postgres() {
    static const std::unique_ptr<PrivatePostgres> server = [] {
        const EnvVar temp("TEMP", std::nullopt);
        return std::make_unique<PrivatePostgres>();
    }();
    return *server;
}
#endif

class TestStore {
public:
    // False, with why_not() set, when the kind cannot run here.
    bool use(StoreKind kind, const std::filesystem::path& state_dir) {
        kind_ = kind;
        state_dir_ = state_dir;
        if (kind == StoreKind::sqlite) return true;
#ifdef VELTRA_WITH_POSTGRESQL
        if (!shared_postgres().started()) {
            why_ = shared_postgres().why_not();
            return false;
        }
        static std::atomic<int> next{0};
        schema_ = "t" + std::to_string(++next);
        return true;
#else
        why_ = "no PostgreSQL client in this build";
        return false;
#endif
    }
    const std::string& why_not() const {
        return why_;
    }
    StoreKind kind() const {
        return kind_;
    }

    tool::serve::StoreLocation location() const {
#ifdef VELTRA_WITH_POSTGRESQL
        if (kind_ == StoreKind::postgresql)
            return {state_dir_, shared_postgres().conninfo(), schema_};
#endif
        return {state_dir_, {}, {}};
    }
    // The options of a veltra command that reads this store.
    std::vector<std::string> tool_options() const {
        if (kind_ == StoreKind::sqlite) return {"--state-dir", state_dir_.string()};
        return service_options();
    }

    // The options that put a service's journal in this store (none: the
    // state folder's journal.db).
    std::vector<std::string> service_options() const {
        if (kind_ == StoreKind::sqlite) return {};
        const auto where = location();
        return {"--store", where.postgresql, "--store-schema", where.schema};
    }

    // The first field of the first row, "" when none.
    std::string raw_text(const std::string& sql) {
        std::string out;
        run(sql, &out);
        return out;
    }
    // The database's message, "" when the statements ran.
    std::string raw_exec(const std::string& sql) {
        return run(sql, nullptr);
    }

private:
    std::string run(const std::string& sql, std::string* first) {
#ifdef VELTRA_WITH_POSTGRESQL
        if (kind_ == StoreKind::postgresql) {
            try {
                tool::serve::pg::Connection c(shared_postgres().conninfo());
                c.run_script("SET search_path TO " + schema_);
                if (first == nullptr) {
                    c.run_script(sql);
                } else {
                    const auto r = c.exec(sql);
                    if (r.rows() > 0) *first = r.text(0, 0);
                }
                return "";
            } catch (const tool::serve::pg::PgError& e) {
                return e.what();
            }
        }
#endif
        sqlite3* db = nullptr;
        const std::string file = (state_dir_ / "journal.db").string();
        if (sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
            sqlite3_close_v2(db);
            return "cannot open " + file;
        }
        std::string message;
        if (first == nullptr) {
            char* text = nullptr;
            if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &text) != SQLITE_OK)
                message = text ? text : "failed";
            sqlite3_free(text);
        } else {
            sqlite3_stmt* stmt = nullptr;
            if (sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr) == SQLITE_OK &&
                sqlite3_step(stmt) == SQLITE_ROW) {
                const auto* p = sqlite3_column_text(stmt, 0);
                if (p) *first = reinterpret_cast<const char*>(p);
            }
            sqlite3_finalize(stmt);
        }
        sqlite3_close_v2(db);
        return message;
    }

    StoreKind kind_ = StoreKind::sqlite;
    std::filesystem::path state_dir_;
    std::string schema_;
    std::string why_;
};

}  // namespace veltra::test
