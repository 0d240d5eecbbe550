#include "pg.hpp"

#include <libpq-fe.h>
#include <poll.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>

namespace veltra::tool::serve::pg {
namespace {

std::string trimmed(const char* message) {
    std::string s = message != nullptr ? message : "";
    while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.pop_back();
    return s;
}

}  // namespace

Param::Param(double x) {
    char text[40];
    std::snprintf(text, sizeof text, "%.17g", x);
    value_ = text;
}

Result::~Result() {
    if (r_ != nullptr) PQclear(r_);
}

int Result::rows() const {
    return PQntuples(r_);
}

std::int64_t Result::affected() const {
    const char* n = PQcmdTuples(r_);
    return n != nullptr && *n != '\0' ? std::strtoll(n, nullptr, 10) : 0;
}

bool Result::is_null(int row, int column) const {
    return PQgetisnull(r_, row, column) != 0;
}

std::string Result::text(int row, int column) const {
    constexpr Oid kByteaOid = 17;
    if (PQftype(r_, column) == kByteaOid && !is_null(row, column)) {
        std::size_t size = 0;
        std::unique_ptr<unsigned char, decltype(&PQfreemem)> bytes(
            PQunescapeBytea(reinterpret_cast<const unsigned char*>(PQgetvalue(r_, row, column)),
                            &size),
            &PQfreemem);
        if (!bytes) throw PgError("out of memory for a value read from the database");
        return std::string(reinterpret_cast<const char*>(bytes.get()), size);
    }
    return std::string(PQgetvalue(r_, row, column),
                       static_cast<std::size_t>(PQgetlength(r_, row, column)));
}

std::int64_t Result::integer(int row, int column) const {
    return std::strtoll(PQgetvalue(r_, row, column), nullptr, 10);
}

double Result::real(int row, int column) const {
    return std::strtod(PQgetvalue(r_, row, column), nullptr);
}

Connection::Connection(const std::string& conninfo) : c_(PQconnectdb(conninfo.c_str())) {
    if (c_ == nullptr) throw PgError("out of memory for a database connection");
    if (PQstatus(c_) != CONNECTION_OK) {
        const std::string why = trimmed(PQerrorMessage(c_));
        PQfinish(c_);
        throw PgError("cannot connect to the database: " + why);
    }
    // Notices (such as "already exists, skipping") are not the service's log.
    PQsetNoticeProcessor(
        c_, [](void*, const char*) {}, nullptr);
}

Connection::~Connection() {
    PQfinish(c_);
}

void Connection::revive() {
    if ((!broken_ && PQstatus(c_) != CONNECTION_BAD) || transactions_ != 0) return;
    PQreset(c_);
    if (PQstatus(c_) != CONNECTION_OK)
        throw PgError("cannot connect to the database again: " + trimmed(PQerrorMessage(c_)));
    broken_ = false;
    for (const std::string& sql : on_connect_) Result(PQexec(c_, sql.c_str()));
    for (const std::string& channel : channels_) {
        std::unique_ptr<char, decltype(&PQfreemem)> name(
            PQescapeIdentifier(c_, channel.c_str(), channel.size()), &PQfreemem);
        Result r(PQexec(c_, (std::string("LISTEN ") + name.get()).c_str()));
    }
}

Result Connection::exec(const std::string& sql, const std::vector<Param>& params) {
    revive();
    std::vector<const char*> values;
    std::vector<int> lengths;
    std::vector<int> formats;
    values.reserve(params.size());
    for (const Param& p : params) {
        values.push_back(p.value() ? p.value()->data() : nullptr);
        lengths.push_back(p.value() ? static_cast<int>(p.value()->size()) : 0);
        formats.push_back(p.binary() ? 1 : 0);
    }
    pg_result* raw = PQexecParams(c_, sql.c_str(), static_cast<int>(values.size()), nullptr,
                                  values.data(), lengths.data(), formats.data(), 0);
    // No result at all (out of memory, connection lost) has the status of a
    // fatal error too.
    const ExecStatusType status = PQresultStatus(raw);
    Result r(raw);
    if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK)
        throw PgError("the database refused a statement: " + trimmed(PQerrorMessage(c_)));
    return r;
}

void Connection::run_script(const std::string& sql) {
    revive();
    pg_result* raw = PQexec(c_, sql.c_str());
    const ExecStatusType status = PQresultStatus(raw);
    Result r(raw);
    if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK)
        throw PgError("the database refused a statement: " + trimmed(PQerrorMessage(c_)));
}

void Connection::on_connect(const std::string& sql) {
    run_script(sql);
    on_connect_.push_back(sql);
}

void Connection::listen(const std::string& channel) {
    std::unique_ptr<char, decltype(&PQfreemem)> name(
        PQescapeIdentifier(c_, channel.c_str(), channel.size()), &PQfreemem);
    if (!name) throw PgError("not a channel name: " + channel);
    exec(std::string("LISTEN ") + name.get());
    channels_.push_back(channel);
}

std::vector<std::string> Connection::wait_notifications(int timeout_ms) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    std::vector<std::string> payloads;
    revive();
    for (;;) {
        if (PQconsumeInput(c_) == 0) {
            broken_ = true;
            throw PgError("the database connection was lost: " + trimmed(PQerrorMessage(c_)));
        }
        while (PGnotify* n = PQnotifies(c_)) {
            payloads.emplace_back(n->extra != nullptr ? n->extra : "");
            PQfreemem(n);
        }
        if (!payloads.empty()) return payloads;
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) return payloads;
        pollfd fd{PQsocket(c_), POLLIN, 0};
        if (fd.fd < 0) {
            broken_ = true;
            throw PgError("the database connection was lost");
        }
        if (poll(&fd, 1, static_cast<int>(left)) < 0 && errno != EINTR)
            throw PgError("cannot wait for the database");
    }
}

Transaction::Transaction(Connection& c) : c_(c) {
    c_.exec("BEGIN");
    ++c_.transactions_;
}

Transaction::~Transaction() {
    if (done_) return;
    try {
        c_.exec("ROLLBACK");
    } catch (const PgError&) {
        // The connection is gone: the server rolled back already.
    }
    --c_.transactions_;
}

void Transaction::commit() {
    // A COMMIT that fails leaves the transaction to the destructor's ROLLBACK.
    c_.exec("COMMIT");
    done_ = true;
    --c_.transactions_;
}

}  // namespace veltra::tool::serve::pg
