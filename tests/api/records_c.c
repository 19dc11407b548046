/* The public header compiles as C, and C lays the records out as C++ does. */
#include "corvane_exports.h"
#include "record_layout.h"

RECORD_OFFSETS(CHECK_OFFSET)
RECORD_SIZES(CHECK_SIZE)

/* Every export outside the ndef family is declared for C callers too. */
#define DECLARED_FOR_C(name) CORVANE_STATIC_ASSERT(sizeof(&name) == sizeof(void (*)(void)), #name " is declared");
CORVANE_BOUND_NFC_EXPORTS(DECLARED_FOR_C)
CORVANE_BOUND_DEBUG_EXPORTS(DECLARED_FOR_C)
CORVANE_OTHER_EXPORTS(DECLARED_FOR_C)
