#include "card/PortIoDevice.h"

#include <QCoreApplication>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

QString hex(unsigned value) {
    return QStringLiteral("0x") + QString::number(value, 16).toUpper();
}

QString programPath() {
    const QString path =
        QCoreApplication::instance() ? QCoreApplication::applicationFilePath() : QString();
    return path.isEmpty() ? QStringLiteral("/path/to/looptest") : path;
}

} // namespace

bool PortIoDevice::parseBase(const QString& text, unsigned& base, QString& why) {
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
    if (value < kMinBase || value > kMaxBase) {
        why = QStringLiteral("The I/O base %1 is out of range: the card's base must lie between "
                             "%2 and %3 (below %2 sit the machine's own devices). Nothing was "
                             "opened.")
                  .arg(hex(value), hex(kMinBase), hex(kMaxBase));
        return false;
    }
    base = value;
    return true;
}

std::unique_ptr<PortIoDevice> PortIoDevice::open(const std::string& path, unsigned base,
                                                 QString& why) {
    if (base < kMinBase || base > kMaxBase) {
        unsigned unused = 0;
        parseBase(QString::number(base, 16), unused, why);
        return nullptr;
    }
    const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd >= 0)
        return std::unique_ptr<PortIoDevice>(new PortIoDevice(fd, base));

    const int err = errno;
    const QString file = QString::fromStdString(path);
    if (err == ENOENT || err == ENODEV || err == ENXIO) {
        why = QStringLiteral("%1 does not exist on this machine, so the card's I/O ports cannot "
                             "be reached. Port access needs a kernel with /dev/port "
                             "(CONFIG_DEVPORT) on a machine with an ISA bus.")
                  .arg(file);
    } else if (err == EACCES || err == EPERM) {
        why = QStringLiteral("No permission to open %1. Run the program as root, or grant it raw "
                             "port access once with:\n  sudo setcap "
                             "cap_sys_rawio,cap_dac_override+ep %2")
                  .arg(file, programPath());
    } else {
        why = QStringLiteral("Cannot open %1: %2.")
                  .arg(file, QString::fromLocal8Bit(std::strerror(err)));
    }
    return nullptr;
}

PortIoDevice::PortIoDevice(int fd, unsigned base)
    : fd_(fd)
    , base_(base) {}

PortIoDevice::~PortIoDevice() {
    ::close(fd_);
}

bool PortIoDevice::read(std::int32_t port, std::int16_t& data) {
    if (port != 0 && port != 1)
        return false;
    unsigned char byte = 0;
    if (::pread(fd_, &byte, 1, static_cast<off_t>(base_ + port)) != 1)
        return false;
    data = byte;
    return true;
}

bool PortIoDevice::write(std::int32_t port, std::int16_t data) {
    if (port != 0 && port != 1)
        return false;
    const auto byte = static_cast<unsigned char>(data & 0xFF);
    return ::pwrite(fd_, &byte, 1, static_cast<off_t>(base_ + port)) == 1;
}
