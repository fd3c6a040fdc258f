#pragma once

#include "runlog/LogFormat.h"

#include <QString>

#include <cstdint>

// A run's record on disk: CSV (RFC 4180, UTF-8) with a header row, appended one complete row
// at a time straight to the kernel, so that what was written before a crash stays. After a
// failure (a full disk, a vanished folder) nothing more is written and error() says why.
class LogFile {
public:
    LogFile() = default;
    ~LogFile();
    LogFile(const LogFile&) = delete;
    LogFile& operator=(const LogFile&) = delete;

    // Opens path for appending, creating its folder; a new or empty file gets the header. A
    // file that holds something else than a record of this format is left alone.
    bool open(const QString& path, QString& why);
    bool isOpen() const { return fd_ >= 0; }
    // Appends one row; false once writing has failed.
    bool write(const logformat::LogRow& row);
    // Makes what was written durable.
    void sync();
    void close();
    QString error() const { return error_; }
    QString path() const { return path_; }
    std::int64_t bytes() const { return bytes_; }
    // How much of the file the last sync made durable: what a power cut would leave of it.
    std::int64_t syncedBytes() const { return synced_; }

private:
    bool append(const QByteArray& line);

    int fd_ = -1;
    QString path_;
    QString error_;
    std::int64_t bytes_ = 0;
    std::int64_t synced_ = 0;
};
