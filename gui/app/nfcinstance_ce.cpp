// Host card emulation: the instance holds the emulated cards' content and answers each command
// that an external reader sends with nfcTransmitPdu.
#include "convert.h"
#include "corvanebinding.h"
#include "ndefmessage.h"
#include "nfcinstance.h"

namespace {

#define NFC_SOURCE(operation) "CNfcInstance::" operation

enum ContentType : DWORD { contentEmpty = 1, contentText, contentUri, contentSmartPoster, contentVcard };

const QString kGenericText = QStringLiteral("Card emulation by Marveld");
const QString kGenericLanguage = QStringLiteral("English");
const QString kGenericUriPrefix = QStringLiteral("http://www.");
const QString kGenericUriRest = QStringLiteral("marveld.com");
// The maker's card, in the line order of the window's vCard pages without a title or a mobile.
const QString kGenericVcard = QStringLiteral(
    "BEGIN:VCARD\nVERSION:3.0\nN:Marveld;Support\nFN:Support Marveld\nORG:Marveld\nURL:http://www.marveld.com\n"
    "EMAIL;TYPE=INTERNET:support@marveld.com\nTEL;TYPE=voice,work,pref:+49 89 0000000\n"
    "ADR;TYPE=intl,work,postal,parcel:;;Am Markt 1;Muenchen;;80331;Germany\nEND:VCARD\n");

constexpr DWORD kPending = nfcStatusPending;

} // namespace

void CNfcInstance::ceSetConfiguration(const BYTE* capabilityContainer, const BYTE* attributeBlock) {
    m_card.setConfiguration(capabilityContainer, attributeBlock);
}

NfcApiStatus CNfcInstance::ceFillGenericContent(DWORD contentType) {
    CNdefMessage& message = *m_ceMessage;
    switch (contentType) {
    case contentEmpty:
        return NDEF_OK;
    case contentText:
        return message.ndefCreateTextMessage(kGenericText, kGenericLanguage);
    case contentUri:
        return message.ndefCreateUriMessage(kGenericUriPrefix, kGenericUriRest);
    case contentSmartPoster:
        return message.ndefCreateSmartPosterMessage(kGenericText, kGenericLanguage, kGenericUriPrefix + kGenericUriRest);
    case contentVcard:
        return message.ndefCreateVcardMessage(kGenericVcard);
    default:
        return NDEF_BAD_PARAMETER;
    }
}

NfcApiStatus CNfcInstance::ceStart(DWORD mask, DWORD contentType, const BYTE* capabilityContainer,
                                   const BYTE* attributeBlock) {
    const char* source = NFC_SOURCE("ceStart");
    postTrace(traceInfo, source, "Enter (requested mask: 0x%08X, content type: %u)", mask, contentType);
    m_ceMessage.reset(new (std::nothrow) CNdefMessage);
    if (!m_ceMessage) return refuse(source, "! Creating an NDEF message failed");
    m_ceMask = mask;
    ceSetConfiguration(capabilityContainer, attributeBlock);
    m_lastStatus = nfcStatusOk;
    const NdefStatus built = ceFillGenericContent(contentType);
    if (built != NDEF_OK) {
        postTrace(traceError, source, "! NDEF error code received (code: %u)", built);
        m_lastStatus = nfcStatusFailed;
    } else if (contentType != contentEmpty &&
               !m_card.setContent(m_ceMessage->getMessageBuffer(), m_ceMessage->getMessageSize())) {
        postTrace(traceError, source, "! NDEF error code received (code: %u)", NDEF_BUFFER_TOO_SMALL);
        m_lastStatus = nfcStatusFailed;
    }
    m_card.setNfcid2();
    if (!(mask & (CE_HOST_14443A_106 | CE_HOST_14443B_106 | CE_HOST_FELICA))) {
        postTrace(traceError, source, "! Unknown card emulation type (0x%08X)", mask);
        ceStop();
        m_lastStatus = nfcStatusFailed;
    }
    return exitWith(source);
}

NfcApiStatus CNfcInstance::ceStop() {
    m_card.reset();
    m_ceMessage.reset();
    m_ceMask = 0;
    return m_lastStatus = nfcStatusOk;
}

NfcApiStatus CNfcInstance::ceSaveContent(CNdefMessage* message) {
    const char* source = NFC_SOURCE("ceSaveContent");
    postTrace(traceInfo, source, "Enter");
    // Only a started emulation has a message space to fill.
    if (!message || !m_ceMessage) return refuse(source, "! Card emulation not found");
    const uint32_t size = message->getMessageSize();
    if (!message->getMessageBuffer() || size == 0) return refuse(source, "! Allocating memory failed");
    if (!m_card.setContent(message->getMessageBuffer(), size)) {
        postTrace(traceError, source, "! Message too large for card emulation (size: %u, space: %u)", size,
                  static_cast<unsigned>(CCardEmulation::kMessageSpace));
        m_lastStatus = nfcStatusFailed;
        return exitWith(source);
    }
    m_lastStatus = nfcStatusOk;
    return exitWith(source);
}

void CNfcInstance::handleReaderRequest(QByteArray pdu) {
    const char* source = NFC_SOURCE("handleReaderRequest");
    postTrace(traceInfo, source, "Enter");
    m_readerRequestPdu = pdu;
    m_eventParam.readerRequest.pdu = reinterpret_cast<BYTE*>(m_readerRequestPdu.data());
    m_eventParam.readerRequest.length = static_cast<WORD>(m_readerRequestPdu.size());
    m_card.handleReceivedPdu(m_technologyType, reinterpret_cast<const BYTE*>(m_readerRequestPdu.constData()),
                             static_cast<size_t>(m_readerRequestPdu.size()), m_listeners[1] != nullptr);
    emit signalCeMessage(m_card.log() + QStringLiteral("\nTX (hex):\n") +
                         bytesToHexDump(m_card.answer(), m_card.answerLength()));
    if (libraryRunning()) {
        const NfcApiStatus status = corvaneSymbolTable.nfcTransmitPdu(m_listeners[2], m_card.answer(),
                                                                      static_cast<WORD>(m_card.answerLength()));
        if (status != nfcStatusOk && status != kPending) {
            postTrace(traceError, source, "! Transmitting response failed (code: %u)", status);
            m_lastStatus = status;
        }
    }
    postTrace(traceInfo, source, "Exit");
}
