// What the state folder's SQLite database is used through: prepared
// statements made once, transactions that roll back unless committed, and
// one error type for every failure of the database.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

struct sqlite3;
struct sqlite3_stmt;

namespace veltra::tool::serve {

// A failure of the database (cannot open, disk full, a newer schema).
class JournalError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

[[noreturn]] void fail(sqlite3* db, const std::string& what);
void exec(sqlite3* db, const char* sql);

// A prepared statement, made once. A Use binds it, steps it and resets it
// when it goes out of scope, so that the next user finds it clean.
class Statement {
public:
    Statement(sqlite3* db, const std::string& sql);
    ~Statement();
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    class Use {
    public:
        explicit Use(Statement& s) : s_(s) {}
        ~Use();
        Use(const Use&) = delete;
        Use& operator=(const Use&) = delete;

        Use& bind(int i, std::string_view v);
        Use& bind(int i, const std::string& v) { return bind(i, std::string_view(v)); }
        Use& bind(int i, const char* v) { return bind(i, std::string_view(v)); }
        Use& bind(int i, std::int64_t v);
        Use& bind(int i, std::int32_t v) { return bind(i, std::int64_t{v}); }
        Use& bind(int i, double v);
        Use& bind_blob(int i, std::string_view bytes);
        Use& bind_null(int i);
        template <class T>
        Use& bind(int i, const std::optional<T>& v) {
            if (v) return bind(i, *v);
            return bind_null(i);
        }
        // True while there is a row to read.
        bool step();
        void run() {
            while (step()) {
            }
        }
        std::string text(int i) const;
        std::int64_t integer(int i) const;
        double real(int i) const;
        bool is_null(int i) const;
        int changes() const;

    private:
        void check(int rc);
        Statement& s_;
    };

private:
    sqlite3* db_;
    sqlite3_stmt* stmt_ = nullptr;
};

// BEGIN IMMEDIATE takes the write lock at once, so that a check and the
// write after it see the same database. Rolled back unless committed.
class Transaction {
public:
    explicit Transaction(sqlite3* db) : db_(db) { exec(db_, "BEGIN IMMEDIATE"); }
    ~Transaction();
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;
    void commit() {
        exec(db_, "COMMIT");
        done_ = true;
    }

private:
    sqlite3* db_;
    bool done_ = false;
};

}  // namespace veltra::tool::serve
