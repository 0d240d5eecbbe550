// What the journal and the sales history keep their rows through: one
// connection to a database, SQLite's file in the state folder or a
// PostgreSQL database, behind one interface, so that the code above it is the
// same for both. Statements are written once, in the SQL both take: ?1, ?2…
// for parameters, ON CONFLICT for upserts, window functions rather than
// SQLite's bare columns beside max(). What differs (the schema's types, the
// pragmas) is asked of dialect().
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace veltra::tool::serve {

// A failure of the database (cannot open, disk full, a newer schema).
class JournalError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

enum class Dialect { sqlite, postgresql };

// One connection. Not shared between threads without a lock of the user's.
class Db {
public:
    // One use of a prepared statement: parameters bound from 1, then rows
    // stepped through; reset() makes it ready for the next use.
    class Cursor {
    public:
        virtual ~Cursor() = default;
        virtual void bind_text(int i, std::string_view v) = 0;
        virtual void bind_integer(int i, std::int64_t v) = 0;
        virtual void bind_real(int i, double v) = 0;
        virtual void bind_blob(int i, std::string_view bytes) = 0;
        virtual void bind_null(int i) = 0;
        // True while there is a row to read.
        virtual bool step() = 0;
        // Text or bytes as stored; a NULL reads as empty, or 0.
        virtual std::string text(int i) const = 0;
        virtual std::int64_t integer(int i) const = 0;
        virtual double real(int i) const = 0;
        virtual bool is_null(int i) const = 0;
        // The rows the last INSERT, UPDATE or DELETE touched.
        virtual std::int64_t changes() const = 0;
        virtual void reset() = 0;
    };

    virtual ~Db() = default;
    virtual Dialect dialect() const = 0;
    // Where the rows are, for messages: a file, or a database's schema.
    virtual std::string where() const = 0;
    virtual std::unique_ptr<Cursor> prepare(const std::string& sql) = 0;
    // Statements of our own separated by semicolons, without parameters.
    virtual void exec(const std::string& script) = 0;
    // A transaction that holds the database's write lock from its start
    // (SQLite: BEGIN IMMEDIATE), so that a check and the write after it see
    // the same rows.
    virtual void begin() = 0;
    virtual void commit() = 0;
    virtual void rollback() noexcept = 0;
    // The schema's version this program keeps with the rows (0: none yet).
    virtual int schema_version() = 0;
    virtual void set_schema_version(int version) = 0;
};

// Where a service keeps its rows: SQLite's journal.db in the state folder,
// or, with postgresql set, that database (libpq's postgresql://… or
// key=value pairs), in its own schema (namespace) of that database.
struct StoreLocation {
    std::filesystem::path state_dir;
    std::string postgresql;
    std::string schema = "veltra_journal";

    bool is_postgresql() const { return !postgresql.empty(); }
    // "journal.db in DIR" or "schema S of the PostgreSQL database".
    std::string describe() const;
};

enum class StoreUse {
    journal,            // read and written by the one service that owns it
    journal_read_only,  // read by a tool while the service may run
    history,            // a second connection of the owning service
};

// Opens the store's database. A journal in PostgreSQL holds its schema for
// the connection's life: a second service given the same schema is refused,
// since it would take the first one's jobs for its own.
std::unique_ptr<Db> open_store(const StoreLocation& where, StoreUse use);
std::unique_ptr<Db> open_sqlite(const std::filesystem::path& file, bool read_only);
// True when this build can keep rows in PostgreSQL.
bool postgresql_store_available();

// Statements the caller runs once (a schema).
inline void exec(Db& db, const std::string& sql) {
    db.exec(sql);
}

// A prepared statement, made once. A Use binds it, steps it and resets it
// when it goes out of scope, so that the next user finds it clean.
class Statement {
public:
    Statement(Db& db, const std::string& sql) : cursor_(db.prepare(sql)) {}
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    class Use {
    public:
        explicit Use(Statement& s) : c_(*s.cursor_) {}
        ~Use() { c_.reset(); }
        Use(const Use&) = delete;
        Use& operator=(const Use&) = delete;

        Use& bind(int i, std::string_view v) {
            c_.bind_text(i, v);
            return *this;
        }
        Use& bind(int i, const std::string& v) { return bind(i, std::string_view(v)); }
        Use& bind(int i, const char* v) { return bind(i, std::string_view(v)); }
        Use& bind(int i, std::int64_t v) {
            c_.bind_integer(i, v);
            return *this;
        }
        Use& bind(int i, std::int32_t v) { return bind(i, std::int64_t{v}); }
        Use& bind(int i, double v) {
            c_.bind_real(i, v);
            return *this;
        }
        Use& bind_blob(int i, std::string_view bytes) {
            c_.bind_blob(i, bytes);
            return *this;
        }
        Use& bind_null(int i) {
            c_.bind_null(i);
            return *this;
        }
        template <class T>
        Use& bind(int i, const std::optional<T>& v) {
            if (v) return bind(i, *v);
            return bind_null(i);
        }
        bool step() { return c_.step(); }
        void run() {
            while (step()) {
            }
        }
        std::string text(int i) const { return c_.text(i); }
        std::int64_t integer(int i) const { return c_.integer(i); }
        double real(int i) const { return c_.real(i); }
        bool is_null(int i) const { return c_.is_null(i); }
        std::int64_t changes() const { return c_.changes(); }

    private:
        Db::Cursor& c_;
    };

private:
    std::unique_ptr<Db::Cursor> cursor_;
};

// Rolled back unless committed.
class Transaction {
public:
    explicit Transaction(Db& db) : db_(db) { db_.begin(); }
    ~Transaction() {
        if (!done_) db_.rollback();
    }
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;
    void commit() {
        db_.commit();
        done_ = true;
    }

private:
    Db& db_;
    bool done_ = false;
};

}  // namespace veltra::tool::serve
