// What every export of the fake does: log its call with its arguments (and the bytes it was
// handed) and answer the result the test scripted for it (0 unless set).
#pragma once

#include <algorithm>
#include <cstdio>
#include <string>
#include <type_traits>
#include <vector>

#include "corvane.h"
#include "fake_control.h"

template <typename T>
std::string describeArgument(T value) {
    if constexpr (std::is_same_v<std::decay_t<T>, const char*> || std::is_same_v<std::decay_t<T>, char*>) {
        return value ? "\"" + std::string(value) + "\"" : "null";
    } else if constexpr (std::is_pointer_v<T>) {
        char text[32];
        snprintf(text, sizeof text, "%p", reinterpret_cast<const void*>(value));
        return text;
    } else {
        // snprintf rather than std::to_string, whose shared digit table would keep the fake
        // loaded after the binding unloads it.
        char text[24];
        if constexpr (std::is_signed_v<T>)
            snprintf(text, sizeof text, "%lld", static_cast<long long>(value));
        else
            snprintf(text, sizeof text, "%llu", static_cast<unsigned long long>(value));
        return text;
    }
}

template <typename Result, typename... Arguments>
Result fakeCallWithBuffer(const char* name, std::vector<uint8_t> buffer, Arguments... arguments) {
    FakeCorvane& engine = FakeCorvane::instance();
    engine.record(FakeCall{name, {describeArgument(arguments)...}, std::move(buffer)});
    return static_cast<Result>(engine.result(name));
}

template <typename Result, typename... Arguments>
Result fakeCall(const char* name, Arguments... arguments) {
    return fakeCallWithBuffer<Result>(name, {}, arguments...);
}

// An export that answers bytes: logs the offered room, then on success writes the queued answer
// (cut to the room) and its length.
template <typename Length, typename... Arguments>
NfcApiStatus fakeAnsweringCall(const char* name, std::vector<uint8_t> buffer, BYTE* output, Length* outputLength,
                               Arguments... arguments) {
    FakeCorvane& engine = FakeCorvane::instance();
    FakeCall call{name, {describeArgument(arguments)...}, std::move(buffer)};
    call.capacity = outputLength ? static_cast<uint32_t>(*outputLength) : 0;
    engine.record(std::move(call));
    const NfcApiStatus status = engine.result(name);
    if (status != nfcStatusOk || !outputLength) return status;
    std::vector<uint8_t> answer = engine.takeAnswer(name);
    const size_t count = output ? std::min<size_t>(answer.size(), *outputLength) : 0;
    for (size_t i = 0; i < count; ++i) output[i] = answer[i];
    *outputLength = static_cast<Length>(count);
    return status;
}

// An NDEF export: logged, then answered by the real library's export of that name when a test
// named one and scripted no failure.
template <typename Result, typename... Arguments>
Result fakeNdefCall(const char* name, Arguments... arguments) {
    const Result scripted = fakeCall<Result>(name, arguments...);
    using Function = Result (*)(Arguments...);
    auto* real = reinterpret_cast<Function>(FakeCorvane::instance().ndefExport(name));
    return scripted == 0 && real ? real(arguments...) : scripted;
}

inline std::vector<uint8_t> fakeBytes(const void* data, size_t length) {
    const auto* bytes = static_cast<const uint8_t*>(data);
    return bytes ? std::vector<uint8_t>(bytes, bytes + length) : std::vector<uint8_t>{};
}
