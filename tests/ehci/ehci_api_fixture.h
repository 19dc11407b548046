// The application's side of the ETSI HCI tests through the public API only: the library started
// on the simulated controller behind SHDLC on a pseudo-terminal, one listener, and what its
// callback heard (events, detected records, readers' commands to an emulated card), each awaited
// with a bounded time-out.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "corvane.h"
#include "hci/hci_pty.h"

class EtsiApi : public ::testing::Test {
protected:
    static constexpr uint32_t kBoundedMs = 5000;   // only reached when something is broken

    explicit EtsiApi(hcisim::Personality personality = hcisim::Personality::plain(), std::string readerType = "ETSI")
        : sim_(std::move(personality)), readerType_(std::move(readerType)) {}
    ~EtsiApi() override {
        if (handle_) nfcDestroy(handle_);
        if (initialised_) nfcDone();
    }

    bool start() {
        if (!sim_.ok()) return false;
        tags_.clear();
        codes_.clear();
        const std::string configuration = "READERTYPE=" + readerType_ + " IOTYPE=SERIAL PORT=" + sim_.portPath();
        if (nfcInitialize(configuration.c_str()) != nfcStatusOk) return false;
        initialised_ = true;
        return nfcCreate(this, &EtsiApi::callback, &handle_) == nfcStatusOk;
    }
    // The application lets the stack go, as at its end; the controller stays as it is.
    void stop() {
        if (handle_) nfcDestroy(handle_);
        if (initialised_) nfcDone();
        handle_ = nullptr;
        initialised_ = false;
    }
    NfcListenerHandle listen(DWORD mask) {
        NfcListenerHandle listener = nullptr;
        EXPECT_EQ(nfcRegisterListener(handle_, nullptr, mask, nullptr, &listener), nfcStatusOk);
        return listener;
    }
    // The tag enters, the stack starts and listens: the record of its detection.
    bool detect(std::shared_ptr<simtags::Tag> tag, DWORD mask, NfcListenerHandle* listener, TNfcTagInfo* info) {
        sim_.enter(std::move(tag));
        if (!start()) return false;
        *listener = listen(mask);
        return *listener && detected(info);
    }
    // The n-th (0-based) record of nfcEventTagDetected, waiting a bounded time.
    bool detected(TNfcTagInfo* info, size_t n = 0) {
        std::unique_lock<std::mutex> lock(m_);
        const bool got = cv_.wait_for(lock, std::chrono::milliseconds(kBoundedMs), [&] { return tags_.size() > n; });
        if (got) *info = tags_[n];
        return got;
    }
    // The n-th (0-based) command a reader sent the emulated card, waiting a bounded time.
    bool request(hcisim::Bytes* pdu, size_t n) {
        std::unique_lock<std::mutex> lock(m_);
        const bool got = cv_.wait_for(lock, std::chrono::milliseconds(kBoundedMs), [&] { return requests_.size() > n; });
        if (got) *pdu = requests_[n];
        return got;
    }
    size_t count(DWORD code) {
        std::lock_guard<std::mutex> lock(m_);
        return static_cast<size_t>(std::count(codes_.begin(), codes_.end(), code));
    }
    // Until the application has heard of `code` more than `n` times.
    bool waitFor(DWORD code, size_t n) {
        std::unique_lock<std::mutex> lock(m_);
        return cv_.wait_for(lock, std::chrono::milliseconds(kBoundedMs), [&] {
            return static_cast<size_t>(std::count(codes_.begin(), codes_.end(), code)) > n;
        });
    }
    bool waitFor(DWORD code) {
        std::unique_lock<std::mutex> lock(m_);
        return cv_.wait_for(lock, std::chrono::milliseconds(kBoundedMs),
                            [&] { return std::find(codes_.begin(), codes_.end(), code) != codes_.end(); });
    }

    static DWORD callback(void* context, DWORD event, void*, void* record) {
        auto* self = static_cast<EtsiApi*>(context);
        std::lock_guard<std::mutex> lock(self->m_);
        self->codes_.push_back(event);
        if (event == nfcEventTagDetected && record) self->tags_.push_back(*static_cast<const TNfcTagInfo*>(record));
        if (event == nfcEventSecureNotification && record)
            self->notes_.push_back(*static_cast<const TNfcSecureNotification*>(record));
        if (event == nfcEventReaderRequest && record) {
            // The record is packed: its fields are read as values, never bound to references.
            const BYTE* pdu = static_cast<const TNfcEventParam*>(record)->readerRequest.pdu;
            const WORD length = static_cast<const TNfcEventParam*>(record)->readerRequest.length;
            self->requests_.emplace_back(pdu, pdu + length);
        }
        self->cv_.notify_all();
        return 0;
    }

    hcisim::HciPtySim sim_;
    std::string readerType_;
    NfcHandle handle_ = nullptr;
    bool initialised_ = false;
    std::mutex m_;
    std::condition_variable cv_;
    std::vector<DWORD> codes_;
    std::vector<TNfcTagInfo> tags_;
    std::vector<hcisim::Bytes> requests_;   // what readers sent the emulated card
    std::vector<TNfcSecureNotification> notes_;
};

