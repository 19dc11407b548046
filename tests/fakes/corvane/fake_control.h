// The engine behind the fake libCorvane.so. It lives in a library of its own that the test
// program links, so its script and its call log outlive every load and unload of the fake: the
// fake's exports only forward to it.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
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

    // ---- Used by the fake's exports ----
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
    void run();
    void deliver(const FakeEvent& event);

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
    std::deque<FakeEvent> queue_;
    size_t busy_ = 0;                          // reports queued or being delivered
    bool stopping_ = false;
    std::thread thread_;
    void* ndefLibrary_ = nullptr;              // kept loaded once named: its code may still run
    bool ndefForwarding_ = false;
};
