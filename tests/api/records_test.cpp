#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <type_traits>

#include "record_layout.h"

RECORD_OFFSETS(CHECK_OFFSET)
RECORD_SIZES(CHECK_SIZE)

// Fields that carry an address hold a whole pointer; secure-element handles stay 32-bit ids.
static_assert(sizeof(TP2pConnection::context) == sizeof(void*));
static_assert(sizeof(TP2pConnection::data.data) == sizeof(void*));
static_assert(sizeof(TNfcEventParam::readerRequest.pdu) == sizeof(void*));
static_assert(sizeof(TNfcCapabilities::controller) == sizeof(void*));
static_assert(sizeof(TNfcCapabilityBlock::secureElements[0]) == sizeof(void*));
static_assert(sizeof(NfcSecureHandle) == 4);
static_assert(sizeof(TP2pConnection) >= sizeof(void*) + 25 * sizeof(DWORD), "room for all 26 words");
static_assert(NFC_CAPABILITIES_SIZE(0) == 6 && NFC_CAPABILITIES_SIZE(1) == 6 + sizeof(void*));

TEST(Records, HandleMagicWordsSpellTheirNamesInMemory) {
    const std::pair<uint32_t, const char*> magics[] = {
        {NFC_MAGIC_APPLICATION, "NFCA"}, {NFC_MAGIC_LISTENER, "LIST"}, {NFC_MAGIC_CARD_EMULATION, "CEMU"},
        {P2P_MAGIC_CONNECTION, "LP2P"},  {P2P_MAGIC_SOCKET, "SP2P"},
    };
    for (const auto& [word, text] : magics) {
        char bytes[4];
        std::memcpy(bytes, &word, sizeof bytes);
        EXPECT_EQ(std::string(bytes, sizeof bytes), text);
    }
}

TEST(Records, PackedFieldsReadBackAtTheirBytes) {
    // A tag record as it arrives: the MIFARE Plus 2K selector in the ATQA bytes, the chip code
    // with the maker in its high half, and the word after the 100-byte block.
    unsigned char raw[sizeof(TNfcTagInfo)] = {};
    raw[0] = 0x00; raw[3] = 0x82;                  // TAG_NDEF | TAG_MIFARE_PLUS_2K
    raw[22] = 0x00; raw[23] = 0x44;
    raw[92] = 0x04; raw[93] = 0x00;
    raw[100] = 0x34; raw[101] = 0x12;
    TNfcTagInfo info;
    std::memcpy(&info, raw, sizeof info);
    EXPECT_EQ(info.tagType, TAG_NDEF | TAG_MIFARE_PLUS_2K);
    EXPECT_EQ(info.a.atqa, 0x4400);
    EXPECT_EQ(info.chipCode >> 16, 0x0004u);
    EXPECT_EQ(info.tx, 0x1234);
}
