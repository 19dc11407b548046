// Where a MIFARE Classic block lies: its sector and its place in the sector, by tag type.
#pragma once

#include "corvane.h"

struct TMifareLayout {
    int sector;
    int blockInSector;
    bool supported;   // false: the tag type is no MIFARE Classic one
};

// A block beyond the tag's last one lies at sector 0, block 0.
TMifareLayout mifareLayout(DWORD tagType, int block);
