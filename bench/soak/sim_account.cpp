#include "bench/soak/sim_account.h"

#include <QRegularExpression>

#include <algorithm>

SimAccount ReadSimAccount(const QByteArray& VerboseLog) {
    static const QRegularExpression request(
        QStringLiteral("^request \\d+: (\\S+) p1=\\d+ p2=\\d+ seq=(\\d+) len=\\d+$"));
    static const QRegularExpression answer(QStringLiteral("^answer: (\\S+) seq=\\d+ len=\\d+$"));
    static const QRegularExpression lost(
        QStringLiteral("^answer \\d+ (dropped|corrupted|not sent \\(silent\\))$"));
    const QString prefix = QStringLiteral("orvexfm-sim: ");

    SimAccount account;
    for (const QByteArray& raw : VerboseLog.split('\n')) {
        QString line = QString::fromLocal8Bit(raw).trimmed();
        if (!line.startsWith(prefix))
            continue;
        line = line.mid(prefix.size());
        if (line.startsWith(QLatin1String("served "))) {
            account.SummaryLine = line;
            continue;
        }
        if (const auto m = request.match(line); m.hasMatch()) {
            account.Requests.append({m.captured(1), m.captured(2).toInt(), false, false});
            continue;
        }
        if (account.Requests.isEmpty())
            continue;
        SimAccount::Request& current = account.Requests.last();
        if (const auto m = answer.match(line); m.hasMatch()) {
            current.Answered = true;
            if (m.captured(1) == QLatin1String("H_PACK_ERR"))
                ++account.Refused;
            continue;
        }
        if (lost.match(line).hasMatch()) {
            current.Lost = true;
            ++account.Lost;
        }
    }
    return account;
}

QString BudgetExceeded(const SimAccount& Account, bool Udp, const LinkBudget& Budget) {
    const QList<SimAccount::Request>& r = Account.Requests;
    QString previousCommand;
    for (qsizetype i = 0; i < r.size();) {
        // A group: one request and its retransmissions (same command, same sequence byte).
        qsizetype end = i;
        int run = 0;
        int longest = 0; // answers lost in a row within the group
        while (end < r.size() && r[end].Command == r[i].Command &&
               r[end].Sequence == r[i].Sequence) {
            run = r[end].Lost ? run + 1 : 0;
            longest = std::max(longest, run);
            ++end;
        }
        const bool setBaud = r[i].Command == QLatin1String("H_SETBAUD");
        const bool firstOfExchange = r[i].Command != previousCommand;
        int limit = Budget.DataSends;
        if (setBaud)
            limit = Budget.SetBaudLosses;
        else if (Udp && firstOfExchange)
            limit = Budget.FirstUdpSends;
        if (longest >= limit) {
            return QStringLiteral("%1 seq=%2: %3 answers lost in a row, the link gives up after "
                                  "%4")
                .arg(r[i].Command)
                .arg(r[i].Sequence)
                .arg(longest)
                .arg(limit);
        }
        previousCommand = r[i].Command;
        i = end;
    }
    return {};
}
