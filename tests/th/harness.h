// The tag handlers' test bench: a fake owner in place of the NFC manager, which records every
// PDU a handler sends and every result it reports, and a pump that answers those PDUs one by one
// from an answer source (usually a simulated tag, with layer 1's conventions for NAK, silence
// and presence checks). Answers are given only between sends, never inside sendPdu, as layer 1
// posts them; a handler that keeps exchanging past a cap fails the test instead of hanging it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <vector>

#include "th/th_handler.h"

namespace simtags {
class Tag;
}

namespace thtest {

using Bytes = std::vector<uint8_t>;

constexpr uint16_t kNciReader = 0x400;            // the reader type of an NCI controller
constexpr uint16_t kCauseNoAnswer = nfcCauseAckMissing;
constexpr uint16_t kCauseRejected = nfcCauseRejected;

struct SentPdu {
    Bytes bytes;
    uint8_t flags;
    uint16_t extra;
    bool refused;
};

struct Report {
    uint16_t code;
    uint16_t cause;
    uint32_t argument;
};

// What one command ended with: the last report it gave, and how many it gave.
struct Outcome {
    uint16_t code = 0;
    uint16_t cause = 0;
    uint32_t count = 0;         // the report's argument: bytes read or written
    size_t reports = 0;
};

// Layer 1's answer to one PDU: a cause and, for cause 0, the data.
struct Answer {
    uint16_t cause = 0;
    Bytes data;
};
using AnswerSource = std::function<Answer(const SentPdu&)>;

// Answers from a simulated tag the way layer 1 reports them: data as it comes, a bare ACK as
// success without data, a NAK as 518, an authentication failure as 19, silence as 264; a
// presence check that gets no answer (or a NAK) fails with 518.
AnswerSource fromTag(simtags::Tag& tag);

class FakeOwner {
public:
    FakeOwner() = default;
    FakeOwner(const FakeOwner&) = delete;
    FakeOwner& operator=(const FakeOwner&) = delete;

    // thCreate on a tag record of the type with the UID; the family's result.
    uint32_t create(uint32_t tagType, const Bytes& uid);
    void deviceIndication(uint16_t readerType = kNciReader);

    // The answer to the oldest unanswered PDU: a transaction indication, or the check
    // confirmation of a presence check.
    void answer(const Answer& answer);
    bool pending() const { return answered_ < pdus.size(); }
    const SentPdu& next() const { return pdus[answered_]; }

    TTagHandler handler{};
    TNfcTagInfo tag{};
    std::vector<SentPdu> pdus;
    std::vector<Report> reports;
    size_t refuseFrom = std::numeric_limits<size_t>::max();   // sends from this index on are refused
    bool forbidPdus = false;                                   // any PDU fails the test
    std::function<void()> onSend;                              // runs inside sendPdu, once the PDU is recorded

private:
    static uint32_t sendPdu(TTagHandler* h, const uint8_t* pdu, uint16_t size, uint8_t flags, uint16_t extra);
    static void confirm(TTagHandler* h, uint16_t code, uint16_t cause, uint32_t argument);

    size_t answered_ = 0;
    bool inSend_ = false;
    Bytes answerData_;          // owned by the owner until the next exchange, as layer 1's buffer
};

// A fake owner with a pump and the commands a test drives, each run until the handler waits for
// nothing more.
class Bench {
public:
    explicit Bench(AnswerSource source = {}, size_t exchangeCap = 100000);

    uint32_t create(uint32_t tagType, const Bytes& uid) { return owner.create(tagType, uid); }
    Outcome identify(uint16_t readerType = kNciReader);   // device indication
    Outcome checkNdef();
    Outcome read(uint32_t offset, uint32_t size);        // the bytes land in readData
    Outcome write(const std::vector<Bytes>& chunks);     // the last chunk is final; stops at a failure
    Outcome format(uint32_t size, uint16_t flags);
    Outcome setReadonly();
    Outcome test();

    // Answers until no PDU is pending; false (a test failure) at the exchange cap.
    bool pump();
    size_t exchanges() const { return exchanges_; }

    FakeOwner owner;
    Bytes readData;

private:
    Outcome run(const std::function<void()>& command);

    AnswerSource source_;
    size_t cap_;
    size_t exchanges_ = 0;
};

} // namespace thtest
