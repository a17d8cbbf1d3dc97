#include "link/fm_request.h"

#include "link/bsport.h"

#include <algorithm>

namespace {

// Digits decimal digits of Value as packed BCD, most significant pair first.
void AppendPackedBcd(QByteArray& Out, int Value, int Digits) {
    QByteArray bytes(Digits / 2, '\0');
    for (int i = static_cast<int>(bytes.size()) - 1; i >= 0; --i) {
        const int low = Value % 10;
        Value /= 10;
        const int high = Value % 10;
        Value /= 10;
        bytes[i] = static_cast<char>((high << 4) | low);
    }
    Out += bytes;
}

} // namespace

std::optional<QByteArray> ZRangeRequest(int FirstZ, int LastZ) {
    if (FirstZ < 0 || FirstZ > kMaxZNumber || LastZ < 0 || LastZ > kMaxZNumber)
        return std::nullopt;
    QByteArray out(1, '\0');
    AppendPackedBcd(out, FirstZ, kZNumberDigits);
    AppendPackedBcd(out, LastZ, kZNumberDigits);
    return out;
}

std::optional<QByteArray> DateRangeRequest(int FirstYymmdd, int LastYymmdd) {
    if (FirstYymmdd < 0 || FirstYymmdd > kMaxDateNumber || LastYymmdd < 0 ||
        LastYymmdd > kMaxDateNumber)
        return std::nullopt;
    QByteArray out(1, '\1');
    AppendPackedBcd(out, FirstYymmdd, kDateDigits);
    AppendPackedBcd(out, LastYymmdd, kDateDigits);
    return out;
}

QByteArray WholeMemoryRequest() {
    return *ZRangeRequest(1, 2100);
}

bool SetRequestData(TBsPort& Link, const QByteArray& Data) {
    if (Data.size() > kMaxRequestDataLength)
        return false;
    std::copy(Data.begin(), Data.end(), Link.RequestData.begin());
    Link.RequestDataLen = static_cast<int>(Data.size());
    return true;
}
