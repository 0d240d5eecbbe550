// What the service knows of how things stand, for /metrics, /readyz and the
// page's overview: the looks at the registers, the jobs counted, the
// notifier, and what the archive store and the schedules know.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "journal.hpp"
#include "metrics.hpp"
#include "notifier.hpp"
#include "register_watch.hpp"

namespace veltra::tool::serve {

struct Watching {
    Journal* journal = nullptr;
    RegisterWatch* watch = nullptr;
    Notifier* notifier = nullptr;
    Metrics metrics;
    // When the register's newest good archive was saved, if any.
    std::function<std::optional<std::int64_t>(const std::string&)> last_backup;
    // When the register's last scheduled sales export succeeded, if any.
    std::function<std::optional<std::int64_t>(const std::string&)> last_sales;
    // When the register's next scheduled run is due, if any.
    std::function<std::optional<std::int64_t>(const std::string&)> next_run;
    // The schedules' recent runs: [{"schedule", "register", "state", ...}].
    std::function<Json()> runs;
};

}  // namespace veltra::tool::serve
