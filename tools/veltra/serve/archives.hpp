// The archive store: each register's backups kept compressed in the state
// folder (archives/<register>/), each checked after it is written, listed
// in the journal's catalogue, and thinned by a retention rule that never
// deletes a register's newest good archive.
#pragma once

#include <cstdint>
#include <filesystem>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "journal.hpp"

namespace veltra::tool::serve {

// One archive as the catalogue lists it.
struct ArchiveInfo {
    std::string register_name;
    std::string name;  // the file's name in the register's folder
    std::string job_id;
    std::int64_t time_ms = 0;     // when it was saved (the service's clock)
    std::int64_t size = 0;        // bytes on disk, compressed
    std::int64_t plain_size = 0;  // bytes of the archive itself
    std::uint32_t crc32 = 0;      // the archive's own CRC-32 (its last four bytes)
    std::string version, release;
    bool good = false;            // it passed its check after writing
    std::string reason;           // why not, when not
    std::int64_t deleted_ms = 0;  // when the rule deleted it; 0 while listed
};

// What an archive's bytes show: exactly kArchiveSize of them, the CRC-32 of
// all but the last four equal to those four (little-endian), and the
// register's version and release from the header (its INFO answer).
class ArchiveCheck {
public:
    // The bytes in order, in pieces of any size.
    void add(std::span<const std::uint8_t> piece);
    // Fills plain_size, crc32, version, release, good and reason.
    void result(ArchiveInfo& out) const;

private:
    std::uint64_t size_ = 0;
    std::uint32_t crc_ = 0;  // the running CRC-32 of the body
    std::string header_;
    std::uint8_t stored_[4] = {};
};

// How many of a register's archives are kept: the newest `count` good ones
// and those younger than `days`, whichever keeps more (0: that limit is not
// used; both 0 keeps everything).
struct Retention {
    int count = 0;
    int days = 0;
};

class ArchiveStore {
public:
    // zlib's fastest level: an archive is mostly empty records, which it
    // shrinks nearly as well as the default level does (26x against 27x for
    // the demo's register), in less time.
    static constexpr int kLevel = 1;

    // root: the folder of the registers' folders (state folder/archives).
    ArchiveStore(Journal& journal, std::filesystem::path root);

    // Compresses a complete archive the register gave (plain, as the worker
    // saved it) into the register's folder, reads it back to check it
    // (decompressed, its size and its CRC-32), and lists it. A bad one is
    // listed as not good, with the reason; the plain file stays the
    // caller's. Throws only when the catalogue cannot be written.
    ArchiveInfo keep(const std::string& register_name, const std::filesystem::path& plain,
                     const std::string& job_id, std::int64_t time_ms);
    // The register's archives still listed, newest first: those on disk,
    // and the bad ones, whose file went at once (only their reason stays).
    std::vector<ArchiveInfo> list(const std::string& register_name) const;
    // One listed archive.
    std::optional<ArchiveInfo> find(const std::string& register_name,
                                    const std::string& name) const;
    std::optional<ArchiveInfo> newest_good(const std::string& register_name) const;
    // Deletes what the rule does not keep, as of now_ms; never the newest
    // good archive. Returns the names deleted.
    std::vector<std::string> retain(const std::string& register_name, const Retention& rule,
                                    std::int64_t now_ms);
    // Where a listed archive is; nothing for a name not in the catalogue
    // (or a bad archive, which has no file).
    std::optional<std::filesystem::path> path_of(const std::string& register_name,
                                                 const std::string& name) const;

    // Checks a .gz archive: inflated (never beyond kArchiveSize), then as
    // ArchiveCheck does. size is the .gz's; reason says what failed.
    static ArchiveInfo check_file(const std::filesystem::path& gz);

private:
    // A name no archive of the register has had, on disk or in the catalogue.
    std::string free_name(const std::string& register_name, std::int64_t time_ms) const;

    Journal& journal_;
    std::filesystem::path root_;
    std::mutex mutex_;  // one keep or retain at a time: names and deletions stay apart
};

}  // namespace veltra::tool::serve
