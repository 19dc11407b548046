// Every ndef name Lumaro binds is declared in the public header and exported by the shared
// library; the descriptor keeps the field order of its 32-bit form with pointer-sized pointers.
#include <gtest/gtest.h>

#include <cstddef>
#include <type_traits>

#include "corvane.h"
#include "corvane_exports.h"
#include "platform.h"

namespace {

#define DECLARED(name) static_assert(std::is_function_v<std::remove_pointer_t<decltype(&name)>>, #name);
CORVANE_BOUND_NDEF_EXPORTS(DECLARED)
#undef DECLARED

constexpr size_t kPtr = sizeof(void*);
static_assert(offsetof(TNdefRecordInfo, chunked) == 8 && offsetof(TNdefRecordInfo, tnf) == 12);
static_assert(offsetof(TNdefRecordInfo, type) == 16 && offsetof(TNdefRecordInfo, typeLength) == 16 + kPtr);
static_assert(offsetof(TNdefRecordInfo, recordTypeId) == 20 + kPtr);
static_assert(offsetof(TNdefRecordInfo, record) == 48 && offsetof(TNdefRecordInfo, recordLength) == 48 + kPtr);
static_assert(offsetof(TNdefRecordInfo, text.language) == 64 + kPtr);
static_assert(offsetof(TNdefRecordInfo, payload.length) == 64 + kPtr);
static_assert(offsetof(TNdefRecordInfo, alternativeCarrier.auxiliaryCount) == 64 + 2 * kPtr + 1);
static_assert(sizeof(TNdefHandoverError) == 8);

TEST(NdefExports, EveryBoundNameIsExportedByTheSharedLibrary) {
    std::string error;
    void* library = platLibraryOpen(platLibraryFolder() + "libCorvane.so", &error);
    ASSERT_NE(library, nullptr) << error;
#define EXPORTED(name) EXPECT_NE(platLibrarySymbol(library, #name), nullptr) << #name;
    CORVANE_BOUND_NDEF_EXPORTS(EXPORTED)
#undef EXPORTED
    platLibraryClose(library);
}

} // namespace
