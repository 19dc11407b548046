// A stand-in for the NFC manager: a module whose task on the NFC API queue takes the API core's
// registrations and requests and answers them as the test's script says. Its answers and the
// indications a test injects reach the applications on the OS worker thread, as the manager's do.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <vector>

#include "api/nfcapi_modules.h"
#include "core/nfaceapi.h"

class FakeNfcManager {
public:
    static constexpr int kEntries = 4;
    // The command the fake posts to its own queue to run work on the worker.
    static constexpr uint16_t kInject = 0x8605;

    struct Request {
        int app;                 // the application entry that asked
        TnfcapiMsg message;      // code, identity and payload as posted
    };
    using Script = std::function<void(FakeNfcManager&, const Request&)>;

    // The stack's services with this manager as its only module; its task starts with the stack.
    FakeNfcManager();
    ~FakeNfcManager();
    const NfcapiServices& services() const { return services_; }
    // The com layer the stack's services offer, for download mode; none by default.
    void setComLayer(const NfcapiComLayer& com) { services_.com = com; }
    FakeNfcManager(const FakeNfcManager&) = delete;
    FakeNfcManager& operator=(const FakeNfcManager&) = delete;

    // What the fake does with one code. By default LISTEN_REQ and IO_CONTROL_REQ are confirmed
    // with cause 0; REGISTER_REQ gets REGISTER_CONF and ACT_IND with cause 0; RELEASE_REQ gets
    // RELEASE_CONF with cause 0; anything else gets no answer.
    void onRequest(uint16_t code, Script script);

    // From a script (on the worker): answers the request, carrying its identity.
    void answer(const Request& request, TnfcapiMsg message);
    // From a script: sends an upward message that answers no request.
    void deliver(int app, const TnfcapiMsg& message);
    // From a script: frees the application's entry, as a refused registration or a release does.
    void drop(int app);
    // From the test's thread: has the worker deliver the message to the application.
    void inject(int app, const TnfcapiMsg& message);
    // From the test's thread: has the worker run the function.
    void later(std::function<void(FakeNfcManager&)> work);
    // From the test's thread: waits at most timeoutMs until the worker has done all it was given.
    bool sync(uint32_t timeoutMs);

    // Waits at most timeoutMs until count requests of the code have come in.
    bool waitFor(uint16_t code, size_t count, uint32_t timeoutMs);
    std::vector<Request> received(uint16_t code) const;
    // The requests whose callers gave them up, as {entry, identity}, in the order they did.
    std::vector<std::pair<int, uint16_t>> givenUp() const;
    // The entry an instance is registered in, -1 when none.
    int appOf(const TNfcApiInstance* instance) const;

    TNfcCapabilityBlock capabilities{};

private:
    struct Entry {
        bool used;
        void* instance;
        TNfaceUpcall upcall;
    };

    static OsResult registerModule(uint16_t readerType);
    static int32_t start(void* segment, uint32_t moduleWord);
    static void exit(void* segment);
    static void procedure(void* self);
    static int findApp(const void* hApp);
    static NfcApiStatus registerApp(const NfcapiRegistration& record);
    static NfcApiStatus releaseApp(void* hApp);
    static void giveUp(void* hApp, const void* userHandle, uint16_t request);

    void handle(const OsMessage& message);
    void take(const Request& request);
    void record(const Request& request);
    void run(const Request& request);

    mutable std::mutex m_;
    std::condition_variable arrived_;
    Entry entries_[kEntries] = {};
    std::map<uint16_t, Script> scripts_;
    std::vector<Request> received_;
    std::vector<std::pair<int, uint16_t>> givenUp_;
    std::deque<std::function<void(FakeNfcManager&)>> work_;
    uint16_t queue_ = 0;
    TNfaceManagerLink link_{};
    NfcapiModule module_{};
    NfcapiServices services_{};
};
