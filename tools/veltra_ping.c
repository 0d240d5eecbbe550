/* veltra-ping: prints the library's version and pings a register.
 * Usage: veltra-ping [host [seconds]]   (host defaults to 127.0.0.1) */
#include <stdio.h>
#include <stdlib.h>

#include "veltra.h"

int main(int argc, char** argv) {
    const char* host = argc > 1 ? argv[1] : "127.0.0.1";
    int32_t seconds = argc > 2 ? (int32_t)atoi(argv[2]) : 1;
    char version[ECR_VER_BUFSIZE];
    char name[ECR_ERR_BUFSIZE];

    printf("%s\n", ecr_get_ver(version));
    int32_t result = ecr_ping(host, seconds);
    printf("ping %s: %s\n", host, ecr_get_err(result, name));
    return result == 0 ? 0 : 1;
}
