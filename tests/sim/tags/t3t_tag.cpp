#include "tags/t3t_tag.h"

#include <algorithm>

namespace simtags {
namespace {

constexpr size_t BLOCK_SIZE = 16;
constexpr size_t LITE_USER_BLOCKS = 14, LITE_SYSTEM_CODE = 0x85, LITE_MC = 0x88;
constexpr uint8_t POLLING = 0x00, CHECK = 0x06, UPDATE = 0x08;
constexpr uint8_t SF2_SERVICE_COUNT = 0xA1, SF2_BLOCK_COUNT = 0xA2, SF2_SERVICE_ORDER = 0xA3, SF2_ACCESS = 0xA5,
                  SF2_SERVICE_CODE = 0xA6, SF2_BLOCK_NUMBER = 0xA8;

Bytes withLength(Bytes body) {
    body.insert(body.begin(), static_cast<uint8_t>(body.size() + 1));
    return body;
}

} // namespace

T3tTag::T3tTag(std::array<uint8_t, 8> id, size_t blocks, uint16_t systemCode)
    : Tag(Technology::F, Protocol::T3T, blocks * BLOCK_SIZE), systemCode(systemCode) {
    name = "T3T";
    f.bitRate = 1;
    f.sensfRes.assign(id.begin(), id.end());
    const uint8_t pmm[8] = {0x03, 0x01, 0x4B, 0x02, 0x4F, 0x49, 0x93, 0xFF};
    f.sensfRes.insert(f.sensfRes.end(), pmm, pmm + 8);
    f.sensfRes.push_back(static_cast<uint8_t>(systemCode >> 8));
    f.sensfRes.push_back(static_cast<uint8_t>(systemCode));
}

std::optional<Bytes> T3tTag::respond(const Bytes& frame) {
    if (frame.size() < 2 || frame[0] != frame.size()) return std::nullopt;
    if (frame[1] == POLLING) return poll(frame);
    if (frame[1] == CHECK || frame[1] == UPDATE) return checkOrUpdate(frame);
    return std::nullopt;
}

std::unique_ptr<T3tTag> T3tTag::felicaLite() {
    auto tag = std::make_unique<T3tTag>(std::array<uint8_t, 8>{0x01, 0x2E, 0x3D, 0x4C, 0x5B, 0x6A, 0x79, 0x88}, LITE_USER_BLOCKS,
                                        0x88B4);
    tag->name = "FeliCa Lite";
    tag->lite = true;
    tag->maxRead = 4;
    tag->maxWrite = 1;
    tag->systemCodeBlock[0] = 0x88;
    tag->systemCodeBlock[1] = 0xB4;
    tag->mc[0] = 0xFF;
    tag->mc[1] = 0xFF;
    tag->mc[2] = 0xFF;
    return tag;
}

uint8_t* T3tTag::block(size_t number) {
    if (lite && number == LITE_SYSTEM_CODE) return systemCodeBlock.data();
    if (lite && number == LITE_MC) return mc.data();
    if (number >= memory.size() / BLOCK_SIZE) return nullptr;
    return memory.data() + number * BLOCK_SIZE;
}

bool T3tTag::writable(size_t number) const {
    if (!lite) return true;
    const unsigned bits = mc[0] | mc[1] << 8;
    if (number == LITE_MC) return bits & 0x8000;
    return number < LITE_USER_BLOCKS && (bits & (1u << number));
}

// LEN 00 SC(2, first byte first) RC TSN -> LEN 01 NFCID2 PMm [request data].
std::optional<Bytes> T3tTag::poll(const Bytes& frame) const {
    if (frame.size() != 6) return std::nullopt;
    // 0xFF in either byte of the requested system code matches any value.
    bool match = (frame[2] == 0xFF || frame[2] == (systemCode >> 8)) && (frame[3] == 0xFF || frame[3] == (systemCode & 0xFF));
    if (!match) return std::nullopt;
    Bytes body{0x01};
    body.insert(body.end(), f.sensfRes.begin(), f.sensfRes.begin() + 16);
    if (frame[4] == 0x01) body.insert(body.end(), {static_cast<uint8_t>(systemCode >> 8), static_cast<uint8_t>(systemCode)});
    return withLength(std::move(body));
}

// LEN cmd NFCID2 m SC[m] (little-endian) n blocklist [data] -> LEN cmd+1 NFCID2 SF1 SF2 [n data].
std::optional<Bytes> T3tTag::checkOrUpdate(const Bytes& frame) {
    const bool update = frame[1] == UPDATE;
    const Bytes id = nfcid2();
    if (frame.size() < 11 || !std::equal(id.begin(), id.end(), frame.begin() + 2)) return std::nullopt;
    Bytes head{static_cast<uint8_t>(frame[1] + 1)};
    head.insert(head.end(), id.begin(), id.end());
    auto flagged = [&](uint8_t sf1, uint8_t sf2) {
        Bytes out = head;
        out.insert(out.end(), {sf1, sf2});
        return withLength(std::move(out));
    };
    auto status = [&](uint8_t sf2) { return flagged(sf2 ? 0x01 : 0x00, sf2); };

    size_t pos = 10;
    size_t services = frame[pos++];
    if (services == 0 || services > 16 || pos + 2 * services >= frame.size()) return status(SF2_SERVICE_COUNT);
    std::vector<uint16_t> codes;
    for (size_t k = 0; k < services; ++k, pos += 2) codes.push_back(static_cast<uint16_t>(frame[pos] | frame[pos + 1] << 8));
    size_t count = frame[pos++];
    if (count == 0 || count > (update ? maxWrite : maxRead)) return status(SF2_BLOCK_COUNT);

    std::vector<size_t> blocks;
    for (size_t k = 0; k < count; ++k) {
        if (pos >= frame.size()) return status(SF2_BLOCK_COUNT);
        uint8_t element = frame[pos];
        size_t order = element & 0x0F;
        bool shortForm = element & 0x80;
        if (pos + (shortForm ? 2u : 3u) > frame.size()) return status(SF2_BLOCK_COUNT);
        size_t number = shortForm ? frame[pos + 1] : (frame[pos + 1] | frame[pos + 2] << 8);
        pos += shortForm ? 2 : 3;
        if (order >= codes.size()) return status(SF2_SERVICE_ORDER);
        uint16_t code = codes[order];
        if (code != SERVICE_READ && code != SERVICE_READ_WRITE) return status(SF2_SERVICE_CODE);
        if (update && code != SERVICE_READ_WRITE) return status(SF2_ACCESS);
        if (!block(number)) return flagged(0xFF, SF2_BLOCK_NUMBER);
        if (update && !writable(number)) return status(SF2_ACCESS);
        blocks.push_back(number);
    }
    if (frame.size() != pos + (update ? count * BLOCK_SIZE : 0)) return status(SF2_BLOCK_COUNT);

    if (update) {
        for (size_t k = 0; k < count; ++k)
            std::copy_n(frame.begin() + static_cast<std::ptrdiff_t>(pos + k * BLOCK_SIZE), BLOCK_SIZE, block(blocks[k]));
        return status(0);
    }
    Bytes out = head;
    out.insert(out.end(), {0x00, 0x00, static_cast<uint8_t>(count)});
    for (size_t b : blocks) {
        const uint8_t* begin = block(b);
        out.insert(out.end(), begin, begin + BLOCK_SIZE);
    }
    return withLength(std::move(out));
}

Exchange T3tTag::describe(const Bytes& command) const {
    Exchange e;
    if (command.size() > 1) e.op = command[1];
    if (command.size() > 2) e.data.assign(command.begin() + 2, command.end());
    return e;
}

} // namespace simtags
