#pragma once

#include <functional>
#include <stdexcept>
#include <string>

// The text of the std::runtime_error that action raises, or "no failure" when it returns.
inline std::string failure(std::function<void()> const& action) {
    try {
        action();
    } catch (std::runtime_error const& e) {
        return e.what();
    }
    return "no failure";
}
