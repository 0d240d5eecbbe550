// The register's endpoints as the library and DELPAD use them: ports,
// command and answer files, command words and the raw channel's answer bytes.
// The simulated register (ecrsim) takes the same constants.
#pragma once

#include <cstdint>

namespace veltra {

// Name the register's installation gives it; an empty host text or one
// beginning with "@" stands for it.
inline constexpr const char* kDefaultHostName = "cassa";

// Host texts are at most this many characters; longer ones are refused.
inline constexpr unsigned kHostTextMax = 31;

// The register's TFTP server and raw text channel. ECR_TFTP_PORT and
// ECR_LINE_PORT name other ports (for a simulated register, or a non-root
// user); they are read at the moment of use.
inline constexpr std::uint16_t kTftpPort = 500;
inline constexpr std::uint16_t kLinePort = 1723;
inline constexpr const char* kTftpPortVariable = "ECR_TFTP_PORT";
inline constexpr const char* kLinePortVariable = "ECR_LINE_PORT";

// The port a variable names (a decimal number from 1 to 65535), or the
// fallback when the variable is absent or holds anything else.
std::uint16_t register_port(const char* variable, std::uint16_t fallback);
inline std::uint16_t tftp_port() {
    return register_port(kTftpPortVariable, kTftpPort);
}
inline std::uint16_t line_port() {
    return register_port(kLinePortVariable, kLinePort);
}

// Files of the command exchange.
inline constexpr const char* kCommandFile = "COMMAND.TXT";
inline constexpr const char* kResponseFile = "RESPONSE.TXT";

// The register's commands, sent as the whole text of COMMAND.TXT.
inline constexpr const char* kCmdInfo = "INFO";
inline constexpr const char* kCmdSetupOn = "SETUP 1";
inline constexpr const char* kCmdSetupOff = "SETUP 0";
inline constexpr const char* kCmdAzzDati = "AZZDATI";
inline constexpr const char* kCmdAzzFat = "AZZFAT";
inline constexpr const char* kCmdAzzVenCorr = "AZZVEN_CORR";
inline constexpr const char* kCmdAzzFis = "AZZFIS";
inline constexpr const char* kCmdAzzVenArch = "AZZVEN_ARCH";
inline constexpr const char* kCmdVendCorr = "VENDCORR";

// TFTP (octet mode, 512-byte blocks, no options).
inline constexpr std::uint16_t kTftpRrq = 1;
inline constexpr std::uint16_t kTftpWrq = 2;
inline constexpr std::uint16_t kTftpData = 3;
inline constexpr std::uint16_t kTftpAck = 4;
inline constexpr std::uint16_t kTftpError = 5;
inline constexpr unsigned kTftpBlockSize = 512;
inline constexpr std::uint16_t kTftpErrNotFound = 1;
inline constexpr std::uint16_t kTftpErrAccess = 2;
inline constexpr std::uint16_t kTftpErrDiskFull = 3;

// Answer bytes of the raw channel, one per piece of text received.
inline constexpr std::uint8_t kLineAccepted = 0x06;
inline constexpr std::uint8_t kLineResendLater = 0x15;
inline constexpr std::uint8_t kLineResendSoon = 0x07;
// Registers of the first generation answer with digits instead.
inline constexpr std::uint8_t kLineAcceptedV1 = '0';
inline constexpr std::uint8_t kLineResendLaterV1 = '1';
inline constexpr std::uint8_t kLineResendSoonV1 = '2';
inline constexpr unsigned kLinePieceMax = 512;

}  // namespace veltra
