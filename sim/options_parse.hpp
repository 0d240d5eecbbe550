// The ecrsim program's command line.
#pragma once

#include <string>
#include <vector>

#include "faults.hpp"
#include "simulator.hpp"

namespace ecrsim {

struct ProgramOptions {
    Options options;
    std::vector<TftpFault> faults;
    std::vector<LineAnswer> line_answers;
    bool keep_busy = false;
    bool help = false;
    // The serial endpoint: on a new pseudo-terminal, or on serial_path.
    bool serial = false;
    std::string serial_path;
    bool serial_echo = false;
    std::string release_dir;  // --seed-releases: sample release files go here
};

inline constexpr const char* kUsage =
    "usage: ecrsim --address A --state DIR [options]\n"
    "  --address A          IPv4 address to serve on (127.0.0.1)\n"
    "  --state DIR          the register's state directory (seeded when new)\n"
    "  --no-seed            leave a new state directory empty\n"
    "  --tftp-port N        TFTP port (ECR_TFTP_PORT, else 500; 0 picks one)\n"
    "  --line-port N        raw channel TCP port (ECR_LINE_PORT, else 1723)\n"
    "  --keyboard-port N    display connection TCP port (9930)\n"
    "  --generation G       current | old | unsupported (current)\n"
    "  --bitmap L|S         bitmap type (L)\n"
    "  --matricola SERIAL   the serial number INFO reports (SIM00012345): 1 to 20\n"
    "                       printable characters, no ',' or '='\n"
    "  --history DAYS       archive DAYS past days of sales (up to 3660) not there yet\n"
    "  --busy-ms N          how long a command keeps the register busy (1500)\n"
    "  --retransmit-ms N    TFTP time-out before a datagram goes again (1000)\n"
    "  --seed-releases DIR  write release files to try an update with into DIR:\n"
    "                       the register's release, next version, and another one\n"
    "  --linger-ms N        how long a finished write acknowledges its last block again\n"
    "                       (15000)\n"
    "  --max-transfers N    TFTP transfers at once; more get ERROR 3 (64)\n"
    "faults:\n"
    "  --fault FAULT        drop:in|out:N  dup:in|out:N  delay:in|out:N:MS  error:N:CODE\n"
    "                       silent  port:out:N  addr:out:N  short:out:N  garbage:out:N\n"
    "                       (a suffix @FILE limits it to one file, @FILE#N to its\n"
    "                       N-th transfer; repeatable)\n"
    "  --line-answers LIST  answers to raw-channel pieces in order, e.g. 15,15,06 or\n"
    "                       07,silence,close,stall,11x06 (hex bytes, x joins bytes)\n"
    "  --naks N             answer the next N pieces with 15\n"
    "  --keep-busy          info entry 19 stays 1\n"
    "serial line (POSIX):\n"
    "  --serial [PATH]      play the register's serial line on a new pseudo-terminal\n"
    "                       (its path is printed) or on the device PATH; without\n"
    "                       --state only the serial line runs\n"
    "  --serial-echo        echo every byte received on the serial line\n";

// False with error set when the line is wrong.
bool parse_program_options(const std::vector<std::string>& args, ProgramOptions& out,
                           std::string& error);

}  // namespace ecrsim
