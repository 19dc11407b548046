// 1K and Mini tags have sectors of 4 blocks; a 4K tag's first 128 blocks do too, and then come
// 8 sectors of 16 blocks.
#include "mifarelayout.h"

namespace {

struct MifareKind {
    DWORD tagType;
    int blocks;
};
constexpr MifareKind kMifareKinds[] = {{TAG_MIFARE_STD_1K, 64}, {TAG_MIFARE_STD_4K, 256}, {TAG_MIFARE_S20, 20}};
constexpr int kSmallSectorBlocks = 4, kLargeSectorBlocks = 16;
constexpr int kFirstLargeBlock = 128, kFirstLargeSector = kFirstLargeBlock / kSmallSectorBlocks;

} // namespace

TMifareLayout mifareLayout(DWORD tagType, int block) {
    for (const MifareKind& kind : kMifareKinds) {
        if (kind.tagType != tagType) continue;
        if (block < 0 || block >= kind.blocks) return {0, 0, true};
        if (block < kFirstLargeBlock) return {block / kSmallSectorBlocks, block % kSmallSectorBlocks, true};
        const int large = block - kFirstLargeBlock;
        return {kFirstLargeSector + large / kLargeSectorBlocks, large % kLargeSectorBlocks, true};
    }
    return {0, 0, false};
}
