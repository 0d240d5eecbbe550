// ecrsim's main loop: parse the options, start the register, print one line
// per command, transfer and key until a stop is requested.
#include "program.hpp"

#include <chrono>
#include <exception>
#include <memory>
#include <thread>

#include "net/endpoints.hpp"
#include "options_parse.hpp"
#include "releases.hpp"
#include "serial_line.hpp"
#include "simulator.hpp"
#include "stop_request.hpp"

namespace ecrsim {

int run_program(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
                const char* name) {
    ProgramOptions p;
    std::string error;
    p.options.tftp_port = veltra::tftp_port();
    p.options.line_port = veltra::line_port();
    p.options.keyboard_port = 9930;
    if (!parse_program_options(args, p, error)) {
        err << name << ": " << error << "\n" << kUsage;
        return 2;
    }
    if (p.help) {
        out << kUsage;
        return 0;
    }
    p.options.log = [&out](const std::string& line) { out << line << std::endl; };
    p.options.record = false;
    watch_stop_requests();
    try {
        std::unique_ptr<SerialLine> serial;
        if (p.serial) {
            serial = std::make_unique<SerialLine>(
                SerialOptions{p.serial_path, p.serial_echo, p.options.log});
            out << name << ": serial line on " << serial->device()
                << (p.serial_echo ? ", echo on" : ", echo off") << std::endl;
        }
        // Without a state directory only the serial line runs.
        std::unique_ptr<Register> reg;
        if (!p.options.state_dir.empty()) {
            reg = std::make_unique<Register>(p.options);
            for (const auto& f : p.faults) reg->add_fault(f);
            if (!p.line_answers.empty()) reg->script_line(p.line_answers);
            reg->set_keep_busy(p.keep_busy);
            if (!p.release_dir.empty()) {
                const std::vector<std::string> info = reg->info_values();
                for (const auto& f : write_sample_releases(p.release_dir, info[21], info[0],
                                                           info[1].empty() ? 'L' : info[1][0]))
                    out << name << ": release file " << f.string() << std::endl;
            }
            out << name << ": ready, TFTP " << reg->address() << ":" << reg->tftp_port()
                << ", line " << reg->line_port() << ", display " << reg->keyboard_port()
                << std::endl;
        }
        while (!stop_requested()) std::this_thread::sleep_for(std::chrono::milliseconds(50));
        out << name << ": stopped" << std::endl;
    } catch (const std::exception& e) {
        err << name << ": " << e.what() << "\n";
        return 1;
    }
    return 0;
}

}  // namespace ecrsim
