#include <gtest/gtest.h>

#include <iterator>
#include <set>
#include <string>
#include <type_traits>

#include "corvane.h"
#include "corvane_exports.h"

namespace {

#define EXPORT_NAME(name) #name,
constexpr const char* kBound[] = {CORVANE_BOUND_EXPORTS(EXPORT_NAME)};
constexpr const char* kNdef[] = {CORVANE_BOUND_NDEF_EXPORTS(EXPORT_NAME)};
constexpr const char* kOther[] = {CORVANE_OTHER_EXPORTS(EXPORT_NAME)};
constexpr const char* kAll[] = {CORVANE_ALL_EXPORTS(EXPORT_NAME)};
#undef EXPORT_NAME

// Every listed export outside the ndef family is a function of the public header.
#define DECLARED(name) static_assert(std::is_function_v<std::remove_pointer_t<decltype(&name)>>, #name);
CORVANE_BOUND_NFC_EXPORTS(DECLARED)
CORVANE_BOUND_DEBUG_EXPORTS(DECLARED)
CORVANE_OTHER_EXPORTS(DECLARED)
#undef DECLARED

bool isNdef(const std::string& name) { return name.rfind("ndef", 0) == 0; }

} // namespace

TEST(Exports, LumaroBinds106NamesFromNfcInitializeToDebugGetL1Flags) {
    ASSERT_EQ(std::size(kBound), 106u);
    EXPECT_STREQ(kBound[0], "nfcInitialize");
    EXPECT_STREQ(kBound[62], "ndefParseMessage");
    EXPECT_STREQ(kBound[105], "debugGetL1Flags");
    EXPECT_EQ(std::size(kOther), 7u);
}

TEST(Exports, NoNameIsListedTwice) {
    std::set<std::string> names(std::begin(kAll), std::end(kAll));
    EXPECT_EQ(names.size(), std::size(kAll));
    EXPECT_EQ(std::size(kAll), 113u);
}

TEST(Exports, OnlyTheNdefBlockHoldsNdefNames) {
    // The declaration check above skips exactly that block.
    size_t ndefNames = 0;
    for (const char* name : kAll) ndefNames += isNdef(name);
    EXPECT_EQ(ndefNames, std::size(kNdef));
    for (const char* name : kNdef) EXPECT_TRUE(isNdef(name)) << name;
}
