// Commands of the raw TCP line channel: a text or a file sent to the
// register, and the bytes it sends back. Each command connects, does its one
// thing and disconnects.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <ostream>
#include <vector>

#include "command_table.hpp"
#include "internal.hpp"
#include "veltra.h"

namespace veltra::tool {

void add_receive_options(CLI::App& app, ReceiveOptions& o) {
    app.add_option("--max", o.max, "at most this many bytes (1 to 65536; 1024)")
        ->check(CLI::Range(1, 65536));
    app.add_option("--seconds", o.seconds,
                   "give up after this many seconds without data (1 to 3600; 10)")
        ->check(CLI::Range(1, 3600));
}

int finish_received(Context& ctx, const char* function, std::int32_t r, const char* bytes,
                    nlohmann::json extra) {
    if (r > 0) {
        std::string text, hex;
        for (std::int32_t i = 0; i < r; ++i) {
            const auto b = static_cast<unsigned char>(bytes[i]);
            // Each byte one code point: any bytes make valid JSON text.
            if (b < 0x80) {
                text += static_cast<char>(b);
            } else {
                text += static_cast<char>(0xC0 | (b >> 6));
                text += static_cast<char>(0x80 | (b & 0x3F));
            }
            char pair[3];
            std::snprintf(pair, sizeof pair, "%02x", b);
            hex += pair;
        }
        extra["text"] = text;
        extra["hex"] = hex;
        // The bytes as they came, without a line end of the tool's.
        if (!ctx.json) ctx.out().write(bytes, r).flush();
    } else {
        extra["text"] = "";
        extra["hex"] = "";
    }
    return ctx.finish(function, r, true, "", extra);
}

namespace {

// Which line port the library uses, as the user can change it.
std::string line_hint(std::int32_t r, const std::string& host_label) {
    if (r != ERR_TIMEOUT && r != ERR_CONNECT_FAILED && r != ERR_CONNECT_CLOSED) return "";
    const auto set = sys::env_get("ECR_LINE_PORT");
    return "does the register at " + host_label + " answer on its line port? " +
           (set ? "ECR_LINE_PORT is " + *set : std::string("ECR_LINE_PORT is not set: port 1723"));
}

// Connects, runs work on the socket and disconnects; a failed connect is the
// command's result.
template <class Work>
int with_connection(Context& ctx, Work work) {
    const std::int32_t sock = ecr_conn_xonxoff_ntw(ctx.host());
    if (sock < 0) {
        return ctx.finish("ecr_conn_xonxoff_ntw", sock, false, "", nlohmann::json::object(),
                          line_hint(sock, ctx.host_label()));
    }
    const int status = work(sock);
    ecr_disc_xonxoff_ntw(sock);
    return status;
}

struct LineSend {
    std::string text;

    void declare(CLI::App& app) {
        app.add_option("TEXT", text, "the text, in the register's line protocol")->required();
    }
    int run(Context& ctx) {
        return with_connection(ctx, [&](std::int32_t sock) {
            const std::int32_t r = ecr_send_xonxoff_ntw(sock, text.c_str());
            return ctx.finish("ecr_send_xonxoff_ntw", r, false,
                              std::to_string(text.size()) + " bytes sent to " + ctx.host_label(),
                              {{"bytes", text.size()}});
        });
    }
};

struct LineFile {
    std::string file;

    void declare(CLI::App& app) { app.add_option("FILE", file, "the text file")->required(); }
    int run(Context& ctx) {
        return with_connection(ctx, [&](std::int32_t sock) {
            const std::int32_t r = ecr_file_xonxoff_ntw(sock, file.c_str());
            return ctx.finish("ecr_file_xonxoff_ntw", r, false,
                              file + " sent to " + ctx.host_label(),
                              {{"file", file}, {"bytes", ecr_file_size(file.c_str())}});
        });
    }
};

struct LineRecv {
    ReceiveOptions o;

    void declare(CLI::App& app) {
        add_receive_options(app, o);
        app.footer("Nothing received within --seconds prints nothing and exits 0.");
    }
    int run(Context& ctx) {
        return with_connection(ctx, [&](std::int32_t sock) {
            std::vector<char> buf(static_cast<std::size_t>(o.max));
            const std::int32_t r = ecr_recv_xonxoff_ntw(sock, buf.data(), o.max, o.seconds);
            return finish_received(ctx, "ecr_recv_xonxoff_ntw", r, buf.data(),
                                   nlohmann::json::object());
        });
    }
};

}  // namespace

std::vector<Command> line_commands() {
    return {
        command<LineSend>(
            {"line", "send"},
            "send TEXT to the register over its line port, piece by piece as it accepts them",
            "ecr_conn_xonxoff_ntw, ecr_send_xonxoff_ntw, ecr_disc_xonxoff_ntw",
            "veltra --host 192.168.1.20 line send '\"01\"202F'"),
        command<LineFile>(
            {"line", "file"},
            "send a text file to the register over its line port, in blocks of 1024 bytes",
            "ecr_conn_xonxoff_ntw, ecr_file_xonxoff_ntw, ecr_disc_xonxoff_ntw",
            "veltra --host 192.168.1.20 line file keys.txt"),
        command<LineRecv>(
            {"line", "recv"},
            "print the bytes the register sends on its line port (the first read that brings any)",
            "ecr_conn_xonxoff_ntw, ecr_recv_xonxoff_ntw, ecr_disc_xonxoff_ntw",
            "veltra --host 192.168.1.20 line recv --max 256 --seconds 30"),
    };
}

}  // namespace veltra::tool
