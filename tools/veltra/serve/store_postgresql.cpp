// The store on PostgreSQL, through our libpq layer: each service's rows in
// a schema (namespace) of its own in the database, the journal's schema
// held by one service at a time.
#include <optional>
#include <vector>

#include "pg.hpp"
#include "store_db.hpp"

namespace veltra::tool::serve {
namespace {

// ?1, ?2… (and a bare ?, numbered in order) to PostgreSQL's $1, $2…; text
// in quotes is left as it is.
std::string dollar_parameters(const std::string& sql) {
    std::string out;
    out.reserve(sql.size() + 8);
    bool quoted = false;
    int next = 1;
    for (std::size_t i = 0; i < sql.size(); ++i) {
        const char c = sql[i];
        if (c == '\'') quoted = !quoted;
        if (quoted || c != '?') {
            out += c;
            continue;
        }
        out += '$';
        if (i + 1 < sql.size() && sql[i + 1] >= '0' && sql[i + 1] <= '9') continue;
        out += std::to_string(next++);
    }
    return out;
}

class PgCursor final : public Db::Cursor {
public:
    PgCursor(pg::Connection& c, std::string sql) : c_(c), sql_(dollar_parameters(sql)) {}

    void bind_text(int i, std::string_view v) override { at(i) = pg::Param(std::string(v)); }
    void bind_integer(int i, std::int64_t v) override { at(i) = pg::Param(v); }
    void bind_real(int i, double v) override { at(i) = pg::Param(v); }
    void bind_blob(int i, std::string_view bytes) override {
        at(i) = pg::Param::bytes(std::string(bytes));
    }
    void bind_null(int i) override { at(i) = pg::Param::null(); }

    bool step() override {
        if (!result_) {
            try {
                result_.emplace(c_.exec(sql_, params_));
            } catch (const pg::PgError& e) {
                throw JournalError(std::string("journal: ") + e.what());
            }
            row_ = 0;
        } else {
            ++row_;
        }
        return row_ < result_->rows();
    }

    std::string text(int i) const override {
        return result_->is_null(row_, i) ? std::string() : result_->text(row_, i);
    }
    std::int64_t integer(int i) const override {
        // sum() over BIGINT is NUMERIC in PostgreSQL: its text is still a
        // whole number.
        return result_->is_null(row_, i) ? 0 : result_->integer(row_, i);
    }
    double real(int i) const override {
        return result_->is_null(row_, i) ? 0 : result_->real(row_, i);
    }
    bool is_null(int i) const override { return result_->is_null(row_, i); }
    std::int64_t changes() const override { return result_ ? result_->affected() : 0; }
    void reset() override {
        result_.reset();
        params_.clear();
    }

private:
    pg::Param& at(int i) {
        const auto n = static_cast<std::size_t>(i);
        if (params_.size() < n) params_.resize(n, pg::Param::null());
        return params_[n - 1];
    }

    pg::Connection& c_;
    std::string sql_;
    std::vector<pg::Param> params_;
    std::optional<pg::Result> result_;
    int row_ = 0;
};

bool valid_schema(const std::string& s) {
    if (s.empty() || s.size() > 63 || (s[0] >= '0' && s[0] <= '9')) return false;
    for (char c : s)
        if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_')) return false;
    return !s.starts_with("pg_");
}

class PgDb final : public Db {
public:
    PgDb(const StoreLocation& where, StoreUse use) : where_(where) {
        if (!valid_schema(where.schema))
            throw JournalError("journal: not a schema name: '" + where.schema +
                               "' (lower-case letters, digits and _, up to 63)");
        try {
            c_.emplace(where.postgresql);
            refuse_shared_names();
            if (use != StoreUse::journal_read_only)
                c_->run_script("CREATE SCHEMA IF NOT EXISTS " + where.schema);
            // Only the schema: a name of ours never reaches another
            // service's tables (the chain's own are in public).
            c_->on_connect("SET search_path TO " + where.schema);
            if (use == StoreUse::journal) lock_schema();
        } catch (const pg::PgError& e) {
            throw JournalError(std::string("journal: ") + e.what());
        }
    }

    Dialect dialect() const override { return Dialect::postgresql; }
    std::string where() const override { return where_.describe(); }
    std::unique_ptr<Cursor> prepare(const std::string& sql) override {
        return std::make_unique<PgCursor>(*c_, sql);
    }
    void exec(const std::string& script) override {
        guarded([&] { c_->run_script(script); });
    }
    void begin() override {
        guarded([&] { tx_.emplace(*c_); });
    }
    void commit() override {
        guarded([&] { tx_->commit(); });
        tx_.reset();
    }
    void rollback() noexcept override { tx_.reset(); }
    int schema_version() override {
        int version = 0;
        guarded([&] {
            const pg::Result exists = c_->exec("SELECT to_regclass('journal_schema') IS NOT NULL");
            if (exists.text(0, 0) != "t") return;
            const pg::Result r = c_->exec("SELECT max(version) FROM journal_schema");
            if (r.rows() > 0 && !r.is_null(0, 0)) version = static_cast<int>(r.integer(0, 0));
        });
        return version;
    }
    void set_schema_version(int version) override {
        guarded([&] {
            c_->run_script(
                "CREATE TABLE IF NOT EXISTS journal_schema (version INTEGER NOT NULL); "
                "DELETE FROM journal_schema");
            c_->exec("INSERT INTO journal_schema (version) VALUES ($1)", {version});
        });
    }

private:
    template <class F>
    void guarded(F&& f) {
        try {
            f();
        } catch (const pg::PgError& e) {
            throw JournalError(std::string("journal: ") + e.what());
        }
    }

    // public, and a schema named as the user ("$user" in the default
    // search_path), are where other programs on the database, the chain's
    // queue among them, find their tables by unqualified names: a journal
    // there would be taken for theirs.
    void refuse_shared_names() {
        const pg::Result user = c_->exec("SELECT current_user");
        if (where_.schema == "public" || where_.schema == user.text(0, 0))
            throw JournalError("journal: the schema " + where_.schema +
                               " is where other programs on the database look for their "
                               "tables: give the journal one of its own (store-schema NAME)");
    }

    // A lock the session holds until it ends: the server lets go of it when
    // the service's connection goes, however it goes.
    void lock_schema() {
        const std::string take =
            "SELECT pg_try_advisory_lock(hashtext('veltra journal'), "
            "hashtext('" +
            where_.schema + "'))";
        const pg::Result r = c_->exec(take);
        if (r.text(0, 0) != "t")
            throw JournalError("journal: " + where_.describe() +
                               " is in use by another service; give each service its own "
                               "(store-schema NAME)");
        c_->on_connect(take);
    }

    StoreLocation where_;
    std::optional<pg::Connection> c_;
    std::optional<pg::Transaction> tx_;
};

}  // namespace

bool postgresql_store_available() {
    return true;
}

std::unique_ptr<Db> open_postgresql(const StoreLocation& where, StoreUse use) {
    return std::make_unique<PgDb>(where, use);
}

}  // namespace veltra::tool::serve
