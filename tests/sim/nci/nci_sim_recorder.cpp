#include "nci/nci_sim_recorder.h"

#include <cstdio>

namespace ncisim {

void Recorder::packet(Direction d, const std::vector<uint8_t>& bytes) {
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start_);
    std::lock_guard<std::mutex> g(m_);
    packets_.push_back({d, static_cast<uint32_t>(ms.count()), bytes});
    changed_.notify_all();
}

void Recorder::received(const NciMessage& message) {
    {
        std::lock_guard<std::mutex> g(m_);
        received_.push_back(message);
    }
    changed_.notify_all();
}

void Recorder::violation(const std::string& text) {
    std::lock_guard<std::mutex> g(m_);
    violations_.push_back(text);
}

std::vector<NciMessage> Recorder::received() const {
    std::lock_guard<std::mutex> g(m_);
    return received_;
}

std::vector<NciMessage> Recorder::commandsLocked() const {
    std::vector<NciMessage> out;
    for (const auto& m : received_)
        if (m.mt == MT_COMMAND) out.push_back(m);
    return out;
}

std::vector<uint16_t> Recorder::commandOpcodes() const {
    std::lock_guard<std::mutex> g(m_);
    std::vector<uint16_t> out;
    for (const auto& m : commandsLocked()) out.push_back(m.key());
    return out;
}

std::optional<NciMessage> Recorder::waitForCommand(size_t n, uint32_t timeoutMs) const {
    std::unique_lock<std::mutex> lock(m_);
    std::vector<NciMessage> commands;
    bool seen = changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
        commands = commandsLocked();
        return commands.size() > n;
    });
    if (!seen) return std::nullopt;
    return commands[n];
}

bool Recorder::waitForCommands(uint16_t opcode, size_t n, uint32_t timeoutMs) const {
    std::unique_lock<std::mutex> lock(m_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
        size_t seen = 0;
        for (const NciMessage& m : commandsLocked()) seen += m.key() == opcode;
        return seen >= n;
    });
}

bool Recorder::waitForReceived(const std::function<bool(const NciMessage&)>& match, uint32_t timeoutMs) const {
    std::unique_lock<std::mutex> lock(m_);
    size_t checked = 0;
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
        for (; checked < received_.size(); ++checked)
            if (match(received_[checked])) return true;
        return false;
    });
}

bool Recorder::waitForPackets(size_t n, uint32_t timeoutMs) const {
    std::unique_lock<std::mutex> lock(m_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return packets_.size() >= n; });
}

std::vector<PacketRecord> Recorder::packets() const {
    std::lock_guard<std::mutex> g(m_);
    return packets_;
}

std::vector<std::string> Recorder::violations() const {
    std::lock_guard<std::mutex> g(m_);
    return violations_;
}

std::string Recorder::describe() const {
    std::lock_guard<std::mutex> g(m_);
    std::string out;
    char head[32];
    for (const auto& p : packets_) {
        std::snprintf(head, sizeof head, "%6u ms %s ", p.ms, p.direction == Direction::FromHost ? "host>" : "<nfcc");
        out += head + hexBytes(p.bytes) + "\n";
    }
    for (const auto& v : violations_) out += "violation: " + v + "\n";
    return out;
}

} // namespace ncisim
