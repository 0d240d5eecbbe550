// The store on SQLite's C interface: the state folder's journal.db.
#include <sqlite3.h>

#include "store_db.hpp"

namespace veltra::tool::serve {
namespace {

[[noreturn]] void fail(sqlite3* db, const std::string& what) {
    throw JournalError("journal: " + what + ": " + (db ? sqlite3_errmsg(db) : "out of memory"));
}

void run(sqlite3* db, const char* sql) {
    char* message = nullptr;
    if (sqlite3_exec(db, sql, nullptr, nullptr, &message) != SQLITE_OK) {
        const std::string text = message ? message : sqlite3_errmsg(db);
        sqlite3_free(message);
        throw JournalError("journal: " + text);
    }
}

class SqliteCursor final : public Db::Cursor {
public:
    SqliteCursor(sqlite3* db, const std::string& sql) : db_(db) {
        if (sqlite3_prepare_v3(db, sql.c_str(), static_cast<int>(sql.size()),
                               SQLITE_PREPARE_PERSISTENT, &stmt_, nullptr) != SQLITE_OK)
            fail(db, "cannot prepare " + sql);
    }
    ~SqliteCursor() override { sqlite3_finalize(stmt_); }
    SqliteCursor(const SqliteCursor&) = delete;
    SqliteCursor& operator=(const SqliteCursor&) = delete;

    void bind_text(int i, std::string_view v) override {
        check(sqlite3_bind_text(stmt_, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT));
    }
    void bind_integer(int i, std::int64_t v) override { check(sqlite3_bind_int64(stmt_, i, v)); }
    void bind_real(int i, double v) override { check(sqlite3_bind_double(stmt_, i, v)); }
    void bind_blob(int i, std::string_view bytes) override {
        check(sqlite3_bind_blob64(stmt_, i, bytes.data(), bytes.size(), SQLITE_TRANSIENT));
    }
    void bind_null(int i) override { check(sqlite3_bind_null(stmt_, i)); }

    bool step() override {
        const int rc = sqlite3_step(stmt_);
        if (rc == SQLITE_ROW) return true;
        if (rc == SQLITE_DONE) return false;
        fail(db_, "cannot step " + std::string(sqlite3_sql(stmt_)));
    }

    std::string text(int i) const override {
        // Blobs read the same way: the bytes as they were stored.
        const void* p = sqlite3_column_type(stmt_, i) == SQLITE_BLOB
                            ? sqlite3_column_blob(stmt_, i)
                            : static_cast<const void*>(sqlite3_column_text(stmt_, i));
        return p ? std::string(static_cast<const char*>(p),
                               static_cast<std::size_t>(sqlite3_column_bytes(stmt_, i)))
                 : std::string();
    }
    std::int64_t integer(int i) const override { return sqlite3_column_int64(stmt_, i); }
    double real(int i) const override { return sqlite3_column_double(stmt_, i); }
    bool is_null(int i) const override { return sqlite3_column_type(stmt_, i) == SQLITE_NULL; }
    std::int64_t changes() const override { return sqlite3_changes(db_); }
    void reset() override {
        sqlite3_reset(stmt_);
        sqlite3_clear_bindings(stmt_);
    }

private:
    void check(int rc) {
        if (rc != SQLITE_OK) fail(db_, "cannot bind a value");
    }
    sqlite3* db_;
    sqlite3_stmt* stmt_ = nullptr;
};

class SqliteDb final : public Db {
public:
    SqliteDb(const std::filesystem::path& file, bool read_only) : file_(file) {
        const int flags =
            read_only ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE;
        // SQLite takes UTF-8 names on every platform.
        const std::u8string name = file.u8string();
        const int rc = sqlite3_open_v2(reinterpret_cast<const char*>(name.c_str()), &db_,
                                       flags | SQLITE_OPEN_FULLMUTEX, nullptr);
        if (rc != SQLITE_OK) {
            const std::string why = db_ ? sqlite3_errmsg(db_) : "out of memory";
            sqlite3_close_v2(db_);
            throw JournalError("journal: cannot open " + file.string() + ": " + why);
        }
        // Another process (veltra audit, a second service) may hold the
        // lock a moment; wait for it rather than fail.
        sqlite3_busy_timeout(db_, 5000);
    }
    ~SqliteDb() override { sqlite3_close_v2(db_); }
    SqliteDb(const SqliteDb&) = delete;
    SqliteDb& operator=(const SqliteDb&) = delete;

    Dialect dialect() const override { return Dialect::sqlite; }
    std::string where() const override { return file_.string(); }
    std::unique_ptr<Cursor> prepare(const std::string& sql) override {
        return std::make_unique<SqliteCursor>(db_, sql);
    }
    void exec(const std::string& script) override { run(db_, script.c_str()); }
    void begin() override { run(db_, "BEGIN IMMEDIATE"); }
    void commit() override { run(db_, "COMMIT"); }
    void rollback() noexcept override { sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr); }
    int schema_version() override {
        SqliteCursor c(db_, "PRAGMA user_version");
        return c.step() ? static_cast<int>(c.integer(0)) : 0;
    }
    void set_schema_version(int version) override {
        run(db_, ("PRAGMA user_version = " + std::to_string(version)).c_str());
    }

private:
    std::filesystem::path file_;
    sqlite3* db_ = nullptr;
};

}  // namespace

std::unique_ptr<Db> open_sqlite(const std::filesystem::path& file, bool read_only) {
    return std::make_unique<SqliteDb>(file, read_only);
}

#ifdef VELTRA_WITH_POSTGRESQL
std::unique_ptr<Db> open_postgresql(const StoreLocation& where, StoreUse use);  // store_postgresql
#else
bool postgresql_store_available() {
    return false;
}
#endif

std::unique_ptr<Db> open_store(const StoreLocation& where, StoreUse use) {
    if (where.is_postgresql()) {
#ifdef VELTRA_WITH_POSTGRESQL
        return open_postgresql(where, use);
#else
        throw JournalError(
            "journal: this build keeps no rows in PostgreSQL (built without libpq); "
            "leave out store and the journal is the state folder's journal.db");
#endif
    }
    return open_sqlite(where.state_dir / "journal.db", use == StoreUse::journal_read_only);
}

std::string StoreLocation::describe() const {
    if (is_postgresql()) return "schema " + schema + " of the PostgreSQL database";
    return (state_dir / "journal.db").string();
}

}  // namespace veltra::tool::serve
