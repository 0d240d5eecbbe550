// Commands of the serial line channel: the ports present, and a text, a file
// or the bytes back on one port. Each command opens the port, does its one
// thing and closes it.
#include <CLI/CLI.hpp>
#include <algorithm>
#include <nlohmann/json.hpp>
#include <ostream>
#include <sstream>
#include <vector>

#include "command_table.hpp"
#include "internal.hpp"
#include "veltra.h"

namespace veltra::tool {
namespace {

// The library's speed codes, in order.
constexpr int kSpeeds[] = {4800, 9600, 19200, 38400, 57600, 115200};

struct Line {
    int port = 0;
    int baud = 0;  // the speed as given: a code 0 to 5 or the speed itself
    bool echo = false;

    int code() const {
        if (baud >= 0 && baud <= 5) return baud;
        const auto at = std::find(std::begin(kSpeeds), std::end(kSpeeds), baud);
        return static_cast<int>(at - std::begin(kSpeeds));
    }
    int speed() const { return kSpeeds[code()]; }
    nlohmann::json json() const { return {{"port", port}, {"baud", speed()}, {"echo", echo}}; }
};

void add_line_options(CLI::App& app, Line& line, bool with_echo) {
    app.add_option("--port", line.port, "the port: 1 for COM1 (ECR_COM<n> names its device)")
        ->required()
        ->check(CLI::Range(1, 255));
    app.add_option("--baud", line.baud,
                   "the speed: 4800, 9600, 19200, 38400, 57600 or 115200, or its code 0 to 5")
        ->required()
        ->check(CLI::IsMember({0, 1, 2, 3, 4, 5, 4800, 9600, 19200, 38400, 57600, 115200}));
    if (with_echo)
        app.add_flag("--echo", line.echo, "wait for each byte's echo before the next one");
}

// Opens the port, runs work and closes it; a failed open is the command's
// result.
template <class Work>
int with_port(Context& ctx, const Line& line, Work work) {
    const std::int32_t r = ecr_conn_xonxoff_ser(line.port, line.code(), line.echo ? 1 : 0);
    if (r != 0) {
        return ctx.finish("ecr_conn_xonxoff_ser", r, false, "", line.json(),
                          r == ECR_ERR_PORT_NOT_VALID
                              ? "see veltra serial list; ECR_COM" + std::to_string(line.port) +
                                    " names the device of COM" + std::to_string(line.port)
                              : "");
    }
    const int status = work();
    ecr_disc_xonxoff_ser(line.port);
    return status;
}

struct SerialList {
    void declare(CLI::App&) {}
    int run(Context& ctx) {
        char list[ECR_PORT_LIST_BUFSIZE] = {};
        const std::int32_t r = ecr_enum_port_ser(list);
        nlohmann::json ports = nlohmann::json::array();
        std::istringstream in(list);
        for (std::string n; std::getline(in, n, ',');) ports.push_back(std::stoi(n));
        const std::string text = r > 0 ? std::string("serial ports: ") + list : "no serial ports";
        return ctx.finish("ecr_enum_port_ser", r, true, text, {{"ports", ports}});
    }
};

struct SerialSend {
    std::string text;
    Line line;

    void declare(CLI::App& app) {
        app.add_option("TEXT", text, "the text, in the register's line protocol")->required();
        add_line_options(app, line, true);
    }
    int run(Context& ctx) {
        return with_port(ctx, line, [&] {
            const std::int32_t r = ecr_send_xonxoff_ser(line.port, text.c_str());
            nlohmann::json extra = line.json();
            extra["bytes"] = text.size();
            return ctx.finish(
                "ecr_send_xonxoff_ser", r, false,
                std::to_string(text.size()) + " bytes sent on COM" + std::to_string(line.port),
                extra);
        });
    }
};

struct SerialFile {
    std::string file;
    Line line;

    void declare(CLI::App& app) {
        app.add_option("FILE", file, "the text file")->required();
        add_line_options(app, line, true);
    }
    int run(Context& ctx) {
        return with_port(ctx, line, [&] {
            const std::int32_t r = ecr_file_xonxoff_ser(line.port, file.c_str());
            nlohmann::json extra = line.json();
            extra["file"] = file;
            extra["bytes"] = ecr_file_size(file.c_str());
            return ctx.finish("ecr_file_xonxoff_ser", r, false,
                              file + " sent on COM" + std::to_string(line.port), extra);
        });
    }
};

struct SerialRecv {
    Line line;
    ReceiveOptions o;

    void declare(CLI::App& app) {
        add_line_options(app, line, false);
        add_receive_options(app, o);
        app.footer(
            "One read waits at most 3 s, so --seconds is taken in whole reads of 3 s.\n"
            "Nothing received prints nothing and exits 0.");
    }
    int run(Context& ctx) {
        return with_port(ctx, line, [&] {
            std::vector<char> buf(static_cast<std::size_t>(o.max));
            // The receive counts empty reads of up to 3 s each.
            const std::int32_t reads = std::max(1, (o.seconds + 2) / 3);
            const std::int32_t r = ecr_recv_xonxoff_ser(line.port, buf.data(), o.max, reads);
            return finish_received(ctx, "ecr_recv_xonxoff_ser", r, buf.data(), line.json());
        });
    }
};

}  // namespace

std::vector<Command> serial_commands() {
    return {
        command<SerialList>({"serial", "list"}, "the serial ports present (the first ten)",
                            "ecr_enum_port_ser", "veltra serial list"),
        command<SerialSend>({"serial", "send"}, "send TEXT on a serial port",
                            "ecr_conn_xonxoff_ser, ecr_send_xonxoff_ser, ecr_disc_xonxoff_ser",
                            "veltra serial send '\"01\"202F' --port 1 --baud 9600 --echo"),
        command<SerialFile>({"serial", "file"},
                            "send a text file on a serial port, in blocks of 1024 bytes",
                            "ecr_conn_xonxoff_ser, ecr_file_xonxoff_ser, ecr_disc_xonxoff_ser",
                            "veltra serial file keys.txt --port 1 --baud 9600"),
        command<SerialRecv>(
            {"serial", "recv"},
            "print the bytes that come on a serial port (the first read that brings any)",
            "ecr_conn_xonxoff_ser, ecr_recv_xonxoff_ser, ecr_disc_xonxoff_ser",
            "veltra serial recv --port 1 --baud 9600 --max 256 --seconds 30"),
    };
}

}  // namespace veltra::tool
