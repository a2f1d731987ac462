// Test programs are not beside the guardian as a module or an installed program is: each finds
// the one of its build through the variable the library reads first, unless the run names one.

#include <cstdlib>

namespace {

const bool guardian_named = [] { return ::setenv("ORVEX_GUARDIAN", ORVEX_TEST_GUARDIAN, 0) == 0; }();

}  // namespace
