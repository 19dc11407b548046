#include "api_stack.h"

#include <chrono>
#include <string>

ApiStack::ApiStack(ncisim::NciIdentity identity)
    : sim_(std::make_unique<ncisim::NciSimulator>(identity)), portPath_(sim_->portPath()) {}

ApiStack::ApiStack(std::string readerType, std::string portPath)
    : readerType_(std::move(readerType)), portPath_(std::move(portPath)) {}

ApiStack::~ApiStack() {
    if (hNfc_) nfcDestroy(hNfc_);
    if (initialised_) nfcDone();
    if (!modules_.empty()) nfcapiSetServices(nullptr);
    // The simulated controller is as strict as a real one: a breach of NCI by the stack is reported.
    if (sim_ && !sim_->recorder().violations().empty() && violationSink()) violationSink()(sim_->describe());
}

std::function<void(const std::string&)>& ApiStack::violationSink() {
    static std::function<void(const std::string&)> sink;
    return sink;
}

void ApiStack::replaceLlcp(OsResult (*registerModule)(uint16_t readerType)) {
    const NfcapiServices& library = nfcapiServices();
    modules_.assign(library.modules, library.modules + library.moduleCount);
    for (NfcapiModule& module : modules_)
        if (std::string(module.name) == "LLCP") module.registerModule = registerModule;
    services_ = library;
    services_.modules = modules_.data();
    nfcapiSetServices(&services_);
}

NfcApiStatus ApiStack::start(const char* extraConfiguration) {
    const std::string configuration =
        "READERTYPE=" + readerType_ + " IOTYPE=SERIAL PORT=" + portPath_ + " " + extraConfiguration;
    return startWith(configuration);
}

NfcApiStatus ApiStack::startWith(const std::string& configuration) {
    if (NfcApiStatus status = nfcInitialize(configuration.c_str())) return status;
    initialised_ = true;
    return nfcCreate(this, &ApiStack::callback, &hNfc_);
}

NfcApiStatus ApiStack::recreate() {
    const NfcApiStatus destroyed = nfcDestroy(hNfc_);
    hNfc_ = nullptr;
    if (destroyed != nfcStatusOk) return destroyed;
    return nfcCreate(this, &ApiStack::callback, &hNfc_);
}

void ApiStack::done() {
    if (initialised_) nfcDone();
    initialised_ = false;
    hNfc_ = nullptr;
}

NfcListenerHandle ApiStack::listen(DWORD mask, void* context) {
    NfcListenerHandle listener = nullptr;
    if (nfcRegisterListener(hNfc_, context, mask, nullptr, &listener) != nfcStatusOk) return nullptr;
    return listener;
}

DWORD ApiStack::callback(void* context, DWORD event, void* listenerContext, void* record) {
    auto* self = static_cast<ApiStack*>(context);
    AppEvent e;
    e.code = event;
    e.listenerContext = listenerContext;
    if (event == nfcEventTagDetected && record) e.tag = *static_cast<const TNfcTagInfo*>(record);
    if (event == nfcEventReaderRequest && record) {
        const TNfcReaderRequest& r = static_cast<const TNfcEventParam*>(record)->readerRequest;
        if (r.pdu) e.request.assign(r.pdu, r.pdu + r.length);
    }
    if (event == nfcEventTransaction && record) e.transaction = static_cast<const TNfcEventParam*>(record)->transaction;
    if (event == nfcEventSecureNotification && record) e.secure = *static_cast<const TNfcSecureNotification*>(record);
    if (event >= nfcEventConnected && event <= nfcEventConnectIndication && record) {
        e.p2p = *static_cast<const TP2pConnection*>(record);
        if (event == nfcEventDataIndication && e.p2p.data.data) {
            e.data.assign(e.p2p.data.data, e.p2p.data.data + e.p2p.data.length);
            e.p2p.data.data = nullptr;
        }
    }
    std::lock_guard<std::mutex> g(self->m_);
    self->events_.push_back(e);
    self->cv_.notify_all();
    return 0;
}

std::optional<AppEvent> ApiStack::waitFor(DWORD code, size_t n, uint32_t timeoutMs) {
    std::unique_lock<std::mutex> lock(m_);
    std::optional<AppEvent> found;
    cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
        size_t seen = 0;
        for (const AppEvent& e : events_)
            if (e.code == code && seen++ == n) {
                found = e;
                return true;
            }
        return false;
    });
    return found;
}

size_t ApiStack::count(DWORD code) {
    std::lock_guard<std::mutex> g(m_);
    size_t n = 0;
    for (const AppEvent& e : events_) n += e.code == code;
    return n;
}

std::vector<std::vector<uint8_t>> ApiStack::commands(uint16_t opcode) {
    std::vector<std::vector<uint8_t>> out;
    for (const ncisim::NciMessage& m : sim_->recorder().received())
        if (m.key() == opcode) out.push_back(m.payload);
    return out;
}

bool ApiStack::waitForCommands(uint16_t opcode, size_t n, uint32_t timeoutMs) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (size_t k = 0; commands(opcode).size() < n; ++k) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
        if (left.count() <= 0 || !sim_->waitForCommand(k, static_cast<uint32_t>(left.count()))) return false;
    }
    return true;
}
