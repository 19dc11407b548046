// Module doubles for start-up, module-manager and timer tests: start functions that record
// their calls and create a task on the queue named by their module word, and tasks that keep
// every message they receive. Tasks may run on the OS worker thread, so everything they keep
// is guarded and can be waited for.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "mm/mm.h"
#include "os/os.h"
#include "platform.h"

struct StubModule {
    uint8_t name = 0;
    int32_t startResult = 0;      // what the start function answers
    bool createsTask = true;      // the start function creates the task of its word

    std::vector<uint32_t> startWords;
    std::vector<void*> segments;

    // Messages received by every task of the module, oldest first.
    std::vector<OsMessage> received() const;
    size_t count(uint16_t command) const;
    // Waits at most timeoutMs until the n-th message (1-based) has been handled, onMessage included.
    bool waitFor(size_t n, uint32_t timeoutMs);

    // Runs in the task on the thread that handles the message (the worker or the test).
    std::function<void(const OsMessage& message)> onMessage;

private:
    friend class StubModules;
    mutable std::mutex m_;
    std::vector<OsMessage> received_;
    size_t handled_ = 0;
    PlatSemaphore arrived_;
};

class StubModules {
public:
    StubModules();
    ~StubModules();
    StubModules(const StubModules&) = delete;
    StubModules& operator=(const StubModules&) = delete;

    StubModule& add(uint8_t name);
    bool has(uint8_t name) const;
    StubModule& operator[](uint8_t name) { return *modules_.at(name); }
    // Registers the stub of this name with the module manager.
    OsResult registerModule(uint8_t name, uint16_t segmentLength, uint16_t type);

    std::vector<std::string> startOrder() const;   // "B2" for a start of module 0xB2
    std::vector<void*> exitSegments() const;       // segments the exit function got, in order

private:
    static int32_t start(void* segment, uint32_t word);
    static void exit(void* segment);
    static void procedure(void* instance);

    struct TaskOf {
        StubModule* module;
        uint16_t queue;
    };
    mutable std::mutex m_;
    std::map<uint8_t, std::unique_ptr<StubModule>> modules_;
    std::deque<TaskOf> tasks_;
    std::vector<std::string> order_;
    std::vector<void*> exits_;
};

// Starts the OS layer, the module manager and the timer task, with the task of the stub module
// of the name beside them, and runs their start-up.
void startTimerTaskWithStub(StubModules& stubs, uint8_t name);
