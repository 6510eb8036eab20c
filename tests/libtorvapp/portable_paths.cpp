// Linked into the test programs registered twice: with QV_TEST_PORTABLE_PATHS
// set, every test of the program runs with the library's portable code paths
// forced, whatever the processor offers.
#include <gtest/gtest.h>

#include <cstdlib>

#include "libtorvapp/qvcommon/qvcpu.h"

namespace {

class PortablePaths : public ::testing::Environment {
public:
    void SetUp() override
    {
        const char* v = std::getenv("QV_TEST_PORTABLE_PATHS");
        qvCpuForcePortable(v != nullptr && *v != '\0' && *v != '0');
    }
};

::testing::Environment* const g_portablePaths = ::testing::AddGlobalTestEnvironment(new PortablePaths);

} // namespace
