// The register's key list written out by hand, name by name, so that the
// program's own key table is checked against it rather than against itself.
#pragma once

#include <array>

namespace delpad_test {

struct ExpectedKey {
    const char* name;
    const char* caption;
    const char* code;
};

// clang-format off
inline constexpr std::array<ExpectedKey, 58> expected_keys = {{
    {"T7(0)", "0    space", "00"},
    {"T7(1)", "1             ", "01"},
    {"T7(2)", "2       ABC", "02"},
    {"T7(3)", "3       DEF", "03"},
    {"T7(4)", "4        GHI", "04"},
    {"T7(5)", "5            JKL", "05"},
    {"T7(6)", "6       MNO", "06"},
    {"T7(7)", "7             PQRS", "07"},
    {"T7(8)", "8             TUV", "08"},
    {"T7(9)", "9             WXYZ", "09"},
    {"Command2", "00", "0A"},
    {"Command3_VIRG", ",", "0B"},
    {"REPARTO1", "REPARTO 1", "0C"},
    {"REPARTO2", "REPARTO 2", "0D"},
    {"REPARTO3", "REPARTO 3", "0E"},
    {"REPARTO4", "REPARTO 4", "0F"},
    {"REPARTO5", "REPARTO 5", "10"},
    {"REPARTO6", "REPARTO 6", "11"},
    {"REPARTO7", "REPARTO 7", "12"},
    {"REPARTO8", "REPARTO 8", "13"},
    {"REPARTO9", "REPARTO 9", "14"},
    {"REPARTO10", "REPARTO 10", "15"},
    {"REPARTO11", "REPARTO 11", "16"},
    {"REPARTO12", "REPARTO 12", "17"},
    {"REPARTO13", "REPARTO 13", "18"},
    {"REPARTO14", "REPARTO 14", "19"},
    {"reparto15", "REPARTO 15", "1A"},
    {"REPARTO16", "REPARTO 16", "1B"},
    {"REPARTO17", "REPARTO 17", "1C"},
    {"REPARTO18", "REPARTO 18", "1D"},
    {"REPARTO19", "REPARTO 19", "1E"},
    {"REPARTO20", "REPARTO 20", "1F"},
    {"REPARTO21", "REPARTO 21", "20"},
    {"TOTALE", "TOTALE CONFERMA", "5C"},
    {"SBTL", "SBTL", "5D"},
    {"Credito", "CREDITO / ESCI", "5E"},
    {"C", "C", "5F"},
    {"PLU", "PLU", "60"},
    {"X", "X", "61"},
    {"Command1", "STORNO", "63"},
    {"CARTACRED", "CARTA CRED.", "64"},
    {"PERC_A", "%A", "65"},
    {"SCONTO", "SCONTO", "66"},
    {"ANNULLA", "ANNULLA", "69"},
    {"MENU", "MENU", "6B"},
    {"OPERAT", "OPERAT.", "6C"},
    {"CASSETTO", "CASSETTO", "6D"},
    {"FEED", "AV. CARTA", "6E"},
    {"TOTALVOID", "TOTAL VOID", "6F"},
    {"FUNZIONE", "FUNZIONE", "70"},
    {"BUONI", "BUONI", "71"},
    {"RESO", "RESO", "72"},
    {"ResoRT", "   RESO   scontrino", "72"},
    {"CF", "C.FISC.", "73"},
    {"EAN", "EAN", "74"},
    {"FATTURA", "FATT.", "7D"},
    {"RISTAMPA_FATTURA", "RISTAMPA FATT.", "81"},
    {"AnnulloRT", "ANNULLO scontrino", "86"},
}};
// clang-format on

}  // namespace delpad_test
