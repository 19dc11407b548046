// The shared library as an application meets it: opened by its file name beside the test program,
// each export resolved by name.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "platform.h"

#define CORVANE_LIBRARY_MEMBER(name) decltype(&::name) name = nullptr;
#define CORVANE_LIBRARY_RESOLVE(name)                                                            \
    lib.name = reinterpret_cast<decltype(&::name)>(platLibrarySymbol(handle_, #name));           \
    ASSERT_NE(lib.name, nullptr) << #name;

// Declares the record `Library` of the exports EXPORTS lists (an X-macro) and the fixture
// `LoadedLibrary`, whose `lib` holds them resolved from the opened library.
#define CORVANE_LOADED_LIBRARY_FIXTURE(EXPORTS)                                                  \
    struct Library {                                                                             \
        EXPORTS(CORVANE_LIBRARY_MEMBER)                                                          \
    };                                                                                           \
    class LoadedLibrary : public ::testing::Test {                                               \
    protected:                                                                                   \
        void SetUp() override {                                                                  \
            std::string error;                                                                   \
            handle_ = platLibraryOpen(platLibraryFolder() + "libCorvane.so", &error);            \
            ASSERT_NE(handle_, nullptr) << error;                                                \
            EXPORTS(CORVANE_LIBRARY_RESOLVE)                                                     \
        }                                                                                        \
        void TearDown() override {                                                               \
            if (handle_) platLibraryClose(handle_);                                              \
        }                                                                                        \
                                                                                                 \
        void* handle_ = nullptr;                                                                 \
        Library lib;                                                                             \
    }
