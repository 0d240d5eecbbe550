// Result names and the version text, through the exported functions.
#include "frame/result_codes.hpp"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>

#include "veltra.h"

namespace {

struct NamedCode {
    int32_t code;
    const char* name;
};

// Written out by hand: a drift in the generated table shows up here.
constexpr NamedCode kExpected[] = {
    {-1, "ERR_SOCKET_LIBRARY"},
    {-2, "ERR_HOSTNAME_NON_RISOLTO"},
    {-3, "ERR_INVALID_IP_ADDRESS"},
    {-4, "ERR_SOCKET_OPEN"},
    {-5, "ERR_RETE_NON_DISP"},
    {-6, "ERR_TIMEOUT"},
    {-7, "ERR_TRANSFER_FAILED"},
    {-8, "ERR_INVALID_REQUEST_ID"},
    {-9, "ERR_INVALID_FILENAME"},
    {-10, "ERR_FILE_NOT_FOUND"},
    {-11, "ERR_INVALID_FILESIZE"},
    {-12, "ERR_FILE_CREATION"},
    {-13, "ERR_REG_IN_ERRORE"},
    {-14, "ERR_REG_NON_DISP"},
    {-15, "ERR_CONNECT_GIA_IN_CORSO"},
    {-16, "ERR_CONNECT_FAILED"},
    {-17, "ERR_CONNECT_CLOSED"},
    {-18, "ECR_ERR_PARAMETRI"},
    {-19, "ECR_ERR_REG_NON_ATTIVO"},
    {-20, "ECR_ERR_BAUD_NOT_VALID"},
    {-21, "ECR_ERR_PORT_NOT_VALID"},
    {-22, "ECR_ERR_REL_FILE_NOT_VALID"},
    {-23, "ECR_ERR_REL_CASSA_NOT_SUPP"},
    {-24, "ECR_ERR_REL_FILE_NOT_CASSA"},
    {-25, "ECR_ERR_DATI_FILE_NOT_VALID"},
    {-26, "ECR_ERR_DATI_CASSA_NOT_SUPP"},
};

TEST(ResultNames, EveryNamedCodeHasItsName) {
    for (const NamedCode& c : kExpected) {
        char buf[ECR_ERR_BUFSIZE];
        EXPECT_STREQ(ecr_get_err(c.code, buf), c.name) << c.code;
    }
}

TEST(ResultNames, EnumValuesMatchTheirNames) {
    EXPECT_EQ(ERR_SOCKET_LIBRARY, -1);
    EXPECT_EQ(ERR_TIMEOUT, -6);
    EXPECT_EQ(ERR_REG_NON_DISP, -14);
    EXPECT_EQ(ECR_ERR_PARAMETRI, -18);
    EXPECT_EQ(ECR_ERR_DATI_CASSA_NOT_SUPP, -26);
}

TEST(ResultNames, CodesOutsideTheTableGiveTheirDecimalText) {
    const struct {
        int32_t code;
        const char* text;
    } cases[] = {
        {0, "0"}, {5, "5"}, {-27, "-27"}, {INT32_MAX, "2147483647"}, {INT32_MIN, "-2147483648"},
    };
    for (const auto& c : cases) {
        char buf[ECR_ERR_BUFSIZE];
        EXPECT_STREQ(ecr_get_err(c.code, buf), c.text) << c.code;
    }
}

TEST(ResultNames, EveryTextFitsTheCallersBuffer) {
    // The longest name and the longest decimal text must leave room for the NUL.
    for (int32_t code : {INT32_MIN, -27, -26, -23, -1, 0, INT32_MAX}) {
        char buf[ECR_ERR_BUFSIZE + 8];
        std::memset(buf, 'x', sizeof buf);
        veltra::ecr_err_name(code, buf);
        EXPECT_LT(std::strlen(buf), static_cast<size_t>(ECR_ERR_BUFSIZE)) << code;
        EXPECT_EQ(buf[ECR_ERR_BUFSIZE], 'x') << "wrote past the buffer for " << code;
    }
}

TEST(ResultNames, GetErrReturnsTheCallersBuffer) {
    char buf[ECR_ERR_BUFSIZE];
    EXPECT_EQ(ecr_get_err(-6, buf), buf);
}

TEST(Version, FillsTheTextAndReturnsTheSameBuffer) {
    char buf[ECR_VER_BUFSIZE + 4];
    std::memset(buf, 'x', sizeof buf);
    EXPECT_EQ(ecr_get_ver(buf), buf);
    EXPECT_STREQ(buf, "VELTRA V1.8 del 16/12/2014");
    EXPECT_EQ(std::strlen(buf) + 1, static_cast<size_t>(ECR_VER_BUFSIZE));
    EXPECT_EQ(buf[ECR_VER_BUFSIZE], 'x');
}

}  // namespace
