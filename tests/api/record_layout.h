/* Where the fields of the public records lie. Both the C and the C++ compiler check this one
 * table, so applications in either language see the same bytes. PTR is the size of a pointer. */
#ifndef RECORD_LAYOUT_H
#define RECORD_LAYOUT_H

#include "corvane.h"

#define PTR sizeof(void*)

#define RECORD_OFFSETS(X)                                           \
    X(TNfcTagInfo, tagType, 0)                                      \
    X(TNfcTagInfo, uid, 4)                                          \
    X(TNfcTagInfo, uidLength, 20)                                   \
    X(TNfcTagInfo, a.atqa, 22)                                      \
    X(TNfcTagInfo, felica.systemCode, 22)                           \
    X(TNfcTagInfo, b.applicationData, 22)                           \
    X(TNfcTagInfo, iso15693.flags, 22)                              \
    X(TNfcTagInfo, iso15693.dsfid, 23)                              \
    X(TNfcTagInfo, a.sak, 24)                                       \
    X(TNfcTagInfo, felica.pmm, 24)                                  \
    X(TNfcTagInfo, a.historicalBytes, 25)                           \
    X(TNfcTagInfo, b.higherLayerResponse, 26)                       \
    X(TNfcTagInfo, higherLayerResponseLength, 58)                   \
    X(TNfcTagInfo, afi, 60)                                         \
    X(TNfcTagInfo, historicalBytesLength, 75)                       \
    X(TNfcTagInfo, ndefLength, 78)                                  \
    X(TNfcTagInfo, ndefMaxSize, 82)                                 \
    X(TNfcTagInfo, access, 86)                                      \
    X(TNfcTagInfo, chipCode, 90)                                    \
    X(TNfcTagInfo, rx, 98)                                          \
    X(TNfcTagInfo, tx, 100)                                         \
    X(TNfcInfoSE, handle, 0)                                        \
    X(TNfcInfoSE, capabilities, 4)                                  \
    X(TNfcInfoSE, mode, 6)                                          \
    X(TNfcInfoSE, driverData, 8)                                    \
    X(TNfcInfoSE, id, 16)                                           \
    X(TNfcEventParam, readerRequest.pdu, 0)                         \
    X(TNfcEventParam, readerRequest.length, PTR)                    \
    X(TNfcEventParam, transaction.aid, 0)                           \
    X(TNfcEventParam, transaction.aidLength, 16)                    \
    X(TNfcEventParam, transaction.param, 18)                        \
    X(TNfcEventParam, transaction.paramLength, 34)                  \
    X(TNfcCapabilities, reserved, 0)                                \
    X(TNfcCapabilities, controllerCount, 4)                         \
    X(TNfcCapabilities, controller, 6)                              \
    X(TNfcCapabilityBlock, supportedMask, 0)                        \
    X(TNfcCapabilityBlock, softwareVersion, 4)                      \
    X(TNfcCapabilityBlock, hardwareVersion, 8)                      \
    X(TNfcCapabilityBlock, vendorName, 12)                          \
    X(TNfcCapabilityBlock, chipValues, 32)                          \
    X(TNfcCapabilityBlock, maxLlcpFrameSize, 48)                    \
    X(TNfcCapabilityBlock, maxLlcpConnections, 50)                  \
    X(TNfcCapabilityBlock, maxLlcpWindow, 52)                       \
    X(TNfcCapabilityBlock, secureElementCount, 54)                  \
    X(TNfcCapabilityBlock, flags, 55)                               \
    X(TNfcCapabilityBlock, secureElements, 59)                      \
    X(TNfcListenParam, listenAFlags, 0)                             \
    X(TNfcListenParam, nfcid1, 2)                                   \
    X(TNfcListenParam, nfcid1Length, 12)                            \
    X(TNfcListenParam, sak, 13)                                     \
    X(TNfcListenParam, sdd, 14)                                     \
    X(TNfcListenParam, platformConfig, 15)                          \
    X(TNfcListenParam, historicalBytes, 16)                         \
    X(TNfcListenParam, historicalBytesLength, 66)                   \
    X(TNfcListenParam, listenABitRate, 67)                          \
    X(TNfcListenParam, listenBFlags, 71)                            \
    X(TNfcListenParam, nfcid0, 73)                                  \
    X(TNfcListenParam, listenBBitRate, 121)                         \
    X(TNfcListenParam, listenFFlags, 125)                           \
    X(TNfcListenParam, systemCode, 127)                             \
    X(TNfcListenParam, nfcid2, 131)                                 \
    X(TNfcListenParam, listenFBitRate, 139)                         \
    X(TNfcListenParam, p2pFlags, 141)                               \
    X(TNfcListenParam, p2pNfcid, 143)                               \
    X(TNfcListenParam, p2pNfcidLength, 153)                         \
    X(TNfcListenParam, p2pDataRate, 165)                            \
    X(TNfcListenParam, atrBytes, 166)                               \
    X(TNfcListenParam, atr.config, 166)                             \
    X(TNfcListenParam, atr.generalBytes, 167)                       \
    X(TNfcListenParam, atrLength, 214)                              \
    X(TNfcListenParam, poll15693Flags, 217)                         \
    X(TNfcListenParam, poll15693BitRate, 220)                       \
    X(TNfcListenParam, poll14443Flags, 222)                         \
    X(TNfcListenParam, poll14443BitRate, 224)                       \
    X(TNfcRoutingEntry, hSecure, 0)                                 \
    X(TNfcRoutingEntry, type, 4)                                    \
    X(TNfcRoutingEntry, powerState, 8)                              \
    X(TNfcRoutingEntry, nfceeId, 9)                                 \
    X(TNfcRoutingEntry, value, 10)                                  \
    X(TNfcRoutingEntry, aid.length, 10)                             \
    X(TNfcRoutingEntry, aid.bytes, 11)                              \
    X(TNfcSecureNotification, handle, 0)                            \
    X(TNfcSecureNotification, kind, 4)                              \
    X(TNfcSecureNotification, value, 8)                             \
    X(TNfcDownloadRecord, size, 0)                                  \
    X(TNfcDownloadRecord, transport.open, 8)                        \
    X(TNfcDownloadRecord, transport.getProperty, 8 + 5 * PTR)       \
    X(TNfcDownloadRecord, reserved2, 8 + 6 * PTR)                   \
    X(TP2pConnection, context, 0)                                   \
    X(TP2pConnection, newConnection, 0)                             \
    X(TP2pConnection, connected.remoteWindow, PTR)                  \
    X(TP2pConnection, connected.remoteMiu, PTR + 2)                 \
    X(TP2pConnection, connected.localSap, PTR + 4)                  \
    X(TP2pConnection, connected.remoteSap, PTR + 5)                 \
    X(TP2pConnection, cause, PTR)                                   \
    X(TP2pConnection, data.data, PTR)                               \
    X(TP2pConnection, data.length, 2 * PTR)                         \
    X(TP2pConnection, data.sourceSap, 2 * PTR + 2)                  \
    X(TP2pConnection, words, PTR)

#define RECORD_SIZES(X)                                             \
    X(TNfcTagInfo, 102)                                             \
    X(TNfcInfoSE, 17)                                               \
    X(TNfcEventParam, 36)                                           \
    X(TNfcCapabilities, 6 + PTR)                                    \
    X(TNfcCapabilityBlock, 59 + NFC_MAX_SECURE_ELEMENTS * PTR)      \
    X(TNfcListenParam, 259)                                         \
    X(TNfcRoutingEntry, 27)                                         \
    X(TNfcSecureNotification, 12)

#define CHECK_OFFSET(record, field, offset) \
    CORVANE_STATIC_ASSERT(offsetof(record, field) == (offset), #record "." #field " lies at " #offset);
#define CHECK_SIZE(record, size) CORVANE_STATIC_ASSERT(sizeof(record) == (size), #record " takes " #size " bytes");

#endif /* RECORD_LAYOUT_H */
