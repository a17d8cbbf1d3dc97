#pragma once

#include <QString>
#include <QStringList>

// The simulated device's own account of one upload, read from its --verbose log (standard
// error): every request it took and whether the answer to it was lost (dropped, spoilt check,
// or not sent because the device had fallen silent). From it the soak works out, without
// asking the host, whether the faults left the link's retry budget intact.
struct SimAccount {
    struct Request {
        QString Command;
        int Sequence = -1;
        bool Answered = false;
        bool Lost = false; // the answer never reached the host intact
    };
    QList<Request> Requests;
    QString SummaryLine; // the one-line summary written when the device stops
    int Refused = 0;
    int Lost = 0;
};

SimAccount ReadSimAccount(const QByteArray& VerboseLog);

// Retry budgets of the host's link, as it runs the upload road:
//  - a data request is sent at most 8 times (the original and 7 retransmissions after
//    5-second time-outs); the count starts afresh with every accepted packet. Over UDP the
//    first request of an exchange has only the upload's 6 bit-rate attempts, because no
//    H_SETBAUD exchange hands over to the data budget there.
//  - a serial session's H_SETBAUD is tried 6 times, alternating 9600 and 115200 bit/s. The
//    device switches to 115200 after every acknowledge it produces, also one that is then
//    dropped or spoilt, so after a first lost acknowledge only the attempts at 115200 reach
//    it: the session fails when the acknowledges to attempts 1, 2, 4 and 6 are all lost,
//    that is 4 lost acknowledges in a row.
struct LinkBudget {
    int DataSends = 8;
    int FirstUdpSends = 6;
    int SetBaudLosses = 4;
};

// Empty when every request got an answer through within the budget; otherwise the exact
// reason the upload was allowed to fail.
QString BudgetExceeded(const SimAccount& Account, bool Udp, const LinkBudget& Budget = {});
