// Shared by the fuzz targets and the replay driver, with the headers they all use.
#pragma once

#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

// A broken property is a finding: it is named on descriptor 2 (a target may point the stderr stream
// elsewhere), then abort() ends the run and libFuzzer saves the input.
#define FUZZ_CHECK(condition)                                                                      \
    ((condition) ? void()                                                                          \
                 : (dprintf(STDERR_FILENO, "%s:%d: failed: %s\n", __FILE__, __LINE__, #condition), \
                    std::abort()))
