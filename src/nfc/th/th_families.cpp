// The families that are part of this build: thCreate finds a tag's family init here. A family
// joins with one row.
#include "th/th_15693.h"
#include "th/th_handler.h"
#include "th/th_kovio.h"
#include "th/th_mifare.h"
#include "th/th_type1.h"
#include "th/th_type2.h"
#include "th/th_type3.h"
#include "th/th_type4.h"

namespace {

struct Joined {
    ThFamily family;
    ThFamilyInit init;
};

constexpr Joined kJoined[] = {
    {TH_FAMILY_KOVIO, &tkbcInit},
    {TH_FAMILY_MIFARE, &tmsInit},
    {TH_FAMILY_TYPE2, &t2Init},
    {TH_FAMILY_TYPE4, &t4Init},
    {TH_FAMILY_TYPE1, &t1Init},
    {TH_FAMILY_ISO15693, &t15693Init},
    {TH_FAMILY_TYPE3, &t3Init},
};

struct Inits {
    ThFamilyInit byFamily[TH_FAMILY_COUNT];
};

constexpr Inits build() {
    Inits t{};
    for (const Joined& j : kJoined)
        if (j.family != TH_FAMILY_NONE) t.byFamily[j.family] = j.init;
    return t;
}

constexpr Inits kInits = build();

} // namespace

const ThFamilyInit* const thBuildFamilyInits = kInits.byFamily;
