// The engine behind the fake libCorvane.so. It lives in a library of its own that the test
// program links, so its script and its call log outlive every load and unload of the fake: the
// fake's exports only forward to it.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "corvane.h"

#define FAKE_CORVANE_VISIBLE __attribute__((visibility("default")))

struct FakeCall {
    std::string name;
    std::vector<std::string> arguments;   // integers in decimal, pointers as %p, texts quoted
    std::vector<uint8_t> buffer;          // the bytes an export was handed, where it takes some
    uint32_t capacity = 0;                // the answer room offered, where an export answers bytes
};

// Whose callback a report goes to: the one of nfcCreate, the last P2P callback given (listen,
// connect or connect response), the SNEP server's, the SNEP client's or the NPP server's.
enum class FakeTarget { Application, P2p, SnepServer, SnepClient, Npp };

// One report for the fake's thread. The record is copied into a heap block of its own size and
// the payload into another whose address is written at payloadOffset of the record; both are
// overwritten and freed once the callback returns, as the library's own records are.
struct FakeEvent {
    FakeTarget target = FakeTarget::Application;
    DWORD event = 0;
    std::vector<uint8_t> record;          // empty: the callback gets a null record
    std::vector<uint8_t> payload;
    size_t payloadOffset = SIZE_MAX;      // SIZE_MAX: the record holds no payload address
    void* listenerContext = nullptr;      // the application callback's third argument
};

template <typename Record>
FakeEvent fakeEvent(FakeTarget target, DWORD event, const Record& record) {
    const auto* bytes = reinterpret_cast<const uint8_t*>(&record);
    return FakeEvent{target, event, std::vector<uint8_t>(bytes, bytes + sizeof record), {}, SIZE_MAX, nullptr};
}

class FAKE_CORVANE_VISIBLE FakeCorvane {
public:
    static FakeCorvane& instance();

    // ---- Script: set before the binding loads the fake ----
    void reset();   // results 0, default capabilities, no SE, no log, no callbacks
    void setResult(const std::string& exportName, uint32_t result);
    uint32_t result(const std::string& exportName) const;
    void setCapabilities(const TNfcCapabilityBlock& block);
    void setSecureElements(const std::vector<TNfcInfoSE>& elements);
    // The SE count the capability block claims, whatever the list holds; negative: the list's size.
    void setClaimedSecureElementCount(int count);
    void setTagInfo(const TNfcTagInfo& info);
    // The bytes the next successful call of an answering export writes back, one per call, oldest
    // first; without one it answers no bytes.
    void queueAnswer(const std::string& exportName, std::vector<uint8_t> answer);
    std::vector<uint8_t> takeAnswer(const std::string& exportName);
    // The NDEF exports answer through the library at this path from now on (empty: they only
    // log again, as after reset); false when it cannot be loaded.
    bool useNdefLibrary(const std::string& path);
    void* ndefExport(const char* name) const;   // null while none is used

    // ---- Log ----
    void record(FakeCall call);
    std::vector<FakeCall> calls() const;
    std::vector<std::string> callNames() const;
    FakeCall lastCall(const std::string& exportName) const;   // empty name: never called

    // ---- Reports from the fake's own thread ----
    bool fire(FakeEvent event);                // false while the thread does not run
    bool waitDelivered(uint32_t timeoutMs);    // every fired report's callback has returned
    bool threadRunning() const;
    // While held, reports are queued but not delivered: a test can act between two of them.
    void hold(bool held);
    // While held: delivers the oldest queued report and waits until its callback has returned;
    // false when none is queued or it does not return in time.
    bool step(uint32_t timeoutMs);

    // ---- Listeners, as the library keeps them ----
    // Each registration gets a handle of its own. The library takes P2P listeners and servers
    // (nfcP2PListenRequest, snepStartServer, nppStartServer) only from an application whose
    // listeners ask for a P2P role (P2P_INITIATOR or P2P_TARGET): without one they answer
    // 10 (not implemented), 1 and nppFailed, as the library does.
    NfcListenerHandle newListener(DWORD mask);
    void dropListener(NfcListenerHandle listener);
    bool listensForP2p() const;

    // ---- P2P links, as the library keeps them ----
    // Every listen and connect request gets a link of its own; a connect response names the
    // context of a link the test announced. The library sends a data request from the caller's
    // buffer until it reports the data transmitted, link by link in the order of the requests:
    // confirmSent reads the oldest unconfirmed buffer of the link (as its frame goes out) and
    // reports it to that link's context. False when the link has nothing unconfirmed.
    bool confirmSent(P2pLinkHandle link);
    std::vector<std::vector<uint8_t>> sentOnAir() const;   // the confirmed bytes, in order
    void* linkContext(P2pLinkHandle link) const;

    // ---- The SNEP client, as the library runs it against one peer's default server ----
    // An asynchronous connect answers 17 (pending) and reports 30 once the peer accepts, or 35
    // when it refuses; a PUT on a connected client answers 17, reports 33 for each fragment of
    // the peer's MIU but the last, then 34 (or 35 when the peer rejects the message); a PUT on a
    // client that is not connected, or busy, answers 11; a disconnect answers 17 and reports 37,
    // or 0 at once when the client is not connected; a released or unknown handle answers 5. A
    // scripted result other than 0 is answered instead, with no report.
    struct SnepPeer {
        bool accepts = true;     // the connection
        bool takes = true;       // the PUTs
        uint32_t miu = 128;
    };
    void setSnepPeer(const SnepPeer& peer);
    NfcApiStatus snepConnect(SnepClientHandle* client, NfcApiStatus scripted, bool asynchronous);
    NfcApiStatus snepPut(SnepClientHandle client, NfcApiStatus scripted, DWORD length);
    NfcApiStatus snepDisconnect(SnepClientHandle client, NfcApiStatus scripted);
    NfcApiStatus snepReleaseClient(SnepClientHandle client, NfcApiStatus scripted);

    // ---- Used by the fake's exports ----
    P2pLinkHandle newLink(void* context);
    void setLinkContext(P2pLinkHandle link, void* context);
    void dataRequested(P2pLinkHandle link, const BYTE* data, DWORD length);
    void startThread();
    void stopThread();                         // joins the thread after the queued reports
    void setCallback(FakeTarget target, void* callback, void* context);
    const char* stackVersion() const { return "Corvane fake 1.0"; }
    DWORD apiVersion() const { return 0x00010002; }
    void fillCapabilities(TNfcCapabilities* capabilities);
    void listSecureElements(void* context, TNfcSecureListCallback callback);
    TNfcTagInfo tagInfo() const;

private:
    FakeCorvane();
    // A report whose check, run on the fake's thread just before the callback, may drop it:
    // the library's state changes when it reports, not when the cause was queued.
    struct Queued {
        FakeEvent event;
        std::function<bool()> due;
    };
    bool queue(FakeEvent event, std::function<bool()> due);
    void run();
    void deliver(const FakeEvent& event);

    enum class SnepState { Idle, Connecting, Connected, Putting, Disconnecting, Released };
    struct SnepClient {
        SnepState state = SnepState::Idle;
        uint32_t generation = 0;   // a report of an earlier state is dropped
    };
    SnepClient* snepClientOf(SnepClientHandle client);
    void reportSnep(DWORD event, TSnepClientReport report, SnepClientHandle client, std::optional<SnepState> after);

    struct Link {
        void* context = nullptr;
        std::deque<std::pair<const BYTE*, DWORD>> unconfirmed;
    };

    struct Callback {
        void* function = nullptr;
        void* context = nullptr;
    };

    mutable std::mutex lock_;
    std::condition_variable changed_;
    std::map<std::string, uint32_t> results_;
    std::map<std::string, std::deque<std::vector<uint8_t>>> answers_;
    TNfcCapabilityBlock capabilities_{};
    std::vector<TNfcInfoSE> secureElements_;
    int claimedSecureElements_ = -1;
    TNfcTagInfo tagInfo_{};
    std::vector<FakeCall> calls_;
    std::map<FakeTarget, Callback> callbacks_;
    std::deque<Queued> queue_;
    size_t busy_ = 0;                          // reports queued or being delivered
    bool stopping_ = false;
    bool held_ = false;
    size_t steps_ = 0;                         // reports to deliver while held
    size_t delivered_ = 0;
    std::map<NfcListenerHandle, DWORD> listeners_;
    uintptr_t nextListener_ = 0x1150;
    std::map<P2pLinkHandle, Link> links_;
    uintptr_t nextLink_ = 0x11A0;
    std::vector<std::vector<uint8_t>> sentOnAir_;
    SnepPeer snepPeer_;
    std::map<SnepClientHandle, SnepClient> snepClients_;
    uintptr_t nextSnepClient_ = 0x5C10;
    std::thread thread_;
    void* ndefLibrary_ = nullptr;              // kept loaded once named: its code may still run
    bool ndefForwarding_ = false;
};
