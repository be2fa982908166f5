// ByteRange.h - which bytes of a file a request's "Range" header asks for.
#pragma once

#include <cstdint>
#include <ctime>
#include <string_view>

class CSocketStream;

struct CByteRange {
    enum class EKind {
        Whole,          // no usable range: the whole file, as without the header
        Partial,        // bytes m_first..m_last (inclusive) of the file
        Unsatisfiable,  // a well-formed range that lies past the end: 416
    };
    EKind m_kind = EKind::Whole;
    std::int64_t m_first = 0;
    std::int64_t m_last = 0;
    std::int64_t Length() const { return m_last - m_first + 1; }
};

// A "bytes=A-B", "bytes=A-" or "bytes=-N" value against a file of `size` bytes. Several
// ranges, other units and malformed values give Whole (the header is then ignored); B past
// the end is cut to the last byte, N past the size gives the whole file as one range.
CByteRange ParseByteRange(std::string_view value, std::int64_t size);

// The range the request asks for, after If-Range: a date that is not exactly the file's
// `modified` time (or any entity tag, as our replies carry none) asks for the whole file.
CByteRange RequestedRange(const CSocketStream& out, std::int64_t size, std::time_t modified);

// True when the request carries a Range header, whatever its value.
bool HasRangeHeader(const CSocketStream& out);
