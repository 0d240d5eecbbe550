// gzip files on zlib: deflate with the gzip wrapper, inflate with a limit.
// zlib checks each member's own CRC-32 and length as it inflates.
#include "gzip_file.hpp"

#include <zlib.h>

#include <array>
#include <fstream>
#include <system_error>
#include <vector>

namespace veltra::tool {
namespace {

namespace fs = std::filesystem;

constexpr std::size_t kChunk = 64 * 1024;
// windowBits for deflate and inflate: 15, plus 16 for the gzip wrapper only.
constexpr int kGzipWindow = 15 + 16;

std::string name_of(const fs::path& p) {
    return p.string();
}

// The zlib stream, ended however the work ends.
class Deflater {
public:
    explicit Deflater(int level) {
        if (deflateInit2(&s, level, Z_DEFLATED, kGzipWindow, 8, Z_DEFAULT_STRATEGY) != Z_OK)
            throw GzipError(GzipError::Kind::io, "zlib: cannot start compressing");
    }
    ~Deflater() { deflateEnd(&s); }
    Deflater(const Deflater&) = delete;
    Deflater& operator=(const Deflater&) = delete;
    z_stream s{};
};

class Inflater {
public:
    Inflater() {
        if (inflateInit2(&s, kGzipWindow) != Z_OK)
            throw GzipError(GzipError::Kind::io, "zlib: cannot start inflating");
    }
    ~Inflater() { inflateEnd(&s); }
    Inflater(const Inflater&) = delete;
    Inflater& operator=(const Inflater&) = delete;
    z_stream s{};
};

// A file written as "<target>.part", removed unless committed.
class PartFile {
public:
    explicit PartFile(const fs::path& target) : target_(target), part_(target) {
        part_ += ".part";
        out.open(part_, std::ios::binary | std::ios::trunc);
        if (!out) throw GzipError(GzipError::Kind::io, "cannot write " + name_of(part_));
    }
    ~PartFile() {
        if (committed_) return;
        out.close();
        std::error_code ec;
        fs::remove(part_, ec);
    }
    PartFile(const PartFile&) = delete;
    PartFile& operator=(const PartFile&) = delete;

    void write(std::span<const std::uint8_t> data) {
        out.write(reinterpret_cast<const char*>(data.data()),
                  static_cast<std::streamsize>(data.size()));
        if (!out) throw GzipError(GzipError::Kind::io, "cannot write " + name_of(part_));
    }
    void commit() {
        out.close();
        if (!out) throw GzipError(GzipError::Kind::io, "cannot write " + name_of(part_));
        std::error_code ec;
        fs::rename(part_, target_, ec);
        if (ec)
            throw GzipError(GzipError::Kind::io,
                            "cannot rename " + name_of(part_) + ": " + ec.message());
        committed_ = true;
    }

    std::ofstream out;

private:
    fs::path target_, part_;
    bool committed_ = false;
};

// Reads up to buffer's size; the count read. A failed read that is not
// the end of the file throws.
std::size_t read_some(std::ifstream& in, std::span<std::uint8_t> buffer, const fs::path& file) {
    in.read(reinterpret_cast<char*>(buffer.data()), static_cast<std::streamsize>(buffer.size()));
    const auto n = static_cast<std::size_t>(in.gcount());
    if (!in && !in.eof()) throw GzipError(GzipError::Kind::io, "cannot read " + name_of(file));
    return n;
}

}  // namespace

bool is_gzip(std::span<const std::uint8_t> data) {
    return data.size() >= 2 && data[0] == 0x1f && data[1] == 0x8b;
}

bool is_gzip(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::array<std::uint8_t, 2> magic{};
    in.read(reinterpret_cast<char*>(magic.data()), 2);
    return in.gcount() == 2 && is_gzip(magic);
}

std::uint64_t gzip_file(const fs::path& plain, const fs::path& gz, int level) {
    std::ifstream in(plain, std::ios::binary);
    if (!in) throw GzipError(GzipError::Kind::io, "cannot read " + name_of(plain));
    PartFile out(gz);
    Deflater z(level);
    std::vector<std::uint8_t> input(kChunk), output(kChunk);
    std::uint64_t written = 0;
    bool last = false;
    while (!last) {
        const std::size_t n = read_some(in, input, plain);
        last = in.eof();
        z.s.next_in = input.data();
        z.s.avail_in = static_cast<uInt>(n);
        // Each piece of input is deflated until zlib asks for more; the
        // last one until the stream ends.
        int rc = Z_OK;
        do {
            z.s.next_out = output.data();
            z.s.avail_out = static_cast<uInt>(output.size());
            rc = deflate(&z.s, last ? Z_FINISH : Z_NO_FLUSH);
            if (rc == Z_STREAM_ERROR)
                throw GzipError(GzipError::Kind::io, "zlib: compressing failed");
            const std::size_t produced = output.size() - z.s.avail_out;
            out.write(std::span(output.data(), produced));
            written += produced;
        } while (z.s.avail_out == 0 || (last && rc != Z_STREAM_END));
    }
    out.commit();
    return written;
}

std::uint64_t gunzip_each(const fs::path& gz, std::uint64_t limit,
                          const std::function<void(std::span<const std::uint8_t>)>& sink) {
    std::ifstream in(gz, std::ios::binary);
    if (!in) throw GzipError(GzipError::Kind::io, "cannot read " + name_of(gz));
    std::vector<std::uint8_t> input(kChunk), output(kChunk);
    std::size_t n = read_some(in, input, gz);
    if (!is_gzip(std::span(input.data(), n)))
        throw GzipError(GzipError::Kind::not_gzip, "not a gzip file");
    Inflater z;
    z.s.next_in = input.data();
    z.s.avail_in = static_cast<uInt>(n);
    std::uint64_t total = 0;
    bool member_ended = false;
    // False while zlib may hold output it had no room for: that comes out
    // before any more input goes in.
    bool drained = true;
    for (;;) {
        if (z.s.avail_in == 0 && (drained || member_ended)) {
            n = read_some(in, input, gz);
            if (n == 0) break;
            z.s.next_in = input.data();
            z.s.avail_in = static_cast<uInt>(n);
        }
        if (member_ended) {
            // Another member may follow; anything else is not gzip data.
            if (z.s.next_in[0] != 0x1f || (z.s.avail_in > 1 && z.s.next_in[1] != 0x8b))
                throw GzipError(GzipError::Kind::corrupt, "data after the end of the gzip stream");
            inflateReset(&z.s);
            member_ended = false;
        }
        z.s.next_out = output.data();
        z.s.avail_out = static_cast<uInt>(output.size());
        const int rc = inflate(&z.s, Z_NO_FLUSH);
        if (rc == Z_DATA_ERROR || rc == Z_NEED_DICT)
            throw GzipError(GzipError::Kind::corrupt,
                            std::string("corrupt gzip data") +
                                (z.s.msg ? std::string(" (") + z.s.msg + ")" : ""));
        if (rc == Z_MEM_ERROR || rc == Z_STREAM_ERROR)
            throw GzipError(GzipError::Kind::io, "zlib: inflating failed");
        const std::size_t produced = output.size() - z.s.avail_out;
        if (produced > limit - total)
            throw GzipError(GzipError::Kind::too_large,
                            "it inflates to more than " + std::to_string(limit) + " bytes");
        total += produced;
        if (produced > 0) sink(std::span<const std::uint8_t>(output.data(), produced));
        drained = z.s.avail_out != 0;
        if (rc == Z_STREAM_END) member_ended = true;
    }
    if (!member_ended)
        throw GzipError(GzipError::Kind::truncated, "the gzip data ends early (a truncated file)");
    return total;
}

std::uint64_t gunzip_file(const fs::path& gz, const fs::path& plain, std::uint64_t limit) {
    PartFile out(plain);
    const std::uint64_t size =
        gunzip_each(gz, limit, [&out](std::span<const std::uint8_t> piece) { out.write(piece); });
    out.commit();
    return size;
}

std::string gunzip_text(const fs::path& gz, std::uint64_t limit) {
    std::string text;
    gunzip_each(gz, limit, [&text](std::span<const std::uint8_t> piece) {
        text.append(reinterpret_cast<const char*>(piece.data()), piece.size());
    });
    return text;
}

}  // namespace veltra::tool
