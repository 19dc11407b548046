// The com layer: the task between layer 1 and the bus. It owns the lower interface of the
// reader family, opens it when layer 1 activates the physical layer, writes what layer 1
// sends down, turns the lower interface's events into messages for layer 1 and runs the
// lower interface's link-layer timers through the hardware timer task.
//
// This header is also the contract with layer 1: the primitives below, each with the one
// field layout it carries in the OsMessage.
#pragma once

#include <atomic>
#include <cstdint>

#include "os/os.h"
#include "transport/comlower.h"

constexpr OsQueueName COM_QUEUE_NAME = 0x33;

// Primitives between layer 1 and the com layer: REQ base, CONF +0x40, IND +0x80.
enum : uint16_t {
    PH_DATA_REQ = 0x103,           // PhDataFields, down
    PH_DATA_IND = 0x183,           // PhDataFields, up; flag bit 0 set: the receiver releases the buffer
    PH_RESET_REQ = 0x105,          // PhParamFields, down; parameter goes to the controller reset
    PH_RESET_CONF = 0x145,         // PhParamFields, up; 0 done, 1 failed
    PH_RESET_FAILED = 0x149,
    PH_ACT_REQ = 0x108,            // down: open the lower interface
    PH_ACT_IND = 0x188,            // up: the lower interface is open
    PH_DEACT_REQ = 0x109,          // down: close, no answer
    PH_DEACT_IND = 0x189,          // PhParamFields, up: the link failed, parameter the cause (0 for a failed open)
    PH_RELEASE_REQ = 0x112,        // down: close
    PH_RELEASE_CONF = 0x152,       // up
    PH_ADAPTER_REMOVED = 0x192,    // up: the adapter below the lower interface was pulled
    PH_LINK_INFO = 0xD1,           // PhLinkInfoFields, down; the com layer has no use for it
    PH_HWIO_PARAM_REQ = 0xA2,      // down
    PH_HWIO_PARAM_CONF = 0xA3,     // PhHwioParamFields, up
    PH_SET_PARAMETER_REQ = 0xC2,   // PhSetParameterFields, down
    PH_SET_PARAMETER_CONF = 0xC3,  // PhSetParameterFields, back to the sender with result 0
    PH_LINE_SIGNAL = 0xE2,         // PhParamFields, up: a modem-line code, even for on, odd for off:
                                   // 0/1 ring, 2/3 carrier, 4/5 CTS, 6/7 DSR
};

// Flag bit 0 of PhDataFields: the buffer is a pool buffer that changes owner with the message.
// Down, the com layer releases it once the lower interface took the frame (the lower transports
// copy what they are given); without the bit the sender keeps it. Up, it is always set.
// The ETSI HCI family is the exception: the com layer owns every buffer written down and
// releases it when its transmission completes, so there the frame must start the buffer.
constexpr uint32_t PH_DATA_OWNED = 0x1;

// PH_DATA_REQ, PH_DATA_IND: the frame is length bytes at buffer + offset.
struct PhDataFields {
    uint32_t flags;
    uint16_t offset;
    uint16_t length;
    BYTE* buffer;
};

// PH_RESET_REQ, PH_RESET_CONF, PH_DEACT_IND, PH_LINE_SIGNAL.
struct PhParamFields {
    uint16_t parameter;
};

// PH_LINK_INFO: layer 1's queue word and the 16-bit value of its LINK_PROTOCOL.
struct PhLinkInfoFields {
    uint32_t queueWord;
    uint16_t value;
};

// PH_HWIO_PARAM_CONF: the com layer answers with no buffer and value 0.
struct PhHwioParamFields {
    BYTE* buffer;
    uint16_t value;
};

// PH_SET_PARAMETER_REQ / _CONF: the buffer returns to the sender with the confirmation.
struct PhSetParameterFields {
    BYTE* buffer;
    uint16_t result;
};

// Causes of PH_DEACT_IND.
enum : uint16_t {
    COM_CAUSE_NO_RX_BUFFER = 0x30F,   // a received frame was dropped
    COM_CAUSE_DEVICE_ERROR = 0x310,
};

// The receive pool: frames from the lower interface go here first, then to layer 1's pool.
constexpr uint32_t COM_RX_POOL_NAME = 0x133;
constexpr uint16_t COM_RX_BUFFER_SIZE = 262;
constexpr uint16_t COM_RX_BUFFERS = 32;

constexpr int COM_TIMER_SLOTS = 4;

// A link-layer timer of the lower interface. Only an expiry that carries the current sequence
// byte of a running slot reaches the lower interface: one that crossed a stop or a restart is
// dropped. Guarded by the com layer's timer lock.
struct TComTimerSlot {
    uint32_t running;
    uint8_t sequence;
};

// The com task's instance: the module segment (zeroed before first use) or, in download mode,
// a block of the caller's.
struct TComInstance {
    OsQueueName ownName;
    uint16_t ownQueue;
    uint16_t timerQueue;
    std::atomic<uint16_t> upstreamQueue;
    std::atomic<uint16_t> upstreamPool;
    uint16_t rxPool;
    const char* deviceName;
    const char* configuration;
    std::atomic<TComHandle> hCom;
    TComLowerInterface lower;
    bool lineSetup;             // the open completion first sets lines and bits of the port
    bool releaseOnCompletion;   // a written buffer is released when its transmission completes
    TComTimerSlot timers[COM_TIMER_SLOTS];
};

// 0, or -1 when the receive pool cannot be made. With FWDOWNLOAD in the configuration only the
// lower interface is chosen: no task, no pool. A second call on a set-up instance only names the
// queue again. The configuration must outlive the instance.
int32_t comInit(const char* configuration, void* instance, OsQueueName queueName);
// Stops the running timers and closes the lower interface; may run more than once.
void comShutdown(void* instance);
// The lower interface comInit chose.
const TComLowerInterface* comLowerInterface(void* instance);

// The task procedure, run by the OS worker.
void comTask(void* instance);
// The callback handed to the lower open; runs on the lower interface's threads.
void comTaskCallBack(void* context, DWORD event, DWORD status, BYTE* buffer, DWORD length);

// Fills the six operations for the reader family of READERTYPE in the configuration.
void comSelectLowerInterface(TComLowerInterface* table, const char* configuration, const char* deviceName);
DWORD comNoResponse(TComHandle handle, BYTE* buffer);
