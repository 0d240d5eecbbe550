// ecrsim's command-file handling: any COMMAND.TXT, and any file name a
// client asks to read or write, in one seeded state directory. A name that
// is served never leaves the directory.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "fuzz_work_dir.hpp"
#include "register_state.hpp"

namespace {

ecrsim::RegisterState& state() {
    static const veltra::fuzz::WorkDir dir;
    static const std::unique_ptr<ecrsim::RegisterState> s = [] {
        ecrsim::StateConfig config;
        config.dir = dir.path;
        // The old layout keeps the seeded tables small, so a run stays fast.
        config.layout.generation = ecrsim::Generation::Old;
        config.busy_ms = 0;
        return std::make_unique<ecrsim::RegisterState>(config);
    }();
    return *s;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    ecrsim::RegisterState& s = state();
    if (size == 0) return 0;
    const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
    switch (data[0] % 3) {
        case 0:
            s.set_setup(false);
            (void)s.written("COMMAND.TXT", ecrsim::Bytes(text.begin(), text.end()));
            break;
        case 1: {
            const auto r = s.read(text);
            if (r.bytes && (text.find('/') != std::string::npos ||
                            text.find('\\') != std::string::npos || text.rfind("..", 0) == 0))
                std::abort();
            break;
        }
        default:
            s.set_setup(true);
            if (s.may_write(text) == 0 && text != "COMMAND.TXT" && !ecrsim::plain_file_name(text))
                std::abort();
            break;
    }
    return 0;
}
