// What the chain's PostgreSQL database is used through: one connection,
// statements with their parameters sent apart from the text (never spliced
// into it), transactions that roll back unless committed, and the wait for
// a NOTIFY. Every failure is a PgError carrying the server's message.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

struct pg_conn;
struct pg_result;

namespace veltra::tool::serve::pg {

class PgError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A statement's parameter: text, a number, or SQL NULL.
class Param {
public:
    Param(std::string text) : value_(std::move(text)) {}
    Param(const char* text) : value_(std::string(text)) {}
    Param(std::int64_t n) : value_(std::to_string(n)) {}
    Param(int n) : value_(std::to_string(n)) {}
    Param(double x);
    static Param null() { return Param(); }
    // Bytes sent as they are, for a BYTEA column.
    static Param bytes(std::string b) {
        Param p(std::move(b));
        p.binary_ = true;
        return p;
    }
    const std::optional<std::string>& value() const { return value_; }
    bool binary() const { return binary_; }

private:
    Param() = default;
    std::optional<std::string> value_;
    bool binary_ = false;
};

// The rows a statement returned, each field as text.
class Result {
public:
    explicit Result(pg_result* r) : r_(r) {}
    ~Result();
    Result(Result&& o) noexcept : r_(o.r_) { o.r_ = nullptr; }
    Result& operator=(Result&&) = delete;
    Result(const Result&) = delete;

    int rows() const;
    // The number of rows an UPDATE, INSERT or DELETE touched.
    std::int64_t affected() const;
    bool is_null(int row, int column) const;
    // A BYTEA column reads as its bytes.
    std::string text(int row, int column) const;
    std::int64_t integer(int row, int column) const;
    double real(int row, int column) const;

private:
    pg_result* r_;
};

// A connection found broken (the server restarted, the network went) is
// made again before the next statement outside a transaction, with its
// LISTENs: the statement that found it broken fails, the next one runs.
class Connection {
public:
    // conninfo: a postgresql:// address or key=value pairs, as libpq takes them.
    explicit Connection(const std::string& conninfo);
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // Runs one statement; $1, $2… in sql are params, in order.
    Result exec(const std::string& sql, const std::vector<Param>& params = {});
    // Runs statements of the service's own, separated by semicolons,
    // without parameters (a schema).
    void run_script(const std::string& sql);

    // LISTEN on a channel, then wait up to timeout_ms for a notification on
    // it: the payloads that came, empty when none came in time.
    void listen(const std::string& channel);
    // Runs a statement now and again whenever the connection is made anew
    // (a search_path, a session's lock).
    void on_connect(const std::string& sql);
    std::vector<std::string> wait_notifications(int timeout_ms);

private:
    friend class Transaction;
    // Connects again when the connection is broken and no transaction is open.
    void revive();

    pg_conn* c_;
    std::vector<std::string> channels_;  // LISTENed, to listen again after a reconnect
    std::vector<std::string> on_connect_;
    int transactions_ = 0;  // open on this connection (0 or 1)
    bool broken_ = false;   // found lost while waiting for a NOTIFY
};

// BEGIN at construction; ROLLBACK at destruction unless commit() ran.
class Transaction {
public:
    explicit Transaction(Connection& c);
    ~Transaction();
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;
    void commit();

private:
    Connection& c_;
    bool done_ = false;
};

}  // namespace veltra::tool::serve::pg
