// veltra serve --central: the head office's service of a chain. It is the
// only client of the chain's PostgreSQL database and owns no register.
// Each shop's service dials out to it with a token of its own: it names
// the registers it owns, claims their jobs (a claim waits for a job to come,
// without holding a thread), renews the lease of the job it runs and
// reports its end. The head office adds jobs for any shop's register and
// sees every register's state. The central service's clock decides every
// lease: a job whose shop stops renewing ends with the verdict unknown, and
// only that shop settles it.
#pragma once

#include <iosfwd>
#include <map>
#include <string>
#include <vector>

#include "config.hpp"

namespace veltra::tool::serve {

struct CentralConfig {
    std::string store;  // the database: postgresql://… or libpq's key=value pairs
    std::string listen_host = "127.0.0.1";
    int listen_port = 8091;
    std::string token;                         // the head office's; empty: none asked (loopback)
    std::map<std::string, std::string> shops;  // shop name → its token
    int lease_seconds = 60;
    // Groups of the chain's registers, of any shops, for the head office's
    // operations over them.
    std::vector<Group> groups;
    // The chain's sales history, as the shops send their days: in the
    // store's database, in this schema. The state folder keeps the log and
    // the history a central service of an earlier version kept there,
    // copied into the database at the first start.
    std::string store_schema = "veltra_journal";
    std::string state_dir;
    // HTTPS: PEM files of the certificate (and its chain) and its key;
    // empty: plain HTTP.
    std::string tls_cert;
    std::string tls_key;
};

// False in a build without a PostgreSQL client (Windows).
bool central_available();

// Runs the central service until a stop is requested. log gets one line per
// request, the start line and the leases that ran out; err why the service
// could not start (its database not reached).
int run_central(const CentralConfig& config, std::ostream& log, std::ostream& err);

}  // namespace veltra::tool::serve
