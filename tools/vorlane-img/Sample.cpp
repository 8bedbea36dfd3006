#include "Sample.h"

#include <cstdio>

int SampleMain(int, char**) {
    std::fprintf(stderr, "vorlane-img: sample is not available in this build\n");
    return 2;
}
