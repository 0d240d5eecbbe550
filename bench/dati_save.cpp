// One ecr_dati_save from a register, timed: prints the result and the wall
// time in milliseconds. Run under /usr/bin/time for the peak memory.
// Usage: dati_save ARCHIVE HOST  (ECR_TFTP_PORT names the register's port)
#include <chrono>
#include <cstdio>

#include "veltra.h"

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: dati_save ARCHIVE HOST\n");
        return 2;
    }
    const auto t0 = std::chrono::steady_clock::now();
    const int32_t result = ecr_dati_save(argv[1], argv[2]);
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0)
            .count();
    char name[ECR_ERR_BUFSIZE];
    std::printf("%s %lld\n", ecr_get_err(result, name), static_cast<long long>(ms));
    return result == 0 ? 0 : 1;
}
