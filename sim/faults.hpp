// Faults that a test or the command line scripts into a simulated register:
// what its TFTP server does wrong with which datagram, and how its raw
// channel answers the pieces it receives.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace ecrsim {

enum class FaultKind {
    Drop,          // the datagram is lost
    Duplicate,     // the datagram goes out (or is taken) twice
    Delay,         // the datagram goes out (or is taken) delay_ms later
    Error,         // the datagram is answered with ERROR code, ending the transfer
    Silent,        // the request gets no answer at all, ever
    OtherPort,     // the datagram goes out from another port of the same address
    OtherAddress,  // the datagram goes out from another loopback address
    Short,         // a 3-byte datagram goes out just before it
    Garbage,       // a datagram of unknown opcode goes out just before it
};

enum class Direction { In, Out };

// One fault for one datagram of a transfer. Datagrams are counted per
// transfer and per direction from 1: incoming 1 is the request, outgoing 1
// is the server's first answer (DATA 1 of a read, ACK 0 of a write).
struct TftpFault {
    FaultKind kind = FaultKind::Drop;
    Direction direction = Direction::Out;
    int nth = 1;
    int delay_ms = 0;        // Delay
    std::uint16_t code = 0;  // Error
    std::string file;        // only transfers of this file; empty: any
    int transfers = 1;       // how many transfers it hits; 0: every one
    int skip = 0;            // matching transfers it lets through first
};

// How the raw channel answers one piece of text.
struct LineAnswer {
    enum class Kind { Bytes, Silence, Close, Stall };
    Kind kind = Kind::Bytes;
    std::string bytes;  // Bytes: sent as the answer (may be several bytes)
};

// Parses "drop:out:3", "dup:in:2", "delay:out:2:6000", "error:1:2" (the
// first incoming datagram answered with ERROR 2), "silent", "port:out:1",
// "addr:out:1", "short:out:1", "garbage:out:1"; an optional "@FILE" suffix
// limits it to one file, and "@FILE#N" to the N-th transfer of that file (a
// client that reads INFO before a command puts COMMAND.TXT twice). Nothing
// when the text is not a fault.
std::optional<TftpFault> parse_tftp_fault(const std::string& text);

// Parses a list of answers such as "15,15,06" or "07,silence,close,stall,31";
// each hex pair is one byte, "x" joins bytes into one answer ("11x06").
std::optional<std::vector<LineAnswer>> parse_line_answers(const std::string& text);

std::string describe(const TftpFault& f);

}  // namespace ecrsim
