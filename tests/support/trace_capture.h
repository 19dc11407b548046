// Collects every trace line of the library while it lives, for tests that match trace texts.
#pragma once

#include <mutex>
#include <string>
#include <vector>

class TraceCapture {
public:
    TraceCapture();
    ~TraceCapture();
    TraceCapture(const TraceCapture&) = delete;
    TraceCapture& operator=(const TraceCapture&) = delete;

    std::vector<std::string> lines() const;
    bool contains(const std::string& text) const;    // any line holds the text
    size_t count(const std::string& text) const;     // lines holding the text
    void clear();

private:
    static void onLine(void* context, const char* line);
    mutable std::mutex m_;
    std::vector<std::string> lines_;
};
