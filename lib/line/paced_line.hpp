// What the network and serial channels share: the register's answer bytes
// and the pacing of pieces by them, the three receive modes of buflen, and
// files sent in text blocks.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string_view>

namespace veltra {

// The answer table: accepted, resend after 1000 ms, resend after 100 ms,
// or a byte to skip. The digit forms count only on a first-generation
// register (ecr_v10_ntw).
enum class LineAnswer { kAccepted, kResendLater, kResendSoon, kIgnored };
LineAnswer line_answer(std::uint8_t byte, bool v10);

inline constexpr std::uint32_t kResendLaterMs = 1000;
inline constexpr std::uint32_t kResendSoonMs = 100;
// A piece refused this many times in a row is given up on (ERR_TIMEOUT):
// two minutes of 0x15 answers, twelve seconds of 0x07.
inline constexpr int kLineResendMax = 120;
// The longest wait for the answer to one piece sent, stray bytes or not.
inline constexpr std::uint32_t kLineAnswerWaitMs = 60000;

// The link under the piece sender.
class PieceLink {
public:
    virtual ~PieceLink() = default;
    // Hands one piece over whole: 0 or a failure result.
    virtual std::int32_t send_piece(std::span<const std::uint8_t> piece) = 0;
    // Reads one answer byte within wait_ms: 0, ERR_TIMEOUT or a failure.
    virtual std::int32_t read_answer(std::uint8_t& byte, std::uint32_t wait_ms) = 0;
    virtual void pause_ms(std::uint32_t ms) = 0;
    // The longest wait for the answer to one piece sent.
    virtual std::uint32_t answer_wait_ms() const { return kLineAnswerWaitMs; }
};

// Sends text in pieces of at most kLinePieceMax bytes, each paced by its
// answer byte as the table says. 0, ERR_TIMEOUT or the link's failure.
std::int32_t send_paced(PieceLink& link, std::string_view text, bool v10);

// The buflen modes: 0 drops pending input, more than 0 returns with the
// first data (up to buflen bytes), less than 0 fills exactly -buflen bytes.
enum class ReceiveMode { kDrain, kFirstData, kFill };
ReceiveMode receive_mode(std::int32_t buflen);

// One read of a receive loop.
struct ReadStep {
    enum class Kind { kData, kTimedOut, kEnd } kind = Kind::kEnd;
    std::size_t bytes = 0;    // kData
    std::int32_t result = 0;  // kEnd: the call's result (the count is dropped)
};

class ByteReader {
public:
    virtual ~ByteReader() = default;
    virtual ReadStep read(std::span<std::uint8_t> room) = 0;
    // After each empty read that did not reach the limit: 0 to go on, or a
    // result that ends the call (the count is dropped).
    virtual std::int32_t after_wait(std::int32_t waits) = 0;
};

struct Received {
    std::int32_t result = 0;  // 0 or a failure
    std::int32_t count = 0;   // bytes stored and reported
    // What the exported call returns: the count when there is one.
    std::int32_t value() const { return count > 0 ? count : result; }
};

// Runs the first-data or fill mode into buf of |buflen| bytes. wait_limit
// empty reads (0 or less: no limit) end the call with 0; in fill mode the
// bytes already stored are then not reported.
Received receive_into(ByteReader& reader, std::uint8_t* buf, std::int32_t buflen,
                      std::int32_t wait_limit);

// Files go out as text blocks of at most 1024 bytes.
inline constexpr std::size_t kFileBlock = 1024;

// Sends the file of `size` bytes (ecr_file_size) block by block; a NUL in a
// block ends that block's text. ERR_FILE_NOT_FOUND when it is missing
// (size -1), cannot be opened or cannot be read to its end;
// ERR_INVALID_FILESIZE when it is empty; else the result of the last block
// sent (the first failure stops).
std::int32_t send_file_blocks(const char* filename, std::int32_t size,
                              const std::function<std::int32_t(const char* text)>& send_block);

}  // namespace veltra
