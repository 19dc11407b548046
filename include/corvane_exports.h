/* Every export of the Corvane library by name: one list that feeds the library's export check,
 * Lumaro's binding table and the fake library of the tests. The bound exports stand in the
 * order of Lumaro's binding table, family block by family block; the other exports exist in
 * the library but Lumaro does not bind them. */
#ifndef CORVANE_EXPORTS_H
#define CORVANE_EXPORTS_H

/* nfc, nfcP2P, nfcSecure, handover, snep and npp */
#define CORVANE_BOUND_NFC_EXPORTS(X) \
    X(nfcInitialize) X(nfcDone) X(nfcCreate) X(nfcDestroy) X(nfcRegisterListener) \
    X(nfcUnregisterListener) X(nfcWriteNdefMessage) X(nfcReadNdefMessage) X(nfcConnectTag) \
    X(nfcDisconnectTag) X(nfcGetCapabilities) X(nfcGetTagInfo) X(nfcSetReaderTimeout) X(nfcCheckTag) \
    X(nfcExchangePdu) X(nfcTransmitPdu) X(nfcFormat) X(nfcFormatNdef) X(nfcGetVersion) \
    X(nfcDeviceIoControl) X(nfcMakeReadOnly) X(nfcP2POpenCLSocket) X(nfcP2PCloseCLSocket) \
    X(nfcP2PDataRequestTo) X(nfcP2PConnectRequest) X(nfcP2PConnectResponse) X(nfcP2PDataRequest) \
    X(nfcP2PDataResponse) X(nfcP2PDisconnectRequest) X(nfcP2PListenRequest) X(nfcP2PListenRequestEx) \
    X(nfcP2PSdpRequest) X(nfcSecureGetList) X(nfcSecureSetMode) X(nfcSecureOpen) X(nfcSecureClose) \
    X(nfcSecureExchangePdu) X(nfcSecureGetATR) X(nfcSecureAddRoutingEntries) \
    X(nfcSecureGetRoutingEntries) X(nfcSecureSetTimeout) X(handoverStartServer) X(handoverReleaseServer) \
    X(handoverSendSelect) X(handoverSendRequest) X(handoverConnect) X(handoverSendRequest_Async) \
    X(snepStartServer) X(snepSendResponse) X(snepStopServer) X(snepReleaseServer) X(snepServerSetFlag) \
    X(snepConnect) X(snepDisconnect) X(snepGet) X(snepPut) X(snepTransfer) X(snepReleaseClient) \
    X(nppPush) X(nppStartServer) X(nppStopServer) X(nppReleaseServer)

#define CORVANE_BOUND_NDEF_EXPORTS(X) \
    X(ndefParseMessage) X(ndefCreateUriMessage) X(ndefCreateAbsoluteUriMessage) \
    X(ndefCreateExternalTypeMessage) X(ndefCreateUnknownTypeMessage) X(ndefCreateVCardMessage) \
    X(ndefCreateMimeMessage) X(ndefCreateTextMessage) X(ndefCreateSmartPosterUriMessage) \
    X(ndefCreateMessage) X(ndefCreateMessageEx) X(ndefGetNumberOfRecords) X(ndefGetUri) X(ndefGetText) \
    X(ndefGetAction) X(ndefGetVCard) X(ndefGetExternal) X(ndefGetUnknown) X(ndefExtractBluetoothSsp) \
    X(ndefExtractWifiSimpleConfig) X(ndefGetPicture) X(ndefStartHandoverRequest) \
    X(ndefStartHandoverSelect) X(ndefAddAlternativeCarrier) X(ndefAddAuxiliaryData) X(ndefAddWiFiRecord) \
    X(ndefAddBluetoothSSPRecord) X(ndefFinalizeHandoverMessage) X(ndefCreateBluetoothSSP) \
    X(ndefCreateWifiSimpleConfig) X(ndefCreateHandoverRequestBT) X(ndefCreateHandoverRequestWiFi) \
    X(ndefCreateHandoverRequest) X(ndefCreateHandoverRequestMediator) X(ndefCreateHandoverSelectBT) \
    X(ndefCreateHandoverSelectWiFi) X(ndefCreateHandoverSelect) X(ndefCreateHandoverInitiate) \
    X(ndefCreateHandoverCapabilities)

#define CORVANE_BOUND_DEBUG_EXPORTS(X) \
    X(debugCaptureOutput) X(debugSetFlags) X(debugSetL1Flags) X(debugGetFlags) X(debugGetL1Flags)

#define CORVANE_BOUND_EXPORTS(X) \
    CORVANE_BOUND_NFC_EXPORTS(X) CORVANE_BOUND_NDEF_EXPORTS(X) CORVANE_BOUND_DEBUG_EXPORTS(X)

#define CORVANE_OTHER_EXPORTS(X) \
    X(debugCaptureOutputEx) X(nfcSelectTag) X(nfcSecureSetBatteryMode) X(nfcSecureClearRoutingEntries) \
    X(nfcInitFirmwareDownload) X(nfcInitializeEx) X(nfcCreateEx)

#define CORVANE_ALL_EXPORTS(X) CORVANE_BOUND_EXPORTS(X) CORVANE_OTHER_EXPORTS(X)

#endif /* CORVANE_EXPORTS_H */
