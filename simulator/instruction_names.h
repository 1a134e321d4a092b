// The instruction names that are not gates, compared with exact case: gate
// application passes them over, and the drivers act on them themselves.
#pragma once

#include <string>
#include <string_view>

inline bool is_measure(std::string_view name) { return name == "MEASURE"; }

inline bool is_reset(std::string_view name) { return name == "RESET"; }

// Markers change nothing in a simulation: no barrier is kept and no
// condition or loop of QIF and QWHILE is evaluated.
inline bool is_marker(std::string_view name) { return name == "BARRIER" || name == "QIF" || name == "QWHILE"; }
