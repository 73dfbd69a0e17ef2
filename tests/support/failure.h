#pragma once

#include <exception>
#include <functional>
#include <gtest/gtest.h>
#include <string>

// The text of the exception that action raises; empty when it returns.
inline std::string failure(std::function<void()> const& action) {
    try {
        action();
    } catch (std::exception const& e) {
        return e.what();
    }
    return "";
}

// Passes when action raises an exception whose text holds expected, and otherwise says what it raised.
inline testing::AssertionResult raises(std::function<void()> const& action, std::string const& expected) {
    std::string const text = failure(action);
    if (text.find(expected) != std::string::npos)
        return testing::AssertionSuccess();
    return testing::AssertionFailure() << "raised \"" << text << "\", not \"" << expected << "\"";
}
