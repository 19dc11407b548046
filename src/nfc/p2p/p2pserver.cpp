// The server base of the peer services: the holds of a server's links on its record, the
// current server of each service, and the life of the listener and of one client at a time.
#include "p2p/p2pserver.h"

#include <set>

#include "util/trace.h"

namespace {

std::set<const CP2pServer*>& records() {
    static std::set<const CP2pServer*> all;
    return all;
}

}  // namespace

std::recursive_mutex& CP2pServer::lock() {
    static std::recursive_mutex serverLock;
    return serverLock;
}

CP2pServer* CP2pServer::live(const void* handle, CP2pServer* const& slot) {
    std::lock_guard<std::recursive_mutex> g(lock());
    auto* server = static_cast<CP2pServer*>(const_cast<void*>(handle));
    return handle && records().count(server) && &server->slot_ == &slot ? server : nullptr;
}

CP2pServer::CP2pServer(CP2pServer*& slot, TNfcEventCallback callback, const char* prefix)
    : slot_(slot), callback_(callback), prefix_(prefix) {
    std::lock_guard<std::recursive_mutex> g(lock());
    records().insert(this);
}

CP2pServer::~CP2pServer() {
    std::lock_guard<std::recursive_mutex> g(lock());
    leaveSlot();
    records().erase(this);
}

CP2pServer::Start CP2pServer::start(CP2pServer* s, NfcHandle hNfc, DWORD window, DWORD miu, BYTE sap,
                                    const char* name, NfcApiStatus* listenStatus) {
    {
        std::lock_guard<std::recursive_mutex> g(lock());
        if (s->slot_) {
            delete s;
            return Start::AlreadyRunning;
        }
        // Claimed before the listen, which waits for the worker: a second start is refused
        // meanwhile, and a client that comes as soon as the listener is up finds its server.
        s->slot_ = s;
        s->listenerHeld_ = true;
    }
    P2pLinkHandle listener = nullptr;
    const NfcApiStatus status =
        p2pOps().listenRequest(hNfc, &s->listenerEnd_, s->callback_, 1, window, miu, sap, name, &listener);
    if (listenStatus) *listenStatus = status;
    std::lock_guard<std::recursive_mutex> g(lock());
    if (status != nfcStatusOk) {
        delete s;
        return Start::ListenFailed;
    }
    s->listener_ = listener;
    return Start::Started;
}

DWORD CP2pServer::deliver(const char* prefix, CP2pServer* const& slot, DWORD event, void* listenerContext,
                          void* record) {
    auto* connection = static_cast<TP2pConnection*>(record);
    void* context = event == nfcEventConnectIndication ? listenerContext : (connection ? connection->context : nullptr);
    auto* end = static_cast<TP2pServerEnd*>(context);
    if (!end || !connection) {
        TRACE(TRC_ERROR, "%s! No context, ignoring event 0x%X", prefix, event);
        return 0;
    }
    std::lock_guard<std::recursive_mutex> g(lock());
    CP2pServer* s = end->server;
    if (!records().count(s) || &s->slot_ != &slot) {
        TRACE(TRC_ERROR, "%s! Invalid server handle %p", prefix, static_cast<void*>(s));
        return 0;
    }
    if (s->handle(end->kind, event, connection)) delete s;
    return 0;
}

bool CP2pServer::handle(TP2pServerEnd::Kind kind, DWORD event, TP2pConnection* record) {
    const bool final = p2pServiceFinalEvent(event);
    switch (kind) {
    case TP2pServerEnd::Listener:
        if (event == nfcEventConnectIndication) accept(*record);
        else if (final) listenerEnded();
        else TRACE(TRC_ERROR, "%s! Unexpected event %d, ignoring", prefix_, static_cast<int>(event));
        break;
    case TP2pServerEnd::Client:
        if (final) {
            clientEnded();
        } else if (event == nfcEventDataIndication) {
            const P2pLinkHandle connection = client_;
            if (calling() && !clientClosing_) onData(record->data);
            p2pOps().dataResponse(connection);
        } else if (event == nfcEventDataTransmitted) {
            if (calling() && !clientClosing_) onTransmitted(record->cause);
        } else {
            TRACE(TRC_ERROR, "%s! Unexpected event %d, ignoring", prefix_, static_cast<int>(event));
        }
        break;
    case TP2pServerEnd::Refused:
        if (final) --refused_;
        break;
    }
    return !listenerHeld_ && !clientHeld_ && refused_ == 0;
}

bool CP2pServer::dropIfFree() {
    std::lock_guard<std::recursive_mutex> g(lock());
    if (listenerHeld_ || clientHeld_ || refused_) return false;
    delete this;
    return true;
}

void CP2pServer::accept(const TP2pConnection& record) {
    const P2pLinkHandle connection = record.newConnection;
    if (client_ || stopping_ || ended_) {
        refuse(connection);
        return;
    }
    if (p2pOps().connectResponse(connection, &clientEnd_, callback_) != nfcStatusOk) return;
    client_ = connection;
    clientHeld_ = true;
    onClientConnected(record.connected);
}

// A connection the server cannot serve is answered and closed at once: left unanswered, its
// events would come as its listener's.
void CP2pServer::refuse(P2pLinkHandle connection) {
    if (p2pOps().connectResponse(connection, &refusedEnd_, callback_) != nfcStatusOk) return;
    bool held = true;
    disconnect(connection, held);
    if (held) ++refused_;
}

void CP2pServer::clientEnded() {
    client_ = nullptr;
    clientHeld_ = false;
    clientClosing_ = false;
    if (ended_) return;
    if (stopping_) {
        onStopping(false);  // the client is gone; the listener goes next
        closeListener();
        return;
    }
    onClientGone();
}

void CP2pServer::listenerEnded() {
    listenerHeld_ = false;
    listener_ = nullptr;
    leaveSlot();
    // The server ends with its listener: a client still there goes too.
    if (client_ && !clientClosing_) {
        clientClosing_ = true;
        disconnect(client_, clientHeld_);
    }
    const bool called = calling();
    ended_ = true;
    if (called) onEnded();
}

bool CP2pServer::disconnect(P2pLinkHandle link, bool& held) {
    const NfcApiStatus status = p2pOps().disconnectRequest(link);
    if (status == nfcStatusOk) return true;
    TRACE(TRC_ERROR, "%s! Error disconnecting: %d", prefix_, status);
    // A link the P2P layer no longer knows has no final event to come.
    if (status == nfcStatusInvalidHandle) held = false;
    return false;
}

bool CP2pServer::closeListener() {
    if (!listenerHeld_ || listenerClosing_) return true;
    listenerClosing_ = true;
    if (disconnect(listener_, listenerHeld_)) return true;
    listenerClosing_ = false;
    if (!listenerHeld_) listenerEnded();
    return false;
}

bool CP2pServer::closeClient() {
    if (!client_ || clientClosing_) return client_ != nullptr;
    clientClosing_ = true;
    if (disconnect(client_, clientHeld_)) return true;
    clientClosing_ = false;
    if (!clientHeld_) clientEnded();
    return false;
}

bool CP2pServer::send(const BYTE* data, DWORD length) {
    return client_ && !clientClosing_ && p2pOps().dataRequest(client_, data, length) == nfcStatusOk;
}

void CP2pServer::stop() {
    if (stopping_ || ended_) return;
    stopping_ = true;
    const bool withClient = client_ != nullptr;
    onStopping(withClient);
    if (withClient && (clientClosing_ || closeClient())) return;
    closeListener();
}

void CP2pServer::release(bool silent) {
    silent_ = silent_ || silent;
    leaveSlot();
    stop();
}

void CP2pServer::leaveSlot() {
    if (slot_ == this) slot_ = nullptr;
}
