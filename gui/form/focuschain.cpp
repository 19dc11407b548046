// The keyboard focus order of the whole form: one chain across the frame and every page.

#include "lumaroform.h"

void Ui_CLumaro::setupFocusChain() {
    QWidget* const chain[] = {
        ledCurrentLocalRole, ledDeviceType, ledDeviceId, ledBitRate, ledNdefSize, tabInteraction, ckbRwIso14443A,
        ckbRwIso14443B, ckbRwInnovisionJewel, ckbRwFelica212, ckbRwPresenceCheck, ckbRwCheckNdef,
        ckbRwAutoReadNdefOnIndication, ckbRwNdefSuppressNdefRtdAction, btnRwStart, ckbP2pInitiatorPassive,
        ckbP2pTargetPassive, ckbP2pServiceSnepServer, ckbP2pServiceNppServer, ckbP2pSuppressNdefRtdAction,
        ckbP2pSnepAutoTransmit, btnP2pStart, btnP2pStop, ckbCeIso14443A, ckbCeIso14443B, ckbCeFelica,
        rdbCeInsertEmpty, rdbCeInsertVcard, rdbCeSmartPoster, ckbCeAdvanced, ckbSeSlot0, ckbSeSlot1, ckbSeSlot2,
        ckbSeSlot3, twtRwNdefRead, btnRwNdefRead, btnRwNdefCheckTag, ckbRwNdefSuppress, ckbRwNdefAutoRead,
        tabRwNdefWrite, ledRwNdefWriteMimeUri, btnRwNdefWriteMimeSelectImage, btnRwNdefWrite, btnRwNdefFormat,
        btnRwNdefErase, cboRwLegacyCommand, ledRwLegacyPdu, ledRwLegacyDescription, tedRwLegacyLog,
        btnRwLegacyExchangePdu, btnRwLegacySavePdu, btnRwLegacyDeletePdu, btnRwLegacyCheckTag, btnRwLegacyErase,
        btnRwLegacyFormatNdef, sboRwMifareStandardBlock, cboRwMifareStandardKey, btnRwMifareStandardAuthenticateA,
        btnRwMifareStandardAuthenticateB, btnRwMifareStandardFormatNdef, btnRwMifareStandardErase,
        tedRwMifareStandardLog, btnRwMifareStandardReadBlock, btnRwMifareStandardReadSector,
        btnRwMifareStandardCheckTag, cboRwMifareStandardWrite, btnRwMifareStandardWrite, tabP2p, twtP2pSnepReceive,
        tabP2pSnepTransmit, cboP2pSnepTransmitRtdTextLanguageCode, tedP2pSnepTransmitRtdTextText,
        cboP2pSnepTransmitRtdUriPrefix, ledP2pSnepTransmitRtdUriUri, cboP2pSnepTransmitRtdSmartPosterLanguageCode,
        ledP2pSnepTransmitRtdSmartPosterUri, tedP2pSnepTransmitRtdSmartPosterText, ledP2pSnepTransmitVcardFirstName,
        ledP2pSnepTransmitVcardLastName, ledP2pSnepTransmitVcardPhone, ledP2pSnepTransmitVcardEmail,
        ledP2pSnepTransmitVcardCompany, ledP2pSnepTransmitVcardUrl, ledP2pSnepTransmitVcardStreet,
        ledP2pSnepTransmitVcardCity, ledP2pSnepTransmitVcardCode, ledP2pSnepTransmitVcardCountry,
        ledP2pSnepTransmitMimeUri, btnP2pSnepTransmitMimeSelectImage, btnP2pSnepTransmit,
        ckbP2pSnepTransmitAutoTransmit, btnP2pStartListener1, btnP2pStopListener1, btnP2pConnect1, btnP2pDisconnect1,
        sboP2pMaxWindowSize1, sboP2pMiu1, btnP2pTransmit1, ckbContinuous1, ckbRandomizeSize1, ckbP2pEchoServer1,
        btnP2pStartListener2, btnP2pStopListener2, btnP2pConnect2, btnP2pDisconnect2, sboP2pMaxWindowSize2,
        sboP2pMiu2, btnP2pTransmit2, ckbContinuous2, ckbRandomizeSize2, ckbP2pEchoServer2, tedCeLog, cboSeCommand,
        ledSePdu, ledSeDescription, tedSeLog, btnSeExchangePdu, btnSeOpenEse, btnSeCloseEse, btnSeEchoTest,
        btnSeSavePdu, btnSeDeletePdu, txbErrorLog, ledRwNdefWriteVcardCountry, ledRwNdefWriteRtdSmartPosterUri,
        tedRwNdefWriteRtdSmartPosterText, ledRwNdefWriteVcardFirstName, ledRwNdefWriteVcardPhone,
        ledRwNdefWriteVcardEmail, ledRwNdefWriteVcardCompany, ledRwNdefWriteVcardUrl, ledRwNdefWriteVcardStreet,
        ledRwNdefWriteVcardCode, ledRwNdefWriteVcardCity, cboRwNdefWriteRtdUriPrefix, ledRwNdefWriteRtdUriUri,
        tedRwNdefWriteRtdTextText, cboRwNdefWriteRtdSmartPosterLanguageCode, cboRwNdefWriteRtdTextLanguageCode};
    static_assert(std::size(chain) == 139);
    // The log view is the last widget built; Qt 6.4 splits the focus ring when a widget at the
    // ring's end is moved behind another, so the log's successor is linked first.
    QWidget::setTabOrder(txbErrorLog, ledRwNdefWriteVcardCountry);
    for (size_t i = 1; i < std::size(chain); ++i) QWidget::setTabOrder(chain[i - 1], chain[i]);
}
