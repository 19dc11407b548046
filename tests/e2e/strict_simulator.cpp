// Every end-to-end test fails when the stack breaches NCI towards the simulated controller.
#include <gtest/gtest.h>

#include "api_stack.h"

namespace {

const bool kStrict = [] {
    ApiStack::violationSink() = [](const std::string& log) { ADD_FAILURE() << "NCI breached:\n" << log; };
    return true;
}();

} // namespace
