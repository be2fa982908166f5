// SpoolLineSplitter.h - CLineSplitter, cuts blocks of a spool into the lines and pieces the
// spool reader takes (SpoolReader.h says what a line and a piece are), passing over body
// lines that cannot start a message.
#pragma once

#include <cstddef>
#include <cstdint>

class CSpoolReader;

// Splits a buffer into lines and pieces and feeds them to the reader. Keeps the state of a
// piece-cut line across buffers.
class CLineSplitter {
  public:
    explicit CLineSplitter(CSpoolReader& reader) : m_reader(reader) {}

    // Feeds every whole piece of text[0..size); returns how many bytes were used. With
    // `atEnd`, the rest is the file's last line, without a line end.
    std::size_t Feed(const char* text, std::size_t size, std::int64_t base, bool atEnd);

    bool Terminated() const { return m_terminated; }
    bool AnyLine() const { return m_anyLine; }

  private:
    std::size_t SkipBody(const char* text, std::size_t pos, std::size_t size);

    CSpoolReader& m_reader;
    bool m_terminated = false;
    bool m_anyLine = false;
    bool m_lineStart = true;  // pos is at the start of a line, not of a later piece
};
