// looptest-porthelper: the only part of looptest that may hold a privilege, cap_sys_rawio, and
// only until it has permission for the card's two ports. It then drops every capability for
// good and serves one-byte reads and writes of those two ports over its standard input and
// output (porthelper/Protocol.h). It links no Qt and loads nothing, and it reads nothing from
// its environment.
//
//   looptest-porthelper BASE                    serve the ports at BASE and BASE + 1 (hex)
//   looptest-porthelper --probe BASE            say whether that could be done; touch no port
//   looptest-porthelper --port-file FILE BASE   serve FILE's bytes at BASE and BASE + 1 instead
//                                               of ports; for tests, opened only once the helper
//                                               holds no capability at all
#include "porthelper/Protocol.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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

void writeFully(const void* data, std::size_t n) {
    const auto* p = static_cast<const unsigned char*>(data);
    while (n > 0) {
        const ssize_t w = ::write(STDOUT_FILENO, p, n);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            std::_Exit(kExitIoError);
        p += w;
        n -= static_cast<std::size_t>(w);
    }
}

// Answers requests until the program closes its end. standIn < 0 means the real ports.
[[noreturn]] void serve(unsigned base, int standIn) {
    writeFully(kHello, sizeof kHello);
    for (;;) {
        unsigned char request[2];
        bool atEnd = false;
        if (!readFully(STDIN_FILENO, request, sizeof request, atEnd))
            std::_Exit(atEnd ? 0 : kExitBadRequest);
        const unsigned char op = request[0];
        const unsigned char value = request[1];
        const bool isRead = op == kReadPort0 || op == kReadPort1;
        const bool isWrite = op == kWritePort0 || op == kWritePort1;
        if (!(isRead || isWrite) || (isRead && value != 0))
            std::_Exit(kExitBadRequest);
        // The low bit of the operation is the port: only base and base + 1 are reachable.
        const unsigned address = base + (op & 1u);
        unsigned char reply[2] = {kOk, value};
        if (standIn >= 0) {
            const ssize_t n = isRead ? ::pread(standIn, &reply[1], 1, address)
                                     : ::pwrite(standIn, &value, 1, address);
            if (n != 1) {
                reply[0] = kFailed;
                reply[1] = 0;
            }
        } else {
#ifdef LOOPTEST_HAVE_IOPERM
            if (isRead)
                reply[1] = ::inb(static_cast<unsigned short>(address));
            else
                ::outb(value, static_cast<unsigned short>(address));
#endif
        }
        writeFully(reply, sizeof reply);
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
        const int fd = ::open(standInPath, O_RDWR | O_CLOEXEC);
        if (fd < 0)
            fail(kExitUnavailable, std::string("looptest-porthelper: cannot open ") + standInPath +
                                       ": " + std::strerror(errno));
        serve(base, fd);
    }

    takePorts(base);
    if (probe) {
#ifdef LOOPTEST_HAVE_IOPERM
        ::ioperm(base, 2, 0);
#endif
        return 0;
    }
    dropPrivileges();
    serve(base, -1);
}
