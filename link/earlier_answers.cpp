#include "link/earlier_answers.h"

#include <algorithm>

void EarlierAnswers::Remember(std::uint8_t Sequence, const QByteArray& Data, qint64 At,
                              qint64 CopiesForMs) {
    if (m_entries.size() == kKept)
        m_entries.pop_front();
    m_entries.push_back({m_exchange, Sequence, Data, At, CopiesForMs});
}

bool EarlierAnswers::IsLateCopy(std::uint8_t Sequence, const QByteArray& Data, qint64 At) const {
    return std::any_of(m_entries.begin(), m_entries.end(), [&](const Entry& e) {
        return e.Exchange == m_exchange - 1 && e.Sequence == Sequence &&
               At - e.At <= e.CopiesForMs && e.Data == Data;
    });
}
