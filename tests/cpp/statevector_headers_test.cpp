// Header check: statevector/CMakeLists.txt generates one translation unit per
// header of statevector/ that includes that header and nothing else, and
// links them into this executable, so a header that leans on another's
// includes fails to build.  The test only gives ctest the executable to run.
#include <gtest/gtest.h>

TEST(StatevectorHeaders, EachCompilesOnItsOwn) { SUCCEED(); }
