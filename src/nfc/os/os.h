// The OS layer: named queues, the messages posted to them and the scheduler that runs every
// task's message procedure. Any thread may post; one dispatcher thread (or a test, through
// osRunUntilIdle) runs the procedures.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

#include "platform.h"

// Results of the stack core.
using OsResult = uint16_t;
enum : OsResult {
    OS_OK = 0,
    OS_FAILED = 1,
    OS_BAD_ID = 2,
    OS_BAD_POOL = 3,
    OS_NO_SLOT = 4,
    OS_NOT_FOUND = 5,
    OS_NO_ELEMENT = 6,
    OS_NO_CALLBACK = 7,
};

constexpr uint16_t OS_QUEUE_COUNT = 14;
constexpr uint16_t OS_QUEUE_ID_BASE = 0x100;
constexpr uint16_t OS_QUEUE_BROADCAST = 0x3FFF;
constexpr int OS_MESSAGE_ELEMENTS = 37;
constexpr int OS_READY_RECORDS = 37;
constexpr size_t OS_MESSAGE_FIELDS = 40;    // the largest command's fields, pointers being 8 bytes

// A queue's name is the module word its task was started with; names compare as whole words.
using OsQueueName = uint32_t;

// Copied by value into and out of the queue elements. Each command owns the layout of its
// fields: one plain struct per command, written and read with osMsgSetFields / osMsgFields.
struct OsMessage {
    uint16_t command;
    uint16_t spare;
    uint32_t source;    // low byte the sender's queue name, bits 19-21 an instance index
    alignas(8) uint8_t fields[OS_MESSAGE_FIELDS];
};

template <typename T>
void osMsgSetFields(OsMessage& message, const T& fields) {
    static_assert(std::is_trivially_copyable_v<T>, "command fields are plain data");
    static_assert(sizeof(T) <= OS_MESSAGE_FIELDS, "command fields exceed the message");
    std::memcpy(message.fields, &fields, sizeof(T));
    std::memset(message.fields + sizeof(T), 0, OS_MESSAGE_FIELDS - sizeof(T));
}

template <typename T>
T osMsgFields(const OsMessage& message) {
    static_assert(std::is_trivially_copyable_v<T>, "command fields are plain data");
    static_assert(sizeof(T) <= OS_MESSAGE_FIELDS, "command fields exceed the message");
    T fields;
    std::memcpy(&fields, message.fields, sizeof(T));
    return fields;
}

using OsTaskProc = void (*)(void* instance);
using OsSchedulerHook = void (*)(void* argument);

void osInit();
void osDone();
// Guards queues, elements, the ready list and the pools. Never held while a task procedure runs.
PlatLock& osLock();

OsResult osQueueAllocate(OsQueueName name, uint16_t* queueId);
OsResult osQueueSetName(uint16_t queueId, OsQueueName name);
OsResult osQueueFindByName(OsQueueName name, uint16_t* queueId);
OsResult osTaskCreate(void* instance, OsTaskProc procedure, OsQueueName name, uint16_t* queueId);

OsResult osMessageSend(uint16_t queueId, const OsMessage* message);
OsResult osMessageReceive(uint16_t queueId, OsMessage* message);
// Sends to the queue named by the message's source word, which becomes newSource.
OsResult osMessageSendByName(OsMessage* message, uint32_t newSource);

// One scheduler pass: each ready record calls its task's procedure once, in posting order;
// messages posted during the pass are handled in it. Does nothing if a pass is under way.
void osRunTasks();
void osSetSchedulerHook(OsSchedulerHook hook, void* argument);
void osSignalScheduler();
// One service pass of the dispatcher.
void osProcessPending();
// Runs service passes on the calling thread until no task is ready; returns the number of task
// procedure calls. For a dispatcher without a worker thread (tests); from inside a task it returns 0.
uint32_t osRunUntilIdle();

uint16_t osRandom();
