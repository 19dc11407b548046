// The two cards that card emulation shows an external reader over one NDEF message: an NFC
// Forum Type 4 tag (file system with a capability container and an NDEF file) and a Type 3 tag
// (attribute block and 16-byte blocks). It computes the answer to one reader command; it needs
// no library, so the command handling is tested on its own.
#pragma once

#include <QString>

#include <cstddef>
#include <functional>

#include "corvane.h"

class CCardEmulation {
public:
    static constexpr size_t kMessageSpace = 4097;
    static constexpr size_t kCapabilityContainerSize = 15;
    static constexpr size_t kType4RecordSize = kCapabilityContainerSize + 2;   // with NLEN
    static constexpr size_t kAttributeBlockSize = 16;
    static constexpr size_t kNfcid2Size = 8;
    static constexpr size_t kAnswerCapacity = 258;

    // Receives the warnings and errors of the command handling.
    using Trace = std::function<void(DWORD level, const QString& text)>;

    explicit CCardEmulation(Trace trace = {});

    // Clears the message space and NLEN, selects no file and copies the two records (a null
    // record leaves zeros).
    void setConfiguration(const BYTE* capabilityContainer, const BYTE* attributeBlock);
    void setNfcid2();
    void reset();   // back to the zeros of a new instance
    // NLEN and Ln become the size, the checksum is refreshed and the bytes start the message
    // space; false, with nothing changed, when they do not fit.
    bool setContent(const BYTE* bytes, size_t size);

    // Answers one reader command for the technology bit of the detected reader; the log is
    // restarted with it.
    void handleReceivedPdu(DWORD technology, const BYTE* pdu, size_t length, bool p2pListening);
    const BYTE* answer() const { return m_answer; }
    size_t answerLength() const { return m_answerLength; }
    const QString& log() const { return m_log; }

    // NLEN and Ln may hold what a reader wrote, up to 0xFFFF: more than the message space.
    BYTE* content() { return m_message; }
    BYTE* type4Record() { return m_type4Record; }
    BYTE* attributeBlock() { return m_attributeBlock; }
    WORD nlen() const;

private:
    enum class File { None, CapabilityContainer, Ndef };

    void handleType4(const BYTE* pdu, size_t length);
    void type4Select(const BYTE* pdu, size_t length);
    void type4Read(const BYTE* pdu, size_t length);
    void type4Update(const BYTE* pdu, size_t length);
    void handleType3(const BYTE* pdu, size_t length, bool p2pListening);
    void type3Poll(const BYTE* pdu, size_t length, bool p2pListening);
    void type3Check(const BYTE* pdu, size_t length);
    void type3Update(const BYTE* pdu, size_t length);
    // A block of the Type 3 card: 0 the attribute block, n the message bytes from (n - 1) x 16.
    BYTE* type3Block(BYTE block);
    WORD type3BlockCount() const;

    void setNlen(WORD length);
    void setLn(WORD length);   // with a fresh checksum
    void answerBytes(std::initializer_list<BYTE> bytes);
    void answerBytes(const BYTE* bytes, size_t count);
    void answerStatus(BYTE sw1, BYTE sw2);
    void startFelicaAnswer(BYTE frameLength, BYTE responseCode);
    void trace(DWORD level, const QString& text) const;

    Trace m_trace;
    BYTE m_type4Record[kType4RecordSize] = {};   // capability container, then NLEN
    BYTE m_message[kMessageSpace] = {};
    BYTE m_attributeBlock[kAttributeBlockSize] = {};
    BYTE m_nfcid2[kNfcid2Size] = {};
    File m_selected = File::None;
    BYTE m_answer[kAnswerCapacity] = {};
    size_t m_answerLength = 0;
    QString m_log;
};
