// ecrsim: a simulated register for development without a real one. Runs
// until asked to stop (SIGINT or SIGTERM; Ctrl+C on Windows) and prints one
// line per command, transfer and key.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "net/endpoints.hpp"
#include "options_parse.hpp"
#include "releases.hpp"
#include "serial_line.hpp"
#include "simulator.hpp"
#include "stop_request.hpp"

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    ecrsim::ProgramOptions p;
    std::string error;
    p.options.tftp_port = veltra::tftp_port();
    p.options.line_port = veltra::line_port();
    p.options.keyboard_port = 9930;
    if (!ecrsim::parse_program_options(args, p, error)) {
        std::cerr << "ecrsim: " << error << "\n" << ecrsim::kUsage;
        return 2;
    }
    if (p.help) {
        std::cout << ecrsim::kUsage;
        return 0;
    }
    p.options.log = [](const std::string& line) { std::cout << line << std::endl; };
    p.options.record = false;
    ecrsim::watch_stop_requests();
    try {
        std::unique_ptr<ecrsim::SerialLine> serial;
        if (p.serial) {
            serial = std::make_unique<ecrsim::SerialLine>(
                ecrsim::SerialOptions{p.serial_path, p.serial_echo, p.options.log});
            std::cout << "ecrsim: serial line on " << serial->device()
                      << (p.serial_echo ? ", echo on" : ", echo off") << std::endl;
        }
        std::unique_ptr<ecrsim::Register> reg;
        if (!p.options.state_dir.empty()) {
            reg = std::make_unique<ecrsim::Register>(p.options);
            for (const auto& f : p.faults) reg->add_fault(f);
            if (!p.line_answers.empty()) reg->script_line(p.line_answers);
            reg->set_keep_busy(p.keep_busy);
            if (!p.release_dir.empty()) {
                const std::vector<std::string> info = reg->info_values();
                for (const auto& f : ecrsim::write_sample_releases(
                         p.release_dir, info[21], info[0], info[1].empty() ? 'L' : info[1][0]))
                    std::cout << "ecrsim: release file " << f.string() << std::endl;
            }
            std::cout << "ecrsim: ready, TFTP " << reg->address() << ":" << reg->tftp_port()
                      << ", line " << reg->line_port() << ", display " << reg->keyboard_port()
                      << std::endl;
        }
        while (!ecrsim::stop_requested())
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        std::cout << "ecrsim: stopped" << std::endl;
    } catch (const std::exception& e) {
        std::cerr << "ecrsim: " << e.what() << "\n";
        return 1;
    }
    return 0;
}
