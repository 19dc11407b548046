// The LLCP task's own records: the instance (one per engine, kept in the module's data
// segment, so that two engines can live in one process), its five links, the SAP table, the
// service-discovery slots and the send queue; and the services its modules share.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/nfacemsg.h"
#include "llcp/llcppdu.h"
#include "os/os.h"

struct TNfcTagInfo;

constexpr uint16_t LLCP_DS_BUFFER = 2052; // the largest frame: an MIU of 2048 and a header
constexpr uint16_t LLCP_DS_BUFFERS = 2;
constexpr uint16_t LLCP_CTRL_BUFFER = 16;
constexpr uint16_t LLCP_CTRL_BUFFERS = 8;
constexpr int LLCP_SEND_ELEMENTS = 20;
constexpr int LLCP_LINKS = 5;
constexpr int LLCP_SAPS = 64;
constexpr int LLCP_SDP_SLOTS = 4;
constexpr uint8_t LLCP_NAME_MAX = 254;
constexpr int LLCP_RX_BUFFERS = 16; // receive buffers one link can hold
constexpr int LLCP_PENDING = 16; // data requests one link holds waiting for send credit
constexpr int LLCP_UNACKED = 16; // sent I-frames: the 4-bit sequence bounds them below 16
constexpr uint8_t LLCP_MAX_WINDOW = 4;
constexpr uint8_t LLCP_MAX_CONNECTIONS = 8;
constexpr uint8_t LLCP_NO_BLOCK = 255;
constexpr uint8_t LLCP_NO_SAP = 255;
constexpr uint8_t LLCP_NO_LINK = 255;
constexpr uint8_t LLCP_NO_PTYPE = 255;
constexpr uint32_t LLCP_TRACE = 0x800;
constexpr uint32_t LLCP_TRACE_SYMM = 0x4000; // SYMMs are traced apart: they come every few ms

// Commands of the task besides the NFC_LLCP primitives and the layer-1 messages.
enum : uint16_t {
    LLCP_SET_PARAMETER_REQ = 0xC2,
    LLCP_PASS_UP = 0xC3,
    LLCP_IGNORED = 0xCD,
    LLCP_DL_DM = 0x282,
    LLCP_DL_DEACT_IND = 0x289,
};

// Causes, as the task gives them; upward confirmations add 0x400 to a non-zero one.
enum : uint16_t {
    LLCP_OK = 0,
    LLCP_WRONG_STATE = 7,
    LLCP_LINK_TIMEOUT = 8,
    LLCP_NOT_ACTIVE = 10,
    LLCP_FRAME_REJECTED = 11,
    LLCP_NO_RESOURCES = 13,
    LLCP_BAD_PARAMETER = 17,
    LLCP_SAP_IN_USE = 24,
    LLCP_CHIP_FAILURE = 29,
    LLCP_SDP_NOT_FOUND = 0x11B,
    LLCP_CAUSE_BASE = 0x400,
};

// Instance flags.
enum : uint32_t {
    LLCP_INITIATOR = 0x100,
    LLCP_ACTIVE = 0x200,
    LLCP_ACTIVATED = 0x400,
    LLCP_MY_TURN = 0x800,
    LLCP_FIRST_SYMM = 0x1000,
    LLCP_LAST_SENT_SYMM = 0x2000,
};

// Link flags; the low byte is the slot index.
enum : uint32_t {
    LLCP_LINK_IN_USE = 0x100,
    LLCP_LINK_OUTGOING = 0x200,
    LLCP_LINK_DISCONNECTED = 0x400,
    LLCP_LINK_RNR_SENT = 0x800,
    LLCP_LINK_REMOTE_BUSY = 0x1000,
    LLCP_LINK_NS_ERROR = 0x2000,
    LLCP_LINK_CC_PENDING = 0x8000, // accepted: the CC goes out when the application answers
    LLCP_LINK_CROSSED = 0x10000, // both sides connected at once: the peer's CC is still due
    LLCP_LINK_ACK_HELD = 0x20000, // frames taken, but too few buffers free to acknowledge them yet
    LLCP_LINK_CO = 0x4000,
};

enum LlcpLinkState : uint32_t {
    LLCP_STATE_FREE = 0,
    LLCP_STATE_IDLE = 1,
    LLCP_STATE_CONNECTING = 2,
    LLCP_STATE_CONNECTED = 3,
    LLCP_STATE_CLOSING = 4,
    LLCP_STATE_DISCONNECTING = 5,
};

enum LlcpTimer : uint8_t {
    LLCP_TIMER_SYMM = 1,
    LLCP_TIMER_LTO = 2,
    LLCP_TIMER_SHUTDOWN = 3,
    LLCP_TIMER_ACK = 4,
};

enum LlcpSapState : uint32_t { LLCP_SAP_FREE = 0, LLCP_SAP_USED = 1, LLCP_SAP_RESERVED = 2 };

// Raw modes of the I/O control: 1 passes frames unparsed.
enum : uint8_t { LLCP_RAW_NONE = 0, LLCP_RAW_BYPASS = 1, LLCP_RAW_FAST_SYMM = 2 };
constexpr uint8_t LLCP_OPTION_NO_MIUX_RW = 0x1;

// A fixed first-in first-out ring.
template <typename T, int N>
struct LlcpRing {
    T items[N];
    uint8_t head;
    uint8_t count;

    bool full() const { return count == N; }
    bool empty() const { return count == 0; }
    bool push(const T& item) {
        if (full()) return false;
        items[(head + count) % N] = item;
        ++count;
        return true;
    }
    bool pop(T& item) {
        if (empty()) return false;
        item = items[head];
        head = static_cast<uint8_t>((head + 1) % N);
        --count;
        return true;
    }
    void clear() { head = count = 0; }
};

// One receive buffer of a link: MIU bytes of memory the link was given, and what it holds.
struct TLlcpRxBuffer {
    uint8_t* data;
    uint16_t size;
    uint16_t length;
};

// A data request waiting on its link.
struct TLlcpPending {
    const uint8_t* data;
    uint16_t length;
    uint8_t handle;
    uint8_t dsap;
    uint16_t request;
};

struct TLlcp;

// hLink is the record's address.
struct TLlcpLink {
    TLlcp* owner;
    uint32_t app; // the application index of the source word, 1-based
    void* upper; // hP2PLink
    uint32_t flags;
    uint32_t state;
    uint32_t counters[3];
    LlcpRing<TLlcpRxBuffer, LLCP_RX_BUFFERS> rxFree;
    LlcpRing<TLlcpRxBuffer, LLCP_RX_BUFFERS> rxInUse;
    LlcpRing<TLlcpPending, LLCP_PENDING> pending;
    LlcpRing<TLlcpPending, LLCP_UNACKED> unacked; // sent, oldest first, confirmed at acknowledgement
    uint8_t* area; // a listener's buffer area: one block of window x MIU per connection
    uint16_t blocksUsed; // of the listener, by block index
    uint8_t block; // of an accepted link, in its listener's area
    uint32_t ackTimerRunning;
    uint8_t maxConnections;
    uint8_t accepted;
    uint16_t miu;
    uint8_t localSap;
    uint8_t remoteSap;
    uint8_t firstRemoteSap;
    uint8_t window;
    uint8_t vs, vr, vsa, ns, nr, outstanding;
    uint8_t nrSent; // the N(R) of the last I- or S-frame that went out
    uint8_t remoteWindow;
    uint16_t remoteMiu;
    uint8_t queued;
};

struct TLlcpSap {
    char name[LLCP_NAME_MAX]; // owned: a caller's string may be gone while the SAP stays reserved
    uint8_t length;
    uint32_t state;
};

struct TLlcpSdpSlot {
    uint32_t app;
    void* requester;
    uint16_t request;
    uint8_t tid;
    uint8_t busy;
};

// An I-frame and an S-frame take the link's V(R) (and an S-frame its type, RR or RNR, from the
// link's busy state) when they go out, so that no acknowledgement lags behind another.
enum LlcpSendKind : uint8_t { LLCP_SEND_PDU = 0, LLCP_SEND_I = 1, LLCP_SEND_UI = 2, LLCP_SEND_S = 3 };

// One downstream PDU waiting for this side's turn. A whole PDU sits in a pool buffer that the
// element owns; a UI body is the requester's data, with the link's SAPs for its header.
struct TLlcpSendElement {
    TLlcpSendElement* next;
    uint8_t* buffer;
    const uint8_t* body;
    uint16_t length;
    uint8_t link;
    uint8_t kind;
    uint8_t dsap, ssap;
    uint8_t handle;
    uint8_t ns; // of an I-frame; its N(R) is the link's V(R) when it goes out
    uint16_t request;
    bool dsBuffer; // the buffer is one of the downstream pool's: it may carry the frame
};

struct TLlcpLocalParams {
    uint8_t lto = 50; // 10-ms units
    uint8_t version = 0x11;
    uint16_t miu = LLCP_MAX_MIU;
};

struct TLlcp {
    bool ready = false;
    uint32_t moduleWord = 0;
    OsMessage msg{};
    uint16_t ownQueue = 0, timerQueue = 0, usQueue = 0, dsQueue = 0;
    uint16_t dsPool = 0, ctrlPool = 0;
    uint8_t linkCount = 0;
    uint32_t timerRunning[3] = {}; // SYMM, LTO, shutdown
    TLlcpLocalParams local;
    LlcpRemoteParams remote;
    uint8_t lastRxType = LLCP_NO_PTYPE;
    uint16_t lastCommand = 0;
    uint32_t lastApp = 0;
    TLlcpLink* lastLink = nullptr;
    uint16_t lastAnswer = 0;
    uint32_t flags = 0;
    uint8_t rawMode = 0;
    uint8_t option = 0;
    uint8_t requeued = 0; // early frames put back since the last handled one
    bool receiving = false; // a received frame is being dispatched: its answer waits
    uint32_t rxSymm = 0;
    uint32_t symmSent = 0;
    TLlcpSendElement elements[LLCP_SEND_ELEMENTS]{};
    TLlcpSendElement* freeElements = nullptr;
    TLlcpSendElement* queueHead = nullptr;
    TLlcpSendElement* queueTail = nullptr;
    uint8_t queued = 0;
    TLlcpLink links[LLCP_LINKS]{};
    TLlcpSap saps[LLCP_SAPS]{};
    TLlcpSdpSlot sdp[LLCP_SDP_SLOTS]{};
};

// ---- Task (llcp.cpp) ------------------------------------------------------------------------
int32_t nfcllcpInit(void* instance, uint32_t id);
void nfcllcpHandleMessage(void* instance);
// The peer's general bytes of a P2P device record.
CByteReader llcpDeviceGeneralBytes(const TNfcTagInfo& device);

// ---- Upward and downward sends (llcpup.cpp) -------------------------------------------------
void llcpSendUp(TLlcp* p, OsMessage message);
void llcpSendDown(TLlcp* p, OsMessage message);
void llcpSendDlDeactInd(TLlcp* p);
void llcpSendTechRemove(TLlcp* p, uint16_t cause);
uint16_t llcpUpCause(uint16_t cause);
void llcpSendDiscInd(TLlcp* p, TLlcpLink* link, uint16_t cause);
void llcpSendDiscIndAll(TLlcp* p, uint16_t cause);
void llcpSendDiscConf(TLlcp* p, TLlcpLink* link, uint16_t cause, uint16_t request);
void llcpSendDataConf(TLlcp* p, TLlcpLink* link, uint16_t cause, uint8_t handle, uint16_t request);
void llcpSendDataConfTo(TLlcp* p, uint32_t app, void* upper, void* hLink, uint16_t cause, uint8_t handle,
                        uint16_t request);
// The confirmation of a link request of the code, for a request that can no longer be served.
void llcpSendLinkConf(TLlcp* p, uint16_t code, uint32_t app, TLlcpLink* link, uint16_t cause);
void llcpSendSdpConf(TLlcp* p, uint32_t app, void* requester, uint16_t request, uint16_t cause, uint8_t sap);
// A PDU's data up as data of the link, from the peer's SAP: copied into its first free receive
// buffer.
bool llcpSendDataUp(TLlcp* p, TLlcpLink* link, uint8_t ssap, const uint8_t* data, uint16_t length);
void llcpSendConActInd(TLlcp* p, TLlcpLink* link);
// The answer to a connect or listen request; link is null when none was opened.
void llcpSendOpenConf(TLlcp* p, uint16_t code, uint32_t app, void* upper, TLlcpLink* link, uint16_t cause,
                      uint16_t request);

// ---- Links (llcplink.cpp) ---------------------------------------------------------------------
void llcpLinksInit(TLlcp* p);
uint16_t llcpCheckLinkHandle(const TLlcp* p, const void* link, uint32_t app);
TLlcpLink* llcpLinkOf(TLlcp* p, const void* handle); // one of the five slots, or null
TLlcpLink* nfcllcpGetNextFreeLink(TLlcp* p);
uint16_t nfcllcpAllocListenLink(TLlcp* p, TLlcpLink** out, uint32_t app, void* upper, uint8_t sap, const char* name,
                                uint8_t nameLength, bool connectionOriented);
uint16_t nfcllcpAllocConLink(TLlcp* p, TLlcpLink** out, uint32_t app, void* upper, uint8_t remoteSap, const char* name,
                             uint8_t nameLength);
void nfcllcpReleaseLink(TLlcp* p, TLlcpLink* link);
TLlcpLink* nfcllcpCloneListenLink(TLlcp* p, TLlcpLink* listener, TLlcpLink* link, uint8_t remoteSap);
TLlcpLink* nfcllcpFindLinkForCON(TLlcp* p, uint8_t localSap, uint8_t remoteSap);
TLlcpLink* nfcllcpFindLinkForCC(TLlcp* p, uint8_t localSap, uint8_t remoteSap);
TLlcpLink* nfcllcpFindLink(TLlcp* p, uint8_t remoteSap, uint8_t localSap);
TLlcpLink* nfcllcpFindLinkForConLess(TLlcp* p, uint8_t localSap);
void nfcllcpChangeState(TLlcpLink* link, uint32_t state);
// Gives the link receive buffers of its MIU cut from memory (the window buffers).
void llcpLinkGiveRxBuffers(TLlcpLink* link, uint8_t* memory, uint8_t count, uint16_t miu);
uint8_t llcpLinkIndex(const TLlcpLink* link);

// ---- SAPs (llcpsap.cpp) ---------------------------------------------------------------------
void llcpSapsInit(TLlcp* p);
uint8_t llcpFindSapByName(const TLlcp* p, uint8_t first, const char* name, uint8_t length);
uint8_t llcpFindWellKnownSap(const char* name, uint8_t length);
uint32_t nfcllcpCheckUriServiceName(uint8_t sap, const char* name, uint8_t length);
uint8_t nfcLlcpAllocSapForConnection(TLlcp* p, const char* name, uint8_t length);
uint16_t nfcLlcpAllocSap(TLlcp* p, uint8_t first, const char* name, uint8_t* out, uint8_t end, uint8_t length);
uint16_t nfcLlcpAllocSapForListen(TLlcp* p, uint8_t* sap, const char* name, uint8_t length);
// After a disconnection: SAPs 16..31 stay reserved for their name, the others are freed.
void llcpFreeSap(TLlcp* p, uint8_t sap);
// Frees the SAP whatever its range, with its name.
void llcpReleaseSap(TLlcp* p, uint8_t sap);
// A name among the SAPs 1..31 in use; 255 when none.
uint8_t llcpLookupService(const TLlcp* p, const uint8_t* name, uint8_t length);
// The well-known services this side offers: bit n for each of the SAPs 0..15 in use.
uint16_t llcpLocalWks(const TLlcp* p);

// ---- Timers and the downstream sender (llcpsend.cpp) -----------------------------------------
void llcpStartTimer(TLlcp* p, uint8_t id, uint32_t ms, uint8_t channel = 0);
void llcpStopTimer(TLlcp* p, uint8_t id, uint8_t channel = 0);
void nfcllcpStartTimerSYMM(TLlcp* p);
void nfcllcpStopTimerSYMM(TLlcp* p);
void llcpStartTimerLTO(TLlcp* p);
void llcpStopTimerLTO(TLlcp* p);
void llcpElementsInit(TLlcp* p);
void nfcllcpLMSendDownstream(TLlcp* p);
// Queues a whole PDU held in a pool buffer (which the queue now owns) and runs the sender.
bool nfcllcpSendDownstream(TLlcp* p, uint8_t* buffer, uint16_t length, uint8_t link, bool dsBuffer = false);
// Queues a UI body of the link's data request and runs the sender.
bool llcpSendUiDownstream(TLlcp* p, TLlcpLink* link, const TLlcpPending& data);
// Queues an I-frame of the link's data request with N(S) ns and runs the sender.
bool llcpSendIDownstream(TLlcp* p, TLlcpLink* link, const TLlcpPending& data, uint8_t ns);
bool llcpSendRoom(const TLlcp* p);
void llcpFlushDownstream(TLlcp* p);
// Takes the link's PDUs out of the send queue: the requester's data must not be read after the
// link is gone. A non-zero confirm is the cause each UI request taken out is answered with. The
// count taken out.
uint8_t nfcllcpLMDiscardLinkData(TLlcp* p, TLlcpLink* link, uint16_t confirm);
// Queues the link's acknowledgement: RR, or RNR while the link is busy; one at a time.
void nfcllcpSendSFRAME(TLlcp* p, TLlcpLink* link);
void nfcllcpSendDM(TLlcp* p, uint8_t dsap, uint8_t ssap, uint8_t reason);
uint16_t nfcllcpSendUFRAME(TLlcp* p, TLlcpLink* link, uint8_t ptype, const char* name, uint8_t nameLength,
                           const uint8_t* info);
uint16_t nfcllcpSendSNLFrame(TLlcp* p, const uint8_t* tlvs, uint16_t length);
void llcpBufferCheck(TLlcp* p);
void llcpTracePdu(const char* direction, const uint8_t* frame, uint16_t length);

// ---- Received frames (llcprecv.cpp) ---------------------------------------------------------
void llcpHandleFrame(TLlcp* p, const uint8_t* frame, uint16_t length);
void nfcllcpHandleUpstreamMessage(TLlcp* p, const uint8_t* frame, uint16_t length, bool inAgf);

// ---- Service discovery (llcpsnl.cpp) ---------------------------------------------------------
void nfcllcpEvaluateSNLFrame(TLlcp* p, const LlcpPdu& pdu);
void nfcllcpHandleNFCLLCPSdpReq(TLlcp* p);
// Answers every discovery request still open (of the application, or of all when it is 0) with
// the cause and frees its slot: a request is never dropped without an answer.
void llcpAnswerSdpRequests(TLlcp* p, uint16_t cause, uint32_t app = 0);

// ---- Primitives of the applications (llcpprim.cpp) ------------------------------------------
void nfcllcpHandleNFCLLCPDiscReq(TLlcp* p);
void nfcllcpHandleNFCLLCPDataReq(TLlcp* p);
void nfcllcpHandleNFCLLCPDataResp(TLlcp* p);
void nfcllcpHandleNFCLLCPDiscResp(TLlcp* p);
void nfcllcpHandleNFCLLCPConActResp(TLlcp* p);
void nfcllcpHandleNFCLLCPConReq(TLlcp* p);
void nfcllcpHandleNFCLLCPListenReq(TLlcp* p);
void llcpHandleTechRemove(TLlcp* p);

// ---- The link's connection procedures (llcpconn.cpp) -------------------------------------------
void llcpLinkReceive(TLlcp* p, TLlcpLink* link, const LlcpPdu& pdu);
void llcpLinkSendData(TLlcp* p, TLlcpLink* link);
void llcpLinkAccepted(TLlcp* p, TLlcpLink* link);
// Sends CONNECT (with the service name when one is given): state 2.
uint16_t llcpLinkConnect(TLlcp* p, TLlcpLink* link, const char* name, uint8_t nameLength);
// A PDU refused by the checks or by the sequence rules: traced, and a connected link answers
// FRMR and ends.
void llcpLinkReject(TLlcp* p, TLlcpLink* link, const LlcpPdu& pdu, uint8_t flags);
// A receive buffer came back: RR once the link is no longer busy.
void llcpLinkBufferReturned(TLlcp* p, TLlcpLink* link);
// The acknowledgement timer ran out: a held acknowledgement goes, as RNR when buffers are still
// short.
void llcpLinkAckDue(TLlcp* p, TLlcpLink* link);
// The N(R) the link's next I- or S-frame carries: V(R), unless the acknowledgement is held.
uint8_t llcpLinkNr(const TLlcpLink* link);
