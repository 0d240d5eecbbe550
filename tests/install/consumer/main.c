/* A user's program against the installed header and library. */
#include <stdio.h>
#include <string.h>
#include <veltra.h>

int main(void) {
    char ver[ECR_VER_BUFSIZE];
    char err[ECR_ERR_BUFSIZE];
    if (strcmp(ecr_get_ver(ver), "VELTRA V1.8 del 16/12/2014") != 0) return 1;
    if (strcmp(ecr_get_err(ERR_TIMEOUT, err), "ERR_TIMEOUT") != 0) return 1;
    printf("%s\n", ver);
    return 0;
}
