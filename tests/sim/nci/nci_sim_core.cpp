// The controller core: the NCI 1.0 core group (reset, init, configuration, logical
// connections with a loopback destination), RF_DISCOVER_MAP, NFCEE discovery, and the two
// proprietary commands of manufacturer 0x04.
#include "nci/nci_sim_controller.h"

namespace ncisim {
namespace {

constexpr uint8_t DEST_LOOPBACK = 0x01;

void put16(std::vector<uint8_t>& out, uint16_t v) {
    out.push_back(static_cast<uint8_t>(v));
    out.push_back(static_cast<uint8_t>(v >> 8));
}

uint16_t responseOf(const NciMessage& command) { return static_cast<uint16_t>(command.key() + 0x2000); }

bool refuseUnlessLength(Controller& c, const NciMessage& m, bool ok) {
    if (!ok) c.respond(responseOf(m), {STATUS_SYNTAX_ERROR});
    return !ok;
}

void coreReset(Controller& c, const NciMessage& m) {
    if (refuseUnlessLength(c, m, m.payload.size() == 1)) return;
    bool resetConfig = m.payload[0] == 0x01;
    c.reset(resetConfig);
    uint8_t status = c.identity().configStatus.value_or(resetConfig ? 0x01 : 0x00);
    c.respond(CORE_RESET_RSP, {STATUS_OK, c.identity().version, status});
}

void coreInit(Controller& c, const NciMessage& m) {
    if (refuseUnlessLength(c, m, m.payload.empty())) return;
    const NciIdentity& id = c.identity();
    std::vector<uint8_t> p{STATUS_OK};
    p.insert(p.end(), id.features.begin(), id.features.end());
    p.push_back(static_cast<uint8_t>(id.rfInterfaces.size()));
    p.insert(p.end(), id.rfInterfaces.begin(), id.rfInterfaces.end());
    p.push_back(id.maxConnections);
    put16(p, id.routingTableSize);
    p.push_back(id.maxControlPayload);
    put16(p, id.largeParamSize);
    p.push_back(id.manufacturer);
    p.insert(p.end(), id.manufacturerInfo.begin(), id.manufacturerInfo.end());
    c.setInitialised();
    c.respond(CORE_INIT_RSP, std::move(p));
}

// Parameters as {id, length, value} after a count byte; false when they do not fill the payload exactly.
bool parseParameters(const std::vector<uint8_t>& p, std::vector<std::pair<uint8_t, std::vector<uint8_t>>>& out) {
    if (p.empty()) return false;
    size_t pos = 1;
    for (uint8_t k = 0; k < p[0]; ++k) {
        if (pos + 2 > p.size() || pos + 2 + p[pos + 1] > p.size()) return false;
        auto begin = p.begin() + static_cast<std::ptrdiff_t>(pos + 2);
        out.emplace_back(p[pos], std::vector<uint8_t>(begin, begin + p[pos + 1]));
        pos += 2 + p[pos + 1];
    }
    return pos == p.size();
}

void coreSetConfig(Controller& c, const NciMessage& m) {
    std::vector<std::pair<uint8_t, std::vector<uint8_t>>> params;
    if (refuseUnlessLength(c, m, parseParameters(m.payload, params))) return;
    for (auto& [id, value] : params) c.config()[id] = std::move(value);
    c.respond(CORE_SET_CONFIG_RSP, {STATUS_OK, 0});
}

void coreGetConfig(Controller& c, const NciMessage& m) {
    const auto& p = m.payload;
    if (refuseUnlessLength(c, m, !p.empty() && p.size() == 1u + p[0])) return;
    std::vector<uint8_t> known, unknown;
    uint8_t knownCount = 0, unknownCount = 0;
    for (size_t k = 1; k < p.size(); ++k) {
        auto it = c.config().find(p[k]);
        if (it == c.config().end()) {
            unknown.insert(unknown.end(), {p[k], 0});
            ++unknownCount;
            continue;
        }
        known.insert(known.end(), {p[k], static_cast<uint8_t>(it->second.size())});
        known.insert(known.end(), it->second.begin(), it->second.end());
        ++knownCount;
    }
    // Unknown parameters are listed alone, with length 0, under STATUS_INVALID_PARAM.
    std::vector<uint8_t> out{unknownCount ? STATUS_INVALID_PARAM : STATUS_OK, unknownCount ? unknownCount : knownCount};
    const auto& list = unknownCount ? unknown : known;
    out.insert(out.end(), list.begin(), list.end());
    c.respond(CORE_GET_CONFIG_RSP, std::move(out));
}

void loopbackEcho(Controller& c, const NciMessage& m) { c.sendData(m.gidOrConn, m.payload); }

void coreConnCreate(Controller& c, const NciMessage& m) {
    const auto& p = m.payload;
    if (refuseUnlessLength(c, m, p.size() >= 2)) return;
    auto id = c.freeConnectionId();
    if (p[0] != DEST_LOOPBACK || !id) {
        c.respond(CORE_CONN_CREATE_RSP, {STATUS_REJECTED});
        return;
    }
    Connection conn;
    conn.id = *id;
    conn.destinationType = DEST_LOOPBACK;
    conn.maxPayload = c.identity().loopbackMaxPayload;
    conn.credits = c.identity().loopbackCredits;
    conn.onData = loopbackEcho;
    c.openConnection(conn);
    c.respond(CORE_CONN_CREATE_RSP, {STATUS_OK, conn.maxPayload, conn.credits, conn.id});
}

void coreConnClose(Controller& c, const NciMessage& m) {
    if (refuseUnlessLength(c, m, m.payload.size() == 1)) return;
    bool closed = m.payload[0] != 0 && c.closeConnection(m.payload[0]);
    c.respond(CORE_CONN_CLOSE_RSP, {closed ? STATUS_OK : STATUS_REJECTED});
}

void rfDiscoverMap(Controller& c, const NciMessage& m) {
    const auto& p = m.payload;
    if (refuseUnlessLength(c, m, !p.empty() && p.size() == 1u + 3u * p[0])) return;
    c.respond(RF_DISCOVER_MAP_RSP, {STATUS_OK});
}

void nfceeDiscover(Controller& c, const NciMessage& m) {
    if (refuseUnlessLength(c, m, m.payload.size() == 1)) return;
    bool enable = m.payload[0] == 0x01;
    const auto& nfcees = c.identity().nfcees;
    c.respond(NFCEE_DISCOVER_RSP, {STATUS_OK, static_cast<uint8_t>(enable ? nfcees.size() : 0)});
    if (!enable) return;
    for (const auto& ee : nfcees) {
        std::vector<uint8_t> p{ee.id, ee.status, static_cast<uint8_t>(ee.protocols.size())};
        p.insert(p.end(), ee.protocols.begin(), ee.protocols.end());
        p.push_back(static_cast<uint8_t>(ee.info.size()));
        for (const auto& tlv : ee.info) {
            p.insert(p.end(), {tlv.type, static_cast<uint8_t>(tlv.value.size())});
            p.insert(p.end(), tlv.value.begin(), tlv.value.end());
        }
        c.respond(NFCEE_DISCOVER_NTF, std::move(p));
    }
}

void nxpProprietaryAct(Controller& c, const NciMessage& m) {
    if (refuseUnlessLength(c, m, m.payload.empty())) return;
    c.respond(NXP_PROPRIETARY_ACT_RSP, {STATUS_OK});
}

void nxpSetPowerMode(Controller& c, const NciMessage& m) {
    if (refuseUnlessLength(c, m, m.payload.size() == 1)) return;
    c.respond(NXP_SET_POWER_MODE_RSP, {STATUS_OK});
}

} // namespace

void installCore(Controller& c) {
    c.onReset([&c](bool resetConfig) {
        if (resetConfig) c.config() = c.identity().defaultParameters;
        c.closeDynamicConnections();
    });
    c.onCommand(CORE_RESET_CMD, coreReset);
    c.onCommand(CORE_INIT_CMD, coreInit);
    c.onCommand(CORE_SET_CONFIG_CMD, coreSetConfig);
    c.onCommand(CORE_GET_CONFIG_CMD, coreGetConfig);
    c.onCommand(CORE_CONN_CREATE_CMD, coreConnCreate);
    c.onCommand(CORE_CONN_CLOSE_CMD, coreConnClose);
    c.onCommand(RF_DISCOVER_MAP_CMD, rfDiscoverMap);
    c.onCommand(NFCEE_DISCOVER_CMD, nfceeDiscover);
    if (c.identity().manufacturer == 0x04) {
        c.onCommand(NXP_PROPRIETARY_ACT_CMD, nxpProprietaryAct);
        c.onCommand(NXP_SET_POWER_MODE_CMD, nxpSetPowerMode);
    }
}

} // namespace ncisim
