// Commands of the register's clock codes: an oro value shown as a date and
// time, and a date and time made into an oro value (checked first).
#include <CLI/CLI.hpp>
#include <array>
#include <charconv>
#include <nlohmann/json.hpp>
#include <string>

#include "command_table.hpp"
#include "veltra.h"

namespace veltra::tool {

bool parse_triple(const std::string& text, char sep, std::array<int, 3>& out) {
    std::size_t at = 0;
    for (int i = 0; i < 3; ++i) {
        const std::size_t end = i < 2 ? text.find(sep, at) : text.size();
        if (end == std::string::npos || end == at || end - at > 2) return false;
        int v = 0;
        const auto [p, ec] = std::from_chars(text.data() + at, text.data() + end, v);
        if (ec != std::errc() || p != text.data() + end) return false;
        out[static_cast<std::size_t>(i)] = v;
        at = end + 1;
    }
    return true;
}

namespace {

// An oro value: decimal, or hexadecimal with 0x.
bool parse_oro(const std::string& text, std::uint32_t& out) {
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const char* first = text.data() + (hex ? 2 : 0);
    const char* last = text.data() + text.size();
    const auto [p, ec] = std::from_chars(first, last, out, hex ? 16 : 10);
    return ec == std::errc() && p == last && first != last;
}

nlohmann::json fields_of(std::uint32_t oro) {
    unsigned char s[ECR_ORO_STRUCT_SIZE] = {};
    ecr_oro_2struct(oro, s);
    return {{"day", s[0]},    {"month", s[1]},  {"year", s[2]},    {"hour", s[3]},
            {"minute", s[4]}, {"second", s[5]}, {"weekday", s[6]}, {"yday", s[8] | (s[9] << 8)}};
}

struct ClockDecode {
    std::string value;

    void declare(CLI::App& app) {
        app.add_option("VALUE", value, "the oro value, decimal or 0x hexadecimal")->required();
    }
    int run(Context& ctx) {
        std::uint32_t oro = 0;
        if (!parse_oro(value, oro))
            throw UsageError{"VALUE must be a number from 0 to 4294967295: " + value};
        unsigned char s[ECR_ORO_STRUCT_SIZE] = {};
        if (ecr_oro_2struct(oro, s) != 0)
            throw UsageError{
                "VALUE is outside the register's dates (946684800 to 4102444799, 2000 to 2099): " +
                value};
        char text[ECR_ORO_TEXT_BUFSIZE];
        ecr_oro_encode(oro, text);
        nlohmann::json extra = fields_of(oro);
        extra["value"] = oro;
        extra["text"] = text;
        return ctx.finish("ecr_oro_encode", 0, false, text, extra);
    }
};

struct ClockEncode {
    std::string date;
    std::string time = "00:00:00";

    void declare(CLI::App& app) {
        app.add_option("DATE", date, "DD/MM/YY (years 00 to 99 are 2000 to 2099)")->required();
        app.add_option("TIME", time, "HH:MM:SS (00:00:00)");
    }
    int run(Context& ctx) {
        std::array<int, 3> d{}, t{};
        if (!parse_triple(date, '/', d)) throw UsageError{"DATE must be DD/MM/YY: " + date};
        if (!parse_triple(time, ':', t)) throw UsageError{"TIME must be HH:MM:SS: " + time};
        // Unchecked, the fields add up: 31/04/14 would become 1 May.
        if (ecr_oro_check(d[0], d[1], d[2], t[0], t[1], t[2]) != 0)
            throw UsageError{"not a valid date and time: " + date + " " + time};
        const std::uint32_t oro = ecr_oro_decode(d[0], d[1], d[2], t[0], t[1], t[2]);
        char text[ECR_ORO_TEXT_BUFSIZE];
        ecr_oro_encode(oro, text);
        nlohmann::json extra = fields_of(oro);
        extra["value"] = oro;
        extra["text"] = text;
        return ctx.finish("ecr_oro_decode", 0, false, std::to_string(oro), extra);
    }
};

}  // namespace

std::vector<Command> clock_commands() {
    return {
        command<ClockDecode>({"clock", "decode"},
                             "show an oro value as dd/mm/yy-hh:mm:ss-[day of year-weekday]",
                             "ecr_oro_encode, ecr_oro_2struct", "veltra clock decode 1418734800"),
        command<ClockEncode>(
            {"clock", "encode"},
            "make the oro value of a date and time (refused unless ecr_oro_check accepts it)",
            "ecr_oro_check, ecr_oro_decode", "veltra clock encode 16/12/14 12:30:00"),
    };
}

}  // namespace veltra::tool
