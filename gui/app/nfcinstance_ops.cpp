// The operations the main window calls on a started CNfcInstance: each traces "Enter", calls
// its export, keeps the result as the last status, traces a failure with its own text, traces
// "Exit (status: %u)" and returns the status.
#include <QMetaMethod>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <iterator>
#include <memory>
#include <new>
#include <utility>
#include <vector>

#include "convert.h"
#include "corvanebinding.h"
#include "ndefmessage.h"
#include "nfcinstance.h"

namespace {

#define NFC_SOURCE(operation) "CNfcInstance::" operation

constexpr DWORD kModes[] = {CNfcInstance::modeRw, CNfcInstance::modeP2p, CNfcInstance::modeCe, CNfcInstance::modeSe};
constexpr DWORD kTechnologyBits = 0x0076BF07;
constexpr DWORD kSupportListenerBits = 0x00041000;   // P2P bits that call for a support listener
constexpr char kPn544[] = "PN544";

constexpr DWORD kFormatNdefBits = 0x000000F7, kFormatLegacyBits = 0x000000B4, kFormatBothBits = 0x01000500;
constexpr size_t kMaxExchangeDigits = 8192;
constexpr size_t kMaxIoControlDigits = 510;
constexpr WORD kAnswerCapacity = 4096;
constexpr WORD kNdefReadCapacity = 0xFFFF;

constexpr BYTE kMifareAuthenticateA = 0x60, kMifareAuthenticateB = 0x61, kMifareRead = 0x30, kMifareWrite = 0xA0;
constexpr BYTE kKeyA = 0x0A, kKeyB = 0x0B;
constexpr DWORD kMifareLastSector = 39, kMifareLastBlock = 255;
constexpr size_t kMifareBlockSize = 16, kMifareKeySize = 6, kMifareUidBytes = 4;
// The card's answer to a write is 4 bits: ACK 0xA, anything else a NAK.
constexpr BYTE kMifareAck = 0x0A, kMifareAckMask = 0x0F;
constexpr WORD kAuthenticateAnswerCapacity = 255;

constexpr DWORD kIoControlSelectSe = 0x110A;
constexpr char kSnepServiceName[] = "urn:nfc:sn:snep";
constexpr BYTE kSnepSap = 4;
constexpr BYTE kSnepClientRole = 1;
constexpr qsizetype kMaxServiceName = 253;

// The secure element's echo applet: a free command, the SELECT, then commands of growing length.
constexpr BYTE kEchoFreeCommand[] = {0xB8, 0xE8, 0x00, 0x00, 0x10, 0x00, 0x11, 0x22, 0x33, 0x44, 0x55,
                                     0x66, 0x77, 0x88, 0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF, 0x10};
constexpr BYTE kEchoSelect[] = {0x00, 0xA4, 0x04, 0x00, 0x0E, 0xA0, 0x00, 0x00, 0x00, 0x18,
                                0x30, 0x80, 0x05, 0x00, 0x65, 0x63, 0x68, 0x6F, 0x00};
constexpr BYTE kEchoHeader[] = {0x10, 0x23, 0x40, 0x33};
constexpr BYTE kEchoFirstLength = 10, kEchoLastLength = 39;

// The digits of user hex text, blanks and "0x" removed.
QString hexDigits(const QString& text) {
    QString digits = text;
    digits.remove(QLatin1Char(' '));
    digits.remove(QLatin1String("0x"), Qt::CaseInsensitive);
    return digits;
}

// Bytes from hex digits: null unless every character is a hex digit and they pair up.
std::unique_ptr<QByteArray> parseHex(const QString& digits, size_t maxDigits) {
    if (digits.size() % 2 != 0 || static_cast<size_t>(digits.size()) > maxDigits) return nullptr;
    for (QChar c : digits)
        if (c.unicode() > 0x7F || !std::isxdigit(static_cast<unsigned char>(c.unicode()))) return nullptr;
    auto bytes = std::make_unique<QByteArray>(digits.size() / 2, '\0');
    for (qsizetype i = 0; i < bytes->size(); ++i)
        (*bytes)[i] = static_cast<char>(hexPairToByte(digits[2 * i], digits[2 * i + 1]));
    return bytes;
}

const BYTE* bytesOf(const QByteArray& bytes) { return reinterpret_cast<const BYTE*>(bytes.constData()); }

QString formatPduExchange(const BYTE* command, size_t commandLength, const BYTE* answer, size_t answerLength) {
    return QStringLiteral("Transmitted PDU size: %1 bytes, data:\n  ").arg(commandLength) +
           bytesToHexDump(command, commandLength) +
           QStringLiteral("\n  Received PDU size: %1 bytes, data:\n").arg(answerLength) +
           bytesToHexDump(answer, answerLength);
}

DWORD firstMifareBlock(DWORD sector) { return sector < 32 ? 4 * sector : 128 + 16 * (sector - 32); }

bool is7816Success(const BYTE* answer, WORD length) {
    return length >= 2 && answer[length - 2] == 0x90 && answer[length - 1] == 0x00;
}

} // namespace

// ---- The operation form ------------------------------------------------------------------------

NfcApiStatus CNfcInstance::exitWith(const char* source) {
    postTrace(traceInfo, source, "Exit (status: %u)", m_lastStatus);
    return m_lastStatus;
}

NfcApiStatus CNfcInstance::refuse(const char* source, const char* text) {
    postTrace(traceError, source, "%s", text);
    m_lastStatus = nfcStatusFailed;
    return exitWith(source);
}

bool CNfcInstance::refusedWithoutApplication(const char* source) {
    if (libraryRunning()) return false;
    refuse(source, "! No NFC-application found");
    return true;
}

NfcListenerHandle& CNfcInstance::listenerSlot(DWORD mode) {
    const auto* found = std::find(std::begin(kModes), std::end(kModes), mode);
    return m_listeners[found - std::begin(kModes)];
}

NfcListenerHandle CNfcInstance::listener(DWORD mode) const {
    const auto* found = std::find(std::begin(kModes), std::end(kModes), mode);
    return found == std::end(kModes) ? nullptr : m_listeners[found - std::begin(kModes)];
}

// ---- Listeners ---------------------------------------------------------------------------------

bool CNfcInstance::prepareListenParam(DWORD mode, DWORD mask, WORD isoDepBitRate, WORD felicaBitRate, WORD option) {
    m_listenParam = TNfcListenParam{};
    TNfcListenParam& p = m_listenParam;
    if (mode == modeRw) {
        if (mask & (TAG_ISO14443A | TAG_14443B) && isoDepBitRate) {
            p.poll14443Flags = NFC_POLL_BIT_RATE;
            p.poll14443BitRate = isoDepBitRate;
        }
        if (mask & TAG_15693 && option) {
            p.poll15693Flags = NFC_POLL_BIT_RATE;
            p.poll15693BitRate = option;
        }
        return true;
    }
    if (mode != modeCe) return true;
    if (!(mask & NFC_MASK_HOST_CARD_EMULATION)) {
        postTrace(traceError, NFC_SOURCE("prepareListenParam"), "! No Card emulation requested (mask: 0x%08X)", mask);
        return false;
    }
    if (mask & CE_HOST_14443A_106) {
        static constexpr BYTE nfcid1[] = {0x08, 0x14, 0x44, 0x3A};   // a random 4-byte identifier
        p.listenAFlags = NFC_LISTEN_A_NFCID1 | NFC_LISTEN_A_SAK | NFC_LISTEN_A_SDD;
        p.nfcid1Length = sizeof nfcid1;
        std::memcpy(p.nfcid1, nfcid1, sizeof nfcid1);
        p.sak = 0x20;
        p.sdd = 0x04;
        p.platformConfig = 0x00;
        if (isoDepBitRate) {
            p.listenAFlags |= NFC_LISTEN_A_BIT_RATE;
            p.listenABitRate = isoDepBitRate;
        }
    }
    if (mask & CE_HOST_14443B_106) {
        static constexpr BYTE nfcid0[] = {0xCE, 0x14, 0x44, 0x3B};
        p.listenBFlags = NFC_LISTEN_B_NFCID0;
        std::memcpy(p.nfcid0, nfcid0, sizeof nfcid0);
        if (isoDepBitRate) {
            p.listenBFlags |= NFC_LISTEN_B_BIT_RATE;
            p.listenBBitRate = isoDepBitRate;
        }
    }
    if (mask & CE_HOST_FELICA) {
        static constexpr BYTE nfcid2[] = {0x02, 0x19, 0x0F, 0x0E, 0x01, 0x01, 0x0C, 0x0A};
        p.listenFFlags = NFC_LISTEN_F_IDENTIFIERS;
        p.systemCode = 0x12FC;
        std::memcpy(p.nfcid2, nfcid2, sizeof nfcid2);
        if (felicaBitRate) {
            p.listenFFlags |= NFC_LISTEN_F_BIT_RATE;
            p.listenFBitRate = felicaBitRate;
        }
    }
    return true;
}

void CNfcInstance::relayListenerSignals(DWORD mode, bool on) {
    if (mode == modeP2p) {
        relayP2pSignals(on);
    } else if (mode == modeCe) {
        relay(on, &CNfcInstance::signalReaderRequest, &CNfcInstance::handleReaderRequest);
    } else if (mode == modeSe) {
        relay(on, &CNfcInstance::signalTransaction, &CNfcInstance::handleTransaction);
    }
}

void CNfcInstance::stopSupportListener(const char* source) {
    if (!m_supportListener) return;
    const NfcApiStatus status = corvaneSymbolTable.nfcUnregisterListener(m_supportListener);
    if (status == nfcStatusOk)
        postTrace(traceInfo, source, "Support listener (%p) stopped", static_cast<void*>(m_supportListener));
    else
        postTrace(traceWarning, source, "Stopping support listener (%p) failed (code: %u)",
                  static_cast<void*>(m_supportListener), status);
    m_supportListener = nullptr;
}

NfcApiStatus CNfcInstance::startSupportListener(const char* source) {
    const NfcApiStatus status =
        corvaneSymbolTable.nfcRegisterListener(m_hApp, this, NFC_LISTEN_FELICA, nullptr, &m_supportListener);
    if (status == nfcStatusOk) {
        postTrace(traceInfo, source, "Support listener (%p) started", static_cast<void*>(m_supportListener));
    } else {
        postTrace(traceError, source, "! Registering listener (0x%08X) failed (code: %u)", NFC_LISTEN_FELICA, status);
        m_supportListener = nullptr;
    }
    return status;
}

NfcApiStatus CNfcInstance::nfcRegisterListener(DWORD mode, DWORD requestedMask, WORD isoDepBitRate,
                                               WORD felicaBitRate, WORD option) {
    const char* source = NFC_SOURCE("nfcRegisterListener");
    postTrace(traceInfo, source, "Enter (operation mode: 0x%08X, requested mask: 0x%08X)", mode, requestedMask);
    if (std::find(std::begin(kModes), std::end(kModes), mode) == std::end(kModes)) {
        postTrace(traceError, source, "! No valid operation mode (0x%08X) specified", mode);
        m_lastStatus = nfcStatusFailed;
        return exitWith(source);
    }
    if (refusedWithoutApplication(source)) return m_lastStatus;
    if (requestedMask == 0) postTrace(traceWarning, source, "Requested mask is empty");
    if (!(requestedMask & kTechnologyBits)) return refuse(source, "! No technology in requested mask detected");
    if (!nfcGetCapabilities()) return refuse(source, "! Getting capabilities failed");
    const DWORD supported = getSupportedTechnologies();
    postTrace(traceInfo, source, "Controller's supported mask = 0x%08X", supported);
    // The library decides what it can serve: the requested mask goes to it unchanged.
    if (!(supported & requestedMask)) postTrace(traceWarning, source, "No overlap between requested and supported mask");

    NfcListenerHandle& slot = listenerSlot(mode);
    if (slot) {
        postTrace(traceInfo, source, "A listener (%p) already exists - closing it", static_cast<void*>(slot));
        // A listener that would not close stays the mode's: registering over it would lose it.
        m_lastStatus = unregisterMode(mode);
        if (m_lastStatus != nfcStatusOk) return exitWith(source);
    }
    const bool pn544 = m_configuration.contains(QLatin1String(kPn544));
    if (pn544 && requestedMask & NFC_LISTEN_FELICA) stopSupportListener(source);

    const bool given = prepareListenParam(mode, requestedMask, isoDepBitRate, felicaBitRate, option);
    m_lastStatus = corvaneSymbolTable.nfcRegisterListener(m_hApp, this, requestedMask, given ? &m_listenParam : nullptr,
                                                          &slot);
    if (m_lastStatus != nfcStatusOk) {
        postTrace(traceError, source, "! Registering listener (0x%08X) failed (code: %u)", requestedMask, m_lastStatus);
        slot = nullptr;
        return exitWith(source);
    }
    relayListenerSignals(mode, true);
    void* handle = static_cast<void*>(slot);
    switch (mode) {
    case modeRw:
        m_rwRequestedMask = requestedMask;
        postTrace(traceInfo, source, "RW-listener (%p) activated", handle);
        break;
    case modeP2p:
        if (pn544 && requestedMask & kSupportListenerBits && !(m_rwRequestedMask.load() & NFC_LISTEN_FELICA) &&
            !m_supportListener)
            startSupportListener(source);
        postTrace(traceInfo, source, "P2P-listener (%p) activated", handle);
        break;
    case modeCe:
        postTrace(traceInfo, source, "CE-listener (%p) activated", handle);
        break;
    default:
        postTrace(traceInfo, source, "SE-listener (%p) activated", handle);
        break;
    }
    return exitWith(source);
}

// Closes the mode's listener; a missing one is traced and leaves the status alone.
NfcApiStatus CNfcInstance::unregisterMode(DWORD mode) {
    const char* source = NFC_SOURCE("nfcUnregisterListener");
    static constexpr const char* kMissing[] = {"! No RW-listener found", "! No P2P-listener found",
                                               "! No CE-listener found", "! No SE-listener found"};
    static constexpr const char* kFailed[] = {"! Unregistering RW-Listener failed", "! Unregistering P2P-Listener failed",
                                              "! Unregistering CE-Listener failed", "! Unregistering SE-Listener failed"};
    const size_t index = static_cast<size_t>(std::find(std::begin(kModes), std::end(kModes), mode) - std::begin(kModes));
    NfcListenerHandle& slot = m_listeners[index];
    if (!slot || !libraryRunning()) {
        postTrace(traceError, source, "%s", kMissing[index]);
        return nfcStatusOk;
    }
    if (mode == modeRw && m_tagConnected) {
        const NfcApiStatus status = corvaneSymbolTable.nfcDisconnectTag(slot);
        if (status != nfcStatusOk) postTrace(traceWarning, source, "Disconnecting from tag failed (code: %u)", status);
        m_tagConnected = false;
    }
    const NfcApiStatus status = corvaneSymbolTable.nfcUnregisterListener(slot);
    if (status != nfcStatusOk) {
        postTrace(traceError, source, "%s (code: %u)", kFailed[index], status);
        return status;
    }
    slot = nullptr;
    relayListenerSignals(mode, false);
    if (mode == modeRw) m_rwRequestedMask = 0;
    if (mode == modeP2p && m_configuration.contains(QLatin1String(kPn544))) stopSupportListener(source);
    return nfcStatusOk;
}

NfcApiStatus CNfcInstance::nfcUnregisterListener(DWORD modes, DWORD notifyMode) {
    const char* source = NFC_SOURCE("nfcUnregisterListener");
    postTrace(traceInfo, source, "Enter (mode: 0x%08X)", modes);
    NfcApiStatus status = nfcStatusOk;
    for (DWORD mode : kModes) {
        if (!(modes & mode)) continue;
        const NfcApiStatus result = unregisterMode(mode);
        if (result != nfcStatusOk) status = result;
    }
    m_lastStatus = status;
    if (modes == notifyMode) emit signalNfcTechnologyRemoved();
    return exitWith(source);
}

// ---- Controller and tags -----------------------------------------------------------------------

TNfcCapabilities* CNfcInstance::nfcGetCapabilities() {
    const char* source = NFC_SOURCE("nfcGetCapabilities");
    if (!libraryRunning()) {
        postTrace(traceError, source, "! No NFC-application found");
        return nullptr;
    }
    m_capabilities = TNfcCapabilities{};
    const NfcApiStatus status = corvaneSymbolTable.nfcGetCapabilities(m_hApp, &m_capabilities, NFC_CAPABILITIES_SIZE(1));
    if (status != nfcStatusOk || !m_capabilities.controller) {
        postTrace(traceError, source, "! Reading capabilities failed (code: %u)", status);
        m_capabilities = TNfcCapabilities{};
        return nullptr;
    }
    return &m_capabilities;
}

DWORD CNfcInstance::getSupportedTechnologies() const {
    return m_capabilities.controller ? m_capabilities.controller->supportedMask : 0;
}

NfcApiStatus CNfcInstance::nfcCheckPresence() {
    const char* source = NFC_SOURCE("nfcCheckPresence");
    postTrace(traceInfo, source, "Enter");
    if (!m_listeners[0] || !libraryRunning()) return refuse(source, "! No RW-listener found");
    m_lastStatus = corvaneSymbolTable.nfcCheckTag(m_listeners[0]);
    if (m_lastStatus != nfcStatusOk) {
        postTrace(traceError, source, "! Checking presence failed (code: %u)", m_lastStatus);
        emit signalNfcTechnologyRemoved();
    }
    return exitWith(source);
}

NfcApiStatus CNfcInstance::connectTag() {
    const char* source = NFC_SOURCE("connectTag");
    postTrace(traceInfo, source, "Enter");
    if (refusedWithoutApplication(source)) return m_lastStatus;
    // Without a listener the library answers with its handle error.
    if (!m_listeners[0]) postTrace(traceWarning, source, "No RW-listener found");
    m_lastStatus = corvaneSymbolTable.nfcConnectTag(m_listeners[0], 0);
    if (m_lastStatus != nfcStatusOk)
        postTrace(traceError, source, "! Connecting to tag failed (status %u)", m_lastStatus);
    else
        m_tagConnected = true;
    return exitWith(source);
}

NfcApiStatus CNfcInstance::disconnectTag() {
    const char* source = NFC_SOURCE("disconnectTag");
    postTrace(traceInfo, source, "Enter");
    if (refusedWithoutApplication(source)) return m_lastStatus;
    m_lastStatus = corvaneSymbolTable.nfcDisconnectTag(m_listeners[0]);
    if (m_lastStatus != nfcStatusOk)
        postTrace(traceError, source, "! Disconnecting from tag failed (code: %u)", m_lastStatus);
    else
        m_tagConnected = false;
    return exitWith(source);
}

NfcApiStatus CNfcInstance::getTagInfo(DWORD mode, TNfcTagInfo* info) {
    const char* source = NFC_SOURCE("getTagInfo");
    postTrace(traceInfo, source, "Enter (mode: 0x%08X)", mode);
    if (mode != modeRw || !info) {
        m_lastStatus = nfcStatusFailed;
        return exitWith(source);
    }
    if (refusedWithoutApplication(source)) return m_lastStatus;
    m_lastStatus = corvaneSymbolTable.nfcGetTagInfo(m_listeners[0], static_cast<int32_t>(TAG_NDEF), info);
    return exitWith(source);
}

NfcApiStatus CNfcInstance::readNdefTag(CNdefMessage* message) {
    const char* source = NFC_SOURCE("readNdefTag");
    postTrace(traceInfo, source, "Enter");
    if (!message) return refuse(source, "! Invalid data format");
    if (refusedWithoutApplication(source)) return m_lastStatus;
    if (!m_listeners[0]) postTrace(traceWarning, source, "No RW-listener found");
    std::vector<BYTE> buffer(size_t{kNdefReadCapacity} + 1);
    WORD length = kNdefReadCapacity;
    m_lastStatus = corvaneSymbolTable.nfcReadNdefMessage(m_listeners[0], buffer.data(), &length);
    if (m_lastStatus != nfcStatusOk) {
        postTrace(traceError, source, "! Failed to read tag (code: %u)", m_lastStatus);
        return exitWith(source);
    }
    postTrace(traceInfo, source, "%u bytes read, buffer address %p", length, static_cast<void*>(buffer.data()));
    if (length == 0) {
        postTrace(traceWarning, source, "NDEF tag empty");
        return exitWith(source);
    }
    const NdefStatus parsed = message->ndefParseMessage(buffer.data(), length);
    if (parsed != NDEF_OK) {
        postTrace(traceError, source, "! Parsing NDEF message failed (code: %u)", parsed);
        m_lastStatus = nfcStatusFailed;
    }
    return exitWith(source);
}

NfcApiStatus CNfcInstance::writeNdefTag(CNdefMessage* message) {
    const char* source = NFC_SOURCE("writeNdefTag");
    postTrace(traceInfo, source, "Enter");
    if (!message || message->getMessageSize() > 0xFFFF) return refuse(source, "! Invalid data format");
    if (refusedWithoutApplication(source)) return m_lastStatus;
    if (!m_listeners[0]) postTrace(traceWarning, source, "No RW-listener found");
    const uint32_t size = message->getMessageSize();
    m_lastStatus = corvaneSymbolTable.nfcWriteNdefMessage(m_listeners[0], message->getMessageBuffer(),
                                                          static_cast<WORD>(size));
    if (m_lastStatus != nfcStatusOk)
        postTrace(traceError, source, "! Writing NDEF message (size: %u) failed (code: %u)", size, m_lastStatus);
    return exitWith(source);
}

NfcApiStatus CNfcInstance::formatNdef(DWORD size) {
    const char* source = NFC_SOURCE("formatNdef");
    postTrace(traceInfo, source, "Enter (size: %u)", size);
    if (refusedWithoutApplication(source)) return m_lastStatus;
    m_lastStatus = corvaneSymbolTable.nfcFormatNdef(m_listeners[0], size);
    if (m_lastStatus != nfcStatusOk) postTrace(traceError, source, "! Failed to format tag (code: %u)", m_lastStatus);
    return exitWith(source);
}

NfcApiStatus CNfcInstance::formatLegacy() {
    const char* source = NFC_SOURCE("formatLegacy");
    postTrace(traceInfo, source, "Enter");
    if (refusedWithoutApplication(source)) return m_lastStatus;
    m_lastStatus = corvaneSymbolTable.nfcFormat(m_listeners[0], 0, 0);
    if (m_lastStatus != nfcStatusOk) postTrace(traceError, source, "! Failed to format tag (code: %u)", m_lastStatus);
    return exitWith(source);
}

NfcApiStatus CNfcInstance::format(DWORD type, DWORD size) {
    const char* source = NFC_SOURCE("format");
    postTrace(traceInfo, source, "Enter (type: %u, size: %u)", type, size);
    if (!m_listeners[0]) postTrace(traceWarning, source, "No RW-listener found");
    if (!m_tagConnected) postTrace(traceWarning, source, "No tag connected");
    const DWORD tagType = m_technologyType;
    if (type == 1) {
        if (!(tagType & (kFormatNdefBits | kFormatBothBits)))
            return refuse(source, "! Formatting of this tag type is not supported");
        postTrace(traceInfo, source, "Starting NDEF format");
        formatNdef(size);
    } else if (type == 2) {
        if (!(tagType & (kFormatLegacyBits | kFormatBothBits)))
            return refuse(source, "! Formatting type A, B, and 2 is not supported");
        postTrace(traceInfo, source, "Formatting legacy (mask: 0x%08X)", tagType);
        formatLegacy();
    } else {
        return refuse(source, "! Formatting failed due to unknown format type request");
    }
    return exitWith(source);
}

NfcApiStatus CNfcInstance::legacyExchangePdu(const QString& hexText) {
    const char* source = NFC_SOURCE("legacyExchangePdu");
    postTrace(traceInfo, source, "Enter");
    const QString digits = hexDigits(hexText);
    if (digits.isEmpty()) return refuse(source, "! No data found to send");
    const std::unique_ptr<QByteArray> command = parseHex(digits, kMaxExchangeDigits);
    if (!command) return refuse(source, "! Invalid data format");
    if (refusedWithoutApplication(source)) return m_lastStatus;
    WORD length = kAnswerCapacity;
    m_lastStatus = corvaneSymbolTable.nfcExchangePdu(m_listeners[0], bytesOf(*command),
                                                     static_cast<WORD>(command->size()), m_answer, &length);
    if (m_lastStatus != nfcStatusOk) {
        postTrace(traceError, source, "! Exchanging PDU failed (code: %u)", m_lastStatus);
        return exitWith(source);
    }
    emit signalLegacyMessage(formatPduExchange(bytesOf(*command), static_cast<size_t>(command->size()), m_answer,
                                               std::min<size_t>(length, kAnswerCapacity)));
    return exitWith(source);
}

// ---- MIFARE Classic ------------------------------------------------------------------------------

NfcApiStatus CNfcInstance::exchangePdu(const BYTE* command, WORD length, WORD capacity, WORD* answerLength) {
    *answerLength = capacity;
    if (!libraryRunning()) {
        *answerLength = 0;
        return m_lastStatus = nfcStatusFailed;
    }
    m_lastStatus = corvaneSymbolTable.nfcExchangePdu(m_listeners[0], command, length, m_answer, answerLength);
    if (m_lastStatus != nfcStatusOk)
        postTrace(traceError, NFC_SOURCE("exchangePdu"), "! Transceiving PDU failed (status: %u)", m_lastStatus);
    *answerLength = std::min(*answerLength, capacity);
    return m_lastStatus;
}

NfcApiStatus CNfcInstance::mfAuthenticate(BYTE type, DWORD sector, const QString& keyText) {
    const char* source = NFC_SOURCE("mfAuthenticate");
    postTrace(traceInfo, source, "Enter (type: %X, sector: %u, key: %s)", type, sector, qPrintable(keyText));
    const std::unique_ptr<QByteArray> key = parseHex(keyText, 2 * kMifareKeySize);
    if ((type != kKeyA && type != kKeyB) || sector > kMifareLastSector || !key ||
        static_cast<size_t>(key->size()) != kMifareKeySize)
        return refuse(source, "! Invalid data format");
    BYTE command[2 + kMifareUidBytes + kMifareKeySize] = {};
    command[0] = type == kKeyA ? kMifareAuthenticateA : kMifareAuthenticateB;
    command[1] = static_cast<BYTE>(firstMifareBlock(sector));
    std::memcpy(command + 2, m_tagIdentifier.constData(),
                std::min<size_t>(kMifareUidBytes, static_cast<size_t>(m_tagIdentifier.size())));
    std::memcpy(command + 2 + kMifareUidBytes, key->constData(), kMifareKeySize);
    WORD answerLength = 0;
    exchangePdu(command, sizeof command, kAuthenticateAnswerCapacity, &answerLength);
    const bool success = m_lastStatus == nfcStatusOk;
    if (!success) postTrace(traceError, source, "! Authentication failed (code: %u)", m_lastStatus);
    emit signalMfMessage(QStringLiteral("Authentication sector %1 key").arg(sector) +
                         QStringLiteral(" %1:").arg(type, 0, 16).toUpper() +
                         (success ? QStringLiteral(" Success") : QStringLiteral(" Fail")) +
                         QStringLiteral("\nTransmitted PDU size: %1 bytes:\n").arg(sizeof command) +
                         bytesToHexDump(command, sizeof command));
    return exitWith(source);
}

// Reads one block into m_answer: true for status 0 with the 16 bytes of a block.
bool CNfcInstance::readMifareBlock(DWORD block, WORD* answerLength) {
    const BYTE command[] = {kMifareRead, static_cast<BYTE>(block)};
    exchangePdu(command, sizeof command, kMifareBlockSize, answerLength);
    if (m_lastStatus == nfcStatusOk && *answerLength == kMifareBlockSize) return true;
    postTrace(traceError, NFC_SOURCE("mfReadBlock"), "! Reading block %u failed (code: %u)", block, m_lastStatus);
    // An answer of the wrong length is a failed read, whatever the exchange said.
    if (m_lastStatus == nfcStatusOk) m_lastStatus = nfcStatusFailed;
    return false;
}

NfcApiStatus CNfcInstance::mfReadBlock(DWORD block) {
    const char* source = NFC_SOURCE("mfReadBlock");
    postTrace(traceInfo, source, "Enter (block: %u)", block);
    if (block > kMifareLastBlock) return refuse(source, "! Invalid data format");
    WORD answerLength = 0;
    const bool success = readMifareBlock(block, &answerLength);
    emit signalMfMessage(QStringLiteral("Read block %1:").arg(block) +
                         (success ? QStringLiteral(" Success") : QStringLiteral(" Fail")) + QLatin1Char('\n'));
    const BYTE command[] = {kMifareRead, static_cast<BYTE>(block)};
    emit signalMfMessage(formatPduExchange(command, sizeof command, m_answer, answerLength));
    return exitWith(source);
}

NfcApiStatus CNfcInstance::mfReadSector(DWORD sector) {
    const char* source = NFC_SOURCE("mfReadSector");
    postTrace(traceInfo, source, "Enter (sector: %u)", sector);
    if (sector > kMifareLastSector) return refuse(source, "! Invalid data format");
    const QString placeholder = QStringLiteral("status placeholder");
    QString log = QStringLiteral("Read sector %1: ").arg(sector) + placeholder + QLatin1Char('\n');
    const DWORD first = firstMifareBlock(sector);
    const DWORD count = sector < 32 ? 4 : 16;
    m_lastStatus = nfcStatusOk;
    for (DWORD block = first; block < first + count; ++block) {
        WORD answerLength = 0;
        if (!readMifareBlock(block, &answerLength)) {
            log.replace(placeholder, QStringLiteral("Fail"));
            log += QStringLiteral("\nFailed to read block %1").arg(block);
            break;
        }
        log += QStringLiteral("Block %1 data (hex):\n").arg(block) + bytesToHexDump(m_answer, kMifareBlockSize);
    }
    if (log.endsWith(QLatin1Char('\n'))) log.chop(1);   // never a digit of the failed block's number
    if (m_lastStatus == nfcStatusOk) log.replace(placeholder, QStringLiteral("Success"));
    emit signalMfMessage(log);
    return exitWith(source);
}

NfcApiStatus CNfcInstance::mfWriteBlock(DWORD block, const QString& hexData) {
    const char* source = NFC_SOURCE("mfWriteBlock");
    postTrace(traceInfo, source, "Enter (block: %u)", block);
    const std::unique_ptr<QByteArray> data = parseHex(hexData, 2 * kMifareBlockSize);
    if (block > kMifareLastBlock || !data || static_cast<size_t>(data->size()) != kMifareBlockSize)
        return refuse(source, "! Invalid data format");
    BYTE command[2 + kMifareBlockSize] = {kMifareWrite, static_cast<BYTE>(block)};
    std::memcpy(command + 2, data->constData(), kMifareBlockSize);
    WORD answerLength = 0;
    exchangePdu(command, sizeof command, kMifareBlockSize, &answerLength);
    // A controller that carries the card's frames as they are passes its NAK on as an answer:
    // only the card's ACK tells that the block was written.
    if (m_lastStatus == nfcStatusOk && (answerLength != 1 || (m_answer[0] & kMifareAckMask) != kMifareAck))
        m_lastStatus = nfcStatusFailed;
    const bool success = m_lastStatus == nfcStatusOk;
    if (!success) postTrace(traceError, source, "! Writing block %u failed (code: %u)", block, m_lastStatus);
    emit signalMfMessage(QStringLiteral("Write block %1:").arg(block) +
                         (success ? QStringLiteral(" Success") : QStringLiteral(" Fail")) +
                         QStringLiteral("\nTransmitted PDU size: %1 bytes\n").arg(sizeof command) +
                         QStringLiteral("Transmitted PDU data (hex):\n") + bytesToHexDump(command, sizeof command));
    return exitWith(source);
}

// ---- P2P -----------------------------------------------------------------------------------------

NfcApiStatus CNfcInstance::p2pStartListener(BYTE sap, WORD window, WORD miu) {
    const char* source = NFC_SOURCE("p2pStartListener");
    postTrace(traceInfo, source, "Enter (sap: %u, window: %u, miu: %u)", sap, window, miu);
    P2pBlock* block = blockBySap(m_p2pListeners, sap);
    if (!block) {
        postTrace(traceError, source, "! Unknown SAP");
        postTrace(traceError, source, "! No instance to the requested SAP found (sap: %u)", sap);
        m_lastStatus = nfcStatusFailed;
        return exitWith(source);
    }
    if (refusedWithoutApplication(source)) return m_lastStatus;
    m_lastStatus = corvaneSymbolTable.nfcP2PListenRequest(m_hApp, block, &CNfcInstance::nfcEventCallback, 1, window,
                                                          miu, sap, nullptr, &block->link);
    if (m_lastStatus != nfcStatusOk) {
        postTrace(traceError, source, "! Setting up P2P server failed (code: %u)", m_lastStatus);
        block->link = nullptr;
    }
    postTrace(traceInfo, source, "Exit (status: %u, connection: %p)", m_lastStatus, static_cast<void*>(block->link));
    return m_lastStatus;
}

NfcApiStatus CNfcInstance::p2pConnect(BYTE sap, WORD window, WORD miu) {
    const char* source = NFC_SOURCE("p2pConnect");
    postTrace(traceInfo, source, "Enter (sap: %u, window: %u, miu: %u)", sap, window, miu);
    P2pBlock* block = blockBySap(m_p2pClients, sap);
    if (!block) {
        postTrace(traceError, source, "! Unknown SAP");
        postTrace(traceError, source, "! No instance to the requested SAP found (sap: %u)", sap);
        m_lastStatus = nfcStatusFailed;
        return exitWith(source);
    }
    if (refusedWithoutApplication(source)) return m_lastStatus;
    if (!m_listeners[1]) return refuse(source, "! No P2P-Listener found");
    m_lastStatus = corvaneSymbolTable.nfcP2PConnectRequest(m_listeners[1], block, &CNfcInstance::nfcEventCallback,
                                                           window, miu, sap, nullptr, &block->link);
    if (m_lastStatus != nfcStatusOk) {
        postTrace(traceError, source, "! Connecting to P2P server failed (code: %u)", m_lastStatus);
        block->link = nullptr;
    }
    return exitWith(source);
}

P2pLinkHandle CNfcInstance::clientConnection(BYTE sap) const {
    for (const P2pBlock& block : m_p2pClients)
        if (block.sap == sap) return block.link;
    return nullptr;
}

NfcApiStatus CNfcInstance::p2pSend(const char* source, BYTE sap, BYTE* buffer, WORD size) {
    // The client's connection of the SAP, else the connection its listener accepted.
    P2pBlock* client = blockBySap(m_p2pClients, sap);
    P2pBlock* listener = blockBySap(m_p2pListeners, sap);
    P2pBlock* block = client && client->link ? client : listener && listener->connection ? listener : nullptr;
    if (!block || !libraryRunning()) {
        delete[] buffer;
        return refuse(source, "! No Connection found");
    }
    m_lastStatus = corvaneSymbolTable.nfcP2PDataRequest(isClient(*block) ? block->link : block->connection, buffer,
                                                        size);
    if (m_lastStatus != nfcStatusOk) {
        postTrace(traceError, source, "! Transmittting data failed");
        delete[] buffer;
        return exitWith(source);
    }
    block->sending.push_back(PendingSend{buffer, size});
    return exitWith(source);
}

NfcApiStatus CNfcInstance::p2pTransmit(BYTE sap, WORD size) {
    const char* source = NFC_SOURCE("p2pTransmit");
    postTrace(traceInfo, source, "Enter (sap: %u, size: %u)", sap, size);
    BYTE* buffer = new (std::nothrow) BYTE[size ? size : 1];
    if (!buffer) {
        m_lastStatus = nfcStatusNoResources;
        return exitWith(source);
    }
    for (WORD i = 0; i < size; ++i) buffer[i] = static_cast<BYTE>(i);
    return p2pSend(source, sap, buffer, size);
}

NfcApiStatus CNfcInstance::p2pTransmit(BYTE sap, const BYTE* data, WORD size) {
    const char* source = NFC_SOURCE("p2pTransmit");
    postTrace(traceInfo, source, "Enter (sap: %u, size: %u)", sap, size);
    if (!data && size) return refuse(source, "! Invalid data format");
    // A copy of our own: the caller's bytes (an echoed indication) may not outlive this call.
    BYTE* buffer = new (std::nothrow) BYTE[size ? size : 1];
    if (!buffer) {
        m_lastStatus = nfcStatusNoResources;
        return exitWith(source);
    }
    if (size) std::memcpy(buffer, data, size);
    return p2pSend(source, sap, buffer, size);
}

void CNfcInstance::retireSends(P2pBlock& block) {
    m_retiredSends.insert(m_retiredSends.end(), block.sending.begin(), block.sending.end());
    block.sending.clear();
}

void CNfcInstance::freePendingSends() {
    for (P2pBlock* blocks : {m_p2pListeners, m_p2pClients})
        for (int i = 0; i < 2; ++i) retireSends(blocks[i]);
    for (const PendingSend& send : m_retiredSends) delete[] send.buffer;
    m_retiredSends.clear();
}

void CNfcInstance::handleP2pDataTransmitted(TP2pConnection connection) {
    const char* source = NFC_SOURCE("handleP2pDataTransmitted");
    postTrace(traceInfo, source, "Enter");
    // The report names no buffer, only its link: the oldest send of that link is through. A
    // report without a send of ours (another application's socket) goes on unchanged.
    BYTE* buffer = nullptr;
    P2pBlock* block = blockOf(connection);
    if (block && !block->sending.empty()) {
        const PendingSend send = block->sending.front();
        block->sending.pop_front();
        buffer = send.buffer;
        connection.data.data = send.buffer;
        connection.data.length = send.length;
        connection.data.sourceSap = block->sap;
    }
    auto* copy = isSignalConnected(QMetaMethod::fromSignal(&CNfcInstance::signalP2pDataSent))
                     ? new (std::nothrow) TP2pConnection(connection)
                     : nullptr;
    if (copy)
        emit signalP2pDataSent(copy);   // its receiver deletes the record and the buffer
    else
        delete[] buffer;
    postTrace(traceInfo, source, "Exit");
}

NfcApiStatus CNfcInstance::p2pSendConnectResponse(TP2pConnection* connection) {
    const char* source = NFC_SOURCE("p2pSendConnectResponse");
    postTrace(traceInfo, source, "Enter");
    if (!connection || !connection->newConnection) return refuse(source, "! No Connection found");
    if (refusedWithoutApplication(source)) return m_lastStatus;
    m_lastStatus = corvaneSymbolTable.nfcP2PConnectResponse(connection->newConnection, blockOf(*connection),
                                                            &CNfcInstance::nfcEventCallback);
    if (m_lastStatus != nfcStatusOk)
        postTrace(traceError, source, "! Responding to P2P connect failed (code: %u)", m_lastStatus);
    return exitWith(source);
}

NfcApiStatus CNfcInstance::p2pSendDataResponse(TP2pConnection* connection) {
    const char* source = NFC_SOURCE("p2pSendDataResponse");
    postTrace(traceInfo, source, "Enter");
    // The indication's block: a listener's accepted connection, or a client's own link.
    const P2pBlock* block = connection ? blockOf(*connection) : nullptr;
    const P2pLinkHandle link = !block ? nullptr : isClient(*block) ? block->link : block->connection;
    if (!link) return refuse(source, "! No Connection found");
    if (refusedWithoutApplication(source)) return m_lastStatus;
    m_lastStatus = corvaneSymbolTable.nfcP2PDataResponse(link);
    if (m_lastStatus != nfcStatusOk)
        postTrace(traceError, source, "! Responding to P2P data failed (code: %u)", m_lastStatus);
    return exitWith(source);
}

// ---- SNEP, NPP, handover -------------------------------------------------------------------------

NfcApiStatus CNfcInstance::snepStartServer(WORD miu, const QString& serviceName, BYTE sap) {
    const char* source = NFC_SOURCE("snepStartServer");
    postTrace(traceInfo, source, "Enter (miu: %u, sap: %u)", miu, sap);
    if (m_snepServer) return refuse(source, "! A SNEP server is already started");
    if (serviceName.size() > kMaxServiceName) return refuse(source, "! Invalid data format");
    if (refusedWithoutApplication(source)) return m_lastStatus;
    m_snepServiceName = serviceName.isEmpty() ? QByteArray(kSnepServiceName) : serviceName.toLatin1();
    if (serviceName.isEmpty()) sap = kSnepSap;
    const NfcApiStatus status =
        corvaneSymbolTable.snepStartServer(&m_snepServer, m_hApp, m_snepServiceName.constData(), sap, miu, this,
                                           &CNfcInstance::snepServerCallback);
    m_lastStatus = nfcStatusOk;
    if (status != nfcStatusOk) {
        postTrace(traceError, source, "! Starting SNEP server failed (code: %u)", status);
        m_snepServer = nullptr;
        m_lastStatus = nfcStatusFailed;
    }
    return exitWith(source);
}

NfcApiStatus CNfcInstance::snepStopServer() {
    const char* source = NFC_SOURCE("snepStopServer");
    postTrace(traceInfo, source, "Enter");
    m_lastStatus = nfcStatusOk;
    if (!m_snepServer || m_snepServerStopping || !libraryRunning()) return exitWith(source);
    // The server reports its end; its handle is released afterwards.
    const NfcApiStatus status = corvaneSymbolTable.snepStopServer(m_snepServer);
    if (status != nfcStatusOk) {
        postTrace(traceError, source, "! Stopping SNEP server failed (code: %u)", status);
        m_lastStatus = nfcStatusFailed;
    } else {
        m_snepServerStopping = true;
        postTrace(traceInfo, source, "SNEP server stopped");
    }
    return exitWith(source);
}

NfcApiStatus CNfcInstance::snepReleaseServer() {
    const char* source = NFC_SOURCE("snepReleaseServer");
    postTrace(traceInfo, source, "Enter");
    m_lastStatus = nfcStatusOk;
    if (!m_snepServer || !libraryRunning()) return exitWith(source);
    const NfcApiStatus status = corvaneSymbolTable.snepReleaseServer(m_snepServer);
    if (status != nfcStatusOk) {
        postTrace(traceError, source, "! Release from SNEP server failed (code: %u)", status);
        m_lastStatus = nfcStatusFailed;
    }
    m_snepServer = nullptr;
    m_snepServerStopping = false;
    return exitWith(source);
}

NfcApiStatus CNfcInstance::snepConnect(WORD miu) {
    const char* source = NFC_SOURCE("snepConnect");
    postTrace(traceInfo, source, "Enter (miu: %u)", miu);
    if (refusedWithoutApplication(source)) return m_lastStatus;
    if (!m_listeners[1]) return refuse(source, "! No P2P-Listener found");
    if (m_snepClient) {
        postTrace(traceWarning, source, "Client already connected to SNEP server (%p)", static_cast<void*>(m_snepClient));
        m_lastStatus = nfcStatusOk;
        return exitWith(source);
    }
    m_snepMiu = miu;
    const NfcApiStatus status = corvaneSymbolTable.snepConnect(&m_snepClient, m_listeners[1], kSnepServiceName,
                                                               kSnepSap, miu, this, &CNfcInstance::snepClientCallback,
                                                               true);
    // An asynchronous connection is pending until the client reports itself connected.
    m_lastStatus = status == nfcStatusPending ? NfcApiStatus{nfcStatusOk} : status;
    if (m_lastStatus != nfcStatusOk) {
        postTrace(traceError, source, "! Connecting to SNEP server failed (code: %u)", status);
        m_snepClient = nullptr;
    } else {
        m_snepClientState = status == nfcStatusPending ? SnepClientState::Connecting : SnepClientState::Ready;
    }
    postTrace(traceInfo, source, "Exit (handle: %p, status: %u)", static_cast<void*>(m_snepClient), m_lastStatus);
    return m_lastStatus;
}

NfcApiStatus CNfcInstance::snepDisconnect() {
    const char* source = NFC_SOURCE("snepDisconnect");
    postTrace(traceInfo, source, "Enter");
    m_lastStatus = nfcStatusOk;
    if (m_snepClient && libraryRunning()) {
        const NfcApiStatus status = corvaneSymbolTable.snepDisconnect(m_snepClient);
        // The end is reported: the client is released then.
        if (status == nfcStatusPending) {
            m_snepClientState = SnepClientState::Ending;
        } else {
            m_lastStatus = status;
            if (status != nfcStatusOk)
                postTrace(traceError, source, "! Disconnecting from SNEP server failed (code: %u)", status);
        }
    }
    return exitWith(source);
}

NfcApiStatus CNfcInstance::snepReleaseClient() {
    const char* source = NFC_SOURCE("snepReleaseClient");
    postTrace(traceInfo, source, "Enter");
    const bool held = m_snepClient != nullptr;
    m_lastStatus = nfcStatusOk;
    if (held && libraryRunning()) {
        const NfcApiStatus status = corvaneSymbolTable.snepReleaseClient(m_snepClient);
        if (status != nfcStatusOk) {
            postTrace(traceError, source, "! Release from SNEP client failed (code: %u)", status);
            m_lastStatus = nfcStatusFailed;
        }
    }
    m_snepClient = nullptr;
    m_snepClientState = SnepClientState::None;
    return exitWith(source);
}

// The message waits for its turn: a connection is opened when none is, a ready one sends at once,
// and one that is busy or ending takes it when it is through.
NfcApiStatus CNfcInstance::snepTransmit(CNdefMessage* message, WORD miu) {
    const char* source = NFC_SOURCE("snepTransmit");
    postTrace(traceInfo, source, "Enter (miu: %u)", miu);
    if (!message || !message->getMessageBuffer() || message->getMessageSize() == 0)
        return refuse(source, "! Allocating buffer failed");
    if (!m_snepPending.empty()) postTrace(traceWarning, source, "TX data already available, sending it first");
    m_snepPending.emplace_back(reinterpret_cast<const char*>(message->getMessageBuffer()),
                               static_cast<qsizetype>(message->getMessageSize()));
    relay(true, &CNfcInstance::signalSnepConnected, &CNfcInstance::handleSnepConnected);
    relay(true, &CNfcInstance::signalSnepDisconnected, &CNfcInstance::handleSnepDisconnect);
    if (m_snepClientState == SnepClientState::None) {
        const NfcApiStatus connected = snepConnect(miu);
        if (connected != nfcStatusOk) m_snepPending.pop_back();
        if (connected != nfcStatusOk || m_snepClientState != SnepClientState::Ready) return connected;
    }
    if (m_snepClientState == SnepClientState::Ready) return snepPut();
    m_lastStatus = nfcStatusOk;
    return exitWith(source);
}

void CNfcInstance::handleSnepConnected() {
    const char* source = NFC_SOURCE("handleSnepConnected");
    postTrace(traceInfo, source, "Enter");
    if (m_snepClientState == SnepClientState::Ready) snepPut();
    postTrace(traceInfo, source, "Exit");
}

// The library's client sends asynchronously: 17 means the PUT has started, and its end is
// reported (34 or 35), which puts the next message or ends the connection.
NfcApiStatus CNfcInstance::snepPut() {
    const char* source = NFC_SOURCE("snepPut");
    const QByteArray pending = m_snepPending.empty() ? QByteArray() : m_snepPending.front();
    postTrace(traceInfo, source, "Enter (size: %u)", static_cast<unsigned>(pending.size()));
    if (!m_snepClient || pending.isEmpty() || m_snepClientState != SnepClientState::Ready || !libraryRunning())
        return refuse(source, "! No Connection found");
    m_snepPending.pop_front();
    const NfcApiStatus status =
        corvaneSymbolTable.snepPut(m_snepClient, bytesOf(pending), static_cast<DWORD>(pending.size()));
    m_lastStatus = status == nfcStatusPending ? NfcApiStatus{nfcStatusOk} : status;
    if (status == nfcStatusPending || status == nfcStatusOk) {
        m_snepClientState = SnepClientState::Putting;
        if (status == nfcStatusOk) {   // done already: no end is reported
            emit signalSnepEnded(kSnepClientRole, true);
            snepPutEnded(true);
        }
    } else {
        postTrace(traceError, source, "! PUT to SNEP server failed (code: %u)", status);
        emit signalSnepEnded(kSnepClientRole, false);
        endSnepClient();
    }
    return exitWith(source);
}

NfcApiStatus CNfcInstance::nppStartServer() {
    const char* source = NFC_SOURCE("nppStartServer");
    postTrace(traceInfo, source, "Enter");
    if (m_nppServer) return refuse(source, "! A NPP server is already started");
    if (refusedWithoutApplication(source)) return m_lastStatus;
    const DWORD status =
        corvaneSymbolTable.nppStartServer(&m_nppServer, m_hApp, nullptr, this, &CNfcInstance::nppServerCallback);
    m_lastStatus = nfcStatusOk;
    if (status != nppOk) {
        postTrace(traceError, source, "! Starting NPP server failed (code: %u)", status);
        m_nppServer = nullptr;
        m_lastStatus = nfcStatusFailed;
    }
    return exitWith(source);
}

NfcApiStatus CNfcInstance::nppStopServer() {
    const char* source = NFC_SOURCE("nppStopServer");
    postTrace(traceInfo, source, "Enter");
    m_lastStatus = nfcStatusOk;
    if (!m_nppServer || !libraryRunning()) return exitWith(source);
    const DWORD status = corvaneSymbolTable.nppStopServer(m_nppServer);
    m_nppServer = nullptr;
    if (status != nppOk) {
        postTrace(traceError, source, "! Closing NPP server failed (code: %u)", status);
        m_lastStatus = nfcStatusFailed;
    } else {
        postTrace(traceInfo, source, "NPP server closed");
    }
    return exitWith(source);
}

NfcApiStatus CNfcInstance::handoverStopServer() {
    const char* source = NFC_SOURCE("handoverStopServer");
    postTrace(traceInfo, source, "Enter");
    // The test bench never opens a handover server: there is nothing to release.
    m_lastStatus = nfcStatusOk;
    return exitWith(source);
}

// ---- Secure elements and I/O control -------------------------------------------------------------

NfcApiStatus CNfcInstance::refreshSecureElements(const char* source) {
    m_secureElementCount = 0;
    const NfcApiStatus status = corvaneSymbolTable.nfcSecureGetList(m_hApp, this, &CNfcInstance::seListCallback);
    if (status != nfcStatusOk) postTrace(traceError, source, "! Registering secure elemtents failed (code: %u)", status);
    return status;
}

int CNfcInstance::secureElementIndex(BYTE seId) const {
    for (int i = 0; i < m_secureElementCount; ++i)
        if (m_secureElements[i].id == seId) return i;
    return -1;
}

NfcApiStatus CNfcInstance::seSetMode(const char* source, BYTE slot, DWORD mode) {
    postTrace(traceInfo, source, "Enter (slot: %u)", slot);
    if (refusedWithoutApplication(source)) return m_lastStatus;
    m_lastStatus = refreshSecureElements(source);
    if (m_lastStatus != nfcStatusOk) return exitWith(source);
    if (slot >= m_secureElementCount) {
        postTrace(traceError, source, "! Requested secure element not found (slot: %u)", slot);
        m_lastStatus = nfcStatusFailed;
        return exitWith(source);
    }
    const NfcSecureHandle handle = m_secureElements[slot].handle;
    if (mode) postTrace(traceInfo, source, "Starting SE (slot: %u, handle: 0x%08X)", slot, handle);
    m_lastStatus = corvaneSymbolTable.nfcSecureSetMode(m_hApp, handle, mode);
    if (m_lastStatus != nfcStatusOk)
        postTrace(traceError, source, "! Setting mode (%u) for SE (slot: %u) failed", mode, slot);
    return exitWith(source);
}

NfcApiStatus CNfcInstance::seStart(BYTE slot) { return seSetMode(NFC_SOURCE("seStart"), slot, NFC_SE_MODE_VIRTUAL); }

NfcApiStatus CNfcInstance::seStop(BYTE slot) { return seSetMode(NFC_SOURCE("seStop"), slot, 0); }

const TNfcInfoSE* CNfcInstance::getSecureElementById(BYTE seId) {
    const char* source = NFC_SOURCE("getSecureElementById");
    if (!libraryRunning() || refreshSecureElements(source) != nfcStatusOk) return nullptr;
    const int index = secureElementIndex(seId);
    return index < 0 ? nullptr : &m_secureElements[index];
}

NfcApiStatus CNfcInstance::seOpenEse(BYTE seId) {
    const char* source = NFC_SOURCE("seOpenEse");
    postTrace(traceInfo, source, "Enter (id: %u)", seId);
    if (refusedWithoutApplication(source)) return m_lastStatus;
    m_lastStatus = refreshSecureElements(source);
    if (m_lastStatus != nfcStatusOk) return exitWith(source);
    const int index = secureElementIndex(seId);
    if (index < 0) {
        postTrace(traceError, source, "! Requested secure element not found (%u)", seId);
        m_lastStatus = nfcStatusFailed;
        return exitWith(source);
    }
    const BYTE selector = m_secureElements[index].id;
    WORD answerLength = kAnswerCapacity;
    m_lastStatus = corvaneSymbolTable.nfcDeviceIoControl(m_hApp, kIoControlSelectSe, &selector, 1, m_answer,
                                                         &answerLength);
    if (m_lastStatus == nfcStatusOk)
        m_lastStatus = corvaneSymbolTable.nfcSecureOpen(m_hApp, m_secureElements[index].handle, &m_seConnections[index]);
    if (m_lastStatus != nfcStatusOk) {
        postTrace(traceError, source, "! Opening access to secure element failed (code: %u)", m_lastStatus);
        m_seConnections[index] = nullptr;
    } else {
        postTrace(traceInfo, source, "Opening access to secure element successful");
    }
    return exitWith(source);
}

NfcApiStatus CNfcInstance::seCloseEse(BYTE seId) {
    const char* source = NFC_SOURCE("seCloseEse");
    postTrace(traceInfo, source, "Enter (id: %u)", seId);
    const int index = secureElementIndex(seId);
    if (index < 0 || !m_seConnections[index] || !libraryRunning()) return refuse(source, "! SE connection not found");
    m_lastStatus = corvaneSymbolTable.nfcSecureClose(m_seConnections[index]);
    m_seConnections[index] = nullptr;
    if (m_lastStatus != nfcStatusOk)
        postTrace(traceError, source, "! Closing access to secure element failed (code: %u)", m_lastStatus);
    else
        postTrace(traceInfo, source, "Closing access to secure element successful");
    return exitWith(source);
}

// One exchange with a secure element; a successful one is logged. The answer lands in m_answer.
NfcApiStatus CNfcInstance::seExchange(const char* source, NfcSecureConnectionHandle connection,
                                      const QByteArray& apdu, QByteArray* answer) {
    WORD length = kAnswerCapacity;
    m_lastStatus = corvaneSymbolTable.nfcSecureExchangePdu(connection, bytesOf(apdu), static_cast<WORD>(apdu.size()),
                                                           m_answer, &length);
    length = std::min(length, kAnswerCapacity);
    if (m_lastStatus != nfcStatusOk) {
        postTrace(traceError, source, "! Exchanging PDU failed (code: %u)", m_lastStatus);
        return m_lastStatus;
    }
    *answer = QByteArray(reinterpret_cast<const char*>(m_answer), length);
    emit signalSeMessage(formatPduExchange(bytesOf(apdu), static_cast<size_t>(apdu.size()), m_answer, length));
    return m_lastStatus;
}

NfcApiStatus CNfcInstance::seEchoTest(BYTE seId) {
    const char* source = NFC_SOURCE("seEchoTest");
    postTrace(traceInfo, source, "Enter (id: %u)", seId);
    const int index = secureElementIndex(seId);
    if (index < 0 || !m_seConnections[index] || !libraryRunning()) return refuse(source, "! SE connection not found");
    const NfcSecureConnectionHandle connection = m_seConnections[index];
    QByteArray answer;
    const auto asBytes = [](const BYTE* bytes, size_t count) {
        return QByteArray(reinterpret_cast<const char*>(bytes), static_cast<qsizetype>(count));
    };
    seExchange(source, connection, asBytes(kEchoFreeCommand, sizeof kEchoFreeCommand), &answer);
    if (seExchange(source, connection, asBytes(kEchoSelect, sizeof kEchoSelect), &answer) != nfcStatusOk)
        return exitWith(source);
    if (!is7816Success(bytesOf(answer), static_cast<WORD>(answer.size()))) {
        postTrace(traceError, NFC_SOURCE("is7816Success"), "! 7816 exchange failed");
        return exitWith(source);
    }
    for (BYTE n = kEchoFirstLength; n <= kEchoLastLength; ++n) {
        QByteArray command = asBytes(kEchoHeader, sizeof kEchoHeader);
        command.append(static_cast<char>(n));
        for (BYTE i = 0; i < n; ++i) command.append(static_cast<char>(i));
        seExchange(source, connection, command, &answer);
    }
    return exitWith(source);
}

NfcApiStatus CNfcInstance::seExchangePdu(BYTE seId, const QString& hexText) {
    const char* source = NFC_SOURCE("seExchangePdu");
    postTrace(traceInfo, source, "Enter (id: %u)", seId);
    const std::unique_ptr<QByteArray> apdu = parseHex(hexDigits(hexText), kMaxExchangeDigits);
    if (!apdu) return refuse(source, "! Invalid data format");
    const int index = secureElementIndex(seId);
    if (index < 0 || !m_seConnections[index] || !libraryRunning()) {
        postTrace(traceWarning, source, "No connection found");
        m_lastStatus = nfcStatusFailed;
        return exitWith(source);
    }
    QByteArray answer;
    seExchange(source, m_seConnections[index], *apdu, &answer);
    return exitWith(source);
}

NfcApiStatus CNfcInstance::seAddRoutingEntry(const TNfcRoutingEntry* entries, DWORD count) {
    const char* source = NFC_SOURCE("seAddRoutingEntry");
    postTrace(traceInfo, source, "Enter (count: %u)", count);
    if (refusedWithoutApplication(source)) return m_lastStatus;
    m_lastStatus = corvaneSymbolTable.nfcSecureAddRoutingEntries(m_hApp, entries, count);
    if (m_lastStatus != nfcStatusOk)
        postTrace(traceError, source, "! Failed to add routing entry (code: %u)", m_lastStatus);
    return exitWith(source);
}

NfcApiStatus CNfcInstance::ioControl(const QString& hexText, DWORD code) {
    const char* source = NFC_SOURCE("ioControl");
    postTrace(traceInfo, source, "Enter (code: 0x%08X)", code);
    const std::unique_ptr<QByteArray> input = parseHex(hexDigits(hexText), kMaxIoControlDigits);
    if (!input) return refuse(source, "! Invalid data format");
    if (refusedWithoutApplication(source)) return m_lastStatus;
    WORD length = kAnswerCapacity;
    m_lastStatus = corvaneSymbolTable.nfcDeviceIoControl(m_hApp, code, bytesOf(*input),
                                                         static_cast<WORD>(input->size()), m_answer, &length);
    if (m_lastStatus != nfcStatusOk) {
        postTrace(traceError, source, "! Exchanging PDU failed (code: %u)", m_lastStatus);
        return exitWith(source);
    }
    emit signalIoMessage(formatPduExchange(bytesOf(*input), static_cast<size_t>(input->size()), m_answer,
                                           std::min(length, kAnswerCapacity)));
    return exitWith(source);
}

NfcApiStatus CNfcInstance::deviceIoControl(DWORD code, const BYTE* input, WORD inputLength, BYTE* output,
                                           WORD* outputLength) {
    const char* source = NFC_SOURCE("deviceIoControl");
    postTrace(traceInfo, source, "Enter (code: 0x%08X)", code);
    if (refusedWithoutApplication(source)) return m_lastStatus;
    m_lastStatus = corvaneSymbolTable.nfcDeviceIoControl(m_hApp, code, input, inputLength, output, outputLength);
    return exitWith(source);
}
