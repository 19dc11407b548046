// The module manager: every task of the stack is a module with a start function, an exit
// function, a data segment and a type. Ordinary modules start when they register; the
// protocol-stack modules (com layer, layer-1 task) wait until a build request names them.
#pragma once

#include <cstdint>

#include "os/os.h"

constexpr OsQueueName MM_QUEUE_NAME = 0x40;
constexpr int MM_MODULE_RECORDS = 6;
constexpr int MM_LAYER1_INFO_ENTRIES = 2;

// Commands of the module manager's queue and of its answers.
enum : uint16_t {
    MM_REGISTER = 0xC0,
    MM_LINK_PROTOCOL = 0xC1,
    MM_BUILD_REQ = 0xC9,
    MM_BUILD_ANSWER = 0xCA,
    MM_RELEASE_REQ = 0xCB,
    MM_RELEASE_ANSWER = 0xCC,
    MM_INSTANCE_RELEASE = 0xCD,
    MM_LAYER1_INFO = 0xFD,
};

// Module types.
enum : uint16_t {
    MM_TYPE_PROTOCOL_STACK = 0x8100,   // any of these bits: kept at registration, started by a build
    MM_TYPE_SEGMENT = 0xC100,          // any of these bits: the module has a data segment
    MM_TYPE_TIMER = 0x0001,
    MM_TYPE_TASK = 0x4001,
    MM_TYPE_STACK_LAYER = 0x0110,
};

// Module word: bits 0-7 queue name, 16-18 layer (the build's protocol), 19-21 instance,
// 22-28 hardware number, 29-31 start index.
constexpr uint32_t mmModuleWord(uint32_t name, uint32_t layer, uint32_t instance, uint32_t hardware, uint32_t startIndex) {
    return (name & 0xFFu) | (layer & 7u) << 16 | (instance & 7u) << 19 | (hardware & 0x7Fu) << 22 | (startIndex & 7u) << 29;
}
constexpr uint8_t mmWordName(uint32_t word) { return static_cast<uint8_t>(word); }
constexpr uint8_t mmWordLayer(uint32_t word) { return static_cast<uint8_t>(word >> 16 & 7u); }
constexpr uint8_t mmWordInstance(uint32_t word) { return static_cast<uint8_t>(word >> 19 & 7u); }
constexpr uint8_t mmWordHardware(uint32_t word) { return static_cast<uint8_t>(word >> 22 & 0x7Fu); }
constexpr uint8_t mmWordStartIndex(uint32_t word) { return static_cast<uint8_t>(word >> 29 & 7u); }
constexpr uint32_t MM_WORD_INSTANCE_BITS = 7u << 19;

// 0 when the module started.
using MmStartProc = int32_t (*)(void* segment, uint32_t moduleWord);
using MmExitProc = void (*)(void* segment);

// 0xC0
struct MmRegisterFields {
    MmStartProc start;
    MmExitProc exit;
    uint16_t segmentLength;
    uint16_t type;
    uint8_t name;
    uint8_t instances;    // 0 stands for one
};

// The stack descriptor of a build request: a buffer of the global pool, little-endian u16 words.
struct MmStackDescriptor {
    uint16_t instances;
    uint16_t protocol;
    uint16_t hardware;         // must be 0
    uint16_t middle;           // name of the middle module
    uint16_t top;              // name of the top module, 0 none
    uint16_t requesterQueue;   // queue ID of the layer above the stack
    uint16_t poolsPerInstance; // 1: every instance gets pools of its own
    uint16_t countA, countB, countC, countD;
    uint16_t lengthA, lengthBC, lengthD;
    uint16_t reserved[3];
};
static_assert(sizeof(MmStackDescriptor) == 34);

struct MmStackRecord;

// Written over the start of the descriptor when a build is answered.
struct MmBuildResult {
    MmStackRecord* stack;
    uint32_t top, middle, bottom;     // module words of the first instance
};
static_assert(sizeof(MmBuildResult) <= sizeof(MmStackDescriptor));

enum : uint16_t { MM_BUILD_SILENT_FAILURE = 0x1 };

// 0xC9
struct MmBuildFields {
    uint16_t middle;
    uint16_t flags;
    MmStackDescriptor* descriptor;
};

// 0xCA
struct MmBuildAnswerFields {
    uint16_t result;
    MmStackDescriptor* descriptor;
};

// 0xCB
struct MmReleaseFields {
    MmStackRecord* stack;
};

// 0xCC
struct MmReleaseAnswerFields {
    uint16_t result;
};

// 0xCD
struct MmInstanceReleaseFields {
    uint32_t instance;
};

// 0xC1, to every layer of a built stack
struct MmLinkProtocolFields {
    uint16_t above;          // queue ID of the layer above, 0 none
    uint16_t below;          // queue ID of the layer below, 0 none
    uint16_t pool1, pool2, pool0;
    uint8_t instance, hardware, startIndex, protocol;
};

// 0xFD: one entry of the layer-1 info table.
struct MmLayer1Info {
    uint8_t bottom;
    uint8_t protocol;
    uint8_t startIndex;
    uint8_t count;
};

// Results of a build.
constexpr uint16_t MM_BUILD_OK = 0;
constexpr uint16_t MM_BUILD_MISSING_MODULE = 1;
constexpr uint16_t MM_BUILD_FAILED = 3;

void mmInit();
// Posts a registration to the module manager's queue.
OsResult osModuleRegister(OsQueueName name, uint16_t segmentLength, MmStartProc start, MmExitProc exit, uint16_t type);
// Calls every module's exit function and frees the segments; called when the OS memory is done.
void mmDone();
// Registrations since mmInit that left no started module: failed starts and registrations
// that found no free record.
uint32_t mmFailedRegistrations();
