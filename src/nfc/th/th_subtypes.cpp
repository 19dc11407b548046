#include "th/th_subtypes.h"

#include <iterator>

namespace {

#define TH_SUBTYPE_ROW(id, code, name) {code, name},
constexpr ThSubtype kRows[] = {TH_SUBTYPES(TH_SUBTYPE_ROW)};
#undef TH_SUBTYPE_ROW
static_assert(std::size(kRows) == TH_SUBTYPE_COUNT);

} // namespace

const ThSubtype* thSubtypeRows() { return kRows; }

void thInstallSubtypes() {
    // Once: a second install would rewrite the table under a reader on another thread.
    static const bool installed = (thSetSubtypeTable(kRows, std::size(kRows)), true);
    (void)installed;
}
