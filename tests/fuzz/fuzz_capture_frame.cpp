// Any captured frame of any link type solver_replay reads, parsed as it parses one: nothing may crash or read outside
// the frame, and a datagram found lies inside it.
#include "tools/replay/capture_reader.h"

#include <pcap/pcap.h>

#include <cstdlib>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const int links[] = {DLT_EN10MB, DLT_LINUX_SLL, DLT_LINUX_SLL2, DLT_RAW,
                                DLT_IPV4,   DLT_IPV6,      DLT_NULL,       DLT_LOOP};
    if (size < 2)
        return 0;
    const int link = links[data[0] % 8];
    // The wire length: the frame as captured, or longer (cut by a snap length).
    const bool cut = data[1] & 1;
    const quint8 *frame = data + 2;
    const int captured = int(size - 2);
    // A copy of exactly the frame's bytes, so a read past it is caught.
    auto *copy = static_cast<quint8 *>(std::malloc(size_t(captured) + 1));
    std::memcpy(copy, frame, size_t(captured));
    CaptureReader::Datagram d;
    const CaptureReader::Skip skip =
        CaptureReader::parseFrame(link, copy, captured, captured + (cut ? 100 : 0), 9100, &d);
    if (skip == CaptureReader::Skip::None) {
        const auto *begin = reinterpret_cast<const char *>(copy);
        if (d.data < begin || d.size < 0 || d.data + d.size > begin + captured)
            std::abort();
    } else if (skip == CaptureReader::Skip::Truncated && !cut) {
        std::abort(); // a whole frame is never cut short
    }
    std::free(copy);
    return 0;
}
