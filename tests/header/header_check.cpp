// veltra.h must compile as strict C++.
#include "veltra.h"

int veltra_header_check_cpp() {
    char err[ECR_ERR_BUFSIZE];
    return ecr_get_err(ERR_TIMEOUT, err) == err ? 0 : 1;
}
