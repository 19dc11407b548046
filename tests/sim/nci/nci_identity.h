// Who the simulated controller claims to be: what it answers to CORE_RESET and CORE_INIT, the
// NFCEEs it announces and how it frames and cuts its own messages.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <vector>

namespace ncisim {

struct NfceeTlv {
    uint8_t type = 0;
    std::vector<uint8_t> value;
};

struct NfceeInfo {
    uint8_t id = 0x10;
    uint8_t status = 0x00;                  // 0 enabled, 1 disabled, 2 removed
    std::vector<uint8_t> protocols{0x00};   // 0 APDU, 1 HCI access, 2 T3T command set, 3 transparent
    std::vector<NfceeTlv> info;
};

struct NciIdentity {
    // CORE_RESET_RSP
    uint8_t version = 0x10;                  // NCI 1.0
    std::optional<uint8_t> configStatus;     // default: 1 when the reset cleared the configuration, else 0
    // What a reset of the configuration leaves: id and value of each parameter held.
    std::map<uint8_t, std::vector<uint8_t>> defaultParameters;
    // CORE_INIT_RSP
    std::array<uint8_t, 4> features{0x00, 0x0E, 0x02, 0x00};
    std::vector<uint8_t> rfInterfaces{0x01, 0x02, 0x03};   // Frame, ISO-DEP, NFC-DEP
    uint8_t maxConnections = 2;
    uint16_t routingTableSize = 0x0100;      // bounds the listen-mode table, and the poll-mode one
    bool pollModeRouting = false;            // takes the proprietary poll-mode routing command 0x2F05
    uint8_t maxControlPayload = 255;
    uint16_t largeParamSize = 0x0400;
    uint8_t manufacturer = 0x00;
    std::array<uint8_t, 4> manufacturerInfo{0x01, 0x02, 0x03, 0x04};
    // NFCEE_DISCOVER
    std::vector<NfceeInfo> nfcees;
    // Link and connections
    bool framePrefix = false;                // every packet both ways preceded by 0x10
    uint8_t txControlSegment = 255;          // how the controller cuts its own control messages
    uint8_t txDataSegment = 255;             // and its data messages
    uint8_t loopbackMaxPayload = 255;        // CORE_CONN_CREATE_RSP of a loopback connection
    uint8_t loopbackCredits = 1;             // 0xFF: no flow control
    uint8_t nfceeMaxPayload = 32;            // CORE_CONN_CREATE_RSP of an NFCEE connection
    uint8_t nfceeCredits = 1;

    // A standard controller without proprietary extensions.
    static NciIdentity generic();
    // The standard controller holding TOTAL_DURATION (1000 ms) after a reset, as a chip holds
    // its defaults: a get-parameter request has a value to answer.
    static NciIdentity withDefaultParameters();
    // Manufacturer 0x04 with its proprietary RF interface 0x80 and commands 0x2F02 / 0x2F00.
    static NciIdentity nxp();
};

} // namespace ncisim
