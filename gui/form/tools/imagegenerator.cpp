// Draws every picture the form's resources hold: the tag and technology pictures (a card
// outline, an antenna coil and the technology's name), the two word-mark logos and the
// application icon. Pure integer drawing with a built-in bitmap font, so the output is the
// same on every machine and the committed files can be checked against a fresh run.
//
// Usage: lumaro_image_generator <output folder>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct Rgb {
    uint8_t r, g, b;
    bool operator==(const Rgb&) const = default;
};

constexpr Rgb kWhite{255, 255, 255};
constexpr Rgb kKey{255, 0, 255};  // logo background: the artwork never uses it
constexpr Rgb kCardFill{232, 240, 248};
constexpr Rgb kCardEdge{32, 64, 128};
constexpr Rgb kCoil{192, 112, 32};
constexpr Rgb kChip{96, 96, 96};
constexpr Rgb kInk{16, 32, 80};
constexpr Rgb kAccent{0, 136, 204};

// 5x7 glyphs, one string of five columns per row, '#' set.
struct Glyph {
    char c;
    const char* rows[7];
};
constexpr Glyph kFont[] = {
    {'A', {".###.", "#...#", "#...#", "#####", "#...#", "#...#", "#...#"}},
    {'B', {"####.", "#...#", "#...#", "####.", "#...#", "#...#", "####."}},
    {'C', {".###.", "#...#", "#....", "#....", "#....", "#...#", ".###."}},
    {'D', {"####.", "#...#", "#...#", "#...#", "#...#", "#...#", "####."}},
    {'E', {"#####", "#....", "#....", "####.", "#....", "#....", "#####"}},
    {'F', {"#####", "#....", "#....", "####.", "#....", "#....", "#...."}},
    {'G', {".###.", "#...#", "#....", "#.###", "#...#", "#...#", ".####"}},
    {'H', {"#...#", "#...#", "#...#", "#####", "#...#", "#...#", "#...#"}},
    {'I', {".###.", "..#..", "..#..", "..#..", "..#..", "..#..", ".###."}},
    {'J', {"..###", "...#.", "...#.", "...#.", "...#.", "#..#.", ".##.."}},
    {'K', {"#...#", "#..#.", "#.#..", "##...", "#.#..", "#..#.", "#...#"}},
    {'L', {"#....", "#....", "#....", "#....", "#....", "#....", "#####"}},
    {'M', {"#...#", "##.##", "#.#.#", "#.#.#", "#...#", "#...#", "#...#"}},
    {'N', {"#...#", "#...#", "##..#", "#.#.#", "#..##", "#...#", "#...#"}},
    {'O', {".###.", "#...#", "#...#", "#...#", "#...#", "#...#", ".###."}},
    {'P', {"####.", "#...#", "#...#", "####.", "#....", "#....", "#...."}},
    {'R', {"####.", "#...#", "#...#", "####.", "#.#..", "#..#.", "#...#"}},
    {'S', {".####", "#....", "#....", ".###.", "....#", "....#", "####."}},
    {'T', {"#####", "..#..", "..#..", "..#..", "..#..", "..#..", "..#.."}},
    {'U', {"#...#", "#...#", "#...#", "#...#", "#...#", "#...#", ".###."}},
    {'V', {"#...#", "#...#", "#...#", "#...#", "#...#", ".#.#.", "..#.."}},
    {'W', {"#...#", "#...#", "#...#", "#.#.#", "#.#.#", "#.#.#", ".#.#."}},
    {'Z', {"#####", "....#", "...#.", "..#..", ".#...", "#....", "#####"}},
    {'0', {".###.", "#...#", "#..##", "#.#.#", "##..#", "#...#", ".###."}},
    {'1', {"..#..", ".##..", "..#..", "..#..", "..#..", "..#..", ".###."}},
    {'2', {".###.", "#...#", "....#", "...#.", "..#..", ".#...", "#####"}},
    {'3', {"#####", "...#.", "..#..", "...#.", "....#", "#...#", ".###."}},
    {'4', {"...#.", "..##.", ".#.#.", "#..#.", "#####", "...#.", "...#."}},
    {'5', {"#####", "#....", "####.", "....#", "....#", "#...#", ".###."}},
    {'6', {"..##.", ".#...", "#....", "####.", "#...#", "#...#", ".###."}},
    {'9', {".###.", "#...#", "#...#", ".####", "....#", "...#.", ".##.."}},
};
constexpr int kGlyphWidth = 5, kGlyphHeight = 7, kGlyphAdvance = 6;

const Glyph* glyphFor(char c) {
    for (const Glyph& g : kFont) {
        if (g.c == c) return &g;
    }
    return nullptr;  // blank
}

class Canvas {
public:
    Canvas(int width, int height, Rgb background) : w(width), h(height), pixels(size_t(width) * height, background) {}

    int width() const { return w; }
    int height() const { return h; }
    Rgb at(int x, int y) const { return pixels[size_t(y) * w + x]; }
    void set(int x, int y, Rgb c) {
        if (x >= 0 && y >= 0 && x < w && y < h) pixels[size_t(y) * w + x] = c;
    }
    void fill(int x0, int y0, int x1, int y1, Rgb c) {
        for (int y = y0; y <= y1; ++y)
            for (int x = x0; x <= x1; ++x) set(x, y, c);
    }
    void frame(int x0, int y0, int x1, int y1, Rgb c) {
        fill(x0, y0, x1, y0, c);
        fill(x0, y1, x1, y1, c);
        fill(x0, y0, x0, y1, c);
        fill(x1, y0, x1, y1, c);
    }
    static int textWidth(const std::string& s, int scale) {
        return s.empty() ? 0 : (int(s.size()) * kGlyphAdvance - 1) * scale;
    }
    void text(const std::string& s, int x, int y, int scale, Rgb c) {
        for (char ch : s) {
            if (const Glyph* g = glyphFor(ch)) {
                for (int row = 0; row < kGlyphHeight; ++row)
                    for (int col = 0; col < kGlyphWidth; ++col)
                        if (g->rows[row][col] == '#')
                            fill(x + col * scale, y + row * scale, x + col * scale + scale - 1,
                                 y + row * scale + scale - 1, c);
            }
            x += kGlyphAdvance * scale;
        }
    }
    void centredText(const std::string& s, int y, int scale, Rgb c) {
        text(s, (w - textWidth(s, scale)) / 2, y, scale, c);
    }

private:
    int w, h;
    std::vector<Rgb> pixels;
};

void put16(std::vector<uint8_t>& out, uint32_t v) {
    out.push_back(uint8_t(v));
    out.push_back(uint8_t(v >> 8));
}
void put32(std::vector<uint8_t>& out, uint32_t v) {
    put16(out, v & 0xFFFF);
    put16(out, v >> 16);
}

// BITMAPINFOHEADER; an icon image declares twice its height (colour map plus mask).
void putInfoHeader(std::vector<uint8_t>& out, int width, int height, int bits, uint32_t imageSize, uint32_t colours) {
    put32(out, 40);
    put32(out, uint32_t(width));
    put32(out, uint32_t(height));
    put16(out, 1);
    put16(out, uint16_t(bits));
    put32(out, 0);  // no compression
    put32(out, imageSize);
    put32(out, 2835);  // 72 dpi
    put32(out, 2835);
    put32(out, colours);
    put32(out, 0);
}

std::vector<uint8_t> encodeBmp24(const Canvas& c) {
    const uint32_t rowSize = (uint32_t(c.width()) * 3 + 3) & ~3u;
    const uint32_t imageSize = rowSize * uint32_t(c.height());
    std::vector<uint8_t> out;
    out.push_back('B');
    out.push_back('M');
    put32(out, 14 + 40 + imageSize);
    put32(out, 0);
    put32(out, 14 + 40);
    putInfoHeader(out, c.width(), c.height(), 24, imageSize, 0);
    for (int y = c.height() - 1; y >= 0; --y) {  // bottom-up
        size_t start = out.size();
        for (int x = 0; x < c.width(); ++x) {
            Rgb p = c.at(x, y);
            out.push_back(p.b);
            out.push_back(p.g);
            out.push_back(p.r);
        }
        out.resize(start + rowSize, 0);
    }
    return out;
}

// An 8-bit icon image: palette, colour indexes and a mask that hides every pixel of `clear`.
std::vector<uint8_t> encodeIconImage(const Canvas& c, const std::vector<Rgb>& palette, Rgb clear) {
    const int w = c.width(), h = c.height();
    const uint32_t xorRow = (uint32_t(w) + 3) & ~3u;
    const uint32_t andRow = ((uint32_t(w) + 31) / 32) * 4;
    std::vector<uint8_t> out;
    putInfoHeader(out, w, 2 * h, 8, (xorRow + andRow) * uint32_t(h), 256);
    for (int i = 0; i < 256; ++i) {
        Rgb p = i < int(palette.size()) ? palette[size_t(i)] : Rgb{0, 0, 0};
        out.insert(out.end(), {p.b, p.g, p.r, 0});
    }
    for (int y = h - 1; y >= 0; --y) {
        size_t start = out.size();
        for (int x = 0; x < w; ++x) {
            uint8_t index = 0;
            for (size_t i = 0; i < palette.size(); ++i)
                if (palette[i] == c.at(x, y)) index = uint8_t(i);
            out.push_back(index);
        }
        out.resize(start + xorRow, 0);
    }
    for (int y = h - 1; y >= 0; --y) {
        std::vector<uint8_t> row(andRow, 0);
        for (int x = 0; x < w; ++x)
            if (c.at(x, y) == clear) row[size_t(x / 8)] |= uint8_t(0x80 >> (x % 8));
        out.insert(out.end(), row.begin(), row.end());
    }
    return out;
}

std::vector<uint8_t> encodeIco(const std::vector<Canvas>& images, const std::vector<Rgb>& palette, Rgb clear) {
    std::vector<std::vector<uint8_t>> data;
    for (const Canvas& c : images) data.push_back(encodeIconImage(c, palette, clear));
    std::vector<uint8_t> out;
    put16(out, 0);
    put16(out, 1);  // icon
    put16(out, uint16_t(images.size()));
    uint32_t offset = 6 + 16 * uint32_t(images.size());
    for (size_t i = 0; i < images.size(); ++i) {
        out.push_back(uint8_t(images[i].width()));
        out.push_back(uint8_t(images[i].height()));
        out.push_back(0);  // 256 colours
        out.push_back(0);
        put16(out, 1);
        put16(out, 8);
        put32(out, uint32_t(data[i].size()));
        put32(out, offset);
        offset += uint32_t(data[i].size());
    }
    for (const auto& d : data) out.insert(out.end(), d.begin(), d.end());
    return out;
}

struct TagPicture {
    const char* name;
    const char* line1;
    const char* line2;
};
constexpr TagPicture kTagPictures[] = {
    {"iso14443A", "ISO", "14443A"},          {"iso14443B", "ISO", "14443B"},
    {"iso15693", "ISO", "15693"},            {"innovisionTopaz", "JEWEL", "TOPAZ"},
    {"kovioBarcode", "KOVIO", "BARCODE"},    {"sonyFelica", "FELICA", ""},
    {"nxpMifareUltralight", "MIFARE", "ULTRALIGHT"}, {"nxpMifareClassic1K", "MIFARE", "CLASSIC 1K"},
    {"nxpMifareClassic4K", "MIFARE", "CLASSIC 4K"},  {"nxpMifareS20", "MIFARE", "S20"},
    {"nxpMifarePlus2K", "MIFARE", "PLUS 2K"},        {"nxpMifarePlus4K", "MIFARE", "PLUS 4K"},
    {"nxpMifareDesfire", "MIFARE", "DESFIRE"},       {"nfcForumNdef", "NFC", "NDEF"},
    {"nfcForumP2p", "NFC", "P2P"},                   {"nfcForumCe", "NFC", "CE"},
};

// The largest of scales 1 and 2 at which the line fits inside the card.
int scaleFor(const std::string& line, int room) { return Canvas::textWidth(line, 2) <= room ? 2 : 1; }

Canvas drawTag(const TagPicture& t) {
    Canvas c(104, 82, kWhite);
    c.fill(5, 4, 98, 77, kCardFill);
    c.frame(5, 4, 98, 77, kCardEdge);
    c.frame(6, 5, 97, 76, kCardEdge);
    for (int x : {5, 98})
        for (int y : {4, 77}) c.set(x, y, kWhite);  // rounded corners
    for (int turn = 0; turn < 3; ++turn) c.frame(12 + 3 * turn, 10 + 3 * turn, 50 - 3 * turn, 36 - 3 * turn, kCoil);
    c.fill(27, 19, 35, 27, kChip);
    c.fill(56, 12, 91, 14, kAccent);
    c.fill(56, 20, 84, 22, kAccent);
    c.fill(56, 28, 77, 30, kAccent);
    const std::string line1 = t.line1, line2 = t.line2;
    const int room = 84;
    int s1 = scaleFor(line1, room);
    c.centredText(line1, line2.empty() ? 50 : 42, s1, kInk);
    if (!line2.empty()) c.centredText(line2, 60, scaleFor(line2, room), kInk);
    return c;
}

Canvas drawOemLogo() {
    Canvas c(151, 36, kKey);
    c.fill(8, 3, 142, 32, kCardEdge);
    c.fill(10, 5, 140, 30, kCardFill);
    c.centredText("OEM", 8, 3, kInk);
    return c;
}

Canvas drawMakerLogo() {
    Canvas c(94, 51, kKey);
    c.text("MARVELD", 5, 8, 2, kInk);
    c.fill(5, 26, 88, 28, kAccent);
    c.centredText("NFC", 33, 2, kCardEdge);
    return c;
}

Canvas drawIcon(int size) {
    Canvas c(size, size, kWhite);
    const int scale = size / 8;
    c.fill(1, 1, size - 2, size - 2, kCardEdge);
    c.text("N", (size - Canvas::textWidth("N", scale)) / 2, (size - kGlyphHeight * scale) / 2, scale, kCardFill);
    return c;
}

bool writeFile(const std::string& path, const std::vector<uint8_t>& bytes) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) {
        std::fprintf(stderr, "cannot write %s\n", path.c_str());
        return false;
    }
    bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return std::fclose(f) == 0 && ok;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <output folder>\n", argv[0]);
        return 2;
    }
    const std::string dir = std::string(argv[1]) + "/";
    bool ok = true;
    for (const TagPicture& t : kTagPictures) ok &= writeFile(dir + t.name + ".bmp", encodeBmp24(drawTag(t)));
    ok &= writeFile(dir + "oem.bmp", encodeBmp24(drawOemLogo()));
    ok &= writeFile(dir + "marveld.bmp", encodeBmp24(drawMakerLogo()));
    const std::vector<Rgb> iconPalette = {kWhite, kCardEdge, kCardFill};
    ok &= writeFile(dir + "applicationIcon.ico", encodeIco({drawIcon(16), drawIcon(32)}, iconPalette, kWhite));
    return ok ? 0 : 1;
}
