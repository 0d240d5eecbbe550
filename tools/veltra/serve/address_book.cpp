// The address book's searches run on a thread of their own: a request or a
// look that finds a register silent asks for one and goes on; nothing waits
// for a discovery.
#include "address_book.hpp"

#include <chrono>
#include <exception>

#include "work_dir.hpp"

namespace veltra::tool::serve {
namespace {

std::int64_t steady_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace

AddressBook::AddressBook(std::map<std::string, std::string> serials, Search search, LogLine log,
                         std::int64_t gap_ms)
    : serials_(std::move(serials)),
      search_(std::move(search)),
      log_(std::move(log)),
      gap_ms_(gap_ms) {
    thread_ = std::jthread([this] { loop(); });
}

AddressBook::~AddressBook() {
    {
        const std::lock_guard lock(m_);
        stopping_ = true;
    }
    cv_.notify_all();
}

std::optional<std::string> AddressBook::address(const std::string& name) const {
    const std::lock_guard lock(m_);
    const auto it = address_.find(name);
    if (it == address_.end()) return std::nullopt;
    return it->second;
}

void AddressBook::lost(const std::string& name) {
    if (!serials_.contains(name)) return;
    {
        const std::lock_guard lock(m_);
        wanted_ = true;
    }
    cv_.notify_all();
}

int AddressBook::searches() const {
    const std::lock_guard lock(m_);
    return searches_;
}

Json AddressBook::describe(const std::string& name) const {
    const std::lock_guard lock(m_);
    const auto serial = serials_.find(name);
    if (serial == serials_.end()) return nullptr;
    Json j = {{"matricola", serial->second}};
    const auto it = address_.find(name);
    j["address"] = it == address_.end() ? Json(nullptr) : Json(it->second);
    j["searches"] = searches_;
    return j;
}

void AddressBook::loop() {
    std::int64_t last_ms = 0;
    for (;;) {
        {
            std::unique_lock lock(m_);
            cv_.wait(lock, [this] { return stopping_ || wanted_; });
            if (stopping_) return;
            // Not more often than the gap: a register that stays away must
            // not keep the network busy with discoveries.
            if (searches_ > 0) {
                const auto until = std::chrono::steady_clock::now() +
                                   std::chrono::milliseconds(last_ms + gap_ms_ - steady_ms());
                if (cv_.wait_until(lock, until, [this] { return stopping_; })) return;
            }
            wanted_ = false;
        }
        std::vector<FoundRegister> found;
        try {
            found = search_();
        } catch (const std::exception& e) {
            log_(std::string("finding registers by serial number failed: ") + e.what());
        }
        take(found);
        last_ms = steady_ms();
    }
}

void AddressBook::take(const std::vector<FoundRegister>& found) {
    std::vector<std::string> lines;
    {
        const std::lock_guard lock(m_);
        ++searches_;
        for (const auto& [name, serial] : serials_) {
            std::vector<std::string> at;
            for (const FoundRegister& f : found)
                if (f.matricola == serial) at.push_back(f.address);
            const auto it = address_.find(name);
            const std::string was = it == address_.end() ? "" : it->second;
            if (at.size() > 1) {
                // Two registers with one serial number: neither is taken,
                // and the last address found stays, rather than a guess.
                lines.push_back("register " + name + " (" + serial + ") answers at " + at[0] +
                                " and at " + at[1] + ": its address is not changed");
            } else if (at.empty()) {
                lines.push_back("register " + name + " (" + serial + ") was not found" +
                                (was.empty() ? "" : "; its last address " + was + " is kept"));
            } else if (at[0] != was) {
                address_[name] = at[0];
                lines.push_back("register " + name + " (" + serial + ") found at " + at[0] +
                                (was.empty() ? "" : ", was at " + was));
            }
        }
    }
    for (const std::string& line : lines) log_(line);
}

AddressBook::Search discovery_search(std::vector<AddressRange> ranges, DiscoverOptions options) {
    return [ranges = std::move(ranges), options] {
        const WorkDir work;
        std::vector<FoundRegister> all;
        for (const AddressRange& range : ranges) {
            const auto found = discover(range, options, work.dir());
            all.insert(all.end(), found.begin(), found.end());
        }
        return all;
    };
}

}  // namespace veltra::tool::serve
