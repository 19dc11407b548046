#include "ndefdisplay.h"

namespace {

constexpr const char* kVcardWords[] = {"vcard", "v-card"};
constexpr const char* kImageWords[] = {"picture", "image", "icon", "jpg", "jpeg", "ico", "png", "bmp", "gif"};

template <size_t N>
bool containsAny(const QString& text, const char* const (&words)[N]) {
    for (const char* word : words)
        if (text.contains(QLatin1String(word))) return true;
    return false;
}

} // namespace

int mimeKindOf(const QString& mimeType) {
    const QString lower = mimeType.toLower();
    if (containsAny(lower, kVcardWords)) return mimeVcard;
    if (containsAny(lower, kImageWords)) return mimeImage;
    return mimeOther;
}
