// Entry point of every test executable.
#include "base/DiagnosticLog.h"

#include <gtest/gtest.h>

int main(int argc, char** argv) {
    AvCore::ConfigureDiagnosticOutput();
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
