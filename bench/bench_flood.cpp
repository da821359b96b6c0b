// Random datagrams of 20 to 1400 bytes to 127.0.0.1:<port>, as fast as one
// loopback sender goes (64 per system call), for at most the given seconds
// and count. Prints what it sent and the rate.
//
// Usage: bench_flood <port> [seconds = 10] [max datagrams = 50000000]
#include <QtGlobal>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

int main(int argc, char **argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: bench_flood <port> [seconds] [max datagrams]\n");
        return 2;
    }
    const int port = std::atoi(argv[1]);
    const double seconds = argc > 2 ? std::atof(argv[2]) : 10.0;
    const long long most = argc > 3 ? std::atoll(argv[3]) : 50000000LL;
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in to = {};
    to.sin_family = AF_INET;
    to.sin_port = htons(quint16(port));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr *>(&to), sizeof to) != 0) {
        std::perror("bench_flood");
        return 1;
    }

    constexpr int kBatch = 64;
    constexpr int kMin = 20, kMax = 1400;
    std::mt19937 random(1);
    std::vector<char> junk(kMax + 4096);
    for (char &c : junk)
        c = char(random());
    mmsghdr messages[kBatch];
    iovec parts[kBatch];
    long long sent = 0;
    const auto start = std::chrono::steady_clock::now();
    double elapsed = 0;
    while (sent < most && elapsed < seconds) {
        for (int i = 0; i < kBatch; ++i) {
            parts[i].iov_base = junk.data() + random() % 4096;
            parts[i].iov_len = size_t(kMin + int(random() % (kMax - kMin + 1)));
            messages[i] = {};
            messages[i].msg_hdr.msg_iov = &parts[i];
            messages[i].msg_hdr.msg_iovlen = 1;
        }
        const int n = ::sendmmsg(fd, messages, kBatch, 0);
        if (n > 0)
            sent += n;
        elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    }
    ::close(fd);
    std::printf("bench_flood: %lld datagrams in %.2f s (%.0f/s)\n", sent, elapsed, sent / elapsed);
    return 0;
}
