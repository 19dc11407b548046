#include "cardemulation.h"

#include <algorithm>
#include <cstring>

#include "bytereader.h"
#include "convert.h"

namespace {

constexpr DWORD kTraceError = 2;
constexpr DWORD kTraceInfo = 4;

constexpr WORD kFileCapabilityContainer = 0xE103;
constexpr WORD kFileNdef = 0xE104;
constexpr size_t kNdefFileLimit = CCardEmulation::kMessageSpace + 1;   // offset + length stays below
constexpr size_t kNlenSize = 2;

constexpr BYTE kApplicationV1[] = {0xD2, 0x76, 0x00, 0x00, 0x85, 0x01, 0x00};
constexpr BYTE kApplicationV2[] = {0xD2, 0x76, 0x00, 0x00, 0x85, 0x01, 0x01, 0x00};
constexpr BYTE kNfcid2[CCardEmulation::kNfcid2Size] = {0x02, 0x19, 0x0F, 0x0E, 0x01, 0x01, 0x0C, 0x0A};

// Type 4 commands: class byte, instruction, P1 P2, then Lc or Le.
constexpr BYTE kInsSelect = 0xA4, kInsReadBinary = 0xB0, kInsUpdateBinary = 0xD6;
constexpr size_t kType4HeaderSize = 5;

// Type 3 frames: length byte, command code, then the command's fields.
constexpr BYTE kFelicaPoll = 0x00, kFelicaCheck = 0x06, kFelicaUpdate = 0x08, kFelicaRequestSystemCode = 0x0C;
constexpr size_t kPollSize = 5, kCheckSize = 16, kUpdateSize = 32;
constexpr size_t kBlockNumberAt = 15, kBlockDataAt = 16, kBlockSize = 16;
constexpr size_t kLnAt = 11, kChecksumAt = 14, kChecksummed = 14, kMaxBlocksAt = 3;
constexpr BYTE kSystemCode[] = {0x12, 0xFC};

QString hexWord(DWORD value, int digits) {
    return QStringLiteral("%1").arg(value, digits, 16, QLatin1Char('0')).toUpper();
}

} // namespace

CCardEmulation::CCardEmulation(Trace trace) : m_trace(std::move(trace)) {}

void CCardEmulation::trace(DWORD level, const QString& text) const {
    if (m_trace) m_trace(level, text);
}

void CCardEmulation::setConfiguration(const BYTE* capabilityContainer, const BYTE* attributeBlock) {
    std::memset(m_message, 0, sizeof m_message);
    // An emulation without content must not claim what an earlier one held.
    setNlen(0);
    m_selected = File::None;
    std::memset(m_type4Record, 0, kCapabilityContainerSize);
    std::memset(m_attributeBlock, 0, sizeof m_attributeBlock);
    if (capabilityContainer) std::memcpy(m_type4Record, capabilityContainer, kCapabilityContainerSize);
    if (attributeBlock) std::memcpy(m_attributeBlock, attributeBlock, sizeof m_attributeBlock);
}

void CCardEmulation::setNfcid2() { std::memcpy(m_nfcid2, kNfcid2, sizeof m_nfcid2); }

void CCardEmulation::reset() {
    setConfiguration(nullptr, nullptr);
    std::memset(m_nfcid2, 0, sizeof m_nfcid2);
    m_answerLength = 0;
    m_log.clear();
}

bool CCardEmulation::setContent(const BYTE* bytes, size_t size) {
    if (size > kMessageSpace || (!bytes && size)) return false;
    setNlen(static_cast<WORD>(size));
    setLn(static_cast<WORD>(size));
    if (size) std::memcpy(m_message, bytes, size);
    return true;
}

WORD CCardEmulation::nlen() const {
    return static_cast<WORD>(m_type4Record[kCapabilityContainerSize] << 8 | m_type4Record[kCapabilityContainerSize + 1]);
}

void CCardEmulation::setNlen(WORD length) {
    m_type4Record[kCapabilityContainerSize] = static_cast<BYTE>(length >> 8);
    m_type4Record[kCapabilityContainerSize + 1] = static_cast<BYTE>(length);
}

void CCardEmulation::setLn(WORD length) {
    m_attributeBlock[kLnAt] = 0;
    m_attributeBlock[kLnAt + 1] = static_cast<BYTE>(length >> 8);
    m_attributeBlock[kLnAt + 2] = static_cast<BYTE>(length);
    unsigned sum = 0;
    for (size_t i = 0; i < kChecksummed; ++i) sum += m_attributeBlock[i];
    m_attributeBlock[kChecksumAt] = static_cast<BYTE>(sum >> 8);
    m_attributeBlock[kChecksumAt + 1] = static_cast<BYTE>(sum);
}

void CCardEmulation::answerBytes(const BYTE* bytes, size_t count) {
    const size_t room = kAnswerCapacity - m_answerLength;
    count = std::min(count, room);
    if (count) std::memcpy(m_answer + m_answerLength, bytes, count);
    m_answerLength += count;
}

void CCardEmulation::answerBytes(std::initializer_list<BYTE> bytes) { answerBytes(bytes.begin(), bytes.size()); }

void CCardEmulation::answerStatus(BYTE sw1, BYTE sw2) { answerBytes({sw1, sw2}); }

void CCardEmulation::handleReceivedPdu(DWORD technology, const BYTE* pdu, size_t length, bool p2pListening) {
    m_log = QStringLiteral("RX (hex):\n") + bytesToHexDump(pdu, length) + QLatin1Char('\n');
    m_answerLength = 0;
    if (!pdu) length = 0;
    if (technology & (CE_HOST_14443A_106 | CE_HOST_14443B_106))
        handleType4(pdu, length);
    else if (technology & CE_HOST_FELICA)
        handleType3(pdu, length, p2pListening);
}

// ---- Type 4 ----------------------------------------------------------------------------------

void CCardEmulation::handleType4(const BYTE* pdu, size_t length) {
    if (length <= 1) {
        trace(kTraceError, QStringLiteral("! Unsupported PDU size"));
        answerStatus(0x6A, 0x81);
        return;
    }
    if (pdu[0] == 0x00) {
        switch (pdu[1]) {
        case kInsSelect:
            type4Select(pdu, length);
            break;
        case kInsReadBinary:
            type4Read(pdu, length);
            break;
        case kInsUpdateBinary:
            type4Update(pdu, length);
            break;
        default:
            trace(kTraceError, QStringLiteral("! Unknown command received - ignoring"));
            break;
        }
    }
    if (m_answerLength == 0) answerStatus(0x6A, 0x81);
}

void CCardEmulation::type4Select(const BYTE* pdu, size_t length) {
    m_log += QStringLiteral("ISO14443-4 command: SELECT ");
    CByteReader command(pdu, length);
    BYTE lc = 0;
    if (!command.skip(4) || !command.u8(lc)) {
        answerStatus(0x6A, 0x82);
        return;
    }
    if (lc == 2) {
        m_log += QStringLiteral("ID\n");
        WORD file = 0;
        if (!command.u16be(file)) {
            answerStatus(0x6A, 0x82);
            return;
        }
        if (file == kFileCapabilityContainer || file == kFileNdef) {
            m_selected = file == kFileNdef ? File::Ndef : File::CapabilityContainer;
            m_log += file == kFileNdef ? QStringLiteral("ID 0x%1 selected").arg(hexWord(file, 8))
                                       : QStringLiteral("ID 0x%1 (capability container) selected").arg(hexWord(file, 8));
            answerStatus(0x90, 0x00);
        } else {
            m_log += QStringLiteral("Unsupported ID 0x%1 selected").arg(hexWord(file, 8));
            answerStatus(0x6A, 0x82);
        }
        return;
    }
    if (lc != 7) {
        m_log += QStringLiteral("UNSUPPORTED\n");
        answerStatus(0x6A, 0x82);
        return;
    }
    m_log += QStringLiteral("APPLICATION\n");
    const size_t nameLength = static_cast<size_t>(command.remaining());
    const BYTE* name = command.here();
    if (nameLength == sizeof kApplicationV1 && std::memcmp(name, kApplicationV1, nameLength) == 0) {
        m_log += QStringLiteral("NFC application selected (v1)");
        answerStatus(0x90, 0x00);
    } else if (nameLength == sizeof kApplicationV2 && std::memcmp(name, kApplicationV2, nameLength) == 0) {
        m_log += QStringLiteral("NFC application selected (v2)");
        answerStatus(0x90, 0x00);
    } else {
        answerStatus(0x6A, 0x82);
    }
}

void CCardEmulation::type4Read(const BYTE* pdu, size_t length) {
    m_log += QStringLiteral("ISO14443-4 command: READ BINARY\n");
    CByteReader command(pdu, length);
    WORD offset = 0;
    BYTE wanted = 0;
    if (!command.skip(2) || !command.u16be(offset) || !command.u8(wanted) || size_t{offset} + wanted >= kNdefFileLimit) {
        answerStatus(0x6A, 0x80);
        return;
    }
    if (m_selected == File::CapabilityContainer) {
        if (offset == 0 && wanted == kCapabilityContainerSize) {
            answerBytes(m_type4Record, kCapabilityContainerSize);
            answerStatus(0x90, 0x00);
        } else {
            answerStatus(0x6A, 0x80);
        }
        return;
    }
    if (m_selected != File::Ndef || wanted == 0) return;
    // The NDEF file is NLEN followed by the message space: offsets 0 and 1 address NLEN.
    size_t left = wanted;
    size_t at = offset;
    for (; at < kNlenSize && left; ++at, --left) answerBytes({m_type4Record[kCapabilityContainerSize + at]});
    answerBytes(m_message + (at - kNlenSize), left);
    answerStatus(0x90, 0x00);
}

void CCardEmulation::type4Update(const BYTE* pdu, size_t length) {
    m_log += QStringLiteral("ISO14443-4 command: UPDATE BINARY\n");
    CByteReader command(pdu, length);
    WORD offset = 0;
    BYTE count = 0;
    const BYTE* data = nullptr;
    if (!command.skip(2) || !command.u16be(offset) || !command.u8(count) || !command.take(count, data) ||
        m_selected != File::Ndef) {
        answerStatus(0x6A, 0x80);
        return;
    }
    if (size_t{offset} + count >= kNdefFileLimit) {
        answerStatus(0x6A, 0x84);
        return;
    }
    CByteReader written(data, count);
    if (offset == 0) {
        trace(kTraceInfo, QStringLiteral("offset == 0"));
        BYTE high = 0, low = static_cast<BYTE>(nlen());
        if (written.u8(high)) {
            written.u8(low);   // a single byte changes only the high half
            const WORD length = static_cast<WORD>(high << 8 | low);
            setNlen(length);
            setLn(length);
        }
    } else if (offset == 1) {
        trace(kTraceInfo, QStringLiteral("offset == 1"));
        BYTE low = 0;
        if (written.u8(low)) m_type4Record[kCapabilityContainerSize + 1] = low;
    } else {
        trace(kTraceInfo, QStringLiteral("offset > 1"));
    }
    const size_t start = offset > kNlenSize ? offset - kNlenSize : 0;
    if (written.remaining()) std::memcpy(m_message + start, written.here(), static_cast<size_t>(written.remaining()));
    answerStatus(0x90, 0x00);
}

// ---- Type 3 ----------------------------------------------------------------------------------

void CCardEmulation::startFelicaAnswer(BYTE frameLength, BYTE responseCode) {
    answerBytes({frameLength, responseCode});
    answerBytes(m_nfcid2, sizeof m_nfcid2);
}

void CCardEmulation::handleType3(const BYTE* pdu, size_t length, bool p2pListening) {
    if (length == 0) return;
    if (length < 2) {
        trace(kTraceError, QStringLiteral("! Unsupported PDU size"));
        return;
    }
    switch (pdu[1]) {
    case kFelicaPoll:
        type3Poll(pdu, length, p2pListening);
        return;
    case kFelicaCheck:
        type3Check(pdu, length);
        return;
    case kFelicaUpdate:
        type3Update(pdu, length);
        return;
    case kFelicaRequestSystemCode:
        m_log += QStringLiteral("FELICA REQUEST SYSTEM CODE command: 0x0C\n");
        startFelicaAnswer(0x0D, 0x0D);
        answerBytes({0x01});
        answerBytes(kSystemCode, sizeof kSystemCode);
        return;
    default:
        m_log += QStringLiteral("FELICA unknown command 0x%1").arg(hexWord(pdu[1], 2));
        answerBytes({0x02, 0xFF});
        return;
    }
}

void CCardEmulation::type3Poll(const BYTE* pdu, size_t length, bool p2pListening) {
    CByteReader command(pdu, length);
    WORD systemCode = 0;
    BYTE requestCode = 0;
    if (length < kPollSize || !command.skip(2) || !command.u16be(systemCode) || !command.u8(requestCode)) {
        trace(kTraceError, QStringLiteral("! Unsupported PDU size"));
        return;
    }
    m_log += QString::asprintf("FELICA SENSF_REQ, command 0x00, system code 0x%.04X , RC 0x%.02X\n", systemCode,
                               requestCode);
    m_log += QStringLiteral("FELICA SENSF_RSP");
    if (requestCode > 2) return;
    const BYTE p = p2pListening ? 0xFF : 0x3B;
    startFelicaAnswer(requestCode == 1 ? 0x14 : 0x12, 0x01);
    answerBytes({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, p, p, 0xFF});
    if (requestCode == 1) answerBytes(kSystemCode, sizeof kSystemCode);
}

WORD CCardEmulation::type3BlockCount() const {
    return static_cast<WORD>(m_attributeBlock[kMaxBlocksAt] << 8 | m_attributeBlock[kMaxBlocksAt + 1]);
}

BYTE* CCardEmulation::type3Block(BYTE block) {
    // Block 255 ends at byte 4080 of the message space: every block number fits.
    return block == 0 ? m_attributeBlock : m_message + (block - 1) * kBlockSize;
}

void CCardEmulation::type3Check(const BYTE* pdu, size_t length) {
    if (length < kCheckSize) {
        trace(kTraceError, QStringLiteral("! Unsupported PDU size"));
        return;
    }
    const BYTE block = pdu[kBlockNumberAt];
    m_log += QStringLiteral("FELICA CHECK command: 0x06, block: %1\n").arg(block);
    if (block >= type3BlockCount()) return;
    startFelicaAnswer(0x1D, 0x07);
    answerBytes({0x00, 0x00, 0x01});
    answerBytes(type3Block(block), kBlockSize);
}

void CCardEmulation::type3Update(const BYTE* pdu, size_t length) {
    if (length < kUpdateSize) {
        trace(kTraceError, QStringLiteral("! Unsupported PDU size"));
        return;
    }
    const BYTE block = pdu[kBlockNumberAt];
    m_log += QStringLiteral("FELICA UPDATE command: 0x08, block: %1\n").arg(block);
    if (block >= type3BlockCount()) return;
    std::memcpy(type3Block(block), pdu + kBlockDataAt, kBlockSize);
    if (block == 0) setNlen(static_cast<WORD>(m_attributeBlock[kLnAt + 1] << 8 | m_attributeBlock[kLnAt + 2]));
    startFelicaAnswer(0x0C, 0x09);
    answerBytes({0x00, 0x00});
}
