#pragma once

#include <QtGlobal>

#include <memory>
#include <string>
#include <string_view>
#include <vector>

class QIODevice;

// Reads CSV (RFC 4180) record by record from a device, with a bound on a record's length, so
// that memory stays that of one buffer however long the text. Records end with CRLF or LF; a
// quoted field may hold commas, line breaks and doubled quotes.
class CsvStream {
public:
    static constexpr qsizetype kMaxRecord = 64 * 1024;
    static constexpr int kMaxFields = 32;

    explicit CsvStream(QIODevice& in);

    enum class Next {
        Record,    // fields() holds the next record
        End,       // no more
        CutShort,  // the text ends inside a record, which is in fields() as far as it went
        TooLong,   // a record longer than kMaxRecord bytes
        Malformed, // a quote in an unquoted field, text after a closing one, a bare CR, too many
                   // fields
        ReadError,
    };
    Next next();

    // The fields of the record last read; valid until the next call of next().
    const std::vector<std::string_view>& fields() const { return fields_; }
    // Where that record starts: its line (from 1) and its byte offset.
    qint64 line() const { return line_; }
    qint64 offset() const { return offset_; }

private:
    enum class Parse { Done, NeedMore, Malformed, TooLong };
    Parse parse();
    bool fill();

    QIODevice& in_;
    std::unique_ptr<char[]> buffer_;
    std::size_t capacity_ = 0;
    std::size_t begin_ = 0; // the unread text is buffer_[begin_, end_)
    std::size_t end_ = 0;
    bool eof_ = false;
    bool failed_ = false;
    std::vector<std::string_view> fields_;
    std::string unquoted_; // quoted fields without their quotes; never reallocated
    qint64 line_ = 0, nextLine_ = 1;
    qint64 offset_ = 0, nextOffset_ = 0;
    std::size_t consumed_ = 0; // bytes of the record parse() found
    qint64 lines_ = 0;         // line breaks inside it
};
