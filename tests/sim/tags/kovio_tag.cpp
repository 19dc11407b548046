#include "tags/kovio_tag.h"

namespace simtags {

KovioTag::KovioTag(Bytes identifier) : Tag(Technology::Kovio, Protocol::Kovio) {
    name = "Kovio";
    barcode = std::move(identifier);
}

} // namespace simtags
