// A Kovio barcode tag: it talks first, sending its fixed identifier again and again, and takes
// no commands; whatever a poller sends, what it receives next is the identifier.
#pragma once

#include "tags/tag.h"

namespace simtags {

class KovioTag : public Tag {
public:
    explicit KovioTag(Bytes identifier = {0x81, 0x0A, 0xCB, 0x03, 0x24, 0x55, 0x66, 0x77, 0x88, 0x99, 0xAA, 0xBB, 0xCC,
                                          0xDD, 0xEE, 0x0F});

protected:
    std::optional<Bytes> respond(const Bytes&) override { return barcode; }
};

} // namespace simtags
