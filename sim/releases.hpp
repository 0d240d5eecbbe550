// Firmware releases on the simulated register: the check it makes before
// it installs a received release, the release it runs (kept in its state
// directory), and sample release files to try an update with.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "le_bytes.hpp"

namespace ecrsim {

// The release the register runs, kept across starts in the state directory.
inline constexpr const char* kReleaseStateFile = ".ecrsim-release";

struct ReleaseText {
    std::string name;
    std::string version;
};

// The fields of a release image to build; the defaults make a sound one.
struct ReleaseFields {
    std::string text = "ELT5 V5.03";    // release text at 65544, NUL-padded to 64 bytes
    std::uint32_t bitmap = 'L';         // word at 65540
    std::uint32_t mark20 = 0xE1A00000;  // word at 20
    std::uint32_t mark28 = 0;           // word at 28
    std::size_t size = 131072;
};

// A release image with its CRC-32 in the last four bytes (sizes below 4
// give zero bytes). Fields that do not fit in `size` are left out.
Bytes build_release(const ReleaseFields& fields);
// Stores the CRC-32 of all but the last four bytes in them.
void seal_release(Bytes& image);

// The register's check of a received release image: size, CRC, image mark,
// release text and bitmap type. Its identity, or nothing with why set.
std::optional<ReleaseText> check_release(const Bytes& image, std::string& why);

// What the register does with a received release file: it checks it, and
// runs it (installed, stored as FILE in dir) when it is sound and of its own
// release name current_name; else it keeps the release it has. Returns the
// line the program prints.
std::string receive_release(const std::filesystem::path& dir, const std::string& file,
                            const Bytes& image, const std::string& current_name,
                            std::optional<ReleaseText>& installed);

std::optional<ReleaseText> load_installed_release(const std::filesystem::path& dir);

// Sample release files for an update: one of the register's own release
// name with the next version (none when the register has no release name),
// and one of another name. Returns the files written, named NAME_VERSION.BIN.
std::vector<std::filesystem::path> write_sample_releases(const std::filesystem::path& dir,
                                                         const std::string& name,
                                                         const std::string& version, char bitmap);

// The next version: the last number in the text one up, its width kept
// ("V5.02" gives "V5.03"); a text without digits gets "1" appended.
std::string next_version(const std::string& version);

}  // namespace ecrsim
