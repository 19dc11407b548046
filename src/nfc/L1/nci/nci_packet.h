// NCI packets between the driver and the transport: messages cut into segments on the way
// down, credits counted on the logical connections, segments put back together on the way up.
// The layer knows its neighbours only through a send function and a receive callback.
#pragma once

#include <cstdint>

#include "util/dlqueue.h"

constexpr int NCI_CONNECTION_COUNT = 15;             // connection ids 0..14
constexpr uint8_t NCI_CREDITS_UNLIMITED = 0xFF;      // flow control off
constexpr uint8_t NCI_CREDITS_MAX = 0xFE;            // the most a flow-controlled connection counts
constexpr uint8_t NCI_STATIC_RF_PAYLOAD = 252;
constexpr uint32_t NCI_RX_INITIAL_CAPACITY = 256;
constexpr uint32_t NCI_RX_MAX_MESSAGE = 64 * 1024;   // a reassembled message never grows beyond this
constexpr uint32_t NCI_TAG_TYPES_WITHOUT_TIMEOUT = 0xF23000;   // P2P and listen types

// Kinds of the receive callback.
enum : uint32_t {
    NCI_RX_MESSAGE = 12,    // a whole message: opcode, connection id (data only), payload
    NCI_RX_CREDITS = 13,    // credits arrived: connection id, and its credits now in place of the length
    NCI_RX_SEGMENT = 22,    // a segment arrived, more follow (the response timer starts again)
};

// Writes one packet (header and payload) downward; returns 0 or a cause.
using TNciSendFunc = uint32_t (*)(void* user, const uint8_t* packet, uint32_t length);
using TNciReceiveFunc = void (*)(void* user, uint32_t kind, uint16_t opcode, uint8_t connId, const uint8_t* payload,
                                 uint32_t length);

struct TNciQueuedPacket {
    dlQueueNode node;   // first: the node's address is the packet's
    uint32_t length;
    uint8_t bytes[3 + 255];
};

struct TNciConnection {
    uint32_t valid;
    uint8_t maxPayload;
    uint8_t credits;
    uint8_t maxCredits;
    dlQueue queue;      // packets waiting for credit, oldest first, under the queue's own lock
};

struct TNciPacketLayer {
    uint8_t maxControlPayload;
    TNciConnection connections[NCI_CONNECTION_COUNT];
    TNciSendFunc send;
    void* sendUser;
    TNciReceiveFunc receive;
    void* receiveUser;
    const char* prefix;
    uint8_t* rxBuffer;
    uint32_t rxCapacity;
    uint32_t rxSize;
    uint32_t rxWanted;
    uint16_t rxKey;          // header key of the message being put together (data keeps its connection id)
    bool rxPending;
    bool rxDiscarding;       // the rest of a refused message is dropped up to its last segment
    uint64_t lastSendTime;   // high-resolution stamp of the last segment sent
};

// Control payload 255, the static RF connection 0 open (payload 252, no flow control).
void nciPacketInit(TNciPacketLayer* layer, TNciSendFunc send, void* sendUser, TNciReceiveFunc receive,
                   void* receiveUser);
// Frees the receive buffer and every queued packet; closes every connection.
void nciPacketDone(TNciPacketLayer* layer);

// Opens a connection or changes the payload and credits of an open one. A maximum payload of
// 0 could never carry a byte: it is refused (0x0B) and the connection stays as it was.
uint32_t nciConnectionSetup(TNciPacketLayer* layer, uint8_t connId, uint8_t maxPayload, uint8_t credits);
// Closes a connection and drops the packets that wait on it.
void nciConnectionClose(TNciPacketLayer* layer, uint8_t connId);

// Sends one message; returns 0, 25 when (part of) it waits for credit, or the cause of the
// first segment that failed (no later segment is sent then).
uint32_t nciPacketSend(uint8_t connId, TNciPacketLayer* layer, uint16_t opcode, const uint8_t* payload, uint32_t length);
// Takes one whole NCI packet from the transport.
void nciPacketReceive(TNciPacketLayer* layer, const uint8_t* packet, uint32_t length);

// The response timer for a command (0: no timer), from the tag timeout of the current tag type
// and the technology timeout; data exchanges with P2P and listen tag types have no tag timeout.
uint32_t nciResponseTimeout(uint32_t tagType, uint32_t tagTimeout, uint32_t techTimeout, bool dataExchange);
