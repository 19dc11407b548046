#include "peers/snep_peer.h"

#include <algorithm>

#include "llcp/llcp_peer.h"

namespace simpeers {

Bytes snep::message(uint8_t code, const Bytes& information, uint8_t version) {
    Bytes out{version, code};
    putBe32(out, static_cast<uint32_t>(information.size()));
    out.insert(out.end(), information.begin(), information.end());
    return out;
}

SnepMessage SnepReassembly::take() {
    SnepMessage m{bytes_[0], bytes_[1], Bytes(bytes_.begin() + snep::HEADER, bytes_.begin() + snep::HEADER + length())};
    bytes_.clear();
    return m;
}

void SnepSender::send(llcpsim::Peer& peer, uint8_t sap, const Bytes& message) {
    const llcpsim::Endpoint* e = peer.endpoint(sap);
    const size_t first = std::min<size_t>(e ? e->remoteMiu : 128, message.size());
    peer.send(sap, Bytes(message.begin(), message.begin() + static_cast<long>(first)));
    rest_.assign(message.begin() + static_cast<long>(first), message.end());
}

void SnepSender::answer(llcpsim::Peer& peer, uint8_t sap, bool proceed) {
    if (proceed) peer.send(sap, rest_);
    rest_.clear();
}

// ---- server

void SnepServerPeer::take(llcpsim::Peer& peer, const Bytes& payload) {
    if (out_.waiting() && !in_.started()) {
        // The client's word on a fragmented response.
        out_.answer(peer, sap(), payload.size() >= 2 && payload[1] == snep::REQ_CONTINUE);
        return;
    }
    const bool first = !in_.started();
    in_.add(payload);
    if (!in_.headerDone()) return;
    if (first && (payload[0] >> 4) != snep::VERSION >> 4) {
        in_.clear();
        return respond(peer, snep::UNSUPPORTED_VERSION);
    }
    if (in_.length() > maxLength_) {
        in_.clear();
        return respond(peer, snep::REJECT);
    }
    if (!in_.complete()) {
        if (first) respond(peer, snep::CONTINUE);
        return;
    }
    request(peer, in_.take());
}

void SnepServerPeer::request(llcpsim::Peer& peer, const SnepMessage& m) {
    switch (m.code) {
        case snep::PUT:
            puts.push_back(m.information);
            return respond(peer, snep::SUCCESS);
        case snep::GET: {
            if (kind_ == Kind::Default) return respond(peer, snep::NOT_IMPLEMENTED);
            if (m.information.size() < 4) return respond(peer, snep::BAD_REQUEST);
            gets.emplace_back(m.information.begin() + 4, m.information.end());
            if (getAnswer.empty()) return respond(peer, snep::NOT_FOUND);
            if (getAnswer.size() > be32(m.information, 0)) return respond(peer, snep::EXCESS_DATA);
            return respond(peer, snep::SUCCESS, getAnswer);
        }
        default: return respond(peer, snep::NOT_IMPLEMENTED);
    }
}

void SnepServerPeer::respond(llcpsim::Peer& peer, uint8_t code, const Bytes& information) {
    answered.push_back(code);
    out_.send(peer, sap(), snep::message(code, information));
}

void SnepServerPeer::reset() {
    in_.clear();
    out_.clear();
}

// ---- client

void SnepClientPeer::put(llcpsim::Peer& peer, const Bytes& ndef) {
    queued_.push_back(snep::message(snep::PUT, ndef));
    const llcpsim::Endpoint* e = peer.endpoint(sap());
    if (connecting_ || (e && e->connected)) return;
    connecting_ = true;
    peer.connect(sap(), 0, service_, 2);
}

void SnepClientPeer::connected(llcpsim::Peer& peer) {
    connecting_ = false;
    if (busy_ || queued_.empty()) return;
    busy_ = true;
    out_.send(peer, sap(), queued_.front());
    queued_.erase(queued_.begin());
}

void SnepClientPeer::take(llcpsim::Peer& peer, const Bytes& payload) {
    in_.add(payload);
    if (!in_.complete()) return;
    SnepMessage m = in_.take();
    if (out_.waiting()) {
        out_.answer(peer, sap(), m.code == snep::CONTINUE);
        if (m.code == snep::CONTINUE) return;
    }
    responses.push_back(std::move(m));
    busy_ = false;
}

void SnepClientPeer::reset() {
    in_.clear();
    out_.clear();
    busy_ = connecting_ = false;
}

} // namespace simpeers
