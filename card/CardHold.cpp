#include "card/CardHold.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace {

std::string g_program = "looptest";
int g_pid = 0;

std::string fileOf(const std::string& key) {
    std::string name;
    for (const char c : key)
        name += (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                        c == '.' || c == '-' || c == '_'
                    ? c
                    : '_';
    return CardHold::folder() + "/looptest-" + name + ".lock";
}

flock wholeFile(short type) {
    flock l{};
    l.l_type = type;
    l.l_whence = SEEK_SET;
    l.l_start = 0;
    l.l_len = 0;
    return l;
}

// The holder's line: tab-separated key=value fields.
std::string field(const std::string& line, const std::string& key) {
    const std::string tag = key + "=";
    std::size_t at = 0;
    while (at < line.size()) {
        std::size_t end = line.find_first_of("\t\n", at);
        if (end == std::string::npos)
            end = line.size();
        if (line.compare(at, tag.size(), tag) == 0)
            return line.substr(at + tag.size(), end - at - tag.size());
        at = end + 1;
    }
    return {};
}

std::string readAll(int fd) {
    std::string text;
    char buf[512];
    for (off_t at = 0;;) {
        const ssize_t n = ::pread(fd, buf, sizeof buf, at);
        if (n <= 0)
            break;
        text.append(buf, static_cast<std::size_t>(n));
        at += n;
        if (text.size() > 4096)
            break;
    }
    return text;
}

// A user's name from /etc/passwd, read by hand: the port helper loads no NSS module. A user
// known elsewhere (a directory service) is told by number.
std::string userName(const std::string& uid) {
    if (FILE* f = std::fopen("/etc/passwd", "re")) {
        char line[1024];
        while (std::fgets(line, sizeof line, f)) {
            const std::string l(line);
            const std::size_t a = l.find(':'), b = l.find(':', a + 1), c = l.find(':', b + 1);
            if (c != std::string::npos && l.compare(b + 1, c - b - 1, uid) == 0) {
                std::fclose(f);
                return l.substr(0, a);
            }
        }
        std::fclose(f);
    }
    return "uid " + uid;
}

bool lockedByOther(int fd) {
    flock l = wholeFile(F_WRLCK);
    return ::fcntl(fd, F_OFD_GETLK, &l) == 0 && l.l_type != F_UNLCK;
}

// Who holds the file open on fd, in words, from what the holder wrote; empty when that
// names no process that lives (a holder that has not written yet, or one that is ending: the
// port helper of a program that was killed lets go once it has opened every relay).
std::string describe(int fd) {
    const std::string line = readAll(fd);
    const std::string pid = field(line, "pid");
    if (pid.empty() || ::access(("/proc/" + pid).c_str(), F_OK) != 0)
        return {};
    std::string words = field(line, "program") + " (pid " + pid;
    const std::string uid = field(line, "uid");
    if (!uid.empty())
        words += ", user " + userName(uid);
    words += ")";
    const std::string since = field(line, "since");
    if (!since.empty())
        words += " since " + since;
    return words;
}

constexpr int kTries = 50; // for a holder that is writing who it is, or letting go
constexpr int kTryEveryUs = 10'000;

// Opens a hold's file, made if it is not there. Opened first without O_CREAT: a world-writable
// sticky folder refuses O_CREAT on another user's file (protected_regular), and every user must
// be able to hold every card.
int openHoldFile(const std::string& path) {
    for (int tries = 0; tries < 3; ++tries) {
        int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW);
        if (fd >= 0 || errno != ENOENT)
            return fd;
        fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0666);
        if (fd >= 0) {
            ::fchmod(fd, 0666); // whatever the umask: the next holder may be another user
            return fd;
        }
        if (errno != EEXIST)
            return -1;
    }
    return -1;
}

// Whether fd is still the file at path: a holder removes its file as it lets go, so a lock
// taken on a file no longer there holds nothing.
bool stillThere(int fd, const std::string& path) {
    struct stat open {
    }, named{};
    return ::fstat(fd, &open) == 0 && ::stat(path.c_str(), &named) == 0 &&
           open.st_dev == named.st_dev && open.st_ino == named.st_ino;
}

} // namespace

CardHold& CardHold::operator=(CardHold&& other) noexcept {
    if (this != &other) {
        release();
        fd_ = other.fd_;
        path_ = std::move(other.path_);
        other.fd_ = -1;
    }
    return *this;
}

void CardHold::setProgram(const std::string& words, int pid) {
    g_program = words;
    g_pid = pid;
}

std::string CardHold::folder() {
    struct stat st {};
    if (::stat("/run/lock", &st) == 0 && S_ISDIR(st.st_mode) && ::access("/run/lock", W_OK) == 0)
        return "/run/lock";
    return "/tmp";
}

std::string CardHold::portKey(unsigned address, const std::string& portFile) {
    char hex[16];
    std::snprintf(hex, sizeof hex, "0x%03x", address);
    if (portFile.empty())
        return std::string("isa-port-") + hex;
    struct stat st {};
    if (::stat(portFile.c_str(), &st) != 0)
        return "port-file-" + portFile + "-" + hex;
    return "port-file-" + std::to_string(st.st_dev) + "-" + std::to_string(st.st_ino) + "-" + hex;
}

std::string CardHold::deviceKey(const std::string& prefix, const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0 && (S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode)))
        return prefix + "-" + std::to_string(major(st.st_rdev)) + "-" +
               std::to_string(minor(st.st_rdev));
    if (::stat(path.c_str(), &st) == 0)
        return prefix + "-" + std::to_string(st.st_dev) + "-" + std::to_string(st.st_ino);
    return prefix + "-" + path;
}

bool CardHold::take(const std::string& key, std::string& why) {
    release();
    const std::string path = fileOf(key);
    int fd = -1;
    for (int tries = 0;; ++tries) {
        fd = openHoldFile(path);
        if (fd < 0) {
            why = "Cannot hold the card for this program (" + path + ": " + std::strerror(errno) +
                  ")";
            return false;
        }
        flock l = wholeFile(F_WRLCK);
        if (::fcntl(fd, F_OFD_SETLK, &l) == 0) {
            if (stillThere(fd, path))
                break;
            ::close(fd); // its holder let it go and removed it meanwhile: the next one
            continue;
        }
        const int err = errno;
        if (err != EAGAIN && err != EACCES) {
            ::close(fd);
            why =
                "Cannot hold the card for this program (" + path + ": " + std::strerror(err) + ")";
            return false;
        }
        const std::string who = describe(fd);
        ::close(fd);
        if (!who.empty() || tries + 1 >= kTries) {
            why = "Another program is using this card: " +
                  (who.empty() ? std::string("it has not said which") : who) + ".";
            return false;
        }
        ::usleep(kTryEveryUs);
    }
    const int pid = g_pid > 0 ? g_pid : static_cast<int>(::getpid());
    char since[32] = "";
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    if (::localtime_r(&now, &local))
        std::strftime(since, sizeof since, "%Y-%m-%d %H:%M:%S", &local);
    std::string line = "program=" + g_program + "\tpid=" + std::to_string(pid) +
                       "\tuid=" + std::to_string(::getuid()) + "\tsince=" + since + "\n";
    for (char& c : line)
        if (c != '\t' && c != '\n' && (c < ' ' || c == 0x7F))
            c = ' ';
    if (::ftruncate(fd, 0) != 0 || ::pwrite(fd, line.data(), line.size(), 0) < 0) {
        // Held all the same; only who holds it cannot be told.
    }
    fd_ = fd;
    path_ = path;
    return true;
}

void CardHold::release() {
    // The file goes first, then the lock: /run/lock keeps no litter of cards long gone. (Only
    // its maker may remove it from the sticky folder; another user's holder leaves it.)
    if (fd_ >= 0 && stillThere(fd_, path_))
        ::unlink(path_.c_str());
    if (fd_ >= 0)
        ::close(fd_); // the lock goes with its file description
    fd_ = -1;
}

std::string CardHold::holder(const std::string& key) {
    const int fd = ::open(fileOf(key).c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0)
        return {};
    std::string who;
    for (int tries = 0; tries < kTries && lockedByOther(fd); ++tries) {
        who = describe(fd);
        if (!who.empty())
            break;
        ::usleep(kTryEveryUs);
    }
    if (who.empty() && lockedByOther(fd))
        who = "another program (it has not said which)";
    ::close(fd);
    return who;
}
