#include "fake_nfc_manager.h"

#include <atomic>
#include <chrono>
#include <memory>

#include "mm/mm.h"

namespace {

std::atomic<FakeNfcManager*> g_current{nullptr};

constexpr int kAppShift = 19;

} // namespace

FakeNfcManager::FakeNfcManager() {
    capabilities.supportedMask = 0x00F3FFFFu;
    module_ = NfcapiModule{"NFC manager", &FakeNfcManager::registerModule};
    services_ = NfcapiServices{&module_, 1, NfcapiComLayer{}, &FakeNfcManager::registerApp};

    onRequest(NFACE_REGISTER_REQ, [](FakeNfcManager& f, const Request& r) {
        f.deliver(r.app, nfaceMsgMake<NFACE_REGISTER_CONF>({&f.entries_[r.app], 0}));
        f.deliver(r.app, nfaceMsgMake<NFACE_ACT_IND>({0, 0, 1, &f.capabilities}));
    });
    onRequest(NFACE_RELEASE_REQ, [](FakeNfcManager& f, const Request& r) {
        // The entry is free before the confirmation lets the releasing caller go on.
        Entry entry;
        {
            std::lock_guard<std::mutex> g(f.m_);
            entry = f.entries_[r.app];
        }
        f.drop(r.app);
        const TnfcapiMsg conf = nfaceMsgMake<NFACE_RELEASE_CONF>({0});
        nfcapiDeliverUpstream(&conf, entry.upcall, entry.instance);
    });
    onRequest(NFACE_LISTEN_REQ, [](FakeNfcManager& f, const Request& r) {
        f.answer(r, nfaceMsgMake<NFACE_LISTEN_CONF>({0}));
    });
    onRequest(NFACE_IO_CONTROL_REQ, [](FakeNfcManager& f, const Request& r) {
        f.answer(r, nfaceMsgMake<NFACE_IO_CONTROL_CONF>({0, nullptr, 0}));
    });
    g_current = this;
}

FakeNfcManager::~FakeNfcManager() { g_current = nullptr; }

OsResult FakeNfcManager::registerModule(uint16_t) {
    return osModuleRegister(NFCAPI_MANAGER_QUEUE_NAME, 0, &FakeNfcManager::start, &FakeNfcManager::exit, MM_TYPE_TASK);
}

int32_t FakeNfcManager::start(void*, uint32_t moduleWord) {
    FakeNfcManager* self = g_current.load();
    if (!self || osTaskCreate(self, &FakeNfcManager::procedure, moduleWord, &self->queue_) != OS_OK) return -1;
    self->link_ = TNfaceManagerLink{moduleWord, moduleWord, &FakeNfcManager::findApp, &FakeNfcManager::releaseApp,
                             &FakeNfcManager::giveUp};
    nfaceAttachManager(&self->link_);
    return 0;
}

void FakeNfcManager::exit(void*) { nfaceAttachManager(nullptr); }

void FakeNfcManager::onRequest(uint16_t code, Script script) {
    std::lock_guard<std::mutex> g(m_);
    scripts_[code] = std::move(script);
}

void FakeNfcManager::answer(const Request& request, TnfcapiMsg message) {
    message.request = request.message.request;
    deliver(request.app, message);
}

void FakeNfcManager::deliver(int app, const TnfcapiMsg& message) {
    Entry entry;
    {
        std::lock_guard<std::mutex> g(m_);
        entry = entries_[app];
    }
    if (entry.upcall) nfcapiDeliverUpstream(&message, entry.upcall, entry.instance);
}

void FakeNfcManager::drop(int app) {
    std::lock_guard<std::mutex> g(m_);
    entries_[app] = Entry{};
}

void FakeNfcManager::inject(int app, const TnfcapiMsg& message) {
    later([app, message](FakeNfcManager& f) { f.deliver(app, message); });
}

void FakeNfcManager::later(std::function<void(FakeNfcManager&)> work) {
    {
        std::lock_guard<std::mutex> g(m_);
        work_.push_back(std::move(work));
    }
    OsMessage kick{};
    kick.command = kInject;
    osMessageSend(queue_, &kick);
}

bool FakeNfcManager::sync(uint32_t timeoutMs) {
    auto done = std::make_shared<bool>(false);
    later([done](FakeNfcManager& f) {
        std::lock_guard<std::mutex> g(f.m_);
        *done = true;
        f.arrived_.notify_all();
    });
    std::unique_lock<std::mutex> g(m_);
    return arrived_.wait_for(g, std::chrono::milliseconds(timeoutMs), [&] { return *done; });
}

bool FakeNfcManager::waitFor(uint16_t code, size_t count, uint32_t timeoutMs) {
    std::unique_lock<std::mutex> g(m_);
    return arrived_.wait_for(g, std::chrono::milliseconds(timeoutMs), [&] {
        size_t n = 0;
        for (const Request& r : received_) n += r.message.code == code;
        return n >= count;
    });
}

std::vector<FakeNfcManager::Request> FakeNfcManager::received(uint16_t code) const {
    std::lock_guard<std::mutex> g(m_);
    std::vector<Request> out;
    for (const Request& r : received_)
        if (r.message.code == code) out.push_back(r);
    return out;
}

std::vector<std::pair<int, uint16_t>> FakeNfcManager::givenUp() const {
    std::lock_guard<std::mutex> g(m_);
    return givenUp_;
}

void FakeNfcManager::giveUp(void* hApp, const void* userHandle, uint16_t request) {
    FakeNfcManager* self = g_current.load();
    const int app = findApp(hApp);
    if (!self || app < 0) return;
    std::lock_guard<std::mutex> g(self->m_);
    if (self->entries_[app].instance == userHandle) self->givenUp_.emplace_back(app, request);
}

int FakeNfcManager::appOf(const TNfcApiInstance* instance) const {
    std::lock_guard<std::mutex> g(m_);
    for (int i = 0; i < kEntries; ++i)
        if (entries_[i].used && entries_[i].instance == instance) return i;
    return -1;
}

void FakeNfcManager::procedure(void* self) {
    auto* fake = static_cast<FakeNfcManager*>(self);
    OsMessage message{};
    if (osMessageReceive(fake->queue_, &message) == OS_OK) fake->handle(message);
}

void FakeNfcManager::handle(const OsMessage& message) {
    if (message.command == kInject) {
        std::function<void(FakeNfcManager&)> work;
        {
            std::lock_guard<std::mutex> g(m_);
            if (work_.empty()) return;
            work = std::move(work_.front());
            work_.pop_front();
        }
        work(*this);
        return;
    }
    Request request{};
    request.app = static_cast<int>((message.source >> kAppShift) & 0x7) - 1;
    request.message.code = message.command;
    request.message.request = message.spare;
    request.message.length = NFACE_MESSAGE_MAX;
    std::memcpy(request.message.payload, message.fields, NFACE_PAYLOAD_MAX);
    take(request);
}

void FakeNfcManager::take(const Request& request) {
    record(request);
    run(request);
}

void FakeNfcManager::record(const Request& request) {
    std::lock_guard<std::mutex> g(m_);
    received_.push_back(request);
    arrived_.notify_all();
}

void FakeNfcManager::run(const Request& request) {
    Script script;
    {
        std::lock_guard<std::mutex> g(m_);
        auto it = scripts_.find(request.message.code);
        if (it == scripts_.end()) return;
        script = it->second;
    }
    script(*this, request);
}

int FakeNfcManager::findApp(const void* hApp) {
    FakeNfcManager* self = g_current.load();
    if (!self) return -1;
    std::lock_guard<std::mutex> g(self->m_);
    for (int i = 0; i < kEntries; ++i)
        if (self->entries_[i].used && hApp == &self->entries_[i]) return i;
    return -1;
}

NfcApiStatus FakeNfcManager::registerApp(const NfcapiRegistration& record) {
    FakeNfcManager* self = g_current.load();
    if (!self) return nfcStatusInvalidHandle;
    Request request{};
    {
        std::lock_guard<std::mutex> g(self->m_);
        while (request.app < kEntries && self->entries_[request.app].used) ++request.app;
        if (request.app == kEntries) return nfcStatusNoResources;
        self->entries_[request.app] = Entry{true, record.instance, record.upcall};
    }
    request.message = nfaceMsgMake<NFACE_REGISTER_REQ>(record);
    self->later([request](FakeNfcManager& f) { f.take(request); });
    return nfcStatusOk;
}

NfcApiStatus FakeNfcManager::releaseApp(void* hApp) {
    FakeNfcManager* self = g_current.load();
    const int app = findApp(hApp);
    if (!self || app < 0) return nfcStatusInvalidHandle;
    Request request{app, nfaceMsgMake<NFACE_RELEASE_REQ>({hApp})};
    self->later([request](FakeNfcManager& f) { f.take(request); });
    return nfcStatusOk;
}
