// Finding registers on a network: every address of a range is asked for its
// INFO answer through the register's TFTP port, a bounded number at a time
// and each under its own deadline. Nothing but INFO requests goes out.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace veltra::tool {

// The widest range one discovery asks: a /22, 1024 addresses.
inline constexpr int kWidestPrefix = 22;

// A range of addresses in host byte order.
struct AddressRange {
    std::uint32_t first = 0;
    std::uint32_t count = 0;
    std::string text;  // as it was given, for messages
};

// "192.168.1.0/24": a dotted address, "/" and a prefix from 22 to 32. The
// address's host bits are ignored (192.168.1.77/24 is the same range). On
// prefixes up to /30 the range leaves out its network and broadcast
// addresses; a /31 or /32 is asked whole. nullopt with error set otherwise.
std::optional<AddressRange> parse_range(std::string_view text, std::string& error);

// The i-th address of the range, in network byte order.
std::uint32_t address_at(const AddressRange& range, std::uint32_t i);

// A register that answered.
struct FoundRegister {
    std::string address;  // dotted
    std::string matricola;
    std::string version;
    std::string release;
    std::string bitmap;
};

struct DiscoverOptions {
    int parallel = 128;               // addresses asked at once
    std::uint32_t timeout_ms = 2000;  // deadline of one address's whole exchange
};

// The matricola, version, release and bitmap type of an INFO answer, or
// nullopt when the answer is not a register's (fewer fields than the info
// variable list, or no version). The serial number is the field named
// MATRICOLA, else the third.
std::optional<FoundRegister> register_from_info(const std::string& address,
                                                const std::string& answer);

// Asks every address of the range; the registers that answered, in address
// order. The library's work files go to folders of its own under work_root.
std::vector<FoundRegister> discover(const AddressRange& range, const DiscoverOptions& options,
                                    const std::string& work_root);

}  // namespace veltra::tool
