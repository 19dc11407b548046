#include "llcp_peer.h"

#include <algorithm>
#include <sstream>

namespace llcpsim {

namespace {

bool sequenced(uint8_t ptype) { return ptype == I || ptype == RR || ptype == RNR; }

Bytes frame(uint8_t dsap, uint8_t ptype, uint8_t ssap, const Bytes& info, std::optional<uint8_t> sequence = {}) {
    Pdu pdu;
    pdu.dsap = dsap;
    pdu.ptype = ptype;
    pdu.ssap = ssap;
    pdu.sequence = sequence;
    pdu.info = info;
    return encode(pdu);
}

Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

std::string describe(const Pdu& pdu) {
    std::ostringstream s;
    s << "ptype " << int(pdu.ptype) << " dsap " << int(pdu.dsap) << " ssap " << int(pdu.ssap);
    return s.str();
}

} // namespace

Bytes encode(const Pdu& pdu) {
    Bytes out{static_cast<uint8_t>((pdu.dsap & 0x3F) << 2 | (pdu.ptype >> 2 & 0x3)),
              static_cast<uint8_t>((pdu.ptype & 0x3) << 6 | (pdu.ssap & 0x3F))};
    if (pdu.sequence) out.push_back(*pdu.sequence);
    return out + pdu.info;
}

bool decode(const Bytes& f, Pdu& pdu) {
    if (f.size() < 2) return false;
    pdu = Pdu{};
    pdu.dsap = f[0] >> 2;
    pdu.ptype = static_cast<uint8_t>((f[0] & 0x3) << 2 | f[1] >> 6);
    pdu.ssap = f[1] & 0x3F;
    size_t at = 2;
    if (sequenced(pdu.ptype)) {
        if (f.size() < 3) return false;
        pdu.sequence = f[2];
        at = 3;
    }
    pdu.info.assign(f.begin() + static_cast<long>(at), f.end());
    return true;
}

Bytes tlv(uint8_t type, const Bytes& value) { return Bytes{type, static_cast<uint8_t>(value.size())} + value; }

bool parseTlvs(const Bytes& data, std::vector<Tlv>& out) {
    out.clear();
    for (size_t at = 0; at < data.size();) {
        if (at + 2 > data.size() || at + 2 + data[at + 1] > data.size()) return false;
        out.push_back(Tlv{data[at], Bytes(data.begin() + static_cast<long>(at + 2),
                                          data.begin() + static_cast<long>(at + 2 + data[at + 1]))});
        at += 2u + data[at + 1];
    }
    return true;
}

Bytes symm() { return frame(0, SYMM, 0, {}); }
Bytes pax(const Bytes& params) { return frame(0, PAX, 0, params); }
Bytes agf(const std::vector<Bytes>& pdus) {
    Bytes info;
    for (const Bytes& p : pdus)
        info = info + Bytes{static_cast<uint8_t>(p.size() >> 8), static_cast<uint8_t>(p.size())} + p;
    return frame(0, AGF, 0, info);
}
Bytes ui(uint8_t dsap, uint8_t ssap, const Bytes& data) { return frame(dsap, UI, ssap, data); }
Bytes connect(uint8_t dsap, uint8_t ssap, const Bytes& params) { return frame(dsap, CONNECT, ssap, params); }
Bytes cc(uint8_t dsap, uint8_t ssap, const Bytes& params) { return frame(dsap, CC, ssap, params); }
Bytes disc(uint8_t dsap, uint8_t ssap) { return frame(dsap, DISC, ssap, {}); }
Bytes dm(uint8_t dsap, uint8_t ssap, const Bytes& reason) { return frame(dsap, DM, ssap, reason); }
Bytes frmr(uint8_t dsap, uint8_t ssap, const Bytes& info) { return frame(dsap, FRMR, ssap, info); }
Bytes rr(uint8_t dsap, uint8_t ssap, uint8_t sequence) { return frame(dsap, RR, ssap, {}, sequence); }
Bytes iframe(uint8_t dsap, uint8_t ssap, uint8_t ns, uint8_t nr, const Bytes& data) {
    return frame(dsap, I, ssap, data, static_cast<uint8_t>(ns << 4 | (nr & 0xF)));
}
Bytes snl(const Bytes& params) { return frame(1, SNL, 1, params); }
Bytes sdreq(uint8_t tid, const std::string& name) { return tlv(SDREQ, Bytes{tid} + Bytes(name.begin(), name.end())); }
Bytes sdres(uint8_t tid, uint8_t sap) { return tlv(SDRES, {tid, sap}); }

Bytes generalBytes(const LinkParams& p) {
    return Bytes{0x46, 0x66, 0x6D} + tlv(VERSION, {p.version}) +
           tlv(MIUX, {static_cast<uint8_t>(p.miux >> 8), static_cast<uint8_t>(p.miux)}) +
           tlv(WKS, {static_cast<uint8_t>(p.wks >> 8), static_cast<uint8_t>(p.wks)}) + tlv(LTO, {p.lto}) +
           tlv(OPT, {p.opt});
}

void Peer::take(const Pdu& pdu) {
    if (pdu.ptype == AGF && pdu.dsap == 0 && pdu.ssap == 0) {
        for (size_t at = 0; at + 2 <= pdu.info.size();) {
            const size_t n = size_t{pdu.info[at]} << 8 | pdu.info[at + 1];
            if (at + 2 + n > pdu.info.size()) break;
            Pdu inner;
            if (decode(Bytes(pdu.info.begin() + static_cast<long>(at + 2),
                             pdu.info.begin() + static_cast<long>(at + 2 + n)),
                       inner))
                take(inner);
            at += 2 + n;
        }
        return;
    }
    received.push_back(pdu);
    serve(pdu);
    std::vector<Tlv> tlvs;
    if (pdu.ptype != SNL || !parseTlvs(pdu.info, tlvs)) return;
    for (const Tlv& t : tlvs)
        if (t.type == SDRES && t.value.size() == 2) answers[t.value[0]] = t.value[1];
}

Bytes Peer::defaultReply(const Pdu& pdu) {
    std::vector<Tlv> tlvs;
    if (pdu.ptype == SNL && parseTlvs(pdu.info, tlvs)) {
        Bytes out;
        for (const Tlv& t : tlvs) {
            if (t.type != SDREQ || t.value.empty()) continue;
            const auto it = services_.find(std::string(t.value.begin() + 1, t.value.end()));
            out = out + sdres(t.value[0], it == services_.end() ? 0 : it->second);
        }
        if (!out.empty()) return snl(out);
    }
    if (auto next = endpointFrame()) return *next;
    if (!outbox_.empty()) {
        Bytes next = outbox_.front();
        outbox_.pop_front();
        return next;
    }
    return symm();
}

namespace {

uint8_t mod16(int v) { return static_cast<uint8_t>(v & 0x0F); }

// RW and MIUX of a CONNECT or CC.
void takeParams(Endpoint& e, const Bytes& info) {
    std::vector<Tlv> tlvs;
    e.remoteWindow = 1;
    e.remoteMiu = 128;
    if (!parseTlvs(info, tlvs)) return;
    for (const Tlv& t : tlvs) {
        if (t.type == RW && t.value.size() == 1) e.remoteWindow = t.value[0] & 0x0F;
        if (t.type == MIUX && t.value.size() == 2)
            e.remoteMiu = static_cast<uint16_t>(128 + ((t.value[0] << 8 | t.value[1]) & 0x7FF));
    }
}

Bytes linkParams(const Endpoint& e) {
    Bytes out = tlv(RW, {e.window});
    if (e.miu > 128) {
        const uint16_t miux = static_cast<uint16_t>(e.miu - 128);
        out = out + tlv(MIUX, {static_cast<uint8_t>(miux >> 8), static_cast<uint8_t>(miux)});
    }
    return out;
}

} // namespace

Endpoint& Peer::listen(uint8_t sap, const std::string& name, uint8_t window, bool connectionOriented) {
    Endpoint& e = endpoints_[sap];
    e = Endpoint{};
    e.sap = sap;
    e.window = window;
    e.connectionOriented = connectionOriented;
    if (!name.empty()) offer(name, sap);
    return e;
}

Endpoint& Peer::connect(uint8_t ssap, uint8_t dsap, const std::string& name, uint8_t window) {
    Endpoint& e = listen(ssap, {}, window);
    e.connecting = true;
    const Bytes sn = name.empty() ? Bytes{} : tlv(SN, Bytes(name.begin(), name.end()));
    control_.push_back(llcpsim::connect(name.empty() ? dsap : 1, ssap, sn + linkParams(e)));
    return e;
}

void Peer::send(uint8_t sap, const Bytes& data) {
    Endpoint* e = endpoint(sap);
    if (!e) return;
    for (size_t at = 0; at < data.size() || (data.empty() && at == 0); at += e->remoteMiu) {
        const size_t n = std::min<size_t>(e->remoteMiu, data.size() - at);
        e->toSend.emplace_back(data.begin() + static_cast<long>(at), data.begin() + static_cast<long>(at + n));
        if (data.empty()) break;
    }
}

void Peer::sendTo(uint8_t ssap, uint8_t dsap, const Bytes& data) { control_.push_back(ui(dsap, ssap, data)); }

void Peer::disconnect(uint8_t sap) {
    Endpoint* e = endpoint(sap);
    if (!e) return;
    control_.push_back(disc(e->remoteSap, sap));
    e->connected = false;
    e->closed = true;
}

void Peer::setBusy(uint8_t sap, bool busy) {
    if (Endpoint* e = endpoint(sap)) {
        e->busy = busy;
        e->ackDue = true;
    }
}

Endpoint* Peer::endpoint(uint8_t sap) {
    const auto it = endpoints_.find(sap);
    return it == endpoints_.end() ? nullptr : &it->second;
}

void Peer::serve(const Pdu& pdu) {
    uint8_t target = pdu.dsap;
    std::vector<Tlv> tlvs;
    if (pdu.ptype == CONNECT && target == 1 && parseTlvs(pdu.info, tlvs))
        for (const Tlv& t : tlvs)
            if (t.type == SN) {
                const auto it = services_.find(std::string(t.value.begin(), t.value.end()));
                if (it != services_.end()) target = it->second;
            }
    Endpoint* e = endpoint(target);
    if (!e) return;
    switch (pdu.ptype) {
        case CONNECT:
            if (!e->connectionOriented || e->connected) return;
            e->connected = true;
            e->closed = false;
            e->remoteSap = pdu.ssap;
            e->vs = e->vr = e->va = 0;
            takeParams(*e, pdu.info);
            control_.push_back(cc(pdu.ssap, e->sap, linkParams(*e)));
            break;
        case CC:
            if (!e->connecting) return;
            e->connecting = false;
            e->connected = true;
            e->remoteSap = pdu.ssap;
            takeParams(*e, pdu.info);
            break;
        case I: {
            if (!e->connected || !pdu.sequence) return;
            const uint8_t ns = *pdu.sequence >> 4;
            if (ns != e->vr || e->unacknowledged >= e->window) {
                mismatches.push_back("I-frame N(S) " + std::to_string(ns) + " with V(R) " + std::to_string(e->vr) +
                                     " and " + std::to_string(e->unacknowledged) + " unacknowledged in a window of " +
                                     std::to_string(e->window));
                control_.push_back(frmr(pdu.ssap, e->sap,
                                        {static_cast<uint8_t>(0x10 | I), *pdu.sequence,
                                         static_cast<uint8_t>(e->vs << 4 | e->vr),
                                         static_cast<uint8_t>(e->va << 4 | e->vr)}));
                e->connected = false;
                e->closed = true;
                return;
            }
            e->data.push_back(pdu.info);
            e->vr = mod16(e->vr + 1);
            ++e->unacknowledged;
            e->va = *pdu.sequence & 0x0F;
            e->ackDue = true;
            break;
        }
        case RR:
        case RNR:
            if (!pdu.sequence) return;
            e->va = *pdu.sequence & 0x0F;
            e->remoteBusy = pdu.ptype == RNR;
            break;
        case DISC:
            control_.push_back(dm(pdu.ssap, e->sap, {0}));
            e->connected = false;
            e->closed = true;
            break;
        case DM:
            e->connected = e->connecting = false;
            e->closed = true;
            break;
        case UI:
            if (e->connectionOriented) return;
            e->data.push_back(pdu.info);
            e->sources.push_back(pdu.ssap);
            break;
        default: break;
    }
}

// One PDU a turn: the endpoints' control PDUs, then an I-frame the window allows, then an
// acknowledgement still due.
std::optional<Bytes> Peer::endpointFrame() {
    if (!control_.empty()) {
        Bytes next = control_.front();
        control_.pop_front();
        return next;
    }
    for (auto& [sap, e] : endpoints_) {
        if (!e.connected || e.toSend.empty() || e.remoteBusy || mod16(e.vs - e.va) >= e.remoteWindow) continue;
        Bytes frame = iframe(e.remoteSap, sap, e.vs, e.vr, e.toSend.front());
        e.toSend.pop_front();
        e.vs = mod16(e.vs + 1);
        e.ackDue = false;
        e.unacknowledged = 0;
        return frame;
    }
    for (auto& [sap, e] : endpoints_) {
        if (!e.connected || !e.ackDue) continue;
        e.ackDue = false;
        if (!e.busy) e.unacknowledged = 0;  // an RNR acknowledges but opens no window
        Pdu ack{e.remoteSap, static_cast<uint8_t>(e.busy ? RNR : RR), sap, e.vr, {}};
        return encode(ack);
    }
    return std::nullopt;
}

std::optional<Bytes> Peer::opening() {
    if (role_ != Role::Initiator || opened_) return std::nullopt;
    opened_ = true;
    if (outbox_.empty()) return symm();
    Bytes first = outbox_.front();
    outbox_.pop_front();
    return first;
}

std::vector<Reply> Peer::onFrame(const Bytes& f) {
    opened_ = true;
    Pdu pdu;
    if (!decode(f, pdu)) {
        mismatches.push_back("undecodable frame");
        return {Reply{symm(), 0}};
    }
    take(pdu);
    if (onTaken) onTaken(*this);
    if (script_.empty()) return {Reply{defaultReply(pdu), 0}};
    const Step step = script_.front();
    const bool matches =
        step.ptype == pdu.ptype && (!step.dsap || *step.dsap == pdu.dsap) && (!step.ssap || *step.ssap == pdu.ssap);
    if (!matches) {
        mismatches.push_back("expected ptype " + std::to_string(step.ptype) + ", got " + describe(pdu));
        return {Reply{defaultReply(pdu), 0}};
    }
    script_.pop_front();
    Bytes reply = step.reply.empty() ? defaultReply(pdu) : step.reply;
    switch (step.fault) {
        case Fault::Drop: return {};
        case Fault::Delay: return {Reply{reply, step.delayMs}};
        case Fault::Duplicate: return {Reply{reply, 0}, Reply{reply, 0}};
        case Fault::Corrupt:
            if (!reply.empty()) reply.back() ^= 0xFF;
            return {Reply{reply, 0}};
        case Fault::None: break;
    }
    return {Reply{reply, 0}};
}

} // namespace llcpsim
