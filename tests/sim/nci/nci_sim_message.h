// NCI messages as the simulated controller sees them, written from the public NCI 1.0
// definitions: a 3-byte packet header (MT, PBF, GID or connection id; OID; payload length)
// and a payload that may be cut into several packets.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace ncisim {

enum MessageType : uint8_t { MT_DATA = 0, MT_COMMAND = 1, MT_RESPONSE = 2, MT_NOTIFICATION = 3 };

constexpr uint8_t PBF_BIT = 0x10;
constexpr size_t HEADER_SIZE = 3;
constexpr size_t MAX_SEGMENT_PAYLOAD = 255;

// Opcodes as the first two header bytes with PBF cleared: 0x2000 is CORE_RESET_CMD.
enum Opcode : uint16_t {
    CORE_RESET_CMD = 0x2000, CORE_RESET_RSP = 0x4000, CORE_RESET_NTF = 0x6000,
    CORE_INIT_CMD = 0x2001, CORE_INIT_RSP = 0x4001,
    CORE_SET_CONFIG_CMD = 0x2002, CORE_SET_CONFIG_RSP = 0x4002,
    CORE_GET_CONFIG_CMD = 0x2003, CORE_GET_CONFIG_RSP = 0x4003,
    CORE_CONN_CREATE_CMD = 0x2004, CORE_CONN_CREATE_RSP = 0x4004,
    CORE_CONN_CLOSE_CMD = 0x2005, CORE_CONN_CLOSE_RSP = 0x4005,
    CORE_CONN_CREDITS_NTF = 0x6006, CORE_GENERIC_ERROR_NTF = 0x6007, CORE_INTERFACE_ERROR_NTF = 0x6008,
    RF_DISCOVER_MAP_CMD = 0x2100, RF_DISCOVER_MAP_RSP = 0x4100,
    RF_SET_LISTEN_MODE_ROUTING_CMD = 0x2101, RF_SET_LISTEN_MODE_ROUTING_RSP = 0x4101,
    RF_GET_LISTEN_MODE_ROUTING_CMD = 0x2102, RF_GET_LISTEN_MODE_ROUTING_RSP = 0x4102, RF_GET_LISTEN_MODE_ROUTING_NTF = 0x6102,
    RF_DISCOVER_CMD = 0x2103, RF_DISCOVER_RSP = 0x4103, RF_DISCOVER_NTF = 0x6103,
    RF_DISCOVER_SELECT_CMD = 0x2104, RF_DISCOVER_SELECT_RSP = 0x4104, RF_INTF_ACTIVATED_NTF = 0x6105,
    RF_DEACTIVATE_CMD = 0x2106, RF_DEACTIVATE_RSP = 0x4106, RF_DEACTIVATE_NTF = 0x6106, RF_FIELD_INFO_NTF = 0x6107,
    RF_T3T_POLLING_CMD = 0x2108, RF_T3T_POLLING_RSP = 0x4108, RF_T3T_POLLING_NTF = 0x6108,
    RF_NFCEE_ACTION_NTF = 0x6109, RF_NFCEE_DISCOVERY_REQ_NTF = 0x610A,
    RF_PARAMETER_UPDATE_CMD = 0x210B, RF_PARAMETER_UPDATE_RSP = 0x410B,
    NFCEE_DISCOVER_CMD = 0x2200, NFCEE_DISCOVER_RSP = 0x4200, NFCEE_DISCOVER_NTF = 0x6200,
    NFCEE_MODE_SET_CMD = 0x2201, NFCEE_MODE_SET_RSP = 0x4201,
    // Proprietary group 0xF of manufacturer 0x04.
    NXP_SET_POWER_MODE_CMD = 0x2F00, NXP_SET_POWER_MODE_RSP = 0x4F00,
    NXP_PROPRIETARY_ACT_CMD = 0x2F02, NXP_PROPRIETARY_ACT_RSP = 0x4F02,
    // The proprietary poll-mode routing: the reader side's counterpart of the listen-mode table.
    POLL_MODE_ROUTING_CMD = 0x2F05, POLL_MODE_ROUTING_RSP = 0x4F05,
};

enum Status : uint8_t {
    STATUS_OK = 0x00, STATUS_REJECTED = 0x01, STATUS_FAILED = 0x03, STATUS_NOT_INITIALIZED = 0x04,
    STATUS_SYNTAX_ERROR = 0x05, STATUS_SEMANTIC_ERROR = 0x06, STATUS_INVALID_PARAM = 0x09,
    STATUS_DISCOVERY_ALREADY_STARTED = 0xA0, STATUS_DISCOVERY_TARGET_ACTIVATION_FAILED = 0xA1,
    STATUS_DISCOVERY_TEAR_DOWN = 0xA2,
    STATUS_RF_TRANSMISSION_ERROR = 0xB0, STATUS_RF_PROTOCOL_ERROR = 0xB1, STATUS_RF_TIMEOUT_ERROR = 0xB2,
};

// One whole message (all segments put together).
struct NciMessage {
    uint8_t mt = MT_COMMAND;
    uint8_t gidOrConn = 0;          // GID of a control message, connection id of data
    uint8_t oid = 0;
    std::vector<uint8_t> payload;

    static NciMessage control(uint16_t opcode, std::vector<uint8_t> payload);
    static NciMessage data(uint8_t connId, std::vector<uint8_t> payload);

    bool isData() const { return mt == MT_DATA; }
    // The first two header bytes with PBF cleared: the opcode of a control message,
    // connId << 8 for data.
    uint16_t key() const;
    std::string describe() const;   // "2000 [01]" style, for failure messages
};

// Cuts a message into packets of at most segmentSize payload bytes (PBF on all but the last).
// A segment size of 0 is taken as the NCI maximum, so cutting always advances.
std::vector<std::vector<uint8_t>> segmentMessage(const NciMessage& message, size_t segmentSize);

std::string hexBytes(const std::vector<uint8_t>& bytes);

} // namespace ncisim
