#include "L1/nci/nci_packet.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <new>

#include "L1/nci/nci_trace.h"
#include "corvane.h"
#include "transport/nci_opcodes.h"
#include "util/trace.h"

namespace {

constexpr uint16_t NCI_OC_CORE_CONN_CREDITS_NTF = 0x6006;
constexpr uint32_t NCI_CAUSE_QUEUED = nfcCauseTransactionPending;      // 25
constexpr uint32_t NCI_CAUSE_NO_ELEMENT = nfcCauseNotEnoughMemoryOnTag; // 4

#define NCI_INFO(...) TRACE(NCI_TRC_FRAME, __VA_ARGS__)
#define NCI_ERROR(...) TRACE(NCI_TRC_ERROR, __VA_ARGS__)

bool isData(uint16_t opcode) { return opcode < 0x2000; }

// ---- Queue of packets waiting for credit ------------------------------------------------------------

static_assert(offsetof(TNciQueuedPacket, node) == 0, "a queued packet is found from its node");

TNciQueuedPacket* queuePop(TNciConnection& c) {
    return reinterpret_cast<TNciQueuedPacket*>(dlQueueRemoveHead(&c.queue));
}

void queueDrop(TNciConnection& c) {
    while (TNciQueuedPacket* element = queuePop(c)) delete element;
}

// ---- Sending ----------------------------------------------------------------------------------------

uint32_t sendSegment(TNciPacketLayer* layer, const uint8_t* packet, uint32_t length) {
    platYield();
    layer->lastSendTime = platHighResCounter();
    return layer->send(layer->sendUser, packet, length);
}

// A data segment takes a credit or waits in the connection's queue. Once packets wait, later
// ones wait behind them, so the order on the connection is kept.
uint32_t sendDataSegment(TNciPacketLayer* layer, TNciConnection& c, const uint8_t* packet, uint32_t length) {
    if (c.credits == 0 || dlQueueCount(&c.queue) > 0) {
        auto* element = new (std::nothrow) TNciQueuedPacket;
        if (!element) return NCI_CAUSE_NO_ELEMENT;
        element->length = length;
        std::memcpy(element->bytes, packet, length);
        dlQueueAddTail(&c.queue, &element->node);
        NCI_INFO("%s No credit available, queueing packet", layer->prefix);
        return NCI_CAUSE_QUEUED;
    }
    if (c.credits != NCI_CREDITS_UNLIMITED) {
        --c.credits;
        NCI_INFO("%s %d credits remaining", layer->prefix, c.credits);
    }
    return sendSegment(layer, packet, length);
}

void sendQueued(TNciPacketLayer* layer, TNciConnection& c) {
    while (c.credits != 0) {
        TNciQueuedPacket* element = queuePop(c);
        if (!element) return;
        NCI_INFO("%s Sending queued packet (%d bytes)", layer->prefix, static_cast<int>(element->length));
        if (c.credits != NCI_CREDITS_UNLIMITED) --c.credits;
        uint32_t cause = sendSegment(layer, element->bytes, element->length);
        if (cause != 0) NCI_ERROR("%s ! Sending queued packet failed with cause %#x", layer->prefix, cause);
        delete element;
    }
}

// ---- Credits ---------------------------------------------------------------------------------------

void handleCredits(TNciPacketLayer* layer, const uint8_t* payload, uint32_t length) {
    uint32_t count = length > 0 ? payload[0] : 0;
    if (length != 2 * count + 1)
        NCI_ERROR("%s ! Wrong size of credit packet (is %d, expected %d)", layer->prefix, static_cast<int>(length),
                  static_cast<int>(2 * count + 1));
    // Only the pairs that the payload really holds.
    uint32_t pairs = length > 0 ? std::min(count, (length - 1) / 2) : 0;
    bool touched[NCI_CONNECTION_COUNT] = {};
    for (uint32_t k = 0; k < pairs; ++k) {
        uint8_t id = payload[1 + 2 * k] & 0x0F;
        uint8_t credits = payload[2 + 2 * k];
        if (id >= NCI_CONNECTION_COUNT || !layer->connections[id].valid) {
            NCI_ERROR("%s ! Credits for connection %d, which is not open, ignored", layer->prefix, id);
            continue;
        }
        TNciConnection& c = layer->connections[id];
        if (c.credits == NCI_CREDITS_UNLIMITED) continue;
        int size = static_cast<int>(dlQueueCount(&c.queue));
        if (c.credits + credits > c.maxCredits) {
            NCI_ERROR("%s ! Warning, credit (%d+%d > %d) overflow for connection %d, qSize %d", layer->prefix, c.credits,
                      credits, c.maxCredits, id, size);
        } else {
            c.credits = static_cast<uint8_t>(c.credits + credits);
            NCI_INFO("%s Adding %d credits for connection %d, now at %d, qSize %d", layer->prefix, credits, id, c.credits,
                     size);
        }
        layer->receive(layer->receiveUser, NCI_RX_CREDITS, NCI_OC_CORE_CONN_CREDITS_NTF, id, nullptr, c.credits);
        touched[id] = true;
    }
    for (int id = 0; id < NCI_CONNECTION_COUNT; ++id)
        if (touched[id]) sendQueued(layer, layer->connections[id]);
}

// ---- Receiving -------------------------------------------------------------------------------------

void dropPartial(TNciPacketLayer* layer) {
    layer->rxSize = 0;
    layer->rxPending = false;
    layer->rxDiscarding = false;
}

void deliver(TNciPacketLayer* layer, uint16_t opcode, uint8_t connId, const uint8_t* payload, uint32_t length) {
    if (opcode == NCI_OC_CORE_CONN_CREDITS_NTF) handleCredits(layer, payload, length);
    else layer->receive(layer->receiveUser, NCI_RX_MESSAGE, opcode, connId, payload, length);
}

// Makes room for `more` bytes after what the buffer holds; false (traced) when it cannot.
bool reserve(TNciPacketLayer* layer, uint32_t more) {
    uint32_t needed = layer->rxSize + more;
    if (needed > NCI_RX_MAX_MESSAGE) {
        NCI_ERROR("%s ! Warning, message of more than %d bytes, discarding it", layer->prefix,
                  static_cast<int>(NCI_RX_MAX_MESSAGE));
        return false;
    }
    while (layer->rxWanted < needed) layer->rxWanted *= 2;
    if (layer->rxBuffer && layer->rxCapacity >= layer->rxWanted) return true;
    auto* buffer = new (std::nothrow) uint8_t[layer->rxWanted];
    if (!buffer) {
        NCI_ERROR("%s ! No memory available to receive message", layer->prefix);
        return false;
    }
    if (layer->rxBuffer) {
        NCI_INFO("%s Resizing receive buffer to size %d", layer->prefix, static_cast<int>(layer->rxWanted));
        std::memcpy(buffer, layer->rxBuffer, layer->rxSize);
        delete[] layer->rxBuffer;
    } else {
        NCI_INFO("%s Allocating new receive buffer with size %d", layer->prefix, static_cast<int>(layer->rxWanted));
    }
    layer->rxBuffer = buffer;
    layer->rxCapacity = layer->rxWanted;
    return true;
}

} // namespace

void nciPacketInit(TNciPacketLayer* layer, TNciSendFunc send, void* sendUser, TNciReceiveFunc receive,
                   void* receiveUser) {
    layer->maxControlPayload = 255;
    for (auto& c : layer->connections) {
        c.valid = 0;
        c.maxPayload = 0;
        c.credits = 0;
        c.maxCredits = 0;
        c.queue.head = c.queue.tail = nullptr;
        c.queue.count = 0;
    }
    layer->send = send;
    layer->sendUser = sendUser;
    layer->receive = receive;
    layer->receiveUser = receiveUser;
    layer->prefix = "nci:";
    layer->rxBuffer = nullptr;
    layer->rxCapacity = 0;
    layer->rxSize = 0;
    layer->rxWanted = NCI_RX_INITIAL_CAPACITY;
    layer->rxKey = 0;
    layer->rxPending = false;
    layer->rxDiscarding = false;
    layer->lastSendTime = platHighResCounter();
    nciConnectionSetup(layer, 0, NCI_STATIC_RF_PAYLOAD, NCI_CREDITS_UNLIMITED);
}

void nciPacketDone(TNciPacketLayer* layer) {
    for (uint8_t id = 0; id < NCI_CONNECTION_COUNT; ++id) nciConnectionClose(layer, id);
    delete[] layer->rxBuffer;
    layer->rxBuffer = nullptr;
    layer->rxCapacity = 0;
    dropPartial(layer);
}

uint32_t nciConnectionSetup(TNciPacketLayer* layer, uint8_t connId, uint8_t maxPayload, uint8_t credits) {
    if (connId >= NCI_CONNECTION_COUNT) {
        NCI_ERROR("%s ! Invalid connection ID %d", layer->prefix, connId);
        return nfcCauseInvalidData;
    }
    if (maxPayload == 0) {
        NCI_ERROR("%s ! Maximum payload 0 refused for connection %d", layer->prefix, connId);
        return nfcCauseInvalidData;
    }
    TNciConnection& c = layer->connections[connId];
    if (!c.valid) dlQueueInitLockless(&c.queue);
    c.valid = 1;
    c.maxPayload = maxPayload;
    c.credits = credits;
    // A connection opened without credit gets them later: it is bounded only by what the count holds.
    c.maxCredits = credits ? credits : NCI_CREDITS_MAX;
    return 0;
}

void nciConnectionClose(TNciPacketLayer* layer, uint8_t connId) {
    if (connId >= NCI_CONNECTION_COUNT) return;
    TNciConnection& c = layer->connections[connId];
    queueDrop(c);
    c.valid = 0;
    c.queue.lock.destroy();
}

uint32_t nciPacketSend(uint8_t connId, TNciPacketLayer* layer, uint16_t opcode, const uint8_t* payload, uint32_t length) {
    if (connId >= NCI_CONNECTION_COUNT) {
        NCI_ERROR("%s ! Invalid connection ID %d", layer->prefix, connId);
        return nfcCauseInvalidData;
    }
    TNciConnection& c = layer->connections[connId];
    if (!c.valid) {
        NCI_ERROR("%s ! Connection %d is invalid", layer->prefix, connId);
        return nfcCauseWrongParameter;
    }
    bool data = isData(opcode);
    if (!data && connId != 0) {
        NCI_ERROR("%s ! ERROR: Control packet sent on dynamic connection %d", layer->prefix, connId);
        return nfcCauseWrongParameter;
    }
    uint32_t segment = data ? c.maxPayload : layer->maxControlPayload;
    if (segment == 0) {   // a controller that announced a control payload of 0: cutting would never advance
        NCI_ERROR("%s ! Segment size 0 on connection %d", layer->prefix, connId);
        return nfcCauseInvalidData;
    }

    uint32_t result = 0;
    uint32_t done = 0;
    do {
        uint32_t n = std::min(segment, length - done);
        bool more = done + n < length;
        uint8_t packet[3 + 255];
        uint8_t pbf = more ? NCI_PBF : 0;
        packet[0] = data ? static_cast<uint8_t>(pbf | connId) : static_cast<uint8_t>((opcode >> 8) | pbf);
        packet[1] = data ? 0 : static_cast<uint8_t>(opcode);
        packet[2] = static_cast<uint8_t>(n);
        if (n) std::memcpy(packet + 3, payload + done, n);
        NCI_INFO("%s Sending %d bytes, %d remaining", layer->prefix, static_cast<int>(n),
                 static_cast<int>(length - done - n));
        if (done == 0) {
            nciTraceMessage(NCI_DIR_TX, packet, 3 + n, layer->prefix);
            NCI_INFO("%s -----------------------------------------------------------", layer->prefix);
        } else {
            nciTraceHeader(NCI_DIR_TX, packet, 3 + n, layer->prefix);
        }
        uint32_t cause = data ? sendDataSegment(layer, c, packet, 3 + n) : sendSegment(layer, packet, 3 + n);
        if (cause != 0 && cause != NCI_CAUSE_QUEUED) {
            // The rest of a torn message is not sent, and the caller learns why.
            NCI_ERROR("%s ! Sending segment failed with cause %#x, %d bytes not sent", layer->prefix, cause,
                      static_cast<int>(length - done));
            return cause;
        }
        if (cause == NCI_CAUSE_QUEUED) result = cause;
        done += n;
    } while (done < length);
    return result;
}

void nciPacketReceive(TNciPacketLayer* layer, const uint8_t* packet, uint32_t length) {
    nciTraceMessage(NCI_DIR_RX, packet, length, layer->prefix);
    if (!packet || length < 3) {
        NCI_ERROR("%s ! Warning, invalid message size (is 0x%02X, expected 0x%02X)", layer->prefix,
                  static_cast<unsigned>(length), 3u);
        return;
    }
    uint16_t opcode = nciPacketKey(packet[0], packet[1]);
    uint16_t key = static_cast<uint16_t>((packet[0] & ~NCI_PBF & 0xFF) << 8 | packet[1]);
    uint8_t connId = isData(opcode) ? packet[0] & 0x0F : 0;
    uint8_t type = packet[0] >> 5;
    if (type >= 2 && debugOn(NCI_TRC_FRAME)) {
        uint64_t elapsed = platHighResCounter() - layer->lastSendTime;
        debugPrint(0, "nci: response after %d ms", static_cast<int>(elapsed * 1000 / platHighResFrequency()));
    }
    if (layer->rxPending && key != layer->rxKey) {
        if (opcode == NCI_OC_CORE_CONN_CREDITS_NTF && length == packet[2] + 3u && !(packet[0] & NCI_PBF)) {
            handleCredits(layer, packet + 3, packet[2]);
            return;
        }
        NCI_ERROR("%s ! Warning, received message type 0x%02X, but expected message fragment with type 0x%02X. "
                  "Discarding partially received message.",
                  layer->prefix, key, layer->rxKey);
        dropPartial(layer);
    }
    if (length != packet[2] + 3u) {
        NCI_ERROR("%s ! Warning, invalid message size (is 0x%02X, expected 0x%02X)", layer->prefix,
                  static_cast<unsigned>(length), packet[2] + 3u);
        dropPartial(layer);
        deliver(layer, opcode, connId, nullptr, 0);
        return;
    }
    bool more = packet[0] & NCI_PBF;
    if (layer->rxDiscarding) {
        if (!more) dropPartial(layer);
        return;
    }
    if (!reserve(layer, packet[2])) {
        // The rest of the message is dropped too; it would come up as a message of its own otherwise.
        dropPartial(layer);
        layer->rxPending = layer->rxDiscarding = more;
        layer->rxKey = key;
        return;
    }
    std::memcpy(layer->rxBuffer + layer->rxSize, packet + 3, packet[2]);
    layer->rxSize += packet[2];
    if (more) {
        layer->rxPending = true;
        layer->rxKey = key;
        layer->receive(layer->receiveUser, NCI_RX_SEGMENT, opcode, connId, nullptr, 0);
        return;
    }
    uint32_t size = layer->rxSize;
    dropPartial(layer);
    deliver(layer, opcode, connId, layer->rxBuffer, size);
}

uint32_t nciResponseTimeout(uint32_t tagType, uint32_t tagTimeout, uint32_t techTimeout, bool dataExchange) {
    uint32_t timeout = dataExchange && (tagType & NCI_TAG_TYPES_WITHOUT_TIMEOUT) ? 0 : tagTimeout;
    NCI_INFO("nci: current timeout %d ms, current tech timeout %d ms, current tag type %d", static_cast<int>(timeout),
             static_cast<int>(techTimeout), static_cast<int>(tagType));
    if (techTimeout >= timeout) timeout = techTimeout;
    else NCI_INFO("nci: Using default timeout %d ms, technology-specific timeout %d ms", static_cast<int>(timeout),
                  static_cast<int>(techTimeout));
    if (timeout == 0) return 0;
    if (techTimeout >= timeout) timeout = std::min<uint32_t>(techTimeout * 8 + 30, 1000);
    NCI_INFO("nci: Using timeout %d ms, technology-specific timeout %d ms", static_cast<int>(timeout),
             static_cast<int>(techTimeout));
    return timeout;
}
