#include "runlog/CsvStream.h"

#include <QIODevice>

#include <algorithm>
#include <cstring>

namespace {
constexpr qint64 kBuffer = 1 << 20; // much more than a record, so that refills are rare
}

CsvStream::CsvStream(QIODevice& in)
    : in_(in) {
    // Room for a whole record and more; no more than the text needs, for short texts.
    const qint64 left = in.isSequential() ? kBuffer : in.size() - in.pos();
    capacity_ = static_cast<std::size_t>(std::clamp<qint64>(left + 1, kMaxRecord + 2, kBuffer));
    buffer_ = std::make_unique_for_overwrite<char[]>(capacity_);
    unquoted_.reserve(kMaxRecord);
    fields_.reserve(kMaxFields);
}

bool CsvStream::fill() {
    if (begin_ > 0) {
        std::memmove(buffer_.get(), buffer_.get() + begin_, end_ - begin_);
        end_ -= begin_;
        begin_ = 0;
    }
    const qint64 n = in_.read(buffer_.get() + end_, static_cast<qint64>(capacity_ - end_));
    if (n < 0)
        failed_ = true;
    else if (n == 0)
        eof_ = true;
    else
        end_ += static_cast<std::size_t>(n);
    return n > 0;
}

CsvStream::Parse CsvStream::parse() {
    fields_.clear();
    unquoted_.clear();
    lines_ = 0;
    const char* const start = buffer_.get() + begin_;
    const char* const e = buffer_.get() + end_;
    const char* p = start;
    for (;;) {
        if (fields_.size() == kMaxFields)
            return Parse::Malformed;
        if (p < e && *p == '"') {
            ++p;
            const std::size_t from = unquoted_.size();
            for (;;) {
                const auto* q = static_cast<const char*>(std::memchr(p, '"', std::size_t(e - p)));
                if (!q || q + 1 == e) // the closing quote, or a doubled one, is still to come
                    return Parse::NeedMore;
                if (unquoted_.size() + std::size_t(q - p) + 1 > std::size_t(kMaxRecord))
                    return Parse::TooLong;
                lines_ += std::count(p, q, '\n');
                unquoted_.append(p, q);
                if (q[1] != '"') {
                    p = q + 1;
                    break;
                }
                unquoted_.push_back('"');
                p = q + 2;
            }
            fields_.emplace_back(unquoted_.data() + from, unquoted_.size() - from);
        } else {
            const char* f = p;
            while (p < e && *p != ',' && *p != '\n' && *p != '\r' && *p != '"')
                ++p;
            if (p < e && *p == '"')
                return Parse::Malformed;
            fields_.emplace_back(f, std::size_t(p - f));
        }
        if (p == e)
            return Parse::NeedMore;
        if (*p == ',') {
            ++p;
            continue;
        }
        if (*p == '\r') {
            if (p + 1 == e)
                return Parse::NeedMore;
            if (p[1] != '\n')
                return Parse::Malformed;
            ++p;
        }
        if (*p != '\n')
            return Parse::Malformed; // text after a closing quote
        consumed_ = std::size_t(p + 1 - start);
        ++lines_;
        return consumed_ > std::size_t(kMaxRecord) ? Parse::TooLong : Parse::Done;
    }
}

CsvStream::Next CsvStream::next() {
    for (;;) {
        const Parse result = parse();
        line_ = nextLine_;
        offset_ = nextOffset_;
        if (result == Parse::Malformed)
            return Next::Malformed;
        if (result == Parse::TooLong)
            return Next::TooLong;
        if (result == Parse::Done) {
            nextLine_ += lines_;
            nextOffset_ += static_cast<qint64>(consumed_);
            begin_ += consumed_;
            return Next::Record;
        }
        if (end_ - begin_ > std::size_t(kMaxRecord))
            return Next::TooLong;
        if (eof_) {
            if (begin_ == end_)
                return Next::End;
            begin_ = end_;
            return Next::CutShort;
        }
        if (!fill() && failed_)
            return Next::ReadError;
    }
}
