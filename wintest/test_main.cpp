// The Windows tests run on one thread in one apartment, as the program does on its GUI thread.

#include "com/com_dispatch.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <cstdio>

int main(int argc, char **argv)
{
    testing::InitGoogleTest(&argc, argv);

    velmora::ComApartment apartment;
    if (!apartment.usable()) {
        std::fprintf(stderr, "COM: %s\n", apartment.status().description.c_str());
        return 1;
    }
    auto &counter = velmora::wintest::TaskMemoryCounter::instance();
    if (!counter.start()) {
        std::fprintf(stderr, "cannot count COM task memory (CoRegisterMallocSpy failed)\n");
        return 1;
    }
    const int status = RUN_ALL_TESTS();
    counter.stop();
    return status;
}
