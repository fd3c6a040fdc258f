#include "runlog/LogFile.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

LogFile::~LogFile() {
    close();
}

bool LogFile::open(const QString& path, QString& why) {
    close();
    path_ = path;
    const QString dir = QFileInfo(path).absolutePath();
    if (!QDir().mkpath(dir)) {
        why = QStringLiteral("Cannot create the folder %1 for the run's record.").arg(dir);
        return false;
    }
    fd_ =
        ::open(QFile::encodeName(path).constData(), O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd_ < 0) {
        why = QStringLiteral("Cannot write the run's record %1: %2.")
                  .arg(path, QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    struct stat st {};
    bytes_ = ::fstat(fd_, &st) == 0 ? st.st_size : 0;
    synced_ = 0;
    const QByteArray header = QByteArray(logformat::kHeader) + "\r\n";
    if (bytes_ > 0) {
        // Rows of this format under another header would be read as damage.
        QByteArray first(header.size(), '\0');
        if (::pread(fd_, first.data(), static_cast<std::size_t>(first.size()), 0) != first.size() ||
            first != header) {
            why = QStringLiteral("%1 is not a run record of this looptest (its first line is not "
                                 "\"%2\"); name a new file.")
                      .arg(path, QLatin1String(logformat::kHeader));
            close();
            return false;
        }
    }
    if (bytes_ == 0 && !append(header)) {
        why = error_;
        close();
        return false;
    }
    error_.clear();
    return true;
}

bool LogFile::write(const logformat::LogRow& row) {
    if (fd_ < 0)
        return false;
    QStringList line;
    for (const QString& field : logformat::fields(row))
        line << logformat::csvField(field);
    return append(line.join(QLatin1Char(',')).toUtf8() + "\r\n");
}

bool LogFile::append(const QByteArray& line) {
    // One write call per row: with O_APPEND the row lands whole or, on a full disk, is cut
    // short and writing stops there.
    const char* p = line.constData();
    qsizetype left = line.size();
    while (left > 0) {
        const ssize_t n = ::write(fd_, p, static_cast<std::size_t>(left));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            error_ = QStringLiteral("Cannot write the run's record %1: %2. The test goes on "
                                    "without it.")
                         .arg(path_, QString::fromLocal8Bit(std::strerror(n < 0 ? errno : ENOSPC)));
            ::close(fd_);
            fd_ = -1;
            return false;
        }
        p += n;
        left -= n;
        bytes_ += n;
    }
    return true;
}

void LogFile::sync() {
    if (fd_ >= 0 && ::fdatasync(fd_) == 0)
        synced_ = bytes_;
}

void LogFile::close() {
    if (fd_ < 0)
        return;
    ::fdatasync(fd_);
    ::close(fd_);
    fd_ = -1;
}
