/* veltra.h must compile as strict C. */
#include "veltra.h"

/* The names table and the enum come from one list. */
#define CHECK_ITEM(name, value, meaning) typedef char check_##name[(name) == (value) ? 1 : -1];
ECR_RESULT_MAP(CHECK_ITEM)

/* The buffer sizes are integer constants C can size arrays with. */
typedef char check_sizes[ECR_INFO_BUFSIZE][ECR_INFO_VARS][ECR_STATUS_BUFSIZE];

int veltra_header_check_c(void) {
    char ver[ECR_VER_BUFSIZE];
    return ecr_get_ver(ver) == ver ? 0 : ERR_TIMEOUT;
}
