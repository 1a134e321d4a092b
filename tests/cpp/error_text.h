// Shared by the C++ tests: the message of the std::runtime_error that f()
// throws, or "" when it throws none.
#pragma once

#include <stdexcept>
#include <string>

template <typename F>
std::string error_text(F f) {
    try {
        f();
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "";
}
