#include "card/isa/PortHelperDevice.h"

#include "porthelper/Protocol.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kStartTimeout = std::chrono::milliseconds(1000);

QString hex(unsigned value) {
    return QStringLiteral("0x") + QString::number(value, 16).toUpper();
}

int msLeft(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

// Reads exactly n bytes before the deadline; false on timeout, end of stream or error.
bool readBefore(int fd, unsigned char* buf, std::size_t n, Clock::time_point deadline) {
    std::size_t got = 0;
    while (got < n) {
        pollfd p{fd, POLLIN, 0};
        const int ready = ::poll(&p, 1, msLeft(deadline));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            return false;
        const ssize_t r = ::read(fd, buf + got, n - got);
        if (r < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (r <= 0)
            return false;
        got += static_cast<std::size_t>(r);
    }
    return true;
}

// A started helper: its pid, our end of its socket, and the read end of its stderr.
struct Child {
    pid_t pid = -1;
    int socket = -1;
    int errors = -1;
};

// Starts the helper with an empty environment; on failure returns false and says why.
bool spawn(const std::string& helper, const std::vector<std::string>& args, Child& child,
           QString& why) {
    const QString path = QString::fromStdString(helper);
    if (helper.empty() || !QFileInfo::exists(path)) {
        why = QStringLiteral("The port helper looptest-porthelper was not found%1. It is built "
                             "and installed with the program; rebuild or reinstall looptest.")
                  .arg(helper.empty() ? QString() : QStringLiteral(" at ") + path);
        return false;
    }
    int sv[2];
    int err[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) {
        why = QStringLiteral("Cannot start the port helper: %1.")
                  .arg(QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    if (::pipe2(err, O_CLOEXEC) != 0) {
        why = QStringLiteral("Cannot start the port helper: %1.")
                  .arg(QString::fromLocal8Bit(std::strerror(errno)));
        ::close(sv[0]);
        ::close(sv[1]);
        return false;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, sv[1], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, sv[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
    std::vector<char*> argv{const_cast<char*>(helper.c_str())};
    for (const std::string& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    char* noEnvironment[] = {nullptr};
    const int rc =
        ::posix_spawn(&child.pid, helper.c_str(), &actions, nullptr, argv.data(), noEnvironment);
    posix_spawn_file_actions_destroy(&actions);
    ::close(sv[1]);
    ::close(err[1]);
    if (rc != 0) {
        ::close(sv[0]);
        ::close(err[0]);
        why = QStringLiteral("The port helper %1 cannot be started: %2.")
                  .arg(path, QString::fromLocal8Bit(std::strerror(rc)));
        return false;
    }
    child.socket = sv[0];
    child.errors = err[0];
    return true;
}

// Collects what the helper said on stderr and its exit, killing it at the deadline; returns
// its words, or a description of how it ended. cleanExit tells whether it exited with 0.
QString finish(Child& child, Clock::time_point deadline, bool& cleanExit) {
    QByteArray said;
    char buf[512];
    for (;;) {
        pollfd p{child.errors, POLLIN, 0};
        if (::poll(&p, 1, msLeft(deadline)) <= 0)
            break;
        const ssize_t n = ::read(child.errors, buf, sizeof buf);
        if (n <= 0 || said.size() > 4096)
            break;
        said.append(buf, n);
    }
    int status = 0;
    pid_t done = 0;
    while ((done = ::waitpid(child.pid, &status, WNOHANG)) == 0 && msLeft(deadline) > 0)
        ::usleep(1000);
    if (done == 0) {
        ::kill(child.pid, SIGKILL);
        ::waitpid(child.pid, &status, 0);
    }
    ::close(child.errors);
    if (child.socket >= 0)
        ::close(child.socket);
    cleanExit = done == child.pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    const QString words = QString::fromLocal8Bit(said).trimmed();
    if (!words.isEmpty())
        return words;
    if (done == 0)
        return QStringLiteral("The port helper did not answer within %1 ms.")
            .arg(kStartTimeout.count());
    if (WIFSIGNALED(status))
        return QStringLiteral("The port helper ended unexpectedly (signal %1).")
            .arg(WTERMSIG(status));
    return QStringLiteral("The port helper ended with status %1 without saying why.")
        .arg(WEXITSTATUS(status));
}

} // namespace

bool PortHelperDevice::parseBase(const QString& text, unsigned& base, QString& why) {
    QString digits = text.trimmed();
    if (digits.startsWith(QLatin1String("0x"), Qt::CaseInsensitive))
        digits = digits.mid(2);
    bool ok = false;
    const unsigned value = digits.toUInt(&ok, 16);
    if (!ok || digits.isEmpty()) {
        why = QStringLiteral("\"%1\" is not a hexadecimal I/O address. Enter the card's base "
                             "address as set by its jumpers, for example 300.")
                  .arg(text.trimmed());
        return false;
    }
    if (value < porthelper::kMinBase || value > porthelper::kMaxBase) {
        why = QStringLiteral("The I/O base %1 is out of range: the card's base must lie between "
                             "%2 and %3 (below %2 sit the machine's own devices). Nothing was "
                             "opened.")
                  .arg(hex(value), hex(porthelper::kMinBase), hex(porthelper::kMaxBase));
        return false;
    }
    base = value;
    return true;
}

std::string PortHelperDevice::findHelper() {
    if (!QCoreApplication::instance())
        return {};
    const QDir dir(QCoreApplication::applicationDirPath());
#ifndef LOOPTEST_HELPER_FROM_BIN
#define LOOPTEST_HELPER_FROM_BIN "../libexec/looptest"
#endif
    for (const QString& candidate :
         {dir.filePath(QStringLiteral("looptest-porthelper")),
          dir.filePath(QStringLiteral(LOOPTEST_HELPER_FROM_BIN "/looptest-porthelper"))}) {
        if (QFileInfo(candidate).isExecutable())
            return QDir::cleanPath(candidate).toStdString();
    }
    return dir.filePath(QStringLiteral("looptest-porthelper")).toStdString();
}

std::unique_ptr<PortHelperDevice> PortHelperDevice::open(const std::string& helper, unsigned base,
                                                         QString& why, const std::string& standIn) {
    if (base < porthelper::kMinBase || base > porthelper::kMaxBase) {
        unsigned unused = 0;
        parseBase(QString::number(base, 16), unused, why);
        return nullptr;
    }
    std::vector<std::string> args;
    if (!standIn.empty())
        args = {"--port-file", standIn};
    args.push_back(QString::number(base, 16).toStdString());
    // A request and its answer are a ping-pong between two processes: on one core the answer
    // wakes this thread at once, across two it waits for the other core to wake up (measured:
    // about 20 against 30 us a round trip). So this thread and the helper, which inherits its
    // cores, share the core this thread runs on while the card is open.
    cpu_set_t before;
    const bool pinned = ::sched_getaffinity(0, sizeof before, &before) == 0;
    if (pinned) {
        cpu_set_t here;
        CPU_ZERO(&here);
        CPU_SET(::sched_getcpu(), &here);
        ::sched_setaffinity(0, sizeof here, &here);
    }
    Child child;
    const bool spawned = spawn(helper, args, child, why);
    if (!spawned && pinned)
        ::sched_setaffinity(0, sizeof before, &before);
    if (!spawned)
        return nullptr;

    const auto deadline = Clock::now() + kStartTimeout;
    unsigned char hello[sizeof porthelper::kHello];
    if (readBefore(child.socket, hello, sizeof hello, deadline) &&
        std::memcmp(hello, porthelper::kHello, sizeof hello) == 0) {
        ::close(child.errors);
        auto device =
            std::unique_ptr<PortHelperDevice>(new PortHelperDevice(child.pid, child.socket, base));
        if (pinned)
            device->freeCores_ = before;
        return device;
    }
    bool cleanExit = false;
    why = finish(child, deadline, cleanExit);
    if (pinned)
        ::sched_setaffinity(0, sizeof before, &before);
    return nullptr;
}

bool PortHelperDevice::probe(const std::string& helper, unsigned base, QString& why) {
    Child child;
    if (!spawn(helper, {"--probe", QString::number(base, 16).toStdString()}, child, why))
        return false;
    ::close(child.socket);
    child.socket = -1;
    bool cleanExit = false;
    why = finish(child, Clock::now() + kStartTimeout, cleanExit);
    if (cleanExit)
        why.clear();
    return cleanExit;
}

PortHelperDevice::PortHelperDevice(pid_t pid, int socket, unsigned base)
    : pid_(pid)
    , socket_(socket)
    , base_(base) {}

PortHelperDevice::~PortHelperDevice() {
    if (freeCores_) // this thread may move again
        ::sched_setaffinity(0, sizeof *freeCores_, &*freeCores_);
    if (socket_ < 0)
        return;
    // An orderly end says goodbye, so that the helper leaves the relays as they are; without
    // it, as when the program dies, the helper opens every relay. One that lingers is killed.
    unsigned char answer = 0;
    request(porthelper::kGoodbye, 0, answer);
    if (socket_ >= 0)
        ::close(socket_);
    int status = 0;
    for (int i = 0; i < 200 && ::waitpid(pid_, &status, WNOHANG) == 0; ++i)
        ::usleep(1000);
    if (::waitpid(pid_, &status, WNOHANG) == 0) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, &status, 0);
    }
}

void PortHelperDevice::stop() {
    ::close(socket_);
    socket_ = -1;
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
}

bool PortHelperDevice::exchange(const unsigned char* out, std::size_t size, unsigned char* answer,
                                std::size_t n, std::chrono::milliseconds wait) {
    if (socket_ < 0) {
        lastError_ = "the port helper was stopped after an earlier failure";
        return false;
    }
    const auto deadline = Clock::now() + wait;
    // A helper that is gone or out of step cannot be trusted with the next request: it is
    // stopped, and every later request fails at once.
    if (::send(socket_, out, size, MSG_NOSIGNAL | MSG_DONTWAIT) != ssize_t(size) ||
        !readBefore(socket_, answer, n, deadline)) {
        lastError_ = "the port helper did not answer within " + std::to_string(wait.count()) +
                     " ms, or has ended; it was stopped";
        stop();
        return false;
    }
    return true;
}

bool PortHelperDevice::request(unsigned char op, unsigned char value, unsigned char& answer) {
    const unsigned char out[2] = {op, value};
    unsigned char in[2];
    if (!exchange(out, sizeof out, in, sizeof in, kRequestTimeout))
        return false;
    answer = in[1];
    if (in[0] != porthelper::kOk)
        lastError_ = "the port helper could not reach I/O address 0x" +
                     QString::number(base_ + (op & 1u), 16).toUpper().toStdString();
    return in[0] == porthelper::kOk;
}

bool PortHelperDevice::read(std::int32_t port, std::int16_t& data) {
    if (port != 0 && port != 1) {
        lastError_ = "the card has no port " + std::to_string(port);
        return false;
    }
    unsigned char byte = 0;
    if (!request(port == 0 ? porthelper::kReadPort0 : porthelper::kReadPort1, 0, byte))
        return false;
    data = byte;
    return true;
}

bool PortHelperDevice::watch(std::int32_t port, std::uint8_t before, std::int64_t timeoutUs,
                             Watch& out) {
    static_assert(porthelper::kWatchSettleUs == kSettleUs &&
                  porthelper::kWatchMaxChanges == kMaxChanges);
    out = {};
    if (port != 0 && port != 1) {
        lastError_ = "the card has no port " + std::to_string(port);
        return false;
    }
    const std::int64_t unitUs = porthelper::kWatchUnitMs * 1000;
    const auto units = static_cast<unsigned char>(
        std::clamp<std::int64_t>((timeoutUs + unitUs - 1) / unitUs, 1, porthelper::kWatchMaxUnits));
    const auto wait = std::chrono::milliseconds(units * porthelper::kWatchUnitMs) +
                      std::chrono::milliseconds(porthelper::kWatchSettleUs / 1000) +
                      kRequestTimeout;
    const unsigned char request[3] = {port == 0 ? porthelper::kWatchPort0 : porthelper::kWatchPort1,
                                      units, before};
    unsigned char head[porthelper::kWatchHeader];
    if (!exchange(request, sizeof request, head, sizeof head, wait))
        return false;
    auto number = [](const unsigned char* at, int bytes) {
        std::uint64_t v = 0;
        for (int i = bytes - 1; i >= 0; --i)
            v = v << 8 | at[i];
        return v;
    };
    const std::size_t n = head[1];
    std::vector<unsigned char> changes(n * porthelper::kWatchChange);
    if (n > 0 &&
        !readBefore(socket_, changes.data(), changes.size(), Clock::now() + kRequestTimeout)) {
        lastError_ = "the port helper's answer to a watch was cut short; it was stopped";
        stop();
        return false;
    }
    if (head[0] != porthelper::kOk) {
        lastError_ = "the port helper could not read I/O address 0x" +
                     QString::number(base_ + unsigned(port), 16).toUpper().toStdString();
        return false;
    }
    const auto samples = number(head + 3, 4);
    const auto length = number(head + 7, 4);
    const auto start = static_cast<std::int64_t>(number(head + 11, 8));
    out.longestGapUs = double(number(head + 19, 4));
    for (std::size_t i = 0; i < n; ++i) {
        const unsigned char* at = changes.data() + i * porthelper::kWatchChange;
        out.changes.push_back({start + static_cast<std::int64_t>(number(at, 4)), at[4]});
    }
    out.intervalUs = samples > 0 ? double(length) / double(samples) : double(length);
    return true;
}

bool PortHelperDevice::write(std::int32_t port, std::int16_t data) {
    if (port != 0 && port != 1) {
        lastError_ = "the card has no port " + std::to_string(port);
        return false;
    }
    unsigned char echo = 0;
    return request(port == 0 ? porthelper::kWritePort0 : porthelper::kWritePort1,
                   static_cast<unsigned char>(data & 0xFF), echo);
}
