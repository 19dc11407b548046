// The NDEF push protocol: a client connects, sends one frame of NDEF entries and disconnects;
// a server accepts one client at a time and hands each entry to the application.
#include <cstring>
#include <new>
#include <utility>
#include <vector>

#include "p2p/p2pserver.h"
#include "util/bytereader.h"
#include "util/trace.h"

namespace {

constexpr uint32_t kClientMagic = 0x5439C713u;
constexpr uint8_t kVersion = 1;
constexpr uint32_t kFrameHeader = 5, kEntryHeader = 5;
constexpr DWORD kWindow = 2, kServerMiu = 128;
constexpr BYTE kClientSap = 1;
constexpr const char* kServiceName = "com.android.npp";
constexpr uint32_t kDefaultMaxEntry = 64 * 1024;

#define NPP_CSTATES(X) X(INIT) X(CONNECTED) X(TX) X(DISCONNECTING)
#define NPP_SSTATES(X) X(INIT) X(CONNECTED) X(RX) X(DISCONNECTING) X(STOP_DISC) X(STOPPING) X(STOPPED)
#define NPP_ENUM_C(s) C_##s,
#define NPP_ENUM_S(s) S_##s,
#define NPP_NAME(s) #s,
enum ClientState : int { NPP_CSTATES(NPP_ENUM_C) };
enum ServerState : int { NPP_SSTATES(NPP_ENUM_S) };
constexpr const char* kClientStates[] = {NPP_CSTATES(NPP_NAME)};
constexpr const char* kServerStates[] = {NPP_SSTATES(NPP_NAME)};

enum Step : int { STEP_HEADER = 0, STEP_LENGTH = 1, STEP_DATA = 2 };

void putBe32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (24 - 8 * i));
}

}  // namespace

uint32_t gNppMaxEntry = kDefaultMaxEntry;

struct TNppClient : TP2pService {
    int state = C_INIT;
    void* context = nullptr;
    TNppCallback callback = nullptr;
    bool failed = false, asynchronous = false;
    DWORD status = nppOk;
    uint32_t fragment = 0;
    std::vector<uint8_t> frame;
    uint32_t sent = 0;
    bool finished = false;  // the push's end was reported: once, whatever the link does next
};

namespace {

CP2pServer* gServer = nullptr;  // the current server, under CP2pServer::lock()

DWORD serverCallback(void* app, DWORD event, void* listenerContext, void* record);

}  // namespace

struct TNppServer : CP2pServer {
    TNppServer(TNppCallback cb, void* ctx) : CP2pServer(gServer, serverCallback, "NPP server: "), callback(cb), context(ctx) {}
    uint32_t fragment = 0;
    int state = S_INIT;
    TNppCallback callback = nullptr;
    void* context = nullptr;
    std::vector<uint8_t> buffer;
    uint32_t held = 0, entryLength = 0;
    uint8_t lengthBytes[4] = {};
    uint32_t lengthHeld = 0;   // header bytes of a split entry header seen so far (action included)
    int step = STEP_HEADER;
    uint32_t received = 0, announced = 0;

    void onClientConnected(const TP2pConnected& connected) override;
    void onData(const TP2pData& data) override;
    void onTransmitted(DWORD) override {}
    void onClientGone() override;
    void onStopping(bool withClient) override;
    void onEnded() override;
};

namespace {

// ---- Client ---------------------------------------------------------------------------------

void setClientState(TNppClient* c, int state) {
    TRACE(TRC_API, "NPP client: Changing state %s -> %s", kClientStates[c->state], kClientStates[state]);
    c->state = state;
}

void freeClient(TNppClient* c) {
    c->magic = P2P_MAGIC_FREED;
    delete c;
}

// The frame of the entries, or false for a bad entry (4) or short memory (2).
DWORD buildFrame(std::vector<uint8_t>& frame, const TNppEntry* entries, DWORD count) {
    uint64_t size = kFrameHeader;
    for (DWORD i = 0; i < count; ++i) {
        const TNppEntry& e = entries[i];
        if (!e.ndef || !e.length || (e.action != 1 && e.action != 2)) return nppBadParameter;
        size += kEntryHeader + uint64_t{e.length};
    }
    if (size > UINT32_MAX) return nppBadParameter;
    try {
        frame.resize(size);
    } catch (const std::bad_alloc&) {
        TRACE(TRC_ERROR, "NPP: ! No memory available\n");
        return nppFailed;
    }
    uint8_t* p = frame.data();
    *p++ = kVersion;
    putBe32(p, count);
    p += 4;
    for (DWORD i = 0; i < count; ++i) {
        *p++ = entries[i].action;
        putBe32(p, entries[i].length);
        std::memcpy(p + 4, entries[i].ndef, entries[i].length);
        p += 4 + entries[i].length;
    }
    return nppOk;
}

void endClient(TNppClient* c, DWORD status, bool failed) {
    if (std::exchange(c->finished, true)) return;
    c->status = status;
    c->failed = failed;
    // A push that failed with its link still up ends the link: nothing else would.
    if (failed && !c->ended.load(std::memory_order_acquire) && c->state != C_DISCONNECTING && c->connection) {
        setClientState(c, C_DISCONNECTING);
        p2pOps().disconnectRequest(c->connection);
    }
    if (c->asynchronous) {
        if (c->callback) c->callback(c->context, failed ? nppEventPushFailed : nppEventPushed, nullptr, 0);
    } else {
        p2pServiceSignal(*c);
    }
}

bool sendNext(TNppClient* c) {
    const uint32_t from = c->sent;
    const uint32_t n = std::min<uint32_t>(static_cast<uint32_t>(c->frame.size()) - from, c->fragment);
    c->sent = from + n;  // before the send: its transmission's event may overtake the return
    const NfcApiStatus status = p2pOps().dataRequest(c->connection, c->frame.data() + from, n);
    if (status != nfcStatusOk) {
        TRACE(TRC_ERROR, "NPP: ! nfcP2PDataRequest failed with status %d", status);
        c->sent = from;
        return false;
    }
    return true;
}

void clientEvent(TNppClient* c, DWORD event, TP2pConnection* record) {
    TRACE(TRC_API, "NPP client: Received event %#x", event);
    switch (event) {
    case nfcEventConnected:
        if (c->state != C_INIT) {
            TRACE(TRC_ERROR, "NPP client: ! nfcEventConnected in invalid state %d", c->state);
            endClient(c, nppBadParameter, true);
            break;
        }
        setClientState(c, C_CONNECTED);
        c->fragment = record->connected.remoteMiu;
        TRACE(TRC_API, "NPP client: Connected, sending data");
        setClientState(c, C_TX);
        if (!sendNext(c)) endClient(c, nppFailed, true);
        break;
    case nfcEventConnectProceeding:
        break;
    case nfcEventConnectFailed:
        TRACE(TRC_ERROR, "NPP client: ! Connection failed\n");
        c->ended.store(true, std::memory_order_release);
        endClient(c, nppFailed, true);
        break;
    case nfcEventDataTransmitted:
        if (c->state != C_TX) {
            TRACE(TRC_ERROR, "NPP client: ! nfcEventDataTransmitted in invalid state %s", kClientStates[c->state]);
            endClient(c, nppBadParameter, true);
        } else if (c->sent < c->frame.size()) {
            if (!sendNext(c)) endClient(c, nppFailed, true);
        } else {
            setClientState(c, C_CONNECTED);
            TRACE(TRC_API, "NPP client: DISCONNECT request");
            setClientState(c, C_DISCONNECTING);
            const NfcApiStatus status = p2pOps().disconnectRequest(c->connection);
            if (status != nfcStatusOk) {
                TRACE(TRC_ERROR, "NPP client: ! Disconnect failed: %d", status);
                endClient(c, nppFailed, true);
            }
        }
        break;
    case nfcEventDisconnected: {
        const int state = c->state;
        c->ended.store(true, std::memory_order_release);
        setClientState(c, C_INIT);
        if (state == C_DISCONNECTING) TRACE(TRC_API, "NPP client: Disconnected");
        else if (state == C_INIT) TRACE(TRC_ERROR, "NPP client: ! nfcEventDisconnected in invalid state %d", state);
        endClient(c, state == C_DISCONNECTING ? c->status : DWORD{nppFailed}, state != C_DISCONNECTING);
        break;
    }
    case nfcEventHangupTerminated:
        c->ended.store(true, std::memory_order_release);
        if (c->state == C_DISCONNECTING) {
            TRACE(TRC_API, "NPP client: Connection terminated\n");
            setClientState(c, C_INIT);
            endClient(c, nppOk, false);
        } else {
            TRACE(TRC_ERROR, "NPP client: ! nfcEventHangupTerminated in invalid state %d", c->state);
            c->status = nppBadParameter;
            c->failed = true;
        }
        break;
    case nfcEventDataIndication:
        TRACE(TRC_ERROR, "NPP client: ! nfcEventDataIndication is unexpected");
        p2pOps().dataResponse(c->connection);
        endClient(c, nppFailed, true);
        break;
    default:
        TRACE(TRC_ERROR, "NPP client: ! Unexpected event %#x, ignoring\n", event);
    }
}

DWORD clientCallback(void*, DWORD event, void*, void* record) {
    if (event < nfcEventConnected || event > nfcEventConnectIndication) {
        TRACE(TRC_ERROR, "NPP common: ! Unexpected event %d in nppGetHandleFromEvent()", event);
        return 0;
    }
    auto* connection = static_cast<TP2pConnection*>(record);
    auto* c = connection ? static_cast<TNppClient*>(connection->context) : nullptr;
    if (!c) {
        TRACE(TRC_ERROR, "NPP client: ! No context, ignoring event\n");
        return 0;
    }
    if (c->magic != kClientMagic) {
        TRACE(TRC_ERROR, "NPP client: ! Invalid client handle %#x", static_cast<unsigned>(reinterpret_cast<uintptr_t>(c)));
        return 0;
    }
    const bool final = p2pServiceFinalEvent(event);
    if (!c->dead.load(std::memory_order_acquire)) clientEvent(c, event, connection);
    else if (event == nfcEventDataIndication) p2pOps().dataResponse(c->connection);
    if (final && p2pServiceDrop(*c)) freeClient(c);
    return 0;
}

// ---- Server ---------------------------------------------------------------------------------

void setServerState(TNppServer* s, int state) {
    TRACE(TRC_API, "npp: Changing state %s -> %s", kServerStates[s->state], kServerStates[state]);
    s->state = state;
}

void notify(TNppServer* s, DWORD event, BYTE* data, DWORD length) {
    if (s->callback && s->calling()) s->callback(s->context, event, data, length);
}

// Takes the entries' bytes from one fragment; false when an entry cannot be held.
bool reassemble(TNppServer* s, CByteReader reader) {
    TRACE(TRC_API, "npp: handle message fragment, size %d", static_cast<int>(reader.remaining()));
    while (!reader.empty() && s->received < s->announced) {
        if (s->step == STEP_HEADER || s->step == STEP_LENGTH) {
            // The action byte, then four length bytes, possibly split across fragments.
            uint8_t byte = 0;
            reader.u8(byte);
            if (s->lengthHeld++ > 0) s->lengthBytes[s->lengthHeld - 2] = byte;
            s->step = STEP_LENGTH;
            if (s->lengthHeld < kEntryHeader) continue;
            s->entryLength = uint32_t{s->lengthBytes[0]} << 24 | uint32_t{s->lengthBytes[1]} << 16 |
                             uint32_t{s->lengthBytes[2]} << 8 | s->lengthBytes[3];
            s->lengthHeld = 0;
            TRACE(TRC_API, "npp: message length %d", s->entryLength);
            if (s->entryLength > gNppMaxEntry) {
                TRACE(TRC_ERROR, "npp: ! Message of %u bytes exceeds the limit", s->entryLength);
                return false;
            }
            try {
                if (s->buffer.size() < s->entryLength) s->buffer.resize(s->entryLength);
            } catch (const std::bad_alloc&) {
                TRACE(TRC_ERROR, "NPP: ! No memory available\n");
                return false;
            }
            s->held = 0;
            s->step = STEP_DATA;
        }
        const uint32_t n = std::min<uint64_t>(s->entryLength - s->held, reader.remaining());
        const uint8_t* p = nullptr;
        reader.take(n, p);
        TRACE(TRC_API, "npp: copy %d -> %d", n, s->held);
        if (n) std::memcpy(s->buffer.data() + s->held, p, n);
        s->held += n;
        if (s->held == s->entryLength) {
            ++s->received;
            s->step = STEP_HEADER;
            notify(s, nppEventMessage, s->buffer.data(), s->entryLength);
        }
    }
    return true;
}

// A frame the server cannot take ends the client's connection; its end returns the server to
// waiting for the next client.
void disconnectClient(TNppServer* s) {
    setServerState(s, S_DISCONNECTING);
    if (!s->closeClient() && s->state == S_DISCONNECTING) setServerState(s, S_INIT);
}

// A fragment that cannot start a frame is ignored; a broken entry ends the connection.
void firstFragment(TNppServer* s, const TP2pData& data) {
    TRACE(TRC_API, "npp: handle first fragment, size %d", data.length);
    CByteReader reader(data.data, data.length);
    uint8_t version = 0;
    uint32_t count = 0;
    if (data.length < kFrameHeader + 1) {
        TRACE(TRC_ERROR, "npp: ! Initial fragment too short (%d bytes)", data.length);
    } else if (reader.u8(version), version != kVersion) {
        TRACE(TRC_ERROR, "npp: ! Wrong NPP version, is %#x, expected %#x", version, kVersion);
    } else if (reader.u32be(count), count == 0) {
        TRACE(TRC_ERROR, "npp: ! Error handling first fragment of request");
    } else {
        TRACE(TRC_API, "npp: version 0x%X", version);
        TRACE(TRC_API, "npp: number of messages %d", count);
        s->announced = count;
        s->received = 0;
        s->step = STEP_HEADER;
        s->lengthHeld = 0;
        if (!reassemble(s, reader)) {
            TRACE(TRC_ERROR, "npp: ! Error handling first fragment of request");
            disconnectClient(s);
        } else if (s->received < s->announced) {
            setServerState(s, S_RX);
        }
    }
}

DWORD serverCallback(void*, DWORD event, void* listenerContext, void* record) {
    TRACE(TRC_API, "npp: Received event %#x", event);
    return TNppServer::deliver("NPP server: ", gServer, event, listenerContext, record);
}

}  // namespace

void TNppServer::onClientConnected(const TP2pConnected& connected) {
    setServerState(this, S_CONNECTED);
    fragment = connected.remoteMiu;
    notify(this, nppEventClientConnected, nullptr, 0);
}

void TNppServer::onData(const TP2pData& data) {
    if (state == S_CONNECTED) {
        firstFragment(this, data);
    } else if (state == S_RX) {
        if (!reassemble(this, CByteReader(data.data, data.length))) disconnectClient(this);
        else if (received == announced) setServerState(this, S_CONNECTED);
    } else {
        TRACE(TRC_ERROR, "npp: ! nfcEventDataIndication in illegal state %d", state);
    }
}

void TNppServer::onClientGone() {
    setServerState(this, S_INIT);
    notify(this, nppEventClientDisconnected, nullptr, 0);
}

void TNppServer::onStopping(bool withClient) { setServerState(this, withClient ? S_STOP_DISC : S_STOPPING); }

void TNppServer::onEnded() {
    TRACE(TRC_API, "npp: %s", "nppServerReleaseResources");
    if (callback) callback(context, nppEventServerEnded, nullptr, 0);
}

CORVANE_API DWORD nppPush(NfcListenerHandle hListen, DWORD miu, TNppCallback callback, void* context,
                          const TNppEntry* entries, DWORD count, BOOL asynchronous) {
    TRACE(TRC_API, "NPP client: PUSH request, %d NDEF message", count);
    if (!entries || !count) return nppBadParameter;
    // A synchronous push on the thread that delivers its events would wait for itself.
    if (!asynchronous && p2pOps().onEventThread()) return nppFailed;
    auto* c = new (std::nothrow) TNppClient;
    if (!c) return nppFailed;
    const DWORD built = buildFrame(c->frame, entries, count);
    if (built != nppOk) {
        delete c;
        return built;
    }
    c->magic = kClientMagic;
    c->context = context;
    c->callback = callback;
    c->asynchronous = asynchronous != 0;
    c->semaphore.create(0, 1);
    const NfcApiStatus status =
        p2pOps().connectRequest(hListen, c, clientCallback, kWindow, miu, kClientSap, kServiceName, &c->connection);
    if (status != nfcStatusOk) {
        TRACE(TRC_ERROR, "NPP client: No connection established: %d", status);
        freeClient(c);
        return nppFailed;
    }
    if (c->asynchronous) {
        p2pServiceDrop(*c);  // the link's end frees an asynchronous push
        return nppOk;
    }
    if (p2pServiceWait(*c) != PlatWait::Signaled) {
        if (p2pServiceGiveUp(*c)) freeClient(c);
        return nppTimeout;
    }
    const DWORD result = c->failed && c->status == nppOk ? DWORD{nppFailed} : c->status;
    if (p2pServiceGiveUp(*c)) freeClient(c);
    return result;
}

CORVANE_API DWORD nppStartServer(NppServerHandle* hServer, NfcHandle hNfc, void*, void* context,
                                 TNppCallback callback) {
    if (!hServer) return nppBadParameter;
    *hServer = nullptr;
    auto* s = new (std::nothrow) TNppServer(callback, context);
    if (!s) return nppFailed;
    NfcApiStatus status = nfcStatusOk;
    switch (TNppServer::start(s, hNfc, kWindow, kServerMiu, 0, kServiceName, &status)) {
    case CP2pServer::Start::AlreadyRunning:
        TRACE(TRC_ERROR, "NPP server: ! Server %p already running", static_cast<void*>(gServer));
        return nppFailed;
    case CP2pServer::Start::ListenFailed:
        TRACE(TRC_ERROR, "NPP server: ! Listen request failed: %d", status);
        return nppFailed;
    case CP2pServer::Start::Started:
        break;
    }
    *hServer = s;
    TRACE(TRC_API, "NPP server: Started, handle %p", static_cast<void*>(s));
    return nppOk;
}

CORVANE_API DWORD nppStopServer(NppServerHandle hServer) {
    std::lock_guard<std::recursive_mutex> g(CP2pServer::lock());
    auto* s = static_cast<TNppServer*>(CP2pServer::live(static_cast<CP2pServer*>(hServer), gServer));
    if (!s) {
        TRACE(TRC_ERROR, "npp: ! Invalid server handle %#x", static_cast<unsigned>(reinterpret_cast<uintptr_t>(hServer)));
        return nppFailed;
    }
    TRACE(TRC_API, "nppStopServer() enter %p", static_cast<void*>(hServer));
    s->stop();
    s->dropIfFree();
    TRACE(TRC_API, "npp: %s exit (status = 0x%X)", "nppStopServer", 0);
    return nppOk;
}

CORVANE_API DWORD nppReleaseServer(NppServerHandle hServer) {
    std::lock_guard<std::recursive_mutex> g(CP2pServer::lock());
    if (!hServer || static_cast<CP2pServer*>(hServer) != gServer) return nppBadParameter;
    // A running server's links still name the record: the server stops, and the last link's
    // final event frees it without calling the application back.
    hServer->release(true);
    hServer->dropIfFree();
    return nppOk;
}
