// A stand-in tag family: while it lives it is the init of every family of the build (but those
// the test leaves out). It identifies each tag at once and answers the manager's commands from a
// tag image the test sets; its presence check goes through the owner as a check request.
#pragma once

#include <cstdint>
#include <mutex>
#include <vector>

#include "th/th_handler.h"

class FakeTagHandler {
public:
    FakeTagHandler();
    ~FakeTagHandler();
    FakeTagHandler(const FakeTagHandler&) = delete;
    FakeTagHandler& operator=(const FakeTagHandler&) = delete;

    // Families that get no handler, as if not part of the build.
    void leaveOut(ThFamily family);
    // Families that get the build's own handler.
    void useBuilt(ThFamily family);

    // The tag image.
    uint16_t access = TH_ACCESS_READ | TH_ACCESS_WRITE;
    bool ndef = true;                   // what the NDEF check finds
    std::vector<uint8_t> message;       // the NDEF message on the tag
    uint32_t maxSize = 256;
    uint32_t subtype = 0;
    // How a format ends: at once with formatCause, or (formatAsksTag) with the cause of one
    // exchange with the tag.
    uint16_t formatCause = 0;
    bool formatAsksTag = false;

    std::vector<ThFamily> created() const;              // families that took a tag, in order
    std::vector<uint16_t> commands() const;             // the command events the handlers got
    std::vector<std::vector<uint8_t>> answers() const;  // answers of the manager's own transactions

private:
    static const SmStateEntry kStates[1];
    static uint32_t init(TTagHandler* handler);
    static uint32_t stateReady(TStateMachine* machine, uint16_t event);
    void onEvent(TTagHandler* h, uint16_t event);

    mutable std::mutex m_;
    ThFamilyInit inits_[TH_FAMILY_COUNT];
    std::vector<ThFamily> created_;
    std::vector<uint16_t> commands_;
    std::vector<std::vector<uint8_t>> answers_;
    std::vector<uint8_t> pending_;      // write parts not yet final
};
