// Text lists: the lines of a text without their line ends, and the text
// again from its lines.
#pragma once

#include <cstddef>
#include <initializer_list>
#include <iterator>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kel {

// A text list is a std::vector<std::string> of lines without line ends, or,
// where a text is kept for long, a TTextLines.

// The lines of a text in one buffer: the bytes of every line one after the
// other, without line ends, and where each line ends. Adding lines allocates
// for the list, never for a line. A line is read as a view into the buffer,
// valid until the list is next changed.
class TTextLines {
  public:
    class const_iterator {
      public:
        using iterator_category = std::random_access_iterator_tag;
        using value_type = std::string_view;
        using difference_type = std::ptrdiff_t;
        using pointer = void;
        using reference = std::string_view;

        const_iterator() = default;
        std::string_view operator*() const { return (*FList)[FIndex]; }
        std::string_view operator[](difference_type N) const { return (*FList)[FIndex + static_cast<size_t>(N)]; }
        const_iterator& operator++() { ++FIndex; return *this; }
        const_iterator operator++(int) { const_iterator old = *this; ++FIndex; return old; }
        const_iterator& operator--() { --FIndex; return *this; }
        const_iterator operator--(int) { const_iterator old = *this; --FIndex; return old; }
        const_iterator& operator+=(difference_type N) { FIndex += static_cast<size_t>(N); return *this; }
        const_iterator& operator-=(difference_type N) { FIndex -= static_cast<size_t>(N); return *this; }
        friend const_iterator operator+(const_iterator I, difference_type N) { return I += N; }
        friend const_iterator operator+(difference_type N, const_iterator I) { return I += N; }
        friend const_iterator operator-(const_iterator I, difference_type N) { return I -= N; }
        friend difference_type operator-(const const_iterator& A, const const_iterator& B) {
            return static_cast<difference_type>(A.FIndex) - static_cast<difference_type>(B.FIndex);
        }
        friend bool operator==(const const_iterator& A, const const_iterator& B) { return A.FIndex == B.FIndex; }
        friend auto operator<=>(const const_iterator& A, const const_iterator& B) { return A.FIndex <=> B.FIndex; }

      private:
        friend class TTextLines;
        const_iterator(const TTextLines* List, size_t Index) : FList(List), FIndex(Index) {}
        const TTextLines* FList = nullptr;
        size_t FIndex = 0;
    };
    using iterator = const_iterator;
    using value_type = std::string_view;
    using size_type = size_t;

    TTextLines() = default;
    TTextLines(std::initializer_list<std::string_view> Lines);
    explicit TTextLines(std::span<const std::string> Lines);

    size_t size() const { return FEnds.size(); }
    bool empty() const { return FEnds.empty(); }
    std::string_view operator[](size_t Index) const {
        const size_t begin = Index == 0 ? 0 : FEnds[Index - 1];
        return std::string_view(FBytes.data() + begin, FEnds[Index] - begin);
    }
    std::string_view front() const { return (*this)[0]; }
    std::string_view back() const { return (*this)[size() - 1]; }
    const_iterator begin() const { return const_iterator(this, 0); }
    const_iterator end() const { return const_iterator(this, size()); }
    // The bytes of all lines together, line ends not counted.
    size_t Bytes() const { return FBytes.size(); }

    void push_back(std::string_view Line);
    void emplace_back(std::string_view Line) { push_back(Line); }
    void Append(std::span<const std::string_view> Lines);
    void Append(std::span<const std::string> Lines);
    // Appends the lines of Text as AppendSplitLines splits them.
    void AppendSplit(std::string_view Text);
    // Room for Lines more lines of Bytes more bytes, so that appending them
    // moves nothing.
    void Reserve(size_t Lines, size_t Bytes);
    // Keeps the first Count lines (fewer lines only).
    void Truncate(size_t Count);
    void clear();
    void swap(TTextLines& Other) noexcept;

    std::vector<std::string> ToVector() const { return std::vector<std::string>(begin(), end()); }

    friend bool operator==(const TTextLines& A, const TTextLines& B) = default;
    friend bool operator==(const TTextLines& A, const std::vector<std::string>& B);

  private:
    template <class TLine> void AppendLines(std::span<const TLine> Lines);

    std::string FBytes;
    std::vector<size_t> FEnds; // one past each line's last byte in FBytes
};

// Every line of Lines followed by CR LF, appended to Out.
void AppendJoined(std::string& Out, const TTextLines& Lines);

// Every line followed by CR LF ("" for no lines).
std::string JoinLines(const std::vector<std::string>& Lines);
std::string JoinLines(std::span<const std::string> Lines);
// Appends the joined form of Lines to Out.
void AppendJoined(std::string& Out, std::span<const std::string> Lines);
// The same for lines held as views (into a received text, say).
std::string JoinLines(std::span<const std::string_view> Lines);
void AppendJoined(std::string& Out, std::span<const std::string_view> Lines);

// Appends the lines of Text to Out: split at CR LF, a lone CR or a lone LF,
// every other byte (NUL included) kept. A line end at the very end of the
// text does not start another (empty) line.
void AppendSplitLines(std::vector<std::string>& Out, std::string_view Text);
// Appends the lines of Text to Out as views into Text, copying nothing.
void AppendSplitLines(std::vector<std::string_view>& Out, std::string_view Text);

// The lines of Text as AppendSplitLines splits them: a NUL is a byte like
// any other, and what follows it is never lost.
std::vector<std::string> SplitLines(std::string_view Text);

// The same rules one byte at a time, with no vector instructions and no
// counting pass: the yardstick that the fast paths of AppendSplitLines, which
// depend on the processor, are checked against.
void AppendSplitLinesPlain(std::vector<std::string_view>& Out, std::string_view Text);

} // namespace kel
