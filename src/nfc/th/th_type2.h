// The Type 2 tag family (tag-type bit 0x40: Ultralight, NTAG-like and my-d tags): 4-byte blocks
// read four at a time, written one at a time, in sectors of 256 blocks; the capability container
// in block 3 and the TLV area from block 4 on, with lock and memory control TLVs.
#pragma once

#include <cstdint>

#include "th/th_handler.h"

// The memory layouts the handler tells apart.
enum T2Type : uint32_t {
    T2_TYPE_UNKNOWN,
    T2_TYPE_STATIC,
    T2_TYPE_DYN_NXP_UL,
    T2_TYPE_DYN_NXP_UL_EV1_11,
    T2_TYPE_DYN_NXP_UL_EV1_21,
    T2_TYPE_DYN_MY_D,
    T2_TYPE_DYN_MY_D_66R01P,
    T2_TYPE_DYN_MY_D_66R16P,
    T2_TYPE_DYN_MY_D_66R32P,
    T2_TYPE_STATIC_KOVIO_256,
    T2_TYPE_DYN_OTHER,
};

// The family's init for thCreate: Idle, access bits, properties. Always takes the tag.
uint32_t t2Init(TTagHandler* handler);
// The layout the last NDEF check found.
T2Type t2TypeOf(const TTagHandler* handler);
