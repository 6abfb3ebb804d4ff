#pragma once
// Test helper: the CoreError a bridge call throws.
#include <gtest/gtest.h>

#include "BrivetCore/BrivetCore.h"

namespace bridge_test {

// Runs `call` and returns the CoreError it throws; fails the test otherwise.
template <typename Call>
brivet::BrivetCore::CoreError coreErrorOf(Call&& call) {
    try {
        call();
    } catch (const brivet::BrivetCore::CoreError& error) {
        return error;
    }
    ADD_FAILURE() << "no CoreError was thrown";
    return brivet::BrivetCore::CoreError("none");
}

}  // namespace bridge_test
