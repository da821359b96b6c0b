// Any bytes as the start of a request to the metrics endpoint or the live map, read as the server reads them: nothing
// may crash or look past the 8 KiB a head may take, the answer is one of the statuses the server knows, a head read in
// two parts reads as the whole (the server parses again only when a line has ended), and what is accepted is a
// GET-able origin-form request. The first byte repeats the rest 1 to 4 times, so inputs reach the bounds.
#include "common/http_server.h"

#include <cstdlib>
#include <cstring>
#include <string>

namespace {

int parse(const std::string &bytes, size_t size, HttpRequestHead *head)
{
    // A copy of just `size` bytes: the sanitizer catches a read beyond them.
    const std::string part = bytes.substr(0, size);
    return parseHttpHead(part.data(), part.size(), head);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    const std::string unit(reinterpret_cast<const char *>(data) + 1, size - 1);
    std::string bytes;
    for (int i = 0; i <= data[0] % 4; ++i)
        bytes += unit;

    HttpRequestHead head;
    const int status = parse(bytes, bytes.size(), &head);
    if (status != 0 && status != 200 && status != 400 && status != 414 && status != 431 && status != 505)
        std::abort();
    // Nothing beyond the bound decides: the bytes after it only tell that it was passed.
    if (bytes.size() > kHttpMostHead) {
        std::string cut = bytes.substr(0, kHttpMostHead + 1);
        cut.back() = 'x';
        HttpRequestHead other;
        if (parse(cut, cut.size(), &other) != status)
            std::abort();
    }
    if (status == 200) {
        if (head.method.empty() || head.path.empty() || head.path[0] != '/'
            || head.target.compare(0, head.path.size(), head.path) != 0 || head.path.find('?') != std::string::npos)
            std::abort();
        if (head.host.find_first_of("\r\n") != std::string::npos)
            std::abort();
        // The live map's Host check takes any value without harm.
        static HostCheck loopback, any;
        static const bool listening = (loopback.listenOn(QStringLiteral("127.0.0.1"), 8080),
                                       any.listenOn(QStringLiteral("::"), 8080), true);
        (void)listening;
        loopback.allows(head.host);
        any.allows(head.host);
    }
    // Split where the first byte says: a decided prefix decides the whole alike, an open one stays so till a line ends.
    const size_t split = (size_t(data[0]) * 97) % (bytes.size() + 1);
    HttpRequestHead prefixHead;
    const int prefix = parse(bytes, split, &prefixHead);
    if (prefix != 0 && prefix != status)
        std::abort();
    if (prefix == 0 && bytes.size() <= kHttpMostHead && std::memchr(bytes.data() + split, '\n', bytes.size() - split) == nullptr
        && status != 0)
        std::abort();
    return 0;
}
