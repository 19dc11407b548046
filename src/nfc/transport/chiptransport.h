// The transport for every bus but the plain serial port: a queue of frames to send with
// retries, the "Chip Worker Thread" that runs the miniport's worker loop, and the miniport
// chosen from READERTYPE and IOTYPE. One record serves the process.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform.h"
#include "transport/comlower.h"
#include "util/dlqueue.h"

constexpr uint32_t CHIP_TX_NODES = 16;
constexpr uint32_t CHIP_WORKER_TRIGGER_MAX = 16;
constexpr DWORD CHIP_FRAME_MAX = 512;          // the longest frame a write takes
constexpr uint32_t CHIP_TX_TRIES = 6;          // a frame is given up at its 6th failed write
constexpr uint32_t CHIP_RETRIGGER_MS = 10;
constexpr DWORD CHIP_ERR_TX = 0x34;            // queue full, or a frame given up
constexpr DWORD CHIP_STATUS_REMOVED = 0x34;    // carried by the removal a bus proxy reports
// A miniport write's answer when the layer below has no room for the frame yet: no failure,
// the frame waits and is offered again.
constexpr int32_t CHIP_WRITE_BUSY = -3;

enum : uint32_t {
    CHIP_SPB = 0x01,
    CHIP_ST21NFCA = 0x02,
    CHIP_ST21NFCB = 0x04,
    CHIP_NCI_ST21 = 0x08,
    CHIP_PN544 = 0x10,
    CHIP_POLLBUS = 0x20,
    CHIP_PROXIMITY = 0x40,
    CHIP_BYTE_STREAM = 0x80,   // set by a miniport whose bus is a byte stream, not a frame bus
};

struct TChipTransport;

// What a miniport offers; every operation may be empty.
struct TMiniportOps {
    DWORD (*open)(TChipTransport* record, const char* port, const char* parameters);   // 0 or an error
    void (*close)(TChipTransport* record);
    int32_t (*write)(TChipTransport* record, const BYTE* buffer, DWORD length);        // bytes written or negative
    int32_t (*read)(TChipTransport* record, BYTE* buffer, DWORD size);                 // bytes read or negative
    DWORD (*gpioGet)(TChipTransport* record, DWORD line);
    void (*gpioSet)(TChipTransport* record, DWORD line, DWORD value);
    DWORD (*reset)(TChipTransport* record);
    DWORD (*startThread)(TChipTransport* record);                                      // 0 or an error
    void (*stopThread)(TChipTransport* record);    // only signals: the chip transport joins the thread
    void (*threadWorker)(TChipTransport* record);  // one pass of the worker loop
    void (*trigger)(TChipTransport* record);       // wakes the worker
};

// A frame waiting to be sent, copied in when it was written.
struct TChipTxNode {
    dlQueueNode link;
    BYTE* caller;          // the writer's buffer, handed back with the completion as a token only
    DWORD length;
    DWORD sent;
    uint32_t retries;
    BYTE data[CHIP_FRAME_MAX];
};

// Frames waiting to be written, with the chip transport's retry rule: a failed write is tried
// again CHIP_RETRIGGER_MS later, and the CHIP_TX_TRIES-th failure in a row gives the frame up; a
// write that finds the layer below busy is offered again as well, but is no failure.
struct TChipTxQueue {
    // The write of a frame; bytes written or negative, as the miniports' write.
    int32_t (*write)(TChipTransport* record, const BYTE* buffer, DWORD length) = nullptr;
    // Hears of each frame written or given up; empty: nobody waits for it.
    void (*done)(TChipTransport* record, BYTE* caller, DWORD length, DWORD status) = nullptr;
    dlQueue freeNodes;
    dlQueue pending;
    uint32_t failures = 0;          // consecutive failed writes
    uint32_t retrigger = 0;         // the one-shot timer that wakes the worker for a retry
};

struct TChipTransport {
    uint32_t magic = 0;
    bool inUse = false;
    TComCallBack callback = nullptr;
    void* context = nullptr;
    void* miniport = nullptr;       // the bus handle the miniport's open set
    uint32_t flags = 0;
    TMiniportOps ops{};
    std::atomic<bool> running{false};
    PlatThread* worker = nullptr;
    PlatSemaphore workerSemaphore;
    uint32_t gpioState = 0;         // the interrupt line as the miniport last saw it
    TChipTxNode nodes[CHIP_TX_NODES];
    TChipTxQueue tx;
};

// A miniport's set-up: fills the operations and answers 0 when the miniport can serve.
using TMiniportSetup = DWORD (*)(TChipTransport* record, TMiniportOps* ops);

// The candidates in the order of the selection rules; an empty set-up is a miniport that is
// not part of this build.
enum TChipMiniport { chipMpSpb, chipMpSerialProxy, chipMpAardvarkNdlc, chipMpArmBoard, chipMpAardvarkHci, chipMpCount };
struct TChipMiniportSetups {
    TMiniportSetup setup[chipMpCount];
};
// Tests put miniports of their own here; empty restores the library's.
void chipSetMiniportSetups(const TChipMiniportSetups* setups);

// The transport operations.
DWORD chipTransportOpen(const char* port, const char* parameters, TComCallBack callBack, void* context, TComHandle* handle);
DWORD chipTransportClose(TComHandle handle);
DWORD chipTransportReset(TComHandle handle);
DWORD chipTransportWrite(TComHandle handle, BYTE* buffer, DWORD length);
DWORD chipTransportSetProperty(TComHandle handle, DWORD property, void* value, DWORD length);
DWORD chipTransportGetProperty(TComHandle handle, DWORD property, void* value, DWORD* length);

// Chooses the miniport: fills the record's operations and flags; the operations stay empty
// when no candidate could be set up.
void chipInitMiniport(TChipTransport* record, const char* parameters);
DWORD chipStartWorkerThread(TChipTransport* record);
DWORD chipStopWorkerThread(TChipTransport* record);

// A queue of the record's with its nodes free.
void chipTxQueueInit(TChipTxQueue* queue, TChipTxNode* nodes, uint32_t count);
// Stops the queue's retry timer; what is queued stays.
void chipTxQueueStop(TChipTxQueue* queue);
// Copies a frame into a free node at the queue's tail; false when none is free.
bool chipTxQueueAdd(TChipTxQueue* queue, BYTE* caller, const BYTE* frame, DWORD length);
// Sends the first frame of the queue. Answers -2 when nothing is pending, -1 when the write
// failed or found the layer below busy, else what the write answered.
int32_t chipTxQueueStep(TChipTransport* record, TChipTxQueue* queue);
// For the miniports' worker loops: the step of the transport's own queue.
int32_t chipTransmitStep(TChipTransport* record);
// Wakes the worker: the miniport's trigger, or the worker semaphore.
void chipTriggerWorker(TChipTransport* record);
// Reports an event to the transport adapter above.
void chipSignal(TChipTransport* record, DWORD event, DWORD status, BYTE* buffer, DWORD length);
