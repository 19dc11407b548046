#include "trace_capture.h"

#include "corvane.h"

TraceCapture::TraceCapture() { debugCaptureOutputEx(&TraceCapture::onLine, this); }
TraceCapture::~TraceCapture() { debugCaptureOutputEx(nullptr, nullptr); }

void TraceCapture::onLine(void* context, const char* line) {
    auto* self = static_cast<TraceCapture*>(context);
    std::lock_guard<std::mutex> g(self->m_);
    self->lines_.emplace_back(line);
}

std::vector<std::string> TraceCapture::lines() const {
    std::lock_guard<std::mutex> g(m_);
    return lines_;
}

bool TraceCapture::contains(const std::string& text) const { return count(text) > 0; }

size_t TraceCapture::count(const std::string& text) const {
    std::lock_guard<std::mutex> g(m_);
    size_t n = 0;
    for (const auto& l : lines_)
        if (l.find(text) != std::string::npos) ++n;
    return n;
}

void TraceCapture::clear() {
    std::lock_guard<std::mutex> g(m_);
    lines_.clear();
}
