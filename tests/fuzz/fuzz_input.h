#pragma once

// Helpers shared by the fuzz entries: how an input is split into the chunks a line would
// deliver, and the one way a property failure is reported (an abort the fuzzer and the corpus
// replay both see).

#include <QByteArray>

#include <array>
#include <cstdint>
#include <cstdlib>

namespace fuzzinput {

inline void Require(bool Condition) {
    if (!Condition)
        std::abort();
}

// Chunk sizes taken from the first 8 bytes of an input; the rest of the input is the payload.
// Each byte gives one size (1..256); the sizes are used in turn, over and over, so a short
// prefix still splits a long payload everywhere (inside headers, data, CRCs). An input shorter
// than the prefix is all payload, delivered whole.
class Chunking {
public:
    static constexpr std::size_t kPrefix = 8;

    Chunking(const std::uint8_t* Data, std::size_t Size) {
        if (Size < kPrefix) {
            m_payload = QByteArray(reinterpret_cast<const char*>(Data), qsizetype(Size));
            m_whole = true;
            return;
        }
        for (std::size_t i = 0; i < kPrefix; ++i)
            m_sizes[i] = int(Data[i]) + 1;
        m_payload =
            QByteArray(reinterpret_cast<const char*>(Data + kPrefix), qsizetype(Size - kPrefix));
    }

    const QByteArray& Payload() const { return m_payload; }
    std::uint8_t PrefixByte(std::size_t Index) const {
        return m_whole ? 0 : std::uint8_t(m_sizes[Index % kPrefix] - 1);
    }

    // Calls Sink(const QByteArray&) with consecutive pieces of Bytes in the chosen sizes, each
    // size multiplied by Scale (datagrams may be larger than any serial chunk).
    template <typename SinkFn> void Split(const QByteArray& Bytes, SinkFn&& Sink, int Scale = 1) {
        if (m_whole) {
            if (!Bytes.isEmpty())
                Sink(Bytes);
            return;
        }
        for (qsizetype pos = 0; pos < Bytes.size();) {
            const qsizetype n = std::min<qsizetype>(qsizetype(m_sizes[m_next++ % kPrefix]) * Scale,
                                                    Bytes.size() - pos);
            Sink(Bytes.mid(pos, n));
            pos += n;
        }
    }

private:
    std::array<int, kPrefix> m_sizes{};
    std::size_t m_next = 0;
    bool m_whole = false;
    QByteArray m_payload;
};

} // namespace fuzzinput
