// The floor of anchor reception: a bare receiver of 127.0.0.1:<port> that
// blocks in the kernel until a datagram arrives, then takes everything queued
// with one system call per 64 (no classification, no queue, no solver). Run
// beside the simulator at the same rate and pattern as solver_unit, its CPU
// per datagram is what any receiver on this machine pays; load.sh divides the
// program's CPU per record by it.
//
// Usage: bench_receiver <port> <seconds>
// Prints: datagrams <n> cpu_s <s> wakeups <n> us_per_datagram <us>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {
double cpuSeconds()
{
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec)
           + double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}
} // namespace

int main(int argc, char **argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: bench_receiver <port> <seconds>\n");
        return 2;
    }
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const int buffer = 16 * 1024 * 1024; // as solver_unit asks
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
    sockaddr_in at = {};
    at.sin_family = AF_INET;
    at.sin_port = htons(std::uint16_t(std::atoi(argv[1])));
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(fd, reinterpret_cast<sockaddr *>(&at), sizeof at) != 0) {
        std::perror("bench_receiver: bind");
        return 1;
    }
    constexpr int kBatch = 64, kSize = 2048;
    std::vector<char> area(kBatch * kSize);
    mmsghdr messages[kBatch];
    iovec parts[kBatch];
    for (int i = 0; i < kBatch; ++i) {
        parts[i] = {area.data() + i * kSize, kSize};
        messages[i] = {};
        messages[i].msg_hdr.msg_iov = &parts[i];
        messages[i].msg_hdr.msg_iovlen = 1;
    }
    using Clock = std::chrono::steady_clock;
    const Clock::time_point end = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                                     std::chrono::duration<double>(std::atof(argv[2])));
    const double cpuStart = cpuSeconds();
    long long datagrams = 0, wakeups = 0;
    pollfd watched{fd, POLLIN, 0};
    for (Clock::time_point now = Clock::now(); now < end; now = Clock::now()) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - now).count();
        if (::poll(&watched, 1, int(left) + 1) <= 0)
            continue;
        ++wakeups;
        for (int got = kBatch; got == kBatch;) {
            got = ::recvmmsg(fd, messages, kBatch, MSG_DONTWAIT, nullptr);
            datagrams += got > 0 ? got : 0;
        }
    }
    const double cpu = cpuSeconds() - cpuStart;
    std::printf("datagrams %lld cpu_s %.3f wakeups %lld us_per_datagram %.3f\n", datagrams, cpu, wakeups,
                datagrams > 0 ? cpu * 1e6 / double(datagrams) : 0.0);
    return 0;
}
