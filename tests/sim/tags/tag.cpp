#include "tags/tag.h"

#include <algorithm>

namespace simtags {

Exchange Tag::describe(const Bytes& command) const {
    Exchange e;
    if (!command.empty()) e.op = command[0];
    if (command.size() > 1) e.address = command[1];
    if (command.size() > 2) e.data.assign(command.begin() + 2, command.end());
    return e;
}

// The fault due at this command, counted for every fault it matches.
const Fault* Tag::due(const Exchange& e) {
    const Fault* hit = nullptr;
    for (Pending& p : faults_) {
        const Fault& f = p.fault;
        if ((f.op && *f.op != e.op) || (f.address && *f.address != e.address)) continue;
        if (++p.seen == f.nth && !hit) hit = &f;
    }
    return hit;
}

std::optional<Bytes> Tag::exchange(const Bytes& command) {
    Exchange e = describe(command);
    e.command = command;
    const Fault* fault = due(e);
    if (removed()) {
        e.answer = std::nullopt;
    } else if (!fault) {
        e.answer = respond(command);
    } else {
        switch (fault->kind) {
        case FaultKind::Nak: e.answer = nak(); break;
        case FaultKind::Reply: e.answer = fault->reply; break;
        case FaultKind::Silence: e.answer = std::nullopt; break;
        case FaultKind::Short:
            e.answer = respond(command);
            if (e.answer && e.answer->size() > fault->keep) e.answer->resize(fault->keep);
            break;
        }
    }
    if (answerLost_ && removeAt_ && log.size() + 1 == *removeAt_) e.answer = std::nullopt;
    log.push_back(e);
    return e.answer;
}

Bytes Tag::bytes(size_t offset, size_t length) const {
    if (offset >= memory.size()) return {};
    const size_t n = std::min(length, memory.size() - offset);
    return Bytes(memory.begin() + static_cast<std::ptrdiff_t>(offset),
                 memory.begin() + static_cast<std::ptrdiff_t>(offset + n));
}

void Tag::put(size_t offset, const Bytes& data) {
    if (offset >= memory.size()) return;
    const size_t n = std::min(data.size(), memory.size() - offset);
    std::copy_n(data.begin(), n, memory.begin() + static_cast<std::ptrdiff_t>(offset));
}

} // namespace simtags
