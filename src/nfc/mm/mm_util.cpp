#include "mm/mm_internal.h"
#include "os/os_mem.h"
#include "util/trace.h"

namespace {

constexpr uint16_t kSegmentNew = 0x01;       // a new segment in the record
constexpr uint16_t kSegmentShared = 0x10;    // the hardware number's segment if there is one

struct Pools {
    uint16_t pool1, pool2, pool0;
};

// Module words of one instance of a stack; 0 for a layer the stack does not have.
struct Layers {
    uint32_t bottom, middle, top;
};

uint32_t withName(uint32_t word, uint16_t name) { return name ? (word & ~0xFFu) | (name & 0xFFu) : 0; }
uint32_t withInstance(uint32_t word, uint32_t instance) {
    return word ? (word & ~MM_WORD_INSTANCE_BITS) | (instance & 7u) << 19 : 0;
}

MmModule* findRegistered(uint16_t name) {
    dlQueue& list = mmState().registered;
    PlatLockGuard guard(list.lock);
    for (dlQueueNode* n = list.head; n; n = n->next)
        if (mmOwner<MmModule>(n)->name == name) return mmOwner<MmModule>(n);
    return nullptr;
}

// Pool names are the module word with bits 8-9 numbering the pool and a low byte that marks
// the protocol.
uint32_t poolName(uint32_t word, uint32_t number) {
    return (word & ~0x3FFu) | number << 8 | (mmWordLayer(word) == 2 ? 0xF7u : 0xF0u);
}

// A partition of no buffers is not created; the pool's ID stays as it is.
bool addPartition(uint32_t name, uint16_t count, uint16_t length, uint16_t* pool) {
    return count == 0 || osPoolCreate(name, length, count, pool) == OS_OK;
}

bool createPools(uint32_t word, const MmStackDescriptor& d, Pools* pools) {
    return addPartition(poolName(word, 2), d.countA, d.lengthA, &pools->pool2) &&
           addPartition(poolName(word, 2), d.countC, d.lengthBC, &pools->pool2) &&
           addPartition(poolName(word, 1), d.countA, d.lengthA, &pools->pool1) &&
           addPartition(poolName(word, 1), d.countB, d.lengthBC, &pools->pool1) &&
           addPartition(poolName(word, 0), d.countD, d.lengthD, &pools->pool0);
}

void findPools(uint32_t word, Pools* pools) {
    uint16_t* ids[] = {&pools->pool0, &pools->pool1, &pools->pool2};
    for (uint32_t k = 0; k < 3; ++k)
        if (osPoolFindByName(poolName(word, k), ids[k]) != OS_OK) *ids[k] = 0;
}

bool startLayer(MmModule* module, uint32_t word) { return !module || mmExecuteModuleStart(module, word); }

// Tells every layer of one instance its neighbours. A layer whose queue cannot be found fails
// the build: a LINK_PROTOCOL naming queue 0 would leave that layer cut off.
uint16_t linkLayers(const Layers& words, const Pools& pools, uint16_t requester) {
    uint16_t bottom = 0, middle = 0, top = 0;
    if (osQueueFindByName(words.bottom, &bottom) != OS_OK ||
        (words.middle && osQueueFindByName(words.middle, &middle) != OS_OK) ||
        (words.top && osQueueFindByName(words.top, &top) != OS_OK))
        return MM_BUILD_FAILED;
    auto link = [&](uint16_t to, uint16_t above, uint16_t below) {
        OsMessage message{};
        message.command = MM_LINK_PROTOCOL;
        message.source = MM_QUEUE_NAME;
        osMsgSetFields(message, MmLinkProtocolFields{above, below, pools.pool1, pools.pool2, pools.pool0,
                                                     mmWordInstance(words.bottom), mmWordHardware(words.bottom),
                                                     mmWordStartIndex(words.bottom), mmWordLayer(words.bottom)});
        osMessageSend(to, &message);
    };
    if (middle) link(middle, top ? top : requester, bottom);
    if (top) link(top, requester, middle);
    link(bottom, middle ? middle : requester, 0);
    // With protocol 2 the requester learns the module words from the build answer instead.
    if (mmWordLayer(words.bottom) <= 1) link(requester, 0, top ? top : middle ? middle : bottom);
    return MM_BUILD_OK;
}

MmStackRecord* findUnstarted(uint8_t bottom, const MmStackDescriptor& d) {
    dlQueue& list = mmState().stacks;
    PlatLockGuard guard(list.lock);
    for (dlQueueNode* n = list.head; n; n = n->next) {
        MmStackRecord* s = mmOwner<MmStackRecord>(n);
        if (!s->started && mmWordName(s->bottom) == bottom && mmWordName(s->middle) == (d.middle & 0xFF) &&
            mmWordName(s->top) == (d.top & 0xFF) && s->protocol == (d.protocol & 7))
            return s;
    }
    return nullptr;
}

void answerWith(MmStackRecord* stack, MmBuildResult* answer) {
    *answer = MmBuildResult{stack, stack->top, stack->middle, stack->bottom};
}

uint16_t relink(MmStackRecord* stack, MmBuildResult* answer) {
    const Pools pools{stack->pool1, stack->pool2, stack->pool0};
    for (uint32_t i = 0; i < stack->instances; ++i) {
        const uint32_t instance = mmWordInstance(stack->bottom) + i;
        const Layers words{withInstance(stack->bottom, instance), withInstance(stack->middle, instance),
                           withInstance(stack->top, instance)};
        if (uint16_t result = linkLayers(words, pools, stack->requesterQueue)) return result;
    }
    stack->started = true;
    answerWith(stack, answer);
    return MM_BUILD_OK;
}

// Builds one instance: its pools, its modules and their links.
uint16_t buildInstance(const MmStackDescriptor& d, const Layers& words, bool ownPools, MmModule* const (&modules)[3],
                       Pools* pools) {
    if (modules[1] || mmWordLayer(words.bottom) != 1) {
        if (ownPools) {
            if (!createPools(words.bottom, d, pools)) return MM_BUILD_FAILED;
        } else {
            findPools(words.bottom, pools);
        }
    }
    if (!startLayer(modules[0], words.bottom) || !startLayer(modules[1], words.middle) || !startLayer(modules[2], words.top))
        return MM_BUILD_FAILED;
    return linkLayers(words, *pools, d.requesterQueue);
}

} // namespace

int mmExecuteModuleStart(MmModule* module, uint32_t word) {
    TRACE(TRC_STARTUP, "mmExecuteModuleStart() %p, hw number %d", static_cast<void*>(module), mmWordHardware(word));
    if ((module->type & MM_TYPE_SEGMENT) && module->segmentLength != 0) {
        const uint16_t policy = module->type & 0xFF;
        // The stack uses only these two; every start of a module shares the record's one segment.
        if (policy != kSegmentNew && policy != kSegmentShared) DEBUG_BREAK(MM_UTIL_SOURCE);
        if (!module->segment && osMemoryAllocate(module->segmentLength, &module->segment) != OS_OK) return 0;
        TRACE(TRC_STARTUP, " mmModuleP %p type 0x%.04X ID 0x%X -> memory %p (len %d)", static_cast<void*>(module),
              static_cast<unsigned>(module->type), word, module->segment, static_cast<int>(module->segmentLength));
    }
    if (!module->start || module->start(module->segment, word) != 0) {
        TRACE(TRC_ERROR, "! Start module failed");
        return 0;
    }
    return 1;
}

uint16_t mmLinkProtocol(const MmStackDescriptor& descriptor, MmBuildResult* answer) {
    if (descriptor.instances == 0) return MM_BUILD_OK;
    const MmState& s = mmState();
    // The bottom module is named by the last entry of the protocol, the start index by the first.
    int found = 0;
    uint8_t bottom = 0, startIndex = 0;
    for (int i = 0; i < s.layer1Count; ++i) {
        const MmLayer1Info& e = s.layer1[i];
        if (e.protocol != descriptor.protocol) continue;
        if (found++ == 0) startIndex = e.startIndex;
        bottom = e.bottom;
    }
    const uint16_t result = found ? mmStartModule(descriptor, answer, bottom, startIndex) : MM_BUILD_MISSING_MODULE;
    if (result != MM_BUILD_OK) TRACE(TRC_STARTUP, "%s returns 0x%X", "mmLinkProtocol", static_cast<unsigned>(result));
    return result;
}

uint16_t mmStartModule(const MmStackDescriptor& d, MmBuildResult* answer, uint8_t bottomName, uint8_t startIndex) {
    if (d.hardware != 0) DEBUG_BREAK(MM_UTIL_SOURCE);
    if (startIndex != 0) {
        DEBUG_BREAK(MM_UTIL_SOURCE);
        startIndex = 0;
    }
    // Bottom, middle and top: layers 1, 2 and 3 of the stack.
    const uint16_t names[3] = {bottomName, d.middle, d.top};
    MmModule* modules[3] = {};
    for (int k = 0; k < 3; ++k) {
        if (k > 0 && names[k] == 0) continue;
        modules[k] = findRegistered(names[k]);
        if (!modules[k]) {
            TRACE(TRC_STARTUP, "%s ! missing L%d module", "mmStartModule", k + 1);
            return MM_BUILD_MISSING_MODULE;
        }
    }

    MmState& s = mmState();
    if (MmStackRecord* stack = findUnstarted(bottomName, d)) return relink(stack, answer);
    dlQueueNode* node = dlQueueRemoveHead(&s.freeStacks);
    if (!node) {
        DEBUG_BREAK(MM_UTIL_SOURCE);
        return MM_BUILD_FAILED;
    }
    MmStackRecord* stack = mmOwner<MmStackRecord>(node);
    *stack = MmStackRecord{};
    stack->instances = static_cast<uint8_t>(d.instances);
    stack->protocol = static_cast<uint8_t>(d.protocol & 7);
    stack->startIndex = startIndex;
    stack->requesterQueue = d.requesterQueue;

    uint16_t result = MM_BUILD_OK;
    for (uint32_t i = 0; i < d.instances && result == MM_BUILD_OK; ++i) {
        const uint32_t instance = modules[0]->nextInstance[stack->protocol]++;
        const uint32_t bottom = mmModuleWord(bottomName, d.protocol, instance, d.hardware, startIndex);
        const Layers words{bottom, withName(bottom, d.middle), withName(bottom, d.top)};
        Pools pools{};
        result = buildInstance(d, words, i == 0 || d.poolsPerInstance == 1, modules, &pools);
        if (i == 0) {
            stack->bottom = words.bottom;
            stack->middle = words.middle;
            stack->top = words.top;
            stack->pool1 = pools.pool1;
            stack->pool2 = pools.pool2;
            stack->pool0 = pools.pool0;
        }
    }
    if (result != MM_BUILD_OK) {
        // A stack that did not come up is not kept: a later build starts it afresh.
        dlQueueAddTail(&s.freeStacks, &stack->link);
        return result;
    }
    dlQueueAddTail(&s.stacks, &stack->link);
    stack->started = true;
    answerWith(stack, answer);
    return MM_BUILD_OK;
}
