#include "scripted_peer.h"

#include <cstdio>

ScriptedPeer::ScriptedPeer(PtyPair& pty, std::vector<Step> script, uint32_t stepTimeoutMs)
    : pty_(pty), script_(std::move(script)), stepTimeoutMs_(stepTimeoutMs), thread_([this] { run(); }) {}

ScriptedPeer::~ScriptedPeer() {
    if (thread_.joinable()) thread_.join();
}

std::string ScriptedPeer::wait() {
    if (thread_.joinable()) thread_.join();
    return result_;
}

void ScriptedPeer::run() {
    for (size_t k = 0; k < script_.size(); ++k) {
        const Step& step = script_[k];
        if (step.send) {
            if (!pty_.write(step.bytes)) result_ = "step " + std::to_string(k) + ": cannot send";
        } else {
            std::vector<uint8_t> got = pty_.readExact(step.bytes.size(), stepTimeoutMs_);
            if (got != step.bytes) {
                size_t at = 0;
                while (at < got.size() && got[at] == step.bytes[at]) ++at;
                result_ = "step " + std::to_string(k) + ": got " + std::to_string(got.size()) + " of " +
                          std::to_string(step.bytes.size()) + " bytes, first difference at " + std::to_string(at);
            }
        }
        if (!result_.empty()) return;
    }
}
