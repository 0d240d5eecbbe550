// Prepared statements and transactions over SQLite's C interface.
#include "sqlite_util.hpp"

#include <sqlite3.h>

namespace veltra::tool::serve {

void fail(sqlite3* db, const std::string& what) {
    throw JournalError("journal: " + what + ": " + (db ? sqlite3_errmsg(db) : "out of memory"));
}

void exec(sqlite3* db, const char* sql) {
    char* message = nullptr;
    if (sqlite3_exec(db, sql, nullptr, nullptr, &message) != SQLITE_OK) {
        const std::string text = message ? message : sqlite3_errmsg(db);
        sqlite3_free(message);
        throw JournalError("journal: " + text);
    }
}

Statement::Statement(sqlite3* db, const std::string& sql) : db_(db) {
    if (sqlite3_prepare_v3(db, sql.c_str(), static_cast<int>(sql.size()), SQLITE_PREPARE_PERSISTENT,
                           &stmt_, nullptr) != SQLITE_OK)
        fail(db, "cannot prepare " + sql);
}

Statement::~Statement() {
    sqlite3_finalize(stmt_);
}

Statement::Use::~Use() {
    sqlite3_reset(s_.stmt_);
    sqlite3_clear_bindings(s_.stmt_);
}

Statement::Use& Statement::Use::bind(int i, std::string_view v) {
    check(sqlite3_bind_text(s_.stmt_, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT));
    return *this;
}

Statement::Use& Statement::Use::bind(int i, std::int64_t v) {
    check(sqlite3_bind_int64(s_.stmt_, i, v));
    return *this;
}

Statement::Use& Statement::Use::bind(int i, double v) {
    check(sqlite3_bind_double(s_.stmt_, i, v));
    return *this;
}

Statement::Use& Statement::Use::bind_blob(int i, std::string_view bytes) {
    check(sqlite3_bind_blob64(s_.stmt_, i, bytes.data(), bytes.size(), SQLITE_TRANSIENT));
    return *this;
}

Statement::Use& Statement::Use::bind_null(int i) {
    check(sqlite3_bind_null(s_.stmt_, i));
    return *this;
}

bool Statement::Use::step() {
    const int rc = sqlite3_step(s_.stmt_);
    if (rc == SQLITE_ROW) return true;
    if (rc == SQLITE_DONE) return false;
    fail(s_.db_, "cannot step " + std::string(sqlite3_sql(s_.stmt_)));
}

std::string Statement::Use::text(int i) const {
    // Blobs read the same way: the bytes as they were stored.
    const void* p = sqlite3_column_type(s_.stmt_, i) == SQLITE_BLOB
                        ? sqlite3_column_blob(s_.stmt_, i)
                        : static_cast<const void*>(sqlite3_column_text(s_.stmt_, i));
    return p ? std::string(static_cast<const char*>(p),
                           static_cast<std::size_t>(sqlite3_column_bytes(s_.stmt_, i)))
             : std::string();
}

std::int64_t Statement::Use::integer(int i) const {
    return sqlite3_column_int64(s_.stmt_, i);
}

double Statement::Use::real(int i) const {
    return sqlite3_column_double(s_.stmt_, i);
}

bool Statement::Use::is_null(int i) const {
    return sqlite3_column_type(s_.stmt_, i) == SQLITE_NULL;
}

int Statement::Use::changes() const {
    return sqlite3_changes(s_.db_);
}

void Statement::Use::check(int rc) {
    if (rc != SQLITE_OK) fail(s_.db_, "cannot bind a value");
}

Transaction::~Transaction() {
    if (!done_) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
}

}  // namespace veltra::tool::serve
