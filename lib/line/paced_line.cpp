// The shared half of the raw channels: answer pacing, receive modes, file blocks.
#include "line/paced_line.hpp"

#include <cstring>
#include <vector>

#include "frame/file_handle.hpp"
#include "frame/trace.hpp"
#include "net/endpoints.hpp"
#include "sys/clock.hpp"
#include "veltra.h"

namespace veltra {

LineAnswer line_answer(std::uint8_t byte, bool v10) {
    if (byte == kLineAccepted || (v10 && byte == kLineAcceptedV1)) return LineAnswer::kAccepted;
    if (byte == kLineResendLater || (v10 && byte == kLineResendLaterV1)) {
        return LineAnswer::kResendLater;
    }
    if (byte == kLineResendSoon || (v10 && byte == kLineResendSoonV1)) {
        return LineAnswer::kResendSoon;
    }
    return LineAnswer::kIgnored;
}

std::int32_t send_paced(PieceLink& link, std::string_view text, bool v10) {
    std::size_t at = 0;
    while (at < text.size()) {
        const std::size_t len = std::min<std::size_t>(kLinePieceMax, text.size() - at);
        const std::span<const std::uint8_t> piece(
            reinterpret_cast<const std::uint8_t*>(text.data() + at), len);
        int refusals = 0;
        bool accepted = false;
        while (!accepted) {
            if (const std::int32_t r = link.send_piece(piece); r != 0) return r;
            const std::uint64_t deadline = sys::monotonic_ms() + link.answer_wait_ms();
            LineAnswer answer = LineAnswer::kIgnored;
            while (answer == LineAnswer::kIgnored) {
                const std::uint64_t now = sys::monotonic_ms();
                if (now >= deadline) return ERR_TIMEOUT;
                std::uint8_t byte = 0;
                const std::int32_t r =
                    link.read_answer(byte, static_cast<std::uint32_t>(deadline - now));
                if (r != 0) return r;
                ecr_trace("%s printer response: codice='%02X'\n", ecr_trace_time(),
                          static_cast<unsigned>(byte));
                answer = line_answer(byte, v10);
            }
            if (answer == LineAnswer::kAccepted) {
                accepted = true;
            } else {
                if (++refusals > kLineResendMax) return ERR_TIMEOUT;
                link.pause_ms(answer == LineAnswer::kResendLater ? kResendLaterMs : kResendSoonMs);
            }
        }
        at += len;
    }
    return 0;
}

ReceiveMode receive_mode(std::int32_t buflen) {
    if (buflen == 0) return ReceiveMode::kDrain;
    return buflen > 0 ? ReceiveMode::kFirstData : ReceiveMode::kFill;
}

Received receive_into(ByteReader& reader, std::uint8_t* buf, std::int32_t buflen,
                      std::int32_t wait_limit) {
    const bool fill = buflen < 0;
    // -INT32_MIN does not fit; the widest room is INT32_MAX either way.
    const std::size_t size = fill ? static_cast<std::size_t>(-static_cast<std::int64_t>(buflen))
                                  : static_cast<std::size_t>(buflen);
    const std::size_t room = std::min<std::size_t>(size, 0x7FFFFFFF);
    Received got;
    std::size_t count = 0;
    std::int32_t waits = 0;
    for (;;) {
        const ReadStep step = reader.read(std::span<std::uint8_t>(buf + count, room - count));
        if (step.kind == ReadStep::Kind::kData) {
            count += step.bytes;
            if (!fill || count >= room) break;
            continue;
        }
        if (step.kind == ReadStep::Kind::kEnd) {
            got.result = step.result;
            return got;
        }
        ++waits;
        if (wait_limit > 0 && waits >= wait_limit) {
            got.result = 0;
            return got;  // in fill mode the partial count is not reported
        }
        if (const std::int32_t r = reader.after_wait(waits); r != 0) {
            got.result = r;
            return got;
        }
    }
    got.count = static_cast<std::int32_t>(count);
    return got;
}

std::int32_t send_file_blocks(const char* filename, std::int32_t size,
                              const std::function<std::int32_t(const char* text)>& send_block) {
    if (size < 0) return ERR_FILE_NOT_FOUND;
    if (size == 0) return ERR_INVALID_FILESIZE;
    File file(std::fopen(filename, "rb"));
    if (!file) return ERR_FILE_NOT_FOUND;
    std::vector<char> block(kFileBlock + 1);
    std::size_t left = static_cast<std::size_t>(size);
    std::int32_t result = 0;
    while (result == 0 && left > 0) {
        const std::size_t want = std::min(kFileBlock, left);
        // A short read (a read error, a file cut meanwhile) is never sent as if whole.
        if (std::fread(block.data(), 1, want, file.get()) != want) return ERR_FILE_NOT_FOUND;
        block[want] = '\0';
        result = send_block(block.data());
        left -= want;
    }
    return result;
}

}  // namespace veltra
