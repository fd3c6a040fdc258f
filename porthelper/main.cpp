// looptest-porthelper: the only part of looptest that may hold a privilege, cap_sys_rawio, and
// only until it has permission for the card's two ports. It then drops every capability for
// good and serves one-byte reads and writes of those two ports, and timed watches of their
// inputs, over its standard input and output (porthelper/Protocol.h). A program that ends
// without its goodbye has died: the helper opens every relay before it ends. It links no Qt
// and loads nothing, and it reads nothing from its environment.
//
//   looptest-porthelper BASE                    serve the ports at BASE and BASE + 1 (hex)
//   looptest-porthelper --probe BASE            say whether that could be done; touch no port
//   looptest-porthelper --port-file FILE BASE   serve FILE's bytes at BASE and BASE + 1 instead
//                                               of ports; for tests, opened only once the helper
//                                               holds no capability at all
//
// One card, one program: before it touches the ports (or the file), the helper holds them for the
// program it serves, as long as it lives; a second helper on a port of them says who holds it
// and ends with kExitHeld, having touched nothing.
#include "card/CardHold.h"
#include "porthelper/Protocol.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <linux/capability.h>
#include <string>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#if defined(__x86_64__) || defined(__i386__)
#include <sys/io.h>
#define LOOPTEST_HAVE_IOPERM 1
#endif

namespace {

using namespace porthelper;

// The holds of the card's two ports, for as long as the helper serves.
CardHold g_holds[2];

// Lets the card go in order (its hold files removed) and ends.
[[noreturn]] void endServing(int status) {
    for (CardHold& h : g_holds)
        h.release();
    std::_Exit(status);
}

[[noreturn]] void fail(int status, const std::string& why) {
    std::fprintf(stderr, "%s\n", why.c_str());
    std::_Exit(status);
}

std::string selfPath() {
    char buf[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    return n > 0 ? std::string(buf, static_cast<std::size_t>(n)) : "looptest-porthelper";
}

// A hexadecimal base ("300", "0x300") inside the ISA window, or the usage exit.
unsigned parseBase(const char* text) {
    const char* digits = text;
    if (digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X'))
        digits += 2;
    bool ok = *digits != '\0' && std::strlen(digits) <= 4;
    unsigned base = 0;
    for (const char* c = digits; ok && *c; ++c) {
        const int v = (*c >= '0' && *c <= '9')   ? *c - '0'
                      : (*c >= 'a' && *c <= 'f') ? *c - 'a' + 10
                      : (*c >= 'A' && *c <= 'F') ? *c - 'A' + 10
                                                 : -1;
        ok = v >= 0;
        base = base * 16 + static_cast<unsigned>(v);
    }
    if (!ok || base < kMinBase || base > kMaxBase)
        fail(kExitUsage, "looptest-porthelper: \"" + std::string(text) +
                             "\" is not an I/O base between 0x100 and 0x3FE; nothing was opened.");
    return base;
}

bool capget(__user_cap_data_struct (&data)[2]) {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    return ::syscall(SYS_capget, &header, data) == 0;
}

bool capabilitiesEmpty() {
    __user_cap_data_struct data[2]{};
    if (!capget(data))
        return false;
    for (const auto& d : data)
        if (d.effective || d.permitted || d.inheritable)
            return false;
    return true;
}

bool holdsRawIo() {
    __user_cap_data_struct data[2]{};
    return capget(data) &&
           (data[CAP_TO_INDEX(CAP_SYS_RAWIO)].effective & CAP_TO_MASK(CAP_SYS_RAWIO)) != 0;
}

// Drops every capability from every set, for good, and forbids gaining any again through exec.
void dropPrivileges() {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2]{};
    if (::syscall(SYS_capset, &header, data) != 0)
        fail(kExitOsError,
             std::string("looptest-porthelper: cannot drop capabilities: ") + std::strerror(errno));
    ::prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0,
            0); // absent on old kernels: nothing held
    if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 || !capabilitiesEmpty())
        fail(kExitOsError, "looptest-porthelper: cannot give up privileges for good");
}

// Holds base and base + 1 (of the file, when one stands in) for the program this helper
// serves, or says who holds them and exits.
void holdPorts(unsigned base, const char* standIn) {
    const pid_t program = ::getppid();
    char comm[64] = "looptest";
    const std::string commPath = "/proc/" + std::to_string(program) + "/comm";
    if (FILE* f = std::fopen(commPath.c_str(), "re")) {
        if (std::fgets(comm, sizeof comm, f))
            comm[std::strcspn(comm, "\n")] = '\0';
        std::fclose(f);
    }
    CardHold::setProgram(std::string(comm) + " (through its port helper)", program);
    for (unsigned k = 0; k < 2; ++k) {
        std::string why;
        if (!g_holds[k].take(CardHold::portKey(base + k, standIn ? standIn : ""), why)) {
            std::fprintf(stderr, "%s Nothing was touched.\n", why.c_str());
            endServing(kExitHeld); // the port held already is let go in order
        }
    }
}

void closeOtherDescriptors() {
    if (::syscall(SYS_close_range, 3u, ~0u, 0u) == 0)
        return;
    const long max = std::min(::sysconf(_SC_OPEN_MAX), 65536L);
    for (int fd = 3; fd < max; ++fd)
        ::close(fd);
}

// Takes access to base and base + 1 alone, or says why it cannot and exits.
void takePorts(unsigned base) {
#ifdef LOOPTEST_HAVE_IOPERM
    if (!holdsRawIo())
        fail(kExitNoPermission,
             "The port helper has no raw port access (cap_sys_rawio). Grant it, and nothing "
             "else, once with:\n  sudo setcap cap_sys_rawio+ep " +
                 selfPath());
    if (::ioperm(base, 2, 1) == 0)
        return;
    const int err = errno;
    fail(kExitUnavailable,
         std::string("This machine does not allow port I/O (ioperm: ") + std::strerror(err) + ").");
#else
    (void)base;
    fail(kExitUnavailable, "Port I/O does not exist on this processor; the ISA card needs an "
                           "x86 machine with an ISA bus.");
#endif
}

bool readFully(int fd, unsigned char* buf, std::size_t n, bool& atEnd) {
    std::size_t got = 0;
    while (got < n) {
        const ssize_t r = ::read(fd, buf + got, n - got);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0) {
            atEnd = got == 0;
            return false;
        }
        got += static_cast<std::size_t>(r);
    }
    return true;
}

// The card's two ports, or a file standing in for them (standIn >= 0).
struct Ports {
    unsigned base;
    int standIn;

    // The low bit of an operation is the port: only base and base + 1 are reachable.
    bool read(unsigned char op, unsigned char& byte) const {
        const unsigned address = base + (op & 1u);
        if (standIn >= 0)
            return ::pread(standIn, &byte, 1, address) == 1;
#ifdef LOOPTEST_HAVE_IOPERM
        byte = ::inb(static_cast<unsigned short>(address));
#endif
        return true;
    }
    bool write(unsigned char op, unsigned char byte) const {
        const unsigned address = base + (op & 1u);
        if (standIn >= 0)
            return ::pwrite(standIn, &byte, 1, address) == 1;
#ifdef LOOPTEST_HAVE_IOPERM
        ::outb(byte, static_cast<unsigned short>(address));
#endif
        return true;
    }
    // The program is gone without its goodbye: every relay opens before the helper ends.
    [[noreturn]] void endWithoutGoodbye(int status) const {
        write(kWritePort0, 0);
        write(kWritePort1, 0);
        endServing(status);
    }
};

void writeFully(const Ports& ports, const void* data, std::size_t n) {
    const auto* p = static_cast<const unsigned char*>(data);
    while (n > 0) {
        const ssize_t w = ::write(STDOUT_FILENO, p, n);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            ports.endWithoutGoodbye(kExitIoError);
        p += w;
        n -= static_cast<std::size_t>(w);
    }
}

std::uint64_t monotonicUs() {
    timespec t{};
    ::clock_gettime(CLOCK_MONOTONIC, &t);
    return std::uint64_t(t.tv_sec) * 1'000'000u + std::uint64_t(t.tv_nsec) / 1000u;
}

void putLe(unsigned char* at, std::uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i)
        at[i] = static_cast<unsigned char>(value >> (8 * i));
}

// Samples a port until its byte has changed from the byte before and settled, or the
// time-out; answers what it saw.
void watch(const Ports& ports, unsigned char op, unsigned timeoutUnits, unsigned char before) {
    unsigned char reply[kWatchHeader + kWatchMaxChanges * kWatchChange] = {kOk};
    unsigned changes = 0;
    std::uint32_t samples = 0;
    unsigned char last = before;
    const std::uint64_t start = monotonicUs();
    const std::uint64_t timeout = std::uint64_t(timeoutUnits) * kWatchUnitMs * 1000u;
    // A change seen in one sample came after the read before it began: each gap runs from the
    // start of one read to the end of the next, the first from the watch's start.
    std::uint64_t now = start, changed = start, longest = 0, asked = start;
    bool ok = true;
    while (ok && (samples == 0 || (now - start < timeout && changes < kWatchMaxChanges &&
                                   (changes == 0 || now - changed < kWatchSettleUs)))) {
        unsigned char byte = 0;
        const std::uint64_t asking = monotonicUs();
        ok = ports.read(op, byte);
        now = monotonicUs();
        longest = std::max(longest, now - asked);
        asked = asking;
        ++samples;
        if (ok && byte != last) {
            unsigned char* at = reply + kWatchHeader + changes * kWatchChange;
            putLe(at, now - start, 4);
            at[4] = byte;
            last = byte;
            changed = now;
            ++changes;
        }
    }
    reply[0] = ok ? kOk : kFailed;
    reply[1] = static_cast<unsigned char>(changes);
    reply[2] = last;
    putLe(reply + 3, samples, 4);
    putLe(reply + 7, now - start, 4);
    putLe(reply + 11, start, 8);
    putLe(reply + 19, longest, 4);
    writeFully(ports, reply, kWatchHeader + changes * kWatchChange);
}

// Answers requests until the program says goodbye or its end closes.
[[noreturn]] void serve(const Ports& ports) {
    writeFully(ports, kHello, sizeof kHello);
    for (;;) {
        unsigned char request[2];
        bool atEnd = false;
        if (!readFully(STDIN_FILENO, request, sizeof request, atEnd))
            ports.endWithoutGoodbye(atEnd ? 0 : kExitBadRequest);
        const unsigned char op = request[0];
        const unsigned char value = request[1];
        const bool isRead = op == kReadPort0 || op == kReadPort1;
        const bool isWrite = op == kWritePort0 || op == kWritePort1;
        const bool isWatch = op == kWatchPort0 || op == kWatchPort1;
        if (op == kGoodbye && value == 0) {
            const unsigned char reply[2] = {kOk, 0};
            writeFully(ports, reply, sizeof reply);
            endServing(0);
        }
        unsigned char before = 0;
        if (isWatch && !readFully(STDIN_FILENO, &before, 1, atEnd))
            ports.endWithoutGoodbye(kExitBadRequest);
        if (isWatch && value >= 1 && value <= kWatchMaxUnits) {
            watch(ports, op, value, before);
            continue;
        }
        if (!(isRead || isWrite) || (isRead && value != 0))
            ports.endWithoutGoodbye(kExitBadRequest);
        unsigned char reply[2] = {kOk, value};
        if (!(isRead ? ports.read(op, reply[1]) : ports.write(op, value))) {
            reply[0] = kFailed;
            reply[1] = 0;
        }
        writeFully(ports, reply, sizeof reply);
    }
}

} // namespace

int main(int argc, char* argv[]) {
    ::clearenv();
    ::signal(SIGPIPE, SIG_IGN); // a vanished program shows as a failed write, then we end
    const char* standInPath = nullptr;
    bool probe = false;
    int arg = 1;
    if (argc == 3 && std::strcmp(argv[1], "--probe") == 0) {
        probe = true;
        arg = 2;
    } else if (argc == 4 && std::strcmp(argv[1], "--port-file") == 0) {
        standInPath = argv[2];
        arg = 3;
    } else if (argc != 2) {
        fail(kExitUsage, "usage: looptest-porthelper [--probe] BASE\n"
                         "       looptest-porthelper --port-file FILE BASE");
    }
    const unsigned base = parseBase(argv[arg]);
    closeOtherDescriptors();

    if (standInPath) {
        // Without any capability, no path reaches the machine's ports or memory.
        dropPrivileges();
        holdPorts(base, standInPath);
        const int fd = ::open(standInPath, O_RDWR | O_CLOEXEC);
        if (fd < 0)
            fail(kExitUnavailable, std::string("looptest-porthelper: cannot open ") + standInPath +
                                       ": " + std::strerror(errno));
        serve(Ports{base, fd});
    }

    takePorts(base); // permission only: no port is touched before the hold

    if (probe) {
#ifdef LOOPTEST_HAVE_IOPERM
        ::ioperm(base, 2, 0);
#endif
        return 0;
    }
    dropPrivileges();
    holdPorts(base, nullptr);
    serve(Ports{base, -1});
}
