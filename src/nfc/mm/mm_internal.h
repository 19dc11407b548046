// The module manager's records and lists, shared by its task and its start and build helpers.
#pragma once

#include "mm/mm.h"
#include "util/dlqueue.h"

constexpr char MM_SOURCE[] = "..\\..\\src\\nfc\\mm\\mm";
constexpr char MM_UTIL_SOURCE[] = "..\\..\\src\\nfc\\mm\\mm_util";
constexpr int MM_PROTOCOLS = 8;

struct MmModule {
    dlQueueNode link;
    MmStartProc start;
    MmExitProc exit;
    uint16_t segmentLength;
    uint16_t type;
    uint8_t name;
    uint8_t instances;
    void* segment;
    uint8_t nextInstance[MM_PROTOCOLS];   // instance numbers handed out by builds, per protocol
};

struct MmStackRecord {
    dlQueueNode link;
    bool started;
    uint8_t instances;
    uint8_t protocol;
    uint8_t startIndex;
    uint16_t requesterQueue;
    uint32_t bottom, middle, top;          // module words of the first instance
    uint16_t pool1, pool2, pool0;
};

static_assert(offsetof(MmModule, link) == 0 && offsetof(MmStackRecord, link) == 0);

struct MmState {
    uint16_t queue;
    uint32_t failedRegistrations;
    MmModule modules[MM_MODULE_RECORDS];
    MmStackRecord stack;
    dlQueue freeModules, registered, started, freeStacks, stacks;
    MmLayer1Info layer1[MM_LAYER1_INFO_ENTRIES];
    int layer1Count;
    bool initialised;
};

MmState& mmState();

// 1 when the module's start function ran and returned 0.
int mmExecuteModuleStart(MmModule* module, uint32_t word);
// 0, or the build's failure.
uint16_t mmLinkProtocol(const MmStackDescriptor& descriptor, MmBuildResult* answer);
uint16_t mmStartModule(const MmStackDescriptor& descriptor, MmBuildResult* answer, uint8_t bottomName, uint8_t startIndex);

template <typename T>
T* mmOwner(dlQueueNode* node) {
    return reinterpret_cast<T*>(node);
}
