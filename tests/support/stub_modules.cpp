#include "stub_modules.h"

#include <gtest/gtest.h>

#include <cstdio>

#include "hw/hw_timer.h"

namespace {

StubModules* g_current = nullptr;

} // namespace

std::vector<OsMessage> StubModule::received() const {
    std::lock_guard<std::mutex> g(m_);
    return received_;
}

size_t StubModule::count(uint16_t command) const {
    std::lock_guard<std::mutex> g(m_);
    size_t n = 0;
    for (const auto& message : received_) n += message.command == command;
    return n;
}

bool StubModule::waitFor(size_t n, uint32_t timeoutMs) {
    // Every message released the semaphore once; take them until n have come or time runs out.
    for (;;) {
        {
            std::lock_guard<std::mutex> g(m_);
            if (handled_ >= n) return true;
        }
        if (arrived_.wait(timeoutMs) != PlatWait::Signaled) return false;
    }
}

StubModules::StubModules() { g_current = this; }
StubModules::~StubModules() { g_current = nullptr; }

StubModule& StubModules::add(uint8_t name) {
    auto module = std::make_unique<StubModule>();
    module->name = name;
    module->arrived_.create(0, 1000);
    StubModule& result = *module;
    std::lock_guard<std::mutex> g(m_);
    modules_[name] = std::move(module);
    return result;
}

bool StubModules::has(uint8_t name) const {
    std::lock_guard<std::mutex> g(m_);
    return modules_.count(name) != 0;
}

OsResult StubModules::registerModule(uint8_t name, uint16_t segmentLength, uint16_t type) {
    return osModuleRegister(name, segmentLength, &StubModules::start, &StubModules::exit, type);
}

std::vector<std::string> StubModules::startOrder() const {
    std::lock_guard<std::mutex> g(m_);
    return order_;
}

std::vector<void*> StubModules::exitSegments() const {
    std::lock_guard<std::mutex> g(m_);
    return exits_;
}

int32_t StubModules::start(void* segment, uint32_t word) {
    StubModules& self = *g_current;
    std::unique_lock<std::mutex> g(self.m_);
    StubModule& module = *self.modules_.at(mmWordName(word));
    char name[8];
    std::snprintf(name, sizeof name, "%02X", static_cast<unsigned>(module.name));
    self.order_.push_back(name);
    module.startWords.push_back(word);
    module.segments.push_back(segment);
    if (module.startResult != 0 || !module.createsTask) return module.startResult;
    self.tasks_.push_back(TaskOf{&module, 0});
    TaskOf& task = self.tasks_.back();
    g.unlock();
    return osTaskCreate(&task, &StubModules::procedure, word, &task.queue) == OS_OK ? 0 : -1;
}

void StubModules::exit(void* segment) {
    std::lock_guard<std::mutex> g(g_current->m_);
    g_current->exits_.push_back(segment);
}

void StubModules::procedure(void* instance) {
    auto* task = static_cast<TaskOf*>(instance);
    OsMessage message{};
    if (osMessageReceive(task->queue, &message) != OS_OK) return;
    StubModule& module = *task->module;
    {
        std::lock_guard<std::mutex> g(module.m_);
        module.received_.push_back(message);
    }
    if (module.onMessage) module.onMessage(message);
    {
        // Counted once onMessage is done: a test that waited may then change or clear it.
        std::lock_guard<std::mutex> g(module.m_);
        ++module.handled_;
    }
    module.arrived_.release();
}

void startTimerTaskWithStub(StubModules& stubs, uint8_t name) {
    osInit();
    mmInit();
    ASSERT_EQ(hwTimerRegister(), OS_OK);
    stubs.add(name);
    ASSERT_EQ(stubs.registerModule(name, 0, MM_TYPE_TASK), OS_OK);
    osRunUntilIdle();
}
