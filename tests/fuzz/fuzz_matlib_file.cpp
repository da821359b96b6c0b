// Matrix text files of any content: reading stays inside its line, row and
// token buffers.

#include "engine/matlib.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <unistd.h>

namespace {
char path[] = "/tmp/fuzz_matlib_XXXXXX";
}

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    const int fd = mkstemp(path);
    if (fd < 0)
        std::abort();
    close(fd);
    std::atexit([] { unlink(path); });
    // The counting functions print their counts.
    if (!std::freopen("/dev/null", "w", stdout))
        std::abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FILE *file = std::fopen(path, "wb");
    if (!file)
        return 0;
    std::fwrite(data, 1, size, file);
    std::fclose(file);

    const int rows = FileReadRow_S(path);
    const int cols = FileReadCol_S(path);
    double *m = MatRead_S(path);
    if ((rows > 0 && cols > 0) != (m != nullptr))
        __builtin_trap();
    if (m) {
        // Touch every element: reading past the allocation is caught by ASan.
        volatile double sum = 0;
        for (long e = 0; e < long(rows) * cols; ++e)
            sum = sum + m[e];
        std::free(m);
    }

    return 0;
}
