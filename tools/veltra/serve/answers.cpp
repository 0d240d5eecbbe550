// The service's JSON answers.
#include "answers.hpp"

#include "veltra.h"

namespace veltra::tool::serve {

Json error_object(const std::string& message) {
    return {{"error", {{"message", message}}}};
}

int status_for(std::int32_t code) {
    switch (code) {
        case ERR_TIMEOUT:
            return 504;
        case ERR_SOCKET_LIBRARY:
        case ERR_HOSTNAME_NON_RISOLTO:
        case ERR_INVALID_IP_ADDRESS:
        case ERR_SOCKET_OPEN:
        case ERR_RETE_NON_DISP:
        case ERR_TRANSFER_FAILED:
        case ERR_CONNECT_FAILED:
        case ERR_CONNECT_CLOSED:
        case ERR_INVALID_FILESIZE:  // a file from the register that does not fit
            return 502;
        case ERR_REG_IN_ERRORE:
        case ERR_REG_NON_DISP:
        case ERR_CONNECT_GIA_IN_CORSO:
        case ECR_ERR_REG_NON_ATTIVO:
        case ECR_ERR_REL_CASSA_NOT_SUPP:   // a register that takes no release update
        case ECR_ERR_DATI_CASSA_NOT_SUPP:  // nor a backup
            return 409;
        case ERR_FILE_CREATION:
            return 500;
        default:
            return 400;
    }
}

void send_json(http::Response& res, int status, const Json& body) {
    res.status = status;
    res.set_content(body.dump(2) + "\n", "application/json");
}

void send_error(http::Response& res, int status, const std::string& message) {
    send_json(res, status, error_object(message));
}

void send_internal_error(http::Response& res, std::exception_ptr ep) {
    std::string what = "internal error";
    try {
        std::rethrow_exception(ep);
    } catch (const std::exception& e) {
        what += std::string(": ") + e.what();
    } catch (...) {
    }
    send_error(res, 500, what);
}

}  // namespace veltra::tool::serve
