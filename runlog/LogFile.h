#pragma once

#include <QString>
#include <QStringList>

#include <cstdint>

// A run's record on disk: CSV (RFC 4180, UTF-8) with a header row, appended one complete row
// at a time straight to the kernel, so that what was written before a crash stays. After a
// failure (a full disk, a vanished folder) nothing more is written and error() says why.
class LogFile {
public:
    static constexpr const char* kHeader = "time,loop,event,channel,written,read,count,detail,kind";
    // The header of records written before the kind column came; they are read, never added to.
    static constexpr const char* kEightColumnHeader =
        "time,loop,event,channel,written,read,count,detail";

    LogFile() = default;
    ~LogFile();
    LogFile(const LogFile&) = delete;
    LogFile& operator=(const LogFile&) = delete;

    // Opens path for appending, creating its folder; a new or empty file gets the header. A
    // file that holds something else than a record of this format is left alone.
    bool open(const QString& path, QString& why);
    bool isOpen() const { return fd_ >= 0; }
    // Appends one row; false once writing has failed.
    bool write(const QStringList& fields);
    // Makes what was written durable.
    void sync();
    void close();
    QString error() const { return error_; }
    QString path() const { return path_; }
    std::int64_t bytes() const { return bytes_; }

    // One field as CSV: quoted when it holds a comma, a quote or a line break.
    static QString field(const QString& text);
    // A row's time: local ISO 8601 with milliseconds and the offset from UTC.
    static QString time(qint64 msSinceEpoch);

private:
    bool append(const QByteArray& line);

    int fd_ = -1;
    QString path_;
    QString error_;
    std::int64_t bytes_ = 0;
};
