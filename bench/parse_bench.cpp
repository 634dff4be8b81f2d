// Parse driver for whole-process timings beside other MIME parsers.
//
//   parse_bench FILE...
//
// For every file it does what a retrieval does with the received text: map
// the message, split it into lines (views into the mapping), ParseLines
// (letting go of the mapped pages the parse is done with, as the retrieval
// does; unlike the retrieval, the pages are also let go as the split goes),
// then touches every byte the message
// shows (a CRC32 over each line of Text and over each attachment's Data) and
// reads the header-derived fields. One summary line at the end, with the
// totals over all files, with the keys the benchmark kit's harness reads:
//
//   leaves=L b64=n/bytes/crc uu=0/0/0 qp=0/0/0 raw=lines/bytes/crc hdrchars=C names=N failed=F
//
// The model does not say how a part was encoded, so the buckets are not the
// kit's: "b64" holds every attachment (Data), "raw" every line of Text.
// "leaves" counts the attachments plus one for each message with text; the
// CRC sums are modulo 2^32. A parse that fails ("Oops...") is counted and
// the run goes on.

#include "mail/message/KelMsg.h"
#include "mail/core/KelLines.h"

#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <string_view>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

// A message file mapped as the retrieval maps its spool file: the lines the
// message is parsed from are views into the mapping.
class TMappedFile {
  public:
    bool Open(const char* Name) {
        const int fd = open(Name, O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            return false;
        struct stat st {};
        bool ok = fstat(fd, &st) == 0;
        if (ok && st.st_size > 0) {
            FSize = static_cast<size_t>(st.st_size);
            FMap = mmap(nullptr, FSize, PROT_READ, MAP_PRIVATE, fd, 0);
            ok = FMap != MAP_FAILED;
            if (!ok)
                FMap = nullptr;
        }
        close(fd);
        return ok;
    }
    ~TMappedFile() {
        if (FMap)
            munmap(FMap, FSize);
    }
    std::string_view View() const { return FMap ? std::string_view(static_cast<const char*>(FMap), FSize) : ""; }
    // The pages between Begin and End are read in one call, not a fault
    // at a time.
    void Populate(const char* Begin, const char* End) const {
        const auto page = static_cast<uintptr_t>(sysconf(_SC_PAGE_SIZE));
        const uintptr_t first = reinterpret_cast<uintptr_t>(Begin) / page * page;
        if (FMap && Begin < End)
            madvise(reinterpret_cast<void*>(first), static_cast<size_t>(reinterpret_cast<uintptr_t>(End) - first),
                    MADV_POPULATE_READ);
    }
    // The whole pages between Begin and End leave the process's memory; a
    // later read brings them back from the file.
    void Release(const char* Begin, const char* End) const {
        const auto map = reinterpret_cast<uintptr_t>(FMap);
        const auto begin = reinterpret_cast<uintptr_t>(Begin), end = reinterpret_cast<uintptr_t>(End);
        if (!FMap || begin < map || end > map + FSize || begin >= end)
            return;
        const auto page = static_cast<uintptr_t>(sysconf(_SC_PAGE_SIZE));
        const uintptr_t first = (begin + page - 1) / page * page;
        const uintptr_t last = end / page * page;
        if (first < last)
            madvise(reinterpret_cast<void*>(first), last - first, MADV_DONTNEED);
    }

  private:
    void* FMap = nullptr;
    size_t FSize = 0;
};

uint32_t Crc(const std::string& S) {
    return static_cast<uint32_t>(crc32(0L, reinterpret_cast<const Bytef*>(S.data()), static_cast<uInt>(S.size())));
}

struct Totals {
    uint64_t leaves = 0, textLines = 0, textBytes = 0, files = 0, fileBytes = 0, hdrChars = 0, names = 0, failed = 0;
    uint32_t textCrc = 0, fileCrc = 0;
};

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s FILE...\n", argv[0]);
        return 2;
    }
    Totals t;
    for (int i = 1; i < argc; ++i) {
        kel::TKelMsg msg;
        {
            TMappedFile file;
            if (!file.Open(argv[i])) {
                std::fprintf(stderr, "%s: %s\n", argv[i], std::strerror(errno));
                return 1;
            }
            // Split a megabyte at a time, cut after an LF (where a split of
            // the whole also ends a line), each piece's pages let go once
            // its lines are found: the parse brings back what it reads.
            std::vector<std::string_view> lines;
            std::string_view rest = file.View();
            while (!rest.empty()) {
                const size_t lf = rest.find('\n', std::min<size_t>(rest.size(), 1 << 20));
                const std::string_view piece = rest.substr(0, lf == std::string_view::npos ? rest.size() : lf + 1);
                // Doubling, not growing by each piece's share: the list is
                // moved a few times, not once a piece.
                if (lines.capacity() - lines.size() < piece.size() / 32 + 16)
                    lines.reserve(std::max(lines.capacity() * 2, lines.size() + piece.size() / 32 + 16));
                file.Populate(piece.data(), piece.data() + piece.size());
                kel::AppendSplitLines(lines, piece);
                file.Release(piece.data(), piece.data() + piece.size());
                rest.remove_prefix(piece.size());
            }
            msg.OnLinesCopied = [&file](const char* Begin, const char* End) { file.Release(Begin, End); };
            try {
                msg.ParseLines(lines, kel::lkSplit);
            } catch (const std::exception&) {
                ++t.failed;
            }
            msg.OnLinesCopied = nullptr;
        }

        for (const std::string* f : {&msg.From, &msg.Sender, &msg.SendTo, &msg.CC, &msg.ReplyTo, &msg.Subject,
                                     &msg.Date, &msg.MessageId, &msg.ContentType})
            t.hdrChars += f->size();
        // Lines are gathered into a buffer first: crc32 on tens of bytes at
        // a time costs more than the copy.
        uint32_t crc = 0;
        std::string chunk;
        chunk.reserve(1 << 16);
        const auto flush = [&] {
            crc = static_cast<uint32_t>(crc32(crc, reinterpret_cast<const Bytef*>(chunk.data()), static_cast<uInt>(chunk.size())));
            chunk.clear();
        };
        for (const std::string_view l : msg.Text) {
            if (chunk.size() + l.size() > (1u << 16))
                flush();
            if (l.size() > (1u << 16))
                crc = static_cast<uint32_t>(crc32(crc, reinterpret_cast<const Bytef*>(l.data()), static_cast<uInt>(l.size())));
            else
                chunk += l;
            t.textBytes += l.size();
        }
        flush();
        t.textLines += msg.Text.size();
        t.textCrc += crc;
        t.leaves += msg.Text.empty() ? 0 : 1;
        for (int k = 0; k < msg.AttachedFiles.Count(); ++k) {
            const kel::TAttachedFile& a = msg.AttachedFiles.Items(k);
            ++t.leaves;
            ++t.files;
            t.fileBytes += a.Data.size();
            t.fileCrc += Crc(a.Data);
            t.names += a.FileName.empty() ? 0 : 1;
        }
    }
    std::printf("leaves=%llu b64=%llu/%llu/%u uu=0/0/0 qp=0/0/0 raw=%llu/%llu/%u hdrchars=%llu names=%llu failed=%llu\n",
                static_cast<unsigned long long>(t.leaves), static_cast<unsigned long long>(t.files),
                static_cast<unsigned long long>(t.fileBytes), t.fileCrc, static_cast<unsigned long long>(t.textLines),
                static_cast<unsigned long long>(t.textBytes), t.textCrc, static_cast<unsigned long long>(t.hdrChars),
                static_cast<unsigned long long>(t.names), static_cast<unsigned long long>(t.failed));
    return 0;
}
