#include "L1/common/nfcllmsg.h"

const char* nfcllCodeName(uint16_t code) {
    switch (code) {
#define NFCLL_CODE_NAME(value, name, fields) \
    case value: return #name;
        NFCLL_MESSAGES(NFCLL_CODE_NAME)
#undef NFCLL_CODE_NAME
    }
    return "";
}
