// orvexfm-udprelay: a lossy datagram relay for tests of the UDP link.
//
//   orvexfm-udprelay --listen ADDR:PORT --target ADDR:PORT [--drop PERCENT]
//                    [--drop-up PERCENT] [--drop-down PERCENT] [--seed N] [--exit-on-stdin-eof]
//
// Every datagram that arrives on the listen address is sent on to the target from a socket of
// its own; every datagram the target sends back to that socket goes out of the listen socket
// to the client that sent last, so the client sees its answers come from the address it talks
// to. Each direction drops the given percentage of datagrams, decided by a pseudo-random
// sequence of its own that starts from the seed, so a run with the same seed and the same
// traffic drops the same datagrams.
//
// The first line of standard output is "RELAY ADDR:PORT" (the port actually bound, so
// --listen 127.0.0.1:0 picks a free one). The relay runs until SIGINT or SIGTERM (or the end
// of standard input with --exit-on-stdin-eof), then writes one line of counts to standard
// error. Exit status: 0 after a normal stop, 2 for a bad option, 1 when a socket cannot be set
// up.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

struct Options {
    sockaddr_in listen{};
    sockaddr_in target{};
    double dropUp = 0;
    double dropDown = 0;
    std::uint32_t seed = 1;
    bool exitOnStdinEof = false;
};

void Usage(std::FILE* Out) {
    std::fputs("usage: orvexfm-udprelay --listen ADDR:PORT --target ADDR:PORT [--drop PERCENT]\n"
               "                        [--drop-up PERCENT] [--drop-down PERCENT] [--seed N]\n"
               "                        [--exit-on-stdin-eof]\n"
               "  --listen     where clients send to (port 0: any free port)\n"
               "  --target     where their datagrams are relayed to\n"
               "  --drop       percentage dropped in each direction (0..100, default 0)\n"
               "  --drop-up    percentage of client datagrams dropped (overrides --drop)\n"
               "  --drop-down  percentage of target datagrams dropped (overrides --drop)\n"
               "  --seed       start of the drop decisions (default 1)\n"
               "  --help       show this help and exit\n"
               "  --version    show the version and exit\n",
               Out);
}

bool ParseEndpoint(const std::string& Text, sockaddr_in& Address) {
    const auto colon = Text.rfind(':');
    if (colon == std::string::npos)
        return false;
    const std::string host = Text.substr(0, colon);
    const std::string port = Text.substr(colon + 1);
    char* end = nullptr;
    const unsigned long value = std::strtoul(port.c_str(), &end, 10);
    if (port.empty() || *end != '\0' || value > 65535)
        return false;
    Address = sockaddr_in{};
    Address.sin_family = AF_INET;
    Address.sin_port = htons(static_cast<std::uint16_t>(value));
    return ::inet_pton(AF_INET, host.c_str(), &Address.sin_addr) == 1;
}

bool ParsePercent(const char* Text, double& Value) {
    char* end = nullptr;
    Value = std::strtod(Text, &end);
    return end != Text && *end == '\0' && Value >= 0 && Value <= 100;
}

// Returns 0 to go on, otherwise the exit status.
int ParseOptions(int argc, char** argv, Options& Result) {
    bool haveListen = false;
    bool haveTarget = false;
    bool haveUp = false;
    bool haveDown = false;
    double drop = 0;
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        if (option == "--help" || option == "-h") {
            Usage(stdout);
            std::exit(0);
        }
        if (option == "--version") {
            std::puts("orvexfm-udprelay " PROJECT_VERSION);
            std::exit(0);
        }
        if (option == "--exit-on-stdin-eof") {
            Result.exitOnStdinEof = true;
            continue;
        }
        if (i + 1 >= argc) {
            std::fprintf(stderr, "orvexfm-udprelay: %s needs a value\n", option.c_str());
            return 2;
        }
        const char* value = argv[++i];
        bool ok = true;
        if (option == "--listen") {
            ok = haveListen = ParseEndpoint(value, Result.listen);
        } else if (option == "--target") {
            ok = haveTarget = ParseEndpoint(value, Result.target);
        } else if (option == "--drop") {
            ok = ParsePercent(value, drop);
        } else if (option == "--drop-up") {
            ok = haveUp = ParsePercent(value, Result.dropUp);
        } else if (option == "--drop-down") {
            ok = haveDown = ParsePercent(value, Result.dropDown);
        } else if (option == "--seed") {
            char* end = nullptr;
            Result.seed = static_cast<std::uint32_t>(std::strtoul(value, &end, 10));
            ok = *value != '\0' && *end == '\0';
        } else {
            std::fprintf(stderr, "orvexfm-udprelay: unknown option %s\n", option.c_str());
            Usage(stderr);
            return 2;
        }
        if (!ok) {
            std::fprintf(stderr, "orvexfm-udprelay: bad value for %s: %s\n", option.c_str(), value);
            return 2;
        }
    }
    if (!haveListen || !haveTarget) {
        std::fputs("orvexfm-udprelay: --listen and --target are required\n", stderr);
        Usage(stderr);
        return 2;
    }
    if (!haveUp)
        Result.dropUp = drop;
    if (!haveDown)
        Result.dropDown = drop;
    return 0;
}

// One direction's drop decisions: a fixed pseudo-random sequence (mt19937's output is the same
// on every platform), one draw per datagram.
class Dropper {
public:
    Dropper(std::uint32_t Seed, double Percent)
        : m_random(Seed), m_threshold(static_cast<std::uint64_t>(Percent / 100.0 * 4294967296.0)) {}
    bool Drop() { return static_cast<std::uint64_t>(m_random()) < m_threshold; }

private:
    std::mt19937 m_random;
    std::uint64_t m_threshold;
};

struct Counts {
    unsigned long received = 0;
    unsigned long forwarded = 0;
    unsigned long dropped = 0;
};

int OpenSocket(const sockaddr_in& Bind) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    // A host on this machine may hold the same port number on all addresses (the link binds
    // its local port to 0.0.0.0); the relay's more specific address still gets its datagrams.
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&Bind), sizeof Bind) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

std::string Text(const sockaddr_in& Address) {
    char host[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &Address.sin_addr, host, sizeof host);
    return std::string(host) + ":" + std::to_string(ntohs(Address.sin_port));
}

} // namespace

int main(int argc, char** argv) {
    Options options;
    if (const int status = ParseOptions(argc, argv, options); status != 0)
        return status;

    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    sigprocmask(SIG_BLOCK, &stopSignals, nullptr);
    const int signals = ::signalfd(-1, &stopSignals, SFD_CLOEXEC);

    const int client = OpenSocket(options.listen);
    sockaddr_in any{};
    any.sin_family = AF_INET;
    const int upstream = OpenSocket(any);
    if (signals < 0 || client < 0 || upstream < 0) {
        std::fprintf(stderr, "orvexfm-udprelay: cannot set up %s: %s\n",
                     Text(options.listen).c_str(), std::strerror(errno));
        return 1;
    }
    sockaddr_in bound{};
    socklen_t boundLength = sizeof bound;
    ::getsockname(client, reinterpret_cast<sockaddr*>(&bound), &boundLength);
    std::printf("RELAY %s\n", Text(bound).c_str());
    std::fflush(stdout);

    // Two sequences from the one seed, so the drops of one direction do not depend on how the
    // traffic of the two directions interleaves.
    Dropper dropUp(options.seed, options.dropUp);
    Dropper dropDown(options.seed ^ 0x9E3779B9u, options.dropDown);
    Counts up;
    Counts down;
    sockaddr_in lastClient{};
    bool haveClient = false;
    std::vector<char> buffer(65536);

    std::vector<pollfd> watch = {{signals, POLLIN, 0}, {client, POLLIN, 0}, {upstream, POLLIN, 0}};
    if (options.exitOnStdinEof)
        watch.push_back({STDIN_FILENO, POLLIN, 0});
    bool running = true;
    while (running) {
        if (::poll(watch.data(), watch.size(), -1) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        if (watch[0].revents)
            running = false;
        if (watch.size() > 3 && watch[3].revents) {
            const ssize_t n = ::read(STDIN_FILENO, buffer.data(), buffer.size());
            if (n <= 0)
                running = false;
        }
        if (watch[1].revents & POLLIN) {
            sockaddr_in from{};
            socklen_t fromLength = sizeof from;
            const ssize_t n = ::recvfrom(client, buffer.data(), buffer.size(), MSG_DONTWAIT,
                                         reinterpret_cast<sockaddr*>(&from), &fromLength);
            if (n >= 0) {
                ++up.received;
                lastClient = from;
                haveClient = true;
                if (dropUp.Drop()) {
                    ++up.dropped;
                } else if (::sendto(upstream, buffer.data(), static_cast<std::size_t>(n), 0,
                                    reinterpret_cast<const sockaddr*>(&options.target),
                                    sizeof options.target) >= 0) {
                    ++up.forwarded;
                }
            }
        }
        if (watch[2].revents & POLLIN) {
            sockaddr_in from{};
            socklen_t fromLength = sizeof from;
            const ssize_t n = ::recvfrom(upstream, buffer.data(), buffer.size(), MSG_DONTWAIT,
                                         reinterpret_cast<sockaddr*>(&from), &fromLength);
            const bool fromTarget = from.sin_addr.s_addr == options.target.sin_addr.s_addr &&
                                    from.sin_port == options.target.sin_port;
            if (n >= 0 && fromTarget) {
                ++down.received;
                if (!haveClient || dropDown.Drop()) {
                    ++down.dropped;
                } else if (::sendto(client, buffer.data(), static_cast<std::size_t>(n), 0,
                                    reinterpret_cast<const sockaddr*>(&lastClient),
                                    sizeof lastClient) >= 0) {
                    ++down.forwarded;
                }
            }
        }
    }
    std::fprintf(stderr,
                 "orvexfm-udprelay: up received %lu forwarded %lu dropped %lu; "
                 "down received %lu forwarded %lu dropped %lu\n",
                 up.received, up.forwarded, up.dropped, down.received, down.forwarded,
                 down.dropped);
    ::close(upstream);
    ::close(client);
    ::close(signals);
    return 0;
}
