// The bytes card emulation presents to a reader, in storing order: the Type 4 tag's capability
// container and the Type 3 tag's attribute block. The card-emulation page reads the same keys.
#pragma once

// X(name, label text, default)
#define LUMARO_CAPABILITY_CONTAINER_ISO14443(X)                                                        \
    X(Iso14443ABCCSizeHigh, "Capability container size (high)", "00")                                  \
    X(Iso14443ABCCSizeLow, "Capability container size (low)", "0F")                                    \
    X(Iso14443ABNdefMapping, "NDEF mapping version", "20")                                             \
    X(Iso14443ABMaxReadHigh, "Max. bytes per Read (high)", "00")                                       \
    X(Iso14443ABMaxReadLow, "Max. bytes per Read (low)", "FA")                                         \
    X(Iso14443ABMaxUpdateHigh, "Max. bytes per Update (high)", "00")                                   \
    X(Iso14443ABMaxUpdateLow, "Max. bytes per Update (low)", "FA")                                     \
    X(Iso14443ABTField, "NDEF TLV - T-field", "04")                                                    \
    X(Iso14443ABLField, "NDEF TLV - L-field", "06")                                                    \
    X(Iso14443ABFileIdHigh, "NDEF TLV - File identifier (high)", "E1")                                 \
    X(Iso14443ABFileIdLow, "NDEF TLV - File identifier (low)", "04")                                   \
    X(Iso14443ABMaxNdefSizeHigh, "NDEF TLV - Max. NDEF size (high)", "0F")                             \
    X(Iso14443ABMaxNdefSizeLow, "NDEF TLV - Max. NDEF size (low)", "F2")                               \
    X(Iso14443ABNdefAccessRead, "NDEF TLV - NDEF access (Read)", "00")                                 \
    X(Iso14443ABNdefAccessUpdate, "NDEF TLV - NDEF access (Update)", "00")

// The checksum 01 12 is the sum of the bytes before it, as the Type 3 tag block defines it.
#define LUMARO_CAPABILITY_CONTAINER_FELICA(X)                                                          \
    X(FelicaNdefMapping, "NDEF mapping version", "10")                                                 \
    X(FelicaBlocksPerCheck, "Number of blocks per Check", "01")                                        \
    X(FelicaBlocksPerUpdate, "Number of blocks per Update", "01")                                      \
    X(FelicaMaxNdefSizeHigh, "Max. NDEF size in blocks (high)", "00")                                  \
    X(FelicaMaxNdefSizeLow, "Max. NDEF size in blocks (low)", "FF")                                    \
    X(FelicaRfu5, "RFU", "00")                                                                         \
    X(FelicaRfu6, "RFU", "00")                                                                         \
    X(FelicaRfu7, "RFU", "00")                                                                         \
    X(FelicaRfu8, "RFU", "00")                                                                         \
    X(FelicaWriteFlag, "WriteFlag", "00")                                                              \
    X(FelicaRWflag, "RWflag", "01")                                                                    \
    X(FelicaCurrentNdefSizeHigh, "Current NDEF size (high)", "00")                                     \
    X(FelicaCurrentNdefSizeMiddle, "Current NDEF size (middle)", "00")                                 \
    X(FelicaCurrentNdefSizeLow, "Current NDEF size (low)", "00")                                       \
    X(FelicaChecksumHigh, "Checksum (high)", "01")                                                     \
    X(FelicaChecksumLow, "Checksum (low)", "12")

struct CapabilityContainerByte {
    const char* name;
    const char* label;
    const char* defaultValue;
};

#define LUMARO_CAPABILITY_CONTAINER_ENTRY(name, label, value) {#name, label, value},
inline constexpr CapabilityContainerByte kIso14443Bytes[] = {
    LUMARO_CAPABILITY_CONTAINER_ISO14443(LUMARO_CAPABILITY_CONTAINER_ENTRY)};
inline constexpr CapabilityContainerByte kFelicaBytes[] = {
    LUMARO_CAPABILITY_CONTAINER_FELICA(LUMARO_CAPABILITY_CONTAINER_ENTRY)};
#undef LUMARO_CAPABILITY_CONTAINER_ENTRY

inline constexpr const char* kCapabilityContainerGroup = "CardEmulationConfiguration";
