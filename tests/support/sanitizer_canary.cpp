// Deliberate faults for the canary tests: each ends cleanly unless the
// sanitizer that should catch it is compiled in and reporting.
//   sanitizer_canary race | leak | overflow

#include <climits>
#include <cstring>
#include <thread>

namespace {

int g_shared = 0; // written by two threads without a lock

__attribute__((noinline)) void race()
{
    // Repeated: on a loaded machine one pair of writes now and then goes
    // unreported, and the first report ends the program anyway.
    for (int i = 0; i < 50; ++i) {
        std::thread other([] { g_shared = 1; });
        g_shared = 2;
        other.join();
    }
}

__attribute__((noinline)) void leak()
{
    char *volatile block = new char[64];
    block[0] = 1;
    block = nullptr; // the only pointer to it is gone
}

__attribute__((noinline)) int overflow()
{
    volatile int most = INT_MAX;
    return most + 1;
}

} // namespace

int main(int argc, char **argv)
{
    const char *fault = argc > 1 ? argv[1] : "";
    if (std::strcmp(fault, "race") == 0)
        race();
    else if (std::strcmp(fault, "leak") == 0)
        leak();
    else if (std::strcmp(fault, "overflow") == 0)
        static_cast<void>(overflow());
    return 0; // also for an unknown fault: the canary then fails, as it should
}
