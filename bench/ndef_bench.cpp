// Building and parsing throughput of typical NDEF messages, in messages and bytes per second.
// Each runs with the trace words at 0 and with the words as the library loads them and no trace
// sink, which is what an application that configures nothing gets; the two parse figures of the
// twenty-record message are set side by side at the end.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "corvane.h"

namespace {

using Builder = std::function<NdefStatus(uint8_t*, uint32_t*)>;

const uint8_t* u8(const char* s) { return reinterpret_cast<const uint8_t*>(s); }

const std::vector<uint8_t>& picture() {
    static const std::vector<uint8_t> bytes(64 * 1024, 0xA5);
    return bytes;
}

// Twenty records of four kinds, as a tag holding a small catalogue would carry them.
NdefStatus twentyRecords(uint8_t* buffer, uint32_t* length) {
    static const uint8_t payload[48] = {};
    TNdefRecordInfo records[20] = {};
    TNdefRecordInfo* list[20];
    for (int i = 0; i < 20; ++i) {
        TNdefRecordInfo& r = records[i];
        list[i] = &r;
        switch (i % 4) {
        case 0:
            r.recordTypeId = NDEF_ID_TEXT;
            r.text.language = u8("en");
            r.text.languageLength = 2;
            r.text.text = u8("An entry of the catalogue");
            r.text.textLength = 25;
            break;
        case 1:
            r.recordTypeId = NDEF_ID_URI;
            r.uri.prefixCode = 0x02;
            r.uri.rest = u8("example.org/catalogue/entry");
            r.uri.restLength = 27;
            break;
        case 2:
            r.recordTypeId = NDEF_ID_MIME;
            r.type = u8("application/json");
            r.typeLength = 16;
            r.payload.data = payload;
            r.payload.length = sizeof payload;
            break;
        default:
            r.tnf = NDEF_TNF_EXTERNAL;
            r.recordTypeId = NDEF_ID_EXTERNAL;
            r.type = u8("example.org:entry");
            r.typeLength = 17;
            r.payload.data = payload;
            r.payload.length = 16;
            break;
        }
    }
    return ndefCreateMessageEx(list, 20, buffer, length);
}

constexpr uint32_t kLoadedNfcWord = 0xFFFFFFFFu;
constexpr int kRepetitions = 5;

struct Mode {
    const char* name;
    uint32_t nfcWord;
};
const Mode kModes[] = {{"traces_at_0", 0}, {"as_loaded", kLoadedNfcWord}};

// Real time per iteration, by benchmark name, for the summary.
std::map<std::string, double> g_times;

struct Message {
    const char* name;
    Builder build;
};

const Message kMessages[] = {
    {"uri", [](uint8_t* b, uint32_t* l) { return ndefCreateUriMessage("https://www.example.org/index.html", b, l); }},
    {"smart_poster",
     [](uint8_t* b, uint32_t* l) {
         return ndefCreateSmartPosterUriMessage(u8("Example"), 7, "en", 0, "https://www.example.org/", 0, b, l);
     }},
    {"mime_64k",
     [](uint8_t* b, uint32_t* l) {
         return ndefCreateMimeMessage(picture().data(), static_cast<uint32_t>(picture().size()), "image/png", b, l);
     }},
    {"twenty_records", twentyRecords},
};

std::vector<uint8_t> encode(const Builder& build) {
    std::vector<uint8_t> buffer(128 * 1024);
    uint32_t length = static_cast<uint32_t>(buffer.size());
    if (build(buffer.data(), &length) != NDEF_OK) return {};
    buffer.resize(length);
    return buffer;
}

void report(benchmark::State& state, size_t bytes) {
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
}

void buildMessage(benchmark::State& state, const Builder& build, uint32_t nfcWord) {
    debugSetFlags(nfcWord);
    std::vector<uint8_t> buffer(128 * 1024);
    const size_t size = encode(build).size();
    if (size == 0) {
        state.SkipWithError("the message does not build");
        return;
    }
    for (auto _ : state) {
        uint32_t length = static_cast<uint32_t>(buffer.size());
        benchmark::DoNotOptimize(build(buffer.data(), &length));
        benchmark::ClobberMemory();
    }
    report(state, size);
}

void parseMessage(benchmark::State& state, const Builder& build, uint32_t nfcWord) {
    debugSetFlags(nfcWord);
    const std::vector<uint8_t> message = encode(build);
    auto count = [](void* context, const TNdefRecordInfo* record) -> uint32_t {
        *static_cast<uint64_t*>(context) += record->recordLength;
        return 1;
    };
    for (auto _ : state) {
        uint64_t seen = 0;
        NdefStatus status = ndefParseMessage(count, &seen, message.data(), static_cast<uint32_t>(message.size()));
        if (status != NDEF_OK) {
            state.SkipWithError("the message does not parse");
            break;
        }
        benchmark::DoNotOptimize(seen);
    }
    report(state, message.size());
}

class TimeReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs)
            if (!run.error_occurred && run.run_type == Run::RT_Aggregate && run.aggregate_name == "median")
                g_times[run.run_name.function_name] = run.GetAdjustedRealTime();
        ConsoleReporter::ReportRuns(runs);
    }
};

void printSummary() {
    const auto zero = g_times.find("parse/twenty_records/traces_at_0");
    const auto loaded = g_times.find("parse/twenty_records/as_loaded");
    if (zero == g_times.end() || loaded == g_times.end() || zero->second <= 0) return;
    std::printf("parse of twenty records, medians: as loaded %.3f us, traces at 0 %.3f us, ratio %.2f\n", loaded->second / 1000,
                zero->second / 1000, loaded->second / zero->second);
}

} // namespace

int main(int argc, char** argv) {
    if (const char* sink = std::getenv("CORVANE_TRACE"); sink && *sink)
        std::printf("note: CORVANE_TRACE is set, so the figures include writing every trace line\n");
    // The two modes of one message run one after the other, and each is repeated: the medians of
    // neighbours are what a busy machine still lets compare.
    for (const Message& m : kMessages) {
        for (const char* kind : {"build/", "parse/"}) {
            for (const Mode& mode : kModes) {
                const std::string name = kind + std::string(m.name) + "/" + mode.name;
                auto* b = *kind == 'b' ? benchmark::RegisterBenchmark(name.c_str(), buildMessage, m.build, mode.nfcWord)
                                       : benchmark::RegisterBenchmark(name.c_str(), parseMessage, m.build, mode.nfcWord);
                b->Repetitions(kRepetitions)->ReportAggregatesOnly(true);
            }
        }
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    TimeReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    printSummary();
    debugSetFlags(0);
    benchmark::Shutdown();
    return 0;
}
