// Discovery: a pool of threads, each with its own folder for the command and
// answer files, takes the next address of the range until none is left.
#include "discover.hpp"

#include <algorithm>
#include <atomic>
#include <charconv>
#include <filesystem>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "cmd/command_exchange.hpp"
#include "cmd/info_vars.hpp"
#include "net/dotted_address.hpp"
#include "sys/clock.hpp"
#include "sys/sockets.hpp"

namespace veltra::tool {
namespace {

std::uint32_t to_host(std::uint32_t be) {
    const auto* b = reinterpret_cast<const unsigned char*>(&be);
    return (std::uint32_t{b[0]} << 24) | (std::uint32_t{b[1]} << 16) | (std::uint32_t{b[2]} << 8) |
           b[3];
}

std::uint32_t to_network(std::uint32_t host) {
    std::uint32_t be = 0;
    auto* b = reinterpret_cast<unsigned char*>(&be);
    b[0] = static_cast<unsigned char>(host >> 24);
    b[1] = static_cast<unsigned char>(host >> 16);
    b[2] = static_cast<unsigned char>(host >> 8);
    b[3] = static_cast<unsigned char>(host);
    return be;
}

// The value of the field named name ("MATRICOLA=..."), if the answer has one.
std::optional<std::string> named_field(const std::string& answer, std::string_view name) {
    std::size_t start = 0;
    while (start <= answer.size()) {
        std::size_t end = answer.find(',', start);
        if (end == std::string::npos) end = answer.size();
        const std::string_view field(answer.data() + start, end - start);
        if (field.size() > name.size() && field.substr(0, name.size()) == name &&
            field[name.size()] == '=')
            return std::string(field.substr(name.size() + 1));
        start = end + 1;
    }
    return std::nullopt;
}

std::string trimmed(std::string text) {
    while (!text.empty() && (text.back() == '\r' || text.back() == '\n' || text.back() == ' '))
        text.pop_back();
    return text;
}

}  // namespace

std::optional<AddressRange> parse_range(std::string_view text, std::string& error) {
    const std::size_t slash = text.find('/');
    std::uint32_t addr_be = 0;
    int prefix = -1;
    if (slash != std::string_view::npos) {
        const std::string_view bits = text.substr(slash + 1);
        const auto [end, ec] = std::from_chars(bits.data(), bits.data() + bits.size(), prefix);
        if (ec != std::errc() || end != bits.data() + bits.size()) prefix = -1;
    }
    const std::string_view dotted = text.substr(0, slash);
    // Four decimal parts, as a range is written; the classic parser alone
    // would take "10.1" or trailing words.
    const bool plain = std::count(dotted.begin(), dotted.end(), '.') == 3 &&
                       dotted.find_first_not_of("0123456789.") == std::string_view::npos;
    if (slash == std::string_view::npos || prefix < 0 || prefix > 32 || !plain ||
        !parse_dotted(dotted, addr_be)) {
        error = "'" + std::string(text) + "' is not a range such as 192.168.1.0/24";
        return std::nullopt;
    }
    if (prefix < kWidestPrefix) {
        error = "'" + std::string(text) + "' is wider than a /" + std::to_string(kWidestPrefix) +
                " (1024 addresses): split it";
        return std::nullopt;
    }
    const std::uint32_t size = std::uint32_t{1} << (32 - prefix);
    AddressRange range;
    range.text = std::string(text);
    range.first = to_host(addr_be) & ~(size - 1);
    range.count = size;
    if (prefix <= 30) {
        range.first += 1;
        range.count -= 2;
    }
    return range;
}

std::uint32_t address_at(const AddressRange& range, std::uint32_t i) {
    return to_network(range.first + i);
}

std::optional<FoundRegister> register_from_info(const std::string& address,
                                                const std::string& answer) {
    const std::string line = trimmed(answer);
    char info_mod[kInfoAnswerSize + 2];
    VarList vars{};
    const int fields = ecr_parse_info(line.c_str(), info_mod, vars.data());
    if (fields < static_cast<int>(kInfoVars) || vars[kInfoVersion][0] == '\0') return std::nullopt;
    FoundRegister found;
    found.address = address;
    found.version = vars[kInfoVersion];
    found.bitmap = vars[kInfoBitmapType];
    found.release = vars[kInfoReleaseName];
    found.matricola = named_field(line, "MATRICOLA").value_or(vars[2]);
    return found;
}

std::vector<FoundRegister> discover(const AddressRange& range, const DiscoverOptions& options,
                                    const std::string& work_root) {
    const std::uint32_t workers = std::min<std::uint32_t>(
        range.count, static_cast<std::uint32_t>(std::clamp(options.parallel, 1, 1024)));
    // Made here, so that a folder that cannot be made fails the discovery
    // instead of hiding the registers its thread would have asked.
    std::vector<std::string> folders;
    for (std::uint32_t w = 0; w < workers; ++w) {
        folders.push_back((std::filesystem::path(work_root) / ("w" + std::to_string(w))).string());
        std::filesystem::create_directories(folders.back());
    }

    std::atomic<std::uint32_t> next{0};
    std::atomic<bool> failed{false};
    std::mutex lock;
    std::vector<FoundRegister> found;
    const auto ask_each = [&](const std::string& folder) {
        for (std::uint32_t i; (i = next.fetch_add(1)) < range.count;) {
            const std::uint32_t addr_be = address_at(range, i);
            std::string answer;
            const std::uint64_t deadline = sys::monotonic_ms() + options.timeout_ms;
            if (ecr_query_info(addr_be, folder, deadline, answer) != 0) continue;
            if (auto reg = register_from_info(sys::dotted(addr_be), answer)) {
                const std::lock_guard<std::mutex> hold(lock);
                found.push_back(std::move(*reg));
            }
        }
    };
    {
        std::vector<std::jthread> pool;
        for (const std::string& folder : folders) {
            pool.emplace_back([&ask_each, &failed, folder]() noexcept {
                try {
                    ask_each(folder);
                } catch (...) {
                    failed = true;
                }
            });
        }
    }
    if (failed) throw std::runtime_error("discovery stopped: out of memory or work files");
    std::sort(found.begin(), found.end(), [](const FoundRegister& a, const FoundRegister& b) {
        std::uint32_t x = 0, y = 0;
        parse_dotted(a.address, x);
        parse_dotted(b.address, y);
        return to_host(x) < to_host(y);
    });
    return found;
}

}  // namespace veltra::tool
