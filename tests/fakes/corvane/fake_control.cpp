#include "fake_control.h"

#include <dlfcn.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <optional>

namespace {

constexpr uint8_t kOverwritten = 0xA5;

TNfcCapabilityBlock defaultCapabilities() {
    TNfcCapabilityBlock block{};
    block.supportedMask = 0x0076BF07;
    std::memcpy(block.vendorName, "Fake", 5);
    block.maxLlcpFrameSize = 128;
    return block;
}

// A heap copy that dies like the library's records do: overwritten, then freed.
struct HeapCopy {
    explicit HeapCopy(const std::vector<uint8_t>& bytes) : size(bytes.size()) {
        if (size) {
            data = static_cast<uint8_t*>(std::malloc(size));
            std::memcpy(data, bytes.data(), size);
        }
    }
    ~HeapCopy() {
        if (data) std::memset(data, kOverwritten, size);
        std::free(data);
    }
    HeapCopy(const HeapCopy&) = delete;
    HeapCopy& operator=(const HeapCopy&) = delete;

    uint8_t* data = nullptr;
    size_t size;
};

} // namespace

FakeCorvane& FakeCorvane::instance() {
    static FakeCorvane engine;
    return engine;
}

FakeCorvane::FakeCorvane() : capabilities_(defaultCapabilities()) {}

void FakeCorvane::reset() {
    stopThread();
    std::lock_guard<std::mutex> guard(lock_);
    held_ = false;
    sentOnAir_.clear();
    snepPeer_ = SnepPeer{};
    results_.clear();
    answers_.clear();
    capabilities_ = defaultCapabilities();
    secureElements_.clear();
    claimedSecureElements_ = -1;
    tagInfo_ = TNfcTagInfo{};
    calls_.clear();
    callbacks_.clear();
    ndefForwarding_ = false;
}

bool FakeCorvane::useNdefLibrary(const std::string& path) {
    std::lock_guard<std::mutex> guard(lock_);
    ndefForwarding_ = false;
    if (path.empty()) return true;
    if (!ndefLibrary_) ndefLibrary_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    ndefForwarding_ = ndefLibrary_ != nullptr;
    return ndefForwarding_;
}

void* FakeCorvane::ndefExport(const char* name) const {
    std::lock_guard<std::mutex> guard(lock_);
    return ndefForwarding_ ? dlsym(ndefLibrary_, name) : nullptr;
}

void FakeCorvane::setResult(const std::string& exportName, uint32_t result) {
    std::lock_guard<std::mutex> guard(lock_);
    results_[exportName] = result;
}

uint32_t FakeCorvane::result(const std::string& exportName) const {
    std::lock_guard<std::mutex> guard(lock_);
    const auto found = results_.find(exportName);
    return found == results_.end() ? 0 : found->second;
}

void FakeCorvane::setCapabilities(const TNfcCapabilityBlock& block) {
    std::lock_guard<std::mutex> guard(lock_);
    capabilities_ = block;
}

void FakeCorvane::setSecureElements(const std::vector<TNfcInfoSE>& elements) {
    std::lock_guard<std::mutex> guard(lock_);
    secureElements_ = elements;
}

void FakeCorvane::setClaimedSecureElementCount(int count) {
    std::lock_guard<std::mutex> guard(lock_);
    claimedSecureElements_ = count;
}

void FakeCorvane::setTagInfo(const TNfcTagInfo& info) {
    std::lock_guard<std::mutex> guard(lock_);
    tagInfo_ = info;
}

void FakeCorvane::queueAnswer(const std::string& exportName, std::vector<uint8_t> answer) {
    std::lock_guard<std::mutex> guard(lock_);
    answers_[exportName].push_back(std::move(answer));
}

std::vector<uint8_t> FakeCorvane::takeAnswer(const std::string& exportName) {
    std::lock_guard<std::mutex> guard(lock_);
    auto& queued = answers_[exportName];
    if (queued.empty()) return {};
    std::vector<uint8_t> answer = std::move(queued.front());
    queued.pop_front();
    return answer;
}

void FakeCorvane::record(FakeCall call) {
    std::lock_guard<std::mutex> guard(lock_);
    calls_.push_back(std::move(call));
}

std::vector<FakeCall> FakeCorvane::calls() const {
    std::lock_guard<std::mutex> guard(lock_);
    return calls_;
}

std::vector<std::string> FakeCorvane::callNames() const {
    std::lock_guard<std::mutex> guard(lock_);
    std::vector<std::string> names;
    for (const FakeCall& call : calls_) names.push_back(call.name);
    return names;
}

FakeCall FakeCorvane::lastCall(const std::string& exportName) const {
    std::lock_guard<std::mutex> guard(lock_);
    for (auto call = calls_.rbegin(); call != calls_.rend(); ++call)
        if (call->name == exportName) return *call;
    return FakeCall{};
}

bool FakeCorvane::fire(FakeEvent event) {
    std::lock_guard<std::mutex> guard(lock_);
    return queue(std::move(event), nullptr);
}

// The lock is held by the caller.
bool FakeCorvane::queue(FakeEvent event, std::function<bool()> due) {
    if (!thread_.joinable() || stopping_) return false;
    queue_.push_back(Queued{std::move(event), std::move(due)});
    ++busy_;
    changed_.notify_all();
    return true;
}

void FakeCorvane::hold(bool held) {
    std::lock_guard<std::mutex> guard(lock_);
    held_ = held;
    steps_ = 0;
    changed_.notify_all();
}

bool FakeCorvane::step(uint32_t timeoutMs) {
    std::unique_lock<std::mutex> guard(lock_);
    if (queue_.size() <= steps_) return false;
    ++steps_;
    const size_t target = delivered_ + steps_;
    changed_.notify_all();
    return changed_.wait_for(guard, std::chrono::milliseconds(timeoutMs), [&] { return delivered_ >= target; });
}

// ---- Listeners ----

NfcListenerHandle FakeCorvane::newListener(DWORD mask) {
    std::lock_guard<std::mutex> guard(lock_);
    const auto listener = reinterpret_cast<NfcListenerHandle>(nextListener_);
    nextListener_ += 0x10;
    listeners_[listener] = mask;
    return listener;
}

void FakeCorvane::dropListener(NfcListenerHandle listener) {
    std::lock_guard<std::mutex> guard(lock_);
    listeners_.erase(listener);
}

bool FakeCorvane::listensForP2p() const {
    std::lock_guard<std::mutex> guard(lock_);
    return std::any_of(listeners_.begin(), listeners_.end(),
                       [](const auto& listener) { return (listener.second & (P2P_INITIATOR | P2P_TARGET)) != 0; });
}

// ---- P2P links ----

P2pLinkHandle FakeCorvane::newLink(void* context) {
    std::lock_guard<std::mutex> guard(lock_);
    const auto link = reinterpret_cast<P2pLinkHandle>(nextLink_);
    nextLink_ += 0x10;
    links_[link].context = context;
    return link;
}

void FakeCorvane::setLinkContext(P2pLinkHandle link, void* context) {
    std::lock_guard<std::mutex> guard(lock_);
    links_[link].context = context;
}

void* FakeCorvane::linkContext(P2pLinkHandle link) const {
    std::lock_guard<std::mutex> guard(lock_);
    const auto found = links_.find(link);
    return found == links_.end() ? nullptr : found->second.context;
}

void FakeCorvane::dataRequested(P2pLinkHandle link, const BYTE* data, DWORD length) {
    std::lock_guard<std::mutex> guard(lock_);
    links_[link].unconfirmed.emplace_back(data, length);
}

bool FakeCorvane::confirmSent(P2pLinkHandle link) {
    std::lock_guard<std::mutex> guard(lock_);
    const auto found = links_.find(link);
    if (found == links_.end() || found->second.unconfirmed.empty()) return false;
    const auto [data, length] = found->second.unconfirmed.front();
    found->second.unconfirmed.pop_front();
    // The frame goes out now: the caller's buffer is read until this moment.
    sentOnAir_.emplace_back(data, data + length);
    TP2pConnection record{};
    record.context = found->second.context;
    return queue(fakeEvent(FakeTarget::P2p, nfcEventDataTransmitted, record), nullptr);
}

std::vector<std::vector<uint8_t>> FakeCorvane::sentOnAir() const {
    std::lock_guard<std::mutex> guard(lock_);
    return sentOnAir_;
}

// ---- The SNEP client ----

void FakeCorvane::setSnepPeer(const SnepPeer& peer) {
    std::lock_guard<std::mutex> guard(lock_);
    snepPeer_ = peer;
}

FakeCorvane::SnepClient* FakeCorvane::snepClientOf(SnepClientHandle client) {
    const auto found = snepClients_.find(client);
    return found == snepClients_.end() || found->second.state == SnepState::Released ? nullptr : &found->second;
}

// The report is dropped when the client has moved on (released, or disconnected since it was
// queued); delivering it moves the client to its state after the report.
void FakeCorvane::reportSnep(DWORD event, TSnepClientReport report, SnepClientHandle client,
                             std::optional<SnepState> after) {
    const uint32_t generation = snepClients_[client].generation;
    queue(fakeEvent(FakeTarget::SnepClient, event, report), [this, client, generation, after] {
        std::lock_guard<std::mutex> guard(lock_);
        SnepClient* c = snepClientOf(client);
        if (!c || c->generation != generation) return false;
        if (after) c->state = *after;
        return true;
    });
}

NfcApiStatus FakeCorvane::snepConnect(SnepClientHandle* client, NfcApiStatus scripted, bool asynchronous) {
    std::lock_guard<std::mutex> guard(lock_);
    if (client) *client = nullptr;
    if (!client) return nfcStatusBadParameter;
    if (scripted != nfcStatusOk && scripted != nfcStatusPending) return scripted;
    const auto handle = reinterpret_cast<SnepClientHandle>(nextSnepClient_);
    nextSnepClient_ += 0x10;
    *client = handle;
    if (!asynchronous) {
        snepClients_[handle].state = snepPeer_.accepts ? SnepState::Connected : SnepState::Released;
        if (snepPeer_.accepts) return nfcStatusOk;
        *client = nullptr;
        return nfcStatusFailed;
    }
    snepClients_[handle].state = SnepState::Connecting;
    if (snepPeer_.accepts)
        reportSnep(snepEventConnected, {0, 0}, handle, SnepState::Connected);
    else
        reportSnep(snepEventFailed, {0, 0}, handle, SnepState::Idle);
    return nfcStatusPending;
}

NfcApiStatus FakeCorvane::snepPut(SnepClientHandle client, NfcApiStatus scripted, DWORD length) {
    std::lock_guard<std::mutex> guard(lock_);
    SnepClient* c = snepClientOf(client);
    if (!c) return nfcStatusBadParameter;
    if (scripted != nfcStatusOk && scripted != nfcStatusPending) return scripted;
    if (c->state != SnepState::Connected) return nfcStatusWrongState;
    c->state = SnepState::Putting;
    // The request is the 6-byte header and the message, cut into fragments of the peer's MIU.
    const uint64_t size = uint64_t{length} + 6;
    const uint32_t miu = std::max<uint32_t>(snepPeer_.miu, 1);
    for (uint64_t sent = miu; sent < size; sent += miu)
        reportSnep(snepEventProgress, {static_cast<DWORD>(sent), static_cast<DWORD>(sent * 100 / size)}, client,
                   std::nullopt);
    if (snepPeer_.takes)
        reportSnep(snepEventResponse, {0, SNEP_RESP_SUCCESS}, client, SnepState::Connected);
    else
        reportSnep(snepEventFailed, {0, SNEP_RESP_REJECT}, client, SnepState::Connected);
    return nfcStatusPending;
}

NfcApiStatus FakeCorvane::snepDisconnect(SnepClientHandle client, NfcApiStatus scripted) {
    std::lock_guard<std::mutex> guard(lock_);
    SnepClient* c = snepClientOf(client);
    if (!c) return nfcStatusBadParameter;
    if (scripted != nfcStatusOk && scripted != nfcStatusPending) return scripted;
    if (c->state == SnepState::Idle) return nfcStatusOk;
    if (c->state == SnepState::Disconnecting) return nfcStatusPending;
    // A PUT under way reports nothing more: the link ends under it.
    c->state = SnepState::Disconnecting;
    ++c->generation;
    reportSnep(snepEventEnded, {0, 0}, client, SnepState::Idle);
    return nfcStatusPending;
}

NfcApiStatus FakeCorvane::snepReleaseClient(SnepClientHandle client, NfcApiStatus scripted) {
    std::lock_guard<std::mutex> guard(lock_);
    SnepClient* c = snepClientOf(client);
    if (!c) return nfcStatusBadParameter;
    if (scripted != nfcStatusOk) return scripted;
    c->state = SnepState::Released;
    return nfcStatusOk;
}

bool FakeCorvane::waitDelivered(uint32_t timeoutMs) {
    std::unique_lock<std::mutex> guard(lock_);
    return changed_.wait_for(guard, std::chrono::milliseconds(timeoutMs), [this] { return busy_ == 0; });
}

bool FakeCorvane::threadRunning() const {
    std::lock_guard<std::mutex> guard(lock_);
    return thread_.joinable();
}

void FakeCorvane::startThread() {
    std::lock_guard<std::mutex> guard(lock_);
    if (thread_.joinable()) return;
    stopping_ = false;
    thread_ = std::thread([this] { run(); });
}

void FakeCorvane::stopThread() {
    std::thread finished;
    {
        std::lock_guard<std::mutex> guard(lock_);
        stopping_ = true;
        held_ = false;
        changed_.notify_all();
        finished = std::move(thread_);
    }
    if (finished.joinable()) finished.join();
    // The library's listeners, links and clients end with it.
    std::lock_guard<std::mutex> guard(lock_);
    listeners_.clear();
    links_.clear();
    snepClients_.clear();
}

void FakeCorvane::setCallback(FakeTarget target, void* callback, void* context) {
    std::lock_guard<std::mutex> guard(lock_);
    callbacks_[target] = Callback{callback, context};
}

void FakeCorvane::fillCapabilities(TNfcCapabilities* capabilities) {
    std::lock_guard<std::mutex> guard(lock_);
    capabilities_.secureElementCount =
        claimedSecureElements_ >= 0 ? static_cast<BYTE>(claimedSecureElements_)
                                    : static_cast<BYTE>(std::min<size_t>(secureElements_.size(), NFC_MAX_SECURE_ELEMENTS));
    for (size_t i = 0; i < NFC_MAX_SECURE_ELEMENTS; ++i)
        capabilities_.secureElements[i] = i < secureElements_.size() ? &secureElements_[i] : nullptr;
    capabilities->reserved = 0;
    capabilities->controllerCount = 1;
    capabilities->controller = &capabilities_;
}

void FakeCorvane::listSecureElements(void* context, TNfcSecureListCallback callback) {
    std::vector<TNfcInfoSE> elements;
    {
        std::lock_guard<std::mutex> guard(lock_);
        elements = secureElements_;
    }
    for (const TNfcInfoSE& element : elements) {
        const auto* bytes = reinterpret_cast<const uint8_t*>(&element);
        HeapCopy copy(std::vector<uint8_t>(bytes, bytes + sizeof element));
        callback(context, reinterpret_cast<TNfcInfoSE*>(copy.data));
    }
}

TNfcTagInfo FakeCorvane::tagInfo() const {
    std::lock_guard<std::mutex> guard(lock_);
    return tagInfo_;
}

void FakeCorvane::run() {
    std::unique_lock<std::mutex> guard(lock_);
    for (;;) {
        changed_.wait(guard, [this] { return stopping_ || ((!held_ || steps_ > 0) && !queue_.empty()); });
        if (queue_.empty()) return;
        const Queued next = std::move(queue_.front());
        queue_.pop_front();
        if (held_ && steps_ > 0) --steps_;
        guard.unlock();
        if (!next.due || next.due()) deliver(next.event);
        guard.lock();
        ++delivered_;
        --busy_;
        changed_.notify_all();
    }
}

void FakeCorvane::deliver(const FakeEvent& event) {
    Callback callback;
    {
        std::lock_guard<std::mutex> guard(lock_);
        callback = callbacks_[event.target];
        // As the library does, a P2P link's callback gets the application's context first: the
        // link's own context travels in its records.
        if (event.target == FakeTarget::P2p) callback.context = callbacks_[FakeTarget::Application].context;
    }
    if (!callback.function) return;
    HeapCopy record(event.record);
    HeapCopy payload(event.payload);
    if (record.data && event.payloadOffset != SIZE_MAX && event.payloadOffset + sizeof(void*) <= record.size)
        std::memcpy(record.data + event.payloadOffset, &payload.data, sizeof payload.data);
    switch (event.target) {
    case FakeTarget::Application:
    case FakeTarget::P2p:
        reinterpret_cast<TNfcEventCallback>(callback.function)(callback.context, event.event, event.listenerContext,
                                                                record.data);
        break;
    case FakeTarget::SnepServer:
    case FakeTarget::SnepClient:
        reinterpret_cast<TSnepCallback>(callback.function)(callback.context, event.event, record.data);
        break;
    case FakeTarget::Npp:
        reinterpret_cast<TNppCallback>(callback.function)(callback.context, event.event, payload.data,
                                                          static_cast<DWORD>(payload.size));
        break;
    }
}
