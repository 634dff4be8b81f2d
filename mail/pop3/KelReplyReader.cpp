#include "mail/pop3/KelReplyReader.h"

#include <cstring>

namespace kel {

namespace {

// Taken bytes are dropped from the front of the buffer once they are this
// many (and always when nothing is left), so the buffer stays small.
constexpr size_t kCompactAt = 64 * 1024;

bool IsLineEnd(char c) { return c == '\r' || c == '\n'; }

} // namespace

void TReplyReader::Feed(std::string_view Bytes) {
    if (FPos == FBuf.size()) {
        FBuf.assign(Bytes);
        FPos = 0;
        FLineScan = 0;
        return;
    }
    if (FPos >= kCompactAt) {
        FBuf.erase(0, FPos);
        FLineScan = FLineScan > FPos ? FLineScan - FPos : 0;
        FPos = 0;
    }
    FBuf.append(Bytes);
}

void TReplyReader::Reset() {
    FBuf.clear();
    FPos = 0;
    FLineScan = 0;
    FDataBytes = 0;
}

TReplyReader::TStep TReplyReader::TakeLine(std::string& Line) {
    const size_t from = FLineScan > FPos ? FLineScan : FPos;
    const size_t eol = FBuf.find("\r\n", from);
    if (eol == std::string::npos) {
        // A CR at the end may pair with an LF still to come.
        const bool crLast = !FBuf.empty() && FBuf.back() == '\r';
        FLineScan = crLast ? FBuf.size() - 1 : FBuf.size();
        return FBuf.size() - FPos > kMaxLine + (crLast ? 1 : 0) ? TStep::TooLong : TStep::More;
    }
    if (eol - FPos > kMaxLine)
        return TStep::TooLong;
    Line.assign(FBuf, FPos, eol - FPos);
    FPos = eol + 2;
    FLineScan = FPos;
    return TStep::Done;
}

void TReplyReader::BeginData(bool Unstuff, uint64_t Limit) {
    FUnstuff = Unstuff;
    FLimit = Limit;
    FDataBytes = 0;
    FBefore1 = '\n';
    FBefore2 = '\r';
}

TReplyReader::TStep TReplyReader::TakeData(std::string& Out) {
    bool done = false;
    const size_t taken = ScanData(FBuf.data() + FPos, FBuf.data() + FBuf.size(), Out, done);
    FPos += taken;
    return Counted(taken, done);
}

TReplyReader::TStep TReplyReader::FeedData(std::string_view Bytes, std::string& Out) {
    if (FPos != FBuf.size()) {
        Feed(Bytes);
        return TakeData(Out);
    }
    // Nothing held back: the bytes are scanned where they lie, and only
    // what stays (a dot that waits, the next reply) is kept.
    bool done = false;
    const size_t taken = ScanData(Bytes.data(), Bytes.data() + Bytes.size(), Out, done);
    FBuf.assign(Bytes.substr(taken));
    FPos = 0;
    FLineScan = 0;
    return Counted(taken, done);
}

TReplyReader::TStep TReplyReader::Counted(size_t Taken, bool Done) {
    FDataBytes += Taken;
    if (FDataBytes > FLimit)
        return TStep::TooLong;
    return Done ? TStep::Done : TStep::More;
}

size_t TReplyReader::ScanData(const char* b, const char* e, std::string& Out, bool& Done) {
    // The byte before q, and the one before that, across what was taken before.
    auto before1 = [&](const char* q) { return q > b ? q[-1] : FBefore1; };
    auto before2 = [&](const char* q) { return q - 1 > b ? q[-2] : q > b ? FBefore1 : FBefore2; };

    const char* copy = b; // not yet appended to Out from here
    const char* p = b;    // taken up to here
    // Only a "." can begin the terminator or a stuffed line, so the scan
    // jumps from dot to dot.
    while (p < e) {
        const char* dot = static_cast<const char*>(std::memchr(p, '.', static_cast<size_t>(e - p)));
        if (dot == nullptr) {
            p = e;
            break;
        }
        if (!IsLineEnd(before1(dot))) {
            p = dot + 1;
            continue;
        }
        if (dot + 1 == e) {
            p = dot; // what follows decides: the dot waits
            break;
        }
        const char next = dot[1];
        if (next == '\r' && before1(dot) == '\n' && before2(dot) == '\r') {
            if (dot + 2 == e) {
                p = dot;
                break;
            }
            if (dot[2] == '\n') {
                Out.append(copy, static_cast<size_t>(dot - copy));
                copy = p = dot + 3;
                Done = true;
                break;
            }
        }
        // A line of "." alone (a NUL ends the line too: text lists stop at
        // it) stays; a longer one loses its dot.
        if (FUnstuff && !IsLineEnd(next) && next != '\0') {
            Out.append(copy, static_cast<size_t>(dot - copy));
            copy = dot + 1;
        }
        p = dot + 1;
    }
    if (!Done)
        Out.append(copy, static_cast<size_t>(p - copy));

    const size_t taken = static_cast<size_t>(p - b);
    if (taken >= 2) {
        FBefore2 = p[-2];
        FBefore1 = p[-1];
    } else if (taken == 1) {
        FBefore2 = FBefore1;
        FBefore1 = p[-1];
    }
    return taken;
}

} // namespace kel
