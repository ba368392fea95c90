/*
 * module_init.cpp - the libFuzzer start-up of the targets that only need the
 * module started against the fake host (linked into those targets).
 */
#include "fuzz_support.h"

// Starts the module once, before the first input.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::startModuleOnce();
    return 0;
}
