#include "nfcdep/dep_peer.h"

#include <algorithm>

namespace depsim {

namespace {

constexpr uint8_t kInfo = 0x00, kAck = 0x40, kSupv = 0x80, kTypeMask = 0xE0, kBit4 = 0x10, kPniMask = 0x03;
constexpr uint8_t kNfcid3[10] = {0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7, 0xA8, 0xA9};

size_t lrOf(uint8_t pp) {
    constexpr size_t kLr[4] = {64, 128, 192, 254};
    return kLr[(pp >> 4) & 0x3];
}

Bytes frame(std::initializer_list<uint8_t> head, const uint8_t* data = nullptr, size_t n = 0) {
    Bytes f(head);
    if (n) f.insert(f.end(), data, data + n);
    f.insert(f.begin(), static_cast<uint8_t>(f.size() + 1));
    return f;
}

}  // namespace

DepPeer::DepPeer(Role role, Config config) : role_(role), config_(std::move(config)) {}

Bytes DepPeer::control(uint8_t command) const {
    return config_.did ? frame({0xD4, command, *config_.did}) : frame({0xD4, command});
}

Bytes DepPeer::atrReq() {
    Bytes body(kNfcid3, kNfcid3 + 10);
    body.insert(body.end(), {0x00, 0x00, 0x00, config_.pp});
    body.insert(body.end(), config_.generalBytes.begin(), config_.generalBytes.end());
    return frame({0xD4, 0x00}, body.data(), body.size());
}

Bytes DepPeer::piece() {
    const size_t left = tx_.size() - txAt_;
    txPiece_ = std::min(left, room());
    const uint8_t pfb = static_cast<uint8_t>(pni_ | (txPiece_ < left ? kBit4 : 0));
    return frame({cmd0(), cmd1(), pfb}, tx_.data() + txAt_, txPiece_);
}

Bytes DepPeer::send(const Bytes& message) {
    tx_ = message;
    txAt_ = 0;
    const std::vector<Bytes> f = out(piece());
    return f.empty() ? Bytes{} : f.front();
}

std::vector<Bytes> DepPeer::out(Bytes f) {
    last_ = f;
    if (f.size() < 4 || f[2] != cmd1()) return {f};
    ++sentPdus_;
    for (auto it = faults_.begin(); it != faults_.end(); ++it) {
        if (it->nth != sentPdus_ || it->kind == FaultKind::Rtox) continue;
        const FaultKind kind = it->kind;
        faults_.erase(it);
        switch (kind) {
        case FaultKind::WrongPni: f[3] = static_cast<uint8_t>((f[3] & ~kPniMask) | ((f[3] + 1) & kPniMask)); return {f};
        case FaultKind::Drop: return {};
        case FaultKind::Duplicate: return {f, f};
        case FaultKind::Oversize:
            f.resize(lr_ + 1, 0xEE);
            f[0] = static_cast<uint8_t>(f.size());
            return {f};
        case FaultKind::Rtox: break;
        }
    }
    return {f};
}

std::vector<Bytes> DepPeer::feed(const Bytes& f) {
    if (f.size() < 3 || f[0] != f.size()) return {};
    return role_ == Role::Target ? targetFeed(f) : initiatorFeed(f);
}

// An information PDU of the other side: joined; MI is acknowledged, the last piece completes.
std::vector<Bytes> DepPeer::information(const Bytes& f, uint8_t pfb) {
    rx_.insert(rx_.end(), f.begin() + 4, f.end());
    if (pfb & kBit4) {
        if (role_ == Role::Initiator) pni_ = (pni_ + 1) & kPniMask;
        std::vector<Bytes> ack = out(frame({cmd0(), cmd1(), static_cast<uint8_t>(kAck | pni_)}));
        if (role_ == Role::Target) pni_ = (pni_ + 1) & kPniMask;
        return ack;
    }
    messages.push_back(rx_);
    rx_.clear();
    if (role_ == Role::Initiator) {
        pni_ = (pni_ + 1) & kPniMask;
        return {};
    }
    tx_ = respond(messages.back());
    txAt_ = 0;
    for (auto it = faults_.begin(); it != faults_.end(); ++it)
        if (it->kind == FaultKind::Rtox && it->nth == sentPdus_ + 1) {
            const uint8_t rtox = it->rtox;
            faults_.erase(it);
            held_ = piece();
            return {frame({cmd0(), cmd1(), static_cast<uint8_t>(kSupv | kBit4), rtox})};
        }
    return responsePiece();
}

// The target's next response piece; the last one moves the packet number on.
std::vector<Bytes> DepPeer::responsePiece() {
    Bytes f = piece();
    if (txAt_ + txPiece_ >= tx_.size()) pni_ = (pni_ + 1) & kPniMask;
    return out(std::move(f));
}

std::vector<Bytes> DepPeer::targetFeed(const Bytes& f) {
    if (f[1] != 0xD4) return {};
    switch (f[2]) {
    case 0x00: {
        if (f.size() < 17) return {};
        lr_ = lrOf(f[16]);
        remoteGeneralBytes.assign(f.begin() + 17, f.end());
        activated = true;
        pni_ = 0;
        Bytes body(kNfcid3, kNfcid3 + 10);
        body.insert(body.end(), {0x00, 0x00, 0x00, config_.to, config_.pp});
        body.insert(body.end(), config_.generalBytes.begin(), config_.generalBytes.end());
        return {frame({0xD5, 0x01}, body.data(), body.size())};
    }
    case 0x06: {
        if (f.size() < 4) return {};
        const uint8_t pfb = f[3], pni = pfb & kPniMask;
        switch (pfb & kTypeMask) {
        case kInfo:
            if (pni != pni_) return {last_};   // a repeat of what was answered: the answer again
            return information(f, pfb);
        case kAck:
            if (pfb & kBit4) {
                ++nacks;
                return {last_};
            }
            if (pni != ((pni_ + 1) & kPniMask) || tx_.empty()) return {};
            pni_ = pni;
            txAt_ += txPiece_;
            return responsePiece();
        case kSupv:
            if (pfb & kBit4) {   // the RTOX came back: the held response goes
                Bytes held = held_;
                held_.clear();
                if (txAt_ + txPiece_ >= tx_.size()) pni_ = (pni_ + 1) & kPniMask;
                return out(held);
            }
            ++attentions;
            return {frame({0xD5, 0x07, pfb}, f.data() + 4, f.size() - 4)};
        default: return {};
        }
    }
    case 0x08:
    case 0x0A: {
        const bool withDid = f.size() == 4;
        if (f[2] == 0x08) deselected = true;
        else released = true;
        const uint8_t answer = static_cast<uint8_t>(f[2] + 1);
        return {withDid ? frame({0xD5, answer, f[3]}) : frame({0xD5, answer})};
    }
    default: return {};
    }
}

std::vector<Bytes> DepPeer::initiatorFeed(const Bytes& f) {
    if (f[1] != 0xD5) return {};
    switch (f[2]) {
    case 0x01:
        if (f.size() < 18) return {};
        lr_ = lrOf(f[17]);
        remoteGeneralBytes.assign(f.begin() + 18, f.end());
        activated = true;
        pni_ = 0;
        return {};
    case 0x07: {
        if (f.size() < 4) return {};
        const uint8_t pfb = f[3], pni = pfb & kPniMask;
        switch (pfb & kTypeMask) {
        case kInfo:
            if (pni != pni_) return {};
            return information(f, pfb);
        case kAck:
            if (pfb & kBit4) {
                ++nacks;
                return {last_};
            }
            if (pni != pni_) return {};
            pni_ = (pni_ + 1) & kPniMask;
            txAt_ += txPiece_;
            if (txAt_ >= tx_.size()) return {};
            return out(piece());
        case kSupv:
            if (pfb & kBit4) return {frame({0xD4, 0x06, pfb}, f.data() + 4, f.size() - 4)};
            ++attentions;
            return {last_};
        default: return {};
        }
    }
    case 0x09: deselected = true; return {};
    case 0x0B: released = true; return {};
    default: return {};
    }
}

}  // namespace depsim
