// Registers named by serial number ("register shop1=@SIM00012345"): their
// addresses, found by discovery in the configured ranges at start and again
// when one stops answering, so that a new address from the shop's DHCP
// server is followed without anyone editing the configuration.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "discover.hpp"
#include "jobs.hpp"

namespace veltra::tool::serve {

class AddressBook {
public:
    // One discovery over every range; it may throw, which counts as a
    // search that found nothing.
    using Search = std::function<std::vector<FoundRegister>()>;
    using LogLine = std::function<void(const std::string&)>;

    // serials: register name -> serial number. A search starts at once;
    // after one, the next waits at least gap_ms.
    AddressBook(std::map<std::string, std::string> serials, Search search, LogLine log,
                std::int64_t gap_ms = 10000);
    ~AddressBook();
    AddressBook(const AddressBook&) = delete;
    AddressBook& operator=(const AddressBook&) = delete;

    // The register's dotted address as last found; nullopt until a search
    // found it (and for a name not named by serial).
    std::optional<std::string> address(const std::string& name) const;
    // The register did not answer at its address, or has none yet: search
    // again (one search serves every such call made before it starts).
    void lost(const std::string& name);
    // Searches ended so far.
    int searches() const;
    // What the register list shows of a register named by serial.
    Json describe(const std::string& name) const;

private:
    void loop();
    void take(const std::vector<FoundRegister>& found);

    std::map<std::string, std::string> serials_;
    Search search_;
    LogLine log_;
    std::int64_t gap_ms_;
    mutable std::mutex m_;
    std::condition_variable cv_;
    std::map<std::string, std::string> address_;
    std::map<std::string, std::int64_t> found_ms_;
    bool wanted_ = true;
    bool stopping_ = false;
    int searches_ = 0;
    std::jthread thread_;
};

// The search of a service: discovery over each range in turn, with work
// files in their own folder.
AddressBook::Search discovery_search(std::vector<AddressRange> ranges, DiscoverOptions options);

}  // namespace veltra::tool::serve
