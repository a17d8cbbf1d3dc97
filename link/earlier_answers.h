#pragma once

#include <QByteArray>

#include <cstdint>
#include <deque>

// The last packets the link accepted, each with the exchange it belonged to and when it came.
//
// A device that answered a request and also its retransmission sends the same packet twice;
// when the first copy ends an exchange, the second can arrive while the next exchange waits
// for an answer. Every exchange counts its sequence bytes from the device's value again, so
// that copy can carry exactly the sequence byte the new request expects and would pass as its
// answer (a header block taken for the footer's). Only its bytes give it away: it is, byte for
// byte, a packet the exchange before accepted a moment ago. Only the exchange just before
// counts: the one before that had its own successor to catch its copies, and an upload made
// again later brings the same bytes by right.
class EarlierAnswers {
public:
    // Enough for the copies a device can still have under way: the answers to the last
    // request of an exchange and its retransmissions.
    static constexpr std::size_t kKept = 8;

    // Packets remembered from now on belong to a new exchange.
    void BeginExchange() { ++m_exchange; }
    // The device repeats earlier packets on purpose (an upload made again at once, areas
    // that read alike): nothing remembered so far counts as a copy any more.
    void Forget() { m_entries.clear(); }
    // A packet accepted At; a copy of it may still come for CopiesForMs.
    void Remember(std::uint8_t Sequence, const QByteArray& Data, qint64 At, qint64 CopiesForMs);
    // The exchange before accepted this very packet (sequence byte and data), and a copy of it
    // may still come at At.
    bool IsLateCopy(std::uint8_t Sequence, const QByteArray& Data, qint64 At) const;

private:
    struct Entry {
        int Exchange = 0;
        std::uint8_t Sequence = 0;
        QByteArray Data;
        qint64 At = 0;
        qint64 CopiesForMs = 0;
    };
    std::deque<Entry> m_entries;
    int m_exchange = 0;
};
