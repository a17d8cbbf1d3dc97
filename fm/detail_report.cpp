#include "fm/detail_report.h"

#include "fm/upload_layout.h"

#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

int PrintoutWidth(int MachineIndex) {
    switch (MachineIndex) {
    case 0:
        return 20;
    case 1:
        return 40;
    default:
        return 42;
    }
}

ReportOutcome CutDetailSummary(QByteArrayView File, int Width) {
    ReportOutcome out;
    if (Width <= 0 || Width > kPrintoutBlockSize) {
        out.Error = ReportError::DataError;
        out.Detail = QStringLiteral("printout width %1 is not usable").arg(Width);
        return out;
    }
    if (File.size() <= kPrintoutBlockSize) {
        out.Error = ReportError::NoReport;
        return out;
    }
    const qsizetype blocks = File.size() / kPrintoutBlockSize;
    const int fields = kPrintoutBlockSize / Width;
    out.Lines.reserve(blocks * fields);
    const char* data = File.data();
    for (qsizetype b = 0; b < blocks; ++b) {
        const char* block = data + b * kPrintoutBlockSize;
        for (int i = 0; i < fields; ++i) {
            const char* field = block + i * Width;
            if (field[0] == '\0')
                continue;
            const void* nul = std::memchr(field, 0, std::size_t(Width));
            const qsizetype length = nul ? static_cast<const char*>(nul) - field : Width;
            out.Lines.append(QByteArray(field, length));
        }
    }
    return out;
}

namespace {

// Appends one field's text (up to its first NUL, at most Width bytes) and CR LF at Dst;
// returns the new end. Plain version.
inline char* AppendFieldScalar(char* Dst, const char* Field, int Width) {
    const void* nul = std::memchr(Field, 0, std::size_t(Width));
    const std::size_t length =
        nul ? std::size_t(static_cast<const char*>(nul) - Field) : std::size_t(Width);
    std::memcpy(Dst, Field, length);
    Dst += length;
    *Dst++ = '\r';
    *Dst++ = '\n';
    return Dst;
}

#if defined(__SSE2__)
constexpr int kChunk = 16;

// The same with 16-byte loads: finds the NUL with a compare mask and copies whole chunks
// (Dst needs Chunks * 16 bytes of room; Field needs Chunks * 16 readable bytes).
inline char* AppendFieldSimd(char* Dst, const char* Field, int Width, int Chunks) {
    const __m128i zero = _mm_setzero_si128();
    std::uint64_t nulMask = 0;
    for (int k = 0; k < Chunks; ++k) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(Field + k * kChunk));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(Dst + k * kChunk), v);
        nulMask |= std::uint64_t(std::uint32_t(_mm_movemask_epi8(_mm_cmpeq_epi8(v, zero))))
                   << (k * kChunk);
    }
    if (Width < 64)
        nulMask &= (std::uint64_t(1) << Width) - 1;
    const int length = nulMask ? __builtin_ctzll(nulMask) : Width;
    Dst += length;
    *Dst++ = '\r';
    *Dst++ = '\n';
    return Dst;
}
#endif

} // namespace

namespace {

// Cuts blocks [First, Last) with the field width known at compile time, so the chunk loop
// unrolls; every block in the range must have Chunks * 16 readable bytes after each field.
#if defined(__SSE2__)
template <int W> char* CutBlocksSimd(char* Dst, const char* Data, qsizetype First, qsizetype Last) {
    constexpr int fields = kPrintoutBlockSize / W;
    constexpr int chunks = (W + kChunk - 1) / kChunk;
    for (qsizetype b = First; b < Last; ++b) {
        const char* block = Data + b * kPrintoutBlockSize;
        for (int i = 0; i < fields; ++i) {
            const char* field = block + i * W;
            if (field[0] != '\0')
                Dst = AppendFieldSimd(Dst, field, W, chunks);
        }
    }
    return Dst;
}
#endif

char* CutBlocksScalar(char* Dst, const char* Data, qsizetype First, qsizetype Last, int Width) {
    const int fields = kPrintoutBlockSize / Width;
    for (qsizetype b = First; b < Last; ++b) {
        const char* block = Data + b * kPrintoutBlockSize;
        for (int i = 0; i < fields; ++i) {
            const char* field = block + i * Width;
            if (field[0] != '\0')
                Dst = AppendFieldScalar(Dst, field, Width);
        }
    }
    return Dst;
}

} // namespace

namespace {

// Cuts Blocks whole blocks at Data to Dst (room for Blocks * fields * (Width + 2) + 64
// bytes); returns the new end.
char* CutBlocks(char* Dst, const char* Data, qsizetype Blocks, int Width) {
    if (Blocks <= 0)
        return Dst;
    qsizetype done = 0;
#if defined(__SSE2__)
    // The chunked loads of a block's last field may run up to 16 bytes past the block, so
    // the final block is left to the plain loop (the loads never pass the data's end).
    const qsizetype fast = Blocks - 1;
    if (Width == 20) {
        Dst = CutBlocksSimd<20>(Dst, Data, 0, fast);
        done = fast;
    } else if (Width == 40) {
        Dst = CutBlocksSimd<40>(Dst, Data, 0, fast);
        done = fast;
    } else if (Width == 42) {
        Dst = CutBlocksSimd<42>(Dst, Data, 0, fast);
        done = fast;
    }
#endif
    return CutBlocksScalar(Dst, Data, done, Blocks, Width);
}

constexpr int kSlack = 64;

qsizetype RoomFor(qsizetype Blocks, int Width) {
    return Blocks * (kPrintoutBlockSize / Width) * (Width + 2) + kSlack;
}

} // namespace

ReportError CutDetailSummaryToFileBytes(QByteArrayView File, int Width, QByteArray& Out) {
    Out.clear();
    if (Width <= 0 || Width > kPrintoutBlockSize)
        return ReportError::DataError;
    if (File.size() <= kPrintoutBlockSize)
        return ReportError::NoReport;
    const qsizetype blocks = File.size() / kPrintoutBlockSize;
    // Size once (the slack lets the chunked copy write whole chunks past a line's end),
    // fill, then trim.
    Out.resize(RoomFor(blocks, Width));
    char* dst = CutBlocks(Out.data(), File.data(), blocks, Width);
    Out.truncate(dst - Out.data());
    return ReportError::None;
}

ReportOutcome DecodeDetailSummaryFile(const QString& Path, int MachineIndex) {
    ReportOutcome out;
    const auto data = ReadUploadFile(Path, out);
    if (!data)
        return out;
    return CutDetailSummary(*data, PrintoutWidth(MachineIndex));
}
