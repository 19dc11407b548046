// The nfcP2P calls of the peer services carried out on the two LLCP engines of the loopback, as
// the library's P2P layer carries them out on its one engine: a record per link keeps the
// service's callback and contexts, the primitives that come back up become the P2P events, and a
// synchronous call's wait runs the loopback in virtual time until the event handler releases it.
// An NfcHandle or NfcListenerHandle names the side, A (initiator) or B (target).
#pragma once

#include <cstring>
#include <deque>
#include <memory>
#include <string>

#include "../llcp/llcp_pair.h"
#include "p2p/p2pops.h"

class ServicesOverLoopback : public llcptest::LlcpPair {
protected:
    enum class State { Closed, ConnectPending, Listening, DisconnectPending, Connected };
    struct Link {
        llcptest::Side* side = nullptr;
        TNfcEventCallback callback = nullptr;
        void* context = nullptr;
        void* listenerContext = nullptr;
        bool listener = false;
        void* lower = nullptr;
        State state = State::Closed;
        TP2pConnected connected{};
        uint8_t handle = 0;
        std::string name;
        std::vector<uint8_t> area = std::vector<uint8_t>(16384);
    };

    void SetUp() override {
        LlcpPair::SetUp();
        current_ = this;
        p2pSetOps(&kOps);
        activateBoth();
        pump(100);
    }
    void TearDown() override {
        pump(500);   // the last disconnections reach both sides
        p2pSetOps(nullptr);
        current_ = nullptr;
        LlcpPair::TearDown();
    }
    NfcHandle side(llcptest::Side& s) { return reinterpret_cast<NfcHandle>(&s); }
    NfcListenerHandle listenerOf(llcptest::Side& s) { return reinterpret_cast<NfcListenerHandle>(&s); }

    void answer(llcptest::Side& s) override {
        while (s.answered < s.up.messages.size()) upcall(s, s.up.messages[s.answered++]);
    }

private:
    static ServicesOverLoopback& f() { return *current_; }
    static Link& of(P2pLinkHandle h) { return *reinterpret_cast<Link*>(h); }
    static P2pLinkHandle handle(Link& l) { return reinterpret_cast<P2pLinkHandle>(&l); }

    Link& newLink(void* where, void* context, TNfcEventCallback callback, const char* name) {
        Link& l = *links_.emplace_back(std::make_unique<Link>());
        l.side = reinterpret_cast<llcptest::Side*>(where);
        l.context = l.listenerContext = context;
        l.callback = callback;
        l.name = name ? name : "";
        return l;
    }
    Link* find(void* hApp) {
        for (auto& l : links_)
            if (l.get() == hApp) return l.get();
        return nullptr;
    }
    // A connection accepted on a listener is named by its listener until answered: its LLCP link
    // tells it apart.
    Link* recordFor(void* hApp, void* hLink) {
        Link* l = find(hApp);
        if (!l || !l->listener || !hLink || l->lower == hLink) return l;
        for (auto& other : links_)
            if (other->lower == hLink && !other->listener) return other.get();
        return l;
    }
    void signal(Link& l, DWORD event, TP2pConnection record = {}) {
        if (event != nfcEventConnectIndication) record.context = l.context;
        const bool was = delivering_;
        delivering_ = true;
        if (l.callback) l.callback(nullptr, event, l.listenerContext, &record);
        delivering_ = was;
    }
    void end(Link& l, DWORD event, uint16_t cause) {
        l.state = State::Closed;
        TP2pConnection c{};
        c.cause = cause;
        signal(l, event, c);
    }
    void upcall(llcptest::Side& s, const OsMessage& m) {
        switch (m.command) {
            case NFACE_NFC_LLCP_CON_CONF: {
                const auto p = osMsgFields<TNfaceLlcpLinkCause>(m);
                Link* l = find(p.hApp);
                if (!l) return;
                if (p.cause) return end(*l, nfcEventConnectFailed, p.cause);
                l->lower = p.hLink;
                return signal(*l, nfcEventConnectProceeding);
            }
            case NFACE_NFC_LLCP_LISTEN_CONF: {
                const auto p = osMsgFields<TNfaceLlcpLinkCause>(m);
                if (Link* l = find(p.hApp); l && !p.cause) l->lower = p.hLink;
                return;
            }
            case NFACE_NFC_LLCP_CON_ACT_IND: return activated(s, osMsgFields<TNfaceLlcpConActInd>(m));
            case NFACE_NFC_LLCP_DISC_CONF: {
                const auto p = osMsgFields<TNfaceLlcpLinkCause>(m);
                Link* l = recordFor(p.hApp, p.hLink);
                if (!l) return;
                if (l->state == State::ConnectPending || l->state == State::Listening)
                    end(*l, nfcEventDisconnected, p.cause);
                else if (l->state == State::DisconnectPending && p.cause)
                    end(*l, nfcEventHangupTerminated, p.cause);
                return;
            }
            case NFACE_NFC_LLCP_DISC_IND: {
                const auto p = osMsgFields<TNfaceLlcpLinkCause>(m);
                Link* l = recordFor(p.hApp, p.hLink);
                if (!l) return;
                request<NFACE_NFC_LLCP_DISC_RESP>(s, {p.hLink});
                if (l->state == State::DisconnectPending) return end(*l, nfcEventHangupTerminated, p.cause);
                return end(*l, l->state == State::Connected ? nfcEventDisconnected : nfcEventConnectFailed, p.cause);
            }
            case NFACE_NFC_LLCP_DATA_IND: {
                const auto p = osMsgFields<TNfaceLlcpDataInd>(m);
                Link* l = recordFor(p.hApp, p.hLink);
                if (!l) return;
                if (l->state != State::Connected) return request<NFACE_NFC_LLCP_DATA_RESP>(s, {p.hLink, p.handle});
                TP2pConnection c{};
                c.data = TP2pData{const_cast<BYTE*>(p.data), p.length, p.ssap};
                return signal(*l, nfcEventDataIndication, c);
            }
            case NFACE_NFC_LLCP_DATA_CONF: {
                const auto p = osMsgFields<TNfaceLlcpDataConf>(m);
                if (Link* l = recordFor(p.hApp, p.hLink)) signal(*l, nfcEventDataTransmitted);
                return;
            }
            default: return;
        }
    }
    // A client's connection is up, or a listener's new one is announced as a link of its own.
    void activated(llcptest::Side& s, const TNfaceLlcpConActInd& p) {
        Link* l = find(p.hApp);
        if (!l) return;
        const TP2pConnected connected{p.remoteWindow, p.remoteMiu, p.ssap, p.dsap};
        TP2pConnection c{};
        c.connected = connected;
        if (l->listener) {
            Link& accepted = newLink(l->side, l->context, l->callback, nullptr);
            accepted.listenerContext = l->listenerContext;
            accepted.lower = p.hLink;
            accepted.state = State::Connected;
            accepted.connected = connected;
            c.newConnection = handle(accepted);
            return signal(*l, nfcEventConnectIndication, c);
        }
        request<NFACE_NFC_LLCP_CON_ACT_RESP>(s, {l, p.hLink});
        l->state = State::Connected;
        l->connected = connected;
        signal(*l, nfcEventConnected, c);
    }

    // The engine answers a listen request at once: its confirmation is waiting upstairs.
    bool listening(Link& l) {
        const auto& messages = l.side->up.messages;
        for (size_t k = l.side->answered; k < messages.size(); ++k) {
            if (messages[k].command != NFACE_NFC_LLCP_LISTEN_CONF) continue;
            const auto p = osMsgFields<TNfaceLlcpLinkCause>(messages[k]);
            if (p.hApp == &l) return p.cause == 0;
        }
        return false;
    }

    struct Ops {
        static NfcApiStatus connectRequest(NfcListenerHandle hListen, void* context, TNfcEventCallback callback,
                                           DWORD window, DWORD miu, BYTE sap, const char* name, P2pLinkHandle* out) {
            Link& l = f().newLink(hListen, context, callback, name);
            l.state = State::ConnectPending;
            *out = handle(l);
            f().request<NFACE_NFC_LLCP_CON_REQ>(*l.side, {&l, l.area.data(), name ? l.name.c_str() : nullptr,
                                                           static_cast<uint32_t>(l.area.size()),
                                                           static_cast<uint16_t>(l.name.size()), static_cast<uint16_t>(miu),
                                                           static_cast<uint8_t>(window), sap});
            return nfcStatusOk;
        }
        static NfcApiStatus listenRequest(NfcHandle hNfc, void* context, TNfcEventCallback callback, DWORD maxConnections,
                                          DWORD window, DWORD miu, BYTE sap, const char* name, P2pLinkHandle* out) {
            Link& l = f().newLink(hNfc, context, callback, name);
            l.listener = true;
            l.state = State::Listening;
            *out = handle(l);
            f().request<NFACE_NFC_LLCP_LISTEN_REQ>(
                *l.side, {&l, l.area.data(), name ? l.name.c_str() : nullptr, static_cast<uint32_t>(l.area.size()),
                          static_cast<uint16_t>(l.name.size()), static_cast<uint16_t>(miu), static_cast<uint8_t>(window),
                          static_cast<uint8_t>(maxConnections), sap, 1});
            return f().listening(l) ? nfcStatusOk : nfcStatusFailed;
        }
        static NfcApiStatus connectResponse(P2pLinkHandle h, void* context, TNfcEventCallback callback) {
            Link& l = of(h);
            l.context = context;
            l.callback = callback;
            f().request<NFACE_NFC_LLCP_CON_ACT_RESP>(*l.side, {&l, l.lower});
            return nfcStatusOk;
        }
        static NfcApiStatus disconnectRequest(P2pLinkHandle h) {
            Link& l = of(h);
            if (l.state == State::Closed || l.state == State::DisconnectPending) return nfcStatusWrongState;
            l.state = State::DisconnectPending;
            f().request<NFACE_NFC_LLCP_DISC_REQ>(*l.side, {&l, l.lower});
            return nfcStatusOk;
        }
        static NfcApiStatus dataRequest(P2pLinkHandle h, const BYTE* data, DWORD length) {
            Link& l = of(h);
            if (l.state != State::Connected) return nfcStatusWrongState;
            f().request<NFACE_NFC_LLCP_DATA_REQ>(*l.side, {l.lower, data, static_cast<uint16_t>(length), l.handle++, 0});
            return nfcStatusOk;
        }
        static NfcApiStatus dataResponse(P2pLinkHandle h) {
            f().request<NFACE_NFC_LLCP_DATA_RESP>(*of(h).side, {of(h).lower, 0});
            return nfcStatusOk;
        }
        static DWORD frameSize(NfcHandle) { return 248; }
        static bool onEventThread() { return f().delivering_; }
        // The loopback runs in virtual time for as long as the call allows.
        static PlatWait wait(PlatSemaphore& semaphore, uint32_t timeoutMs) {
            for (uint32_t t = 0; t <= timeoutMs; t += HW_TIMER_TICK_MS) {
                if (semaphore.wait(0) == PlatWait::Signaled) return PlatWait::Signaled;
                f().pump(HW_TIMER_TICK_MS);
            }
            return PlatWait::Timeout;
        }
    };
    static constexpr TP2pOps kOps = {Ops::connectRequest,    Ops::listenRequest, Ops::connectResponse,
                                     Ops::disconnectRequest, Ops::dataRequest,   Ops::dataResponse,
                                     Ops::frameSize,         Ops::onEventThread, Ops::wait};
    static inline ServicesOverLoopback* current_ = nullptr;
    std::deque<std::unique_ptr<Link>> links_;
    bool delivering_ = false;
};
