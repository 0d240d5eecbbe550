// One TFTP transfer with the library's client, for the benchmarks.
// Usage: tftp_transfer get|put HOST PATH   (port from ECR_TFTP_PORT)
#include <cstdio>
#include <cstring>

#include "frame/library_frame.hpp"
#include "net/resolve.hpp"
#include "net/tftp_client.hpp"
#include "sys/module.hpp"

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: tftp_transfer get|put HOST PATH\n");
        return 2;
    }
    veltra::library_notify(veltra::sys::module_handle(), veltra::kProcessAttach);
    std::uint32_t addr = 0;
    int result = veltra::ecr_resolve_host(argv[2], addr);
    if (result == 0) {
        result = std::strcmp(argv[1], "put") == 0 ? veltra::ecr_tftp_put(addr, argv[3])
                                                  : veltra::ecr_tftp_get(addr, argv[3]);
    }
    veltra::library_notify(veltra::sys::module_handle(), veltra::kProcessDetach);
    if (result != 0) std::fprintf(stderr, "transfer failed: %d\n", result);
    return result == 0 ? 0 : 1;
}
