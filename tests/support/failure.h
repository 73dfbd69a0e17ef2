#pragma once

#include <exception>
#include <functional>
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
