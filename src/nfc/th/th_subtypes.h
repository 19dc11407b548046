// The chip subtypes the tag families name (maker code << 16 | number): one table for the whole
// library, so the NFC manager's traces and the tag record's chip code agree with the handlers.
#pragma once

#include <cstdint>

#include "th/th_handler.h"

// Rows in lookup order; a code that stands twice is found by its first row.
#define TH_SUBTYPES(X)                                  \
    X(TH_SUBTYPE_NONE, 0x0, "NONE")                     \
    X(TH_SUBTYPE_TOPAZ, 0x250001, "TOPAZ")              \
    X(TH_SUBTYPE_TPZ512, 0x2E0002, "TPZ512")            \
    X(TH_SUBTYPE_UL, 0x40001, "UL")                     \
    X(TH_SUBTYPE_UL_C, 0x40002, "UL_C")                 \
    X(TH_SUBTYPE_UL_EV1_11, 0x40003, "UL_EV1_11")       \
    X(TH_SUBTYPE_UL_EV1_21, 0x40004, "UL_EV1_21")       \
    X(TH_SUBTYPE_UL_NTAG203, 0x40005, "UL_NTAG203")     \
    X(TH_SUBTYPE_UL_NTAG210, 0x40006, "UL_NTAG210")     \
    X(TH_SUBTYPE_UL_NTAG213, 0x40007, "UL_NTAG213")     \
    X(TH_SUBTYPE_UL_NTAG215, 0x40008, "UL_NTAG215")     \
    X(TH_SUBTYPE_UL_NTAG216, 0x40009, "UL_NTAG216")     \
    X(TH_SUBTYPE_UL_NTAG216F, 0x4000A, "UL_NTAG216F")   \
    X(TH_SUBTYPE_MYD_MOVE_66R01L, 0x50001, "MYD_MOVE_66R01L") \
    X(TH_SUBTYPE_MYD_MOVE_66R01P, 0x50002, "MYD_MOVE_66R01P") \
    X(TH_SUBTYPE_MYD_66R16P, 0x50003, "MYD_66R16P")     \
    X(TH_SUBTYPE_MYD_66R32P, 0x50004, "MYD_66R32P")     \
    X(TH_SUBTYPE_KOVIO_OTP, 0x370001, "KOVIO_OTP")      \
    X(TH_SUBTYPE_FELICA, 0x1A0001, "FELICA")            \
    X(TH_SUBTYPE_FELICA_LIGHT, 0x1A0002, "FELICA_LIGHT") \
    X(TH_SUBTYPE_T4, 0x1, "T4")                         \
    X(TH_SUBTYPE_MICROPASS, 0x120004, "MICROPASS")      \
    X(TH_SUBTYPE_DESFIRE, 0x4000A, "DESFIRE")           \
    X(TH_SUBTYPE_DESFIRE_EV1, 0x4000B, "DESFIRE_EV1")   \
    X(TH_SUBTYPE_ST_SRIX4K, 0x20001, "ST_SRIX4K")       \
    X(TH_SUBTYPE_ST_SRI512, 0x20002, "ST_SRI512")       \
    X(TH_SUBTYPE_ST_SRI4K, 0x20003, "ST_SRI4K")         \
    X(TH_SUBTYPE_ST_LRI2K, 0x20004, "ST_LRI2K")         \
    X(TH_SUBTYPE_ST_LRIS2K, 0x20005, "ST_LRIS2K")       \
    X(TH_SUBTYPE_ST_M24LR64R, 0x20006, "ST_M24LR64R")   \
    X(TH_SUBTYPE_ST_M24LR64, 0x20007, "ST_M24LR64")     \
    X(TH_SUBTYPE_ST_SRT512, 0x20008, "ST_SRT512")       \
    X(TH_SUBTYPE_ST_SRI2K, 0x20009, "ST_SRI2K")         \
    X(TH_SUBTYPE_ST_LRI1K, 0x2000A, "ST_LRI1K")         \
    X(TH_SUBTYPE_ST_LRIS64K, 0x2000B, "ST_LRIS64K")     \
    X(TH_SUBTYPE_ST_M24LR16ER, 0x2000C, "ST_M24LR16ER") \
    X(TH_SUBTYPE_ST_M24LR64E, 0x2000D, "ST_M24LR64E")   \
    X(TH_SUBTYPE_ST_M24LR04E, 0x2000E, "ST_M24LR04E")   \
    X(TH_SUBTYPE_NXP_SLI_X, 0x4000C, "NXP_SLI_X")       \
    X(TH_SUBTYPE_NXP_SLI_X_S, 0x4000D, "NXP_SLI_X_S")   \
    X(TH_SUBTYPE_NXP_SLI_X_SHX, 0x4000E, "NXP_SLI_X_SHX") \
    X(TH_SUBTYPE_NXP_SLI_X_SY, 0x4000F, "NXP_SLI_X_SY") \
    X(TH_SUBTYPE_NXP_SLI_X_L, 0x40010, "NXP_SLI_X_L")   \
    X(TH_SUBTYPE_NXP_SLI_X_LHC, 0x40011, "NXP_SLI_X_LHC") \
    X(TH_SUBTYPE_INFINEON_MY_D_VICINITY, 0x50005, "INFINEON_MY_D_VICINITY") \
    X(TH_SUBTYPE_TI, 0x70001, "TI")                     \
    X(TH_SUBTYPE_TI_HF_I_STD, 0x70002, "TI_HF_I_STD")   \
    X(TH_SUBTYPE_TI_HF_I_PLUS, 0x70003, "TI_HF_I_PLUS") \
    X(TH_SUBTYPE_TI_HF_I_PRO, 0x70004, "TI_HF_I_PRO")

#define TH_SUBTYPE_CODE(id, code, name) constexpr uint32_t id = code;
TH_SUBTYPES(TH_SUBTYPE_CODE)
#undef TH_SUBTYPE_CODE

constexpr size_t TH_SUBTYPE_COUNT = 49;

// The rows, in lookup order.
const ThSubtype* thSubtypeRows();
// Makes the table the one that thSubtypeName looks in; once, however often it is called.
void thInstallSubtypes();
