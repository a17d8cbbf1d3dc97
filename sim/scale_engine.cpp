#include "sim/scale_engine.h"

#include "scalebus/packet.h"
#include "scalebus/scalebus_types.h"

#include <algorithm>

using namespace scalebus;

namespace {

constexpr int kFrameEndPosition = 300;
constexpr int kClearedFrameByte = 150;

long long ScaleNumberFrom(const std::uint8_t* Bcd) {
    long long value = 0;
    for (int i = 3; i >= 0; --i)
        value = value * 100 + (Bcd[i] >> 4) * 10 + (Bcd[i] & 0x0F);
    return value;
}

} // namespace

std::uint8_t ScaleMemoryByte(std::uint32_t Seed, int Block, int Offset) {
    std::uint32_t x = Seed * 2654435761u ^ (std::uint32_t(Block) << 8 | std::uint32_t(Offset));
    x ^= x >> 13;
    x *= 0x5bd1e995u;
    x ^= x >> 15;
    return static_cast<std::uint8_t>(x);
}

QByteArray ScaleMemoryBlock(std::uint32_t Seed, int Block) {
    QByteArray block(kDataSize, '\0');
    for (int i = 0; i < kDataSize; ++i)
        block[i] = static_cast<char>(ScaleMemoryByte(Seed, Block, i));
    return block;
}

QByteArray ScaleInfoBlock(bool WithQxt, std::uint16_t Value) {
    QByteArray block(kDataSize, '\0');
    const QByteArray model = QByteArrayLiteral("SIMSCALE");
    std::copy(model.begin(), model.end(), block.begin());
    block[12] = static_cast<char>(Value & 0xFF);
    block[13] = static_cast<char>(Value >> 8);
    const QByteArray text =
        WithQxt ? QByteArrayLiteral("QXT-30 SIM") : QByteArrayLiteral("ACS-15 SIM");
    std::copy(text.begin(), text.end(), block.begin() + 16);
    return block;
}

ScaleEngine::ScaleEngine(ScaleConfig Config) : m_config(std::move(Config)) {}

int ScaleEngine::ListenRate() const {
    return m_awake ? m_rate : m_config.Faults.OnlyRate;
}

void ScaleEngine::Log(const QString& Text) {
    if (OnLog)
        OnLog(Text);
}

void ScaleEngine::FeedSerial(const QByteArray& Bytes, int HostRate) {
    const int listen = ListenRate();
    if (listen != 0 && HostRate != listen) {
        // Sampled at the wrong speed these bytes are noise, and so is any frame they cut.
        m_stats.IgnoredBytes += Bytes.size();
        m_frame.clear();
        return;
    }
    for (const char c : Bytes) {
        const auto byte = static_cast<std::uint8_t>(c);
        const int position = int(m_frame.size());
        bool accepted;
        if (position == 0)
            accepted = byte == kFrameStart;
        else if (position < kFrameEndPosition)
            accepted = (byte & 0x80) != 0;
        else
            accepted = byte == kFrameEnd;
        if (!accepted) {
            if (position > 0)
                ++m_stats.BadFrames;
            m_frame.clear();
            if (byte == kFrameStart)
                m_frame.append(c);
            continue;
        }
        m_frame.append(c);
        if (m_frame.size() == kFrameEndPosition + 1) {
            const Packet p =
                DecodeFrame(reinterpret_cast<const std::uint8_t*>(m_frame.constData()));
            m_frame.clear();
            if (!PacketSumMatches(p)) {
                ++m_stats.BadFrames;
                Log(QStringLiteral("frame with a bad sum ignored"));
                continue;
            }
            OnPacket(p.data(), true, HostRate);
        }
    }
}

void ScaleEngine::FeedDatagram(const QByteArray& Datagram) {
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(Datagram.constData());
    if (Datagram.size() >= kFrameAnswerSize && bytes[0] == kFrameStart) {
        const Packet p = DecodeFrame(bytes);
        if (!PacketSumMatches(p)) {
            ++m_stats.BadFrames;
            return;
        }
        OnPacket(p.data(), false, 0);
        return;
    }
    if (Datagram.size() == kPacketSize) {
        OnPacket(bytes, false, 0);
        return;
    }
    ++m_stats.BadFrames;
}

void ScaleEngine::OnPacket(const std::uint8_t* P, bool Serial, int Rate) {
    if (P[0] != kCommandScale) {
        ++m_stats.BadFrames;
        return;
    }
    const std::uint16_t param = static_cast<std::uint16_t>(P[1] | (P[2] << 8));
    if (param == kSubWakeUp) {
        ++m_stats.WakeUps;
        ++m_stats.WakeUpsByRate[Rate];
        m_stats.LastScaleNo = ScaleNumberFrom(P + 3);
        m_stats.LastWakeUpRateOrdinal = P[13];
        m_stats.LastWakeUpFlag = P[14];
        Log(QStringLiteral("wake-up for scale %1 at %2 bit/s, working rate ordinal %3")
                .arg(m_stats.LastScaleNo)
                .arg(Rate)
                .arg(P[13]));
        if (m_config.Faults.NegativeWakeUp) {
            AnswerByte(kAnswerNegative, Serial, Rate);
            return;
        }
        AnswerByte(kAnswerPositive, Serial, Rate);
        if (Serial) {
            m_awake = true;
            m_rate = int(BaudRateBits(P[13]));
        }
        return;
    }
    if (Serial && !m_awake)
        return; // asleep: only a wake-up is heard
    if (param == kSubFinish) {
        ++m_stats.Finishes;
        m_stats.LastScaleNo = ScaleNumberFrom(P + 3);
        m_stats.FinishFlags.push_back(P[7]);
        Log(QStringLiteral("finish, flag %1").arg(P[7]));
        AnswerByte(kAnswerPositive, Serial, Rate);
        m_awake = false;
        m_rate = 0;
        return;
    }
    if (param == kParamRead) {
        ++m_stats.Exchanges;
        const std::uint8_t* data = P + 3;
        QByteArray answer(kDataSize, '\0');
        if (data[2] == kReadScaleInfo) {
            ++m_stats.InfoReads;
            answer = ScaleInfoBlock(m_config.WithQxt, m_config.InfoValue);
        } else if (data[2] == kReadMemoryBlock) {
            const int block = data[0] | (data[1] << 8);
            ++m_stats.BlockReads[block];
            answer = ScaleMemoryBlock(m_config.ContentSeed, block);
        }
        AnswerData(P, answer, Serial, Rate);
        return;
    }
    ++m_stats.BadFrames;
}

bool ScaleEngine::PassesFaults(int AnswerNumber) {
    const ScaleFaults& f = m_config.Faults;
    if (f.DropAnswers.count(AnswerNumber) > 0 ||
        (f.SilentAfter >= 0 && AnswerNumber > f.SilentAfter)) {
        ++m_stats.Dropped;
        Log(QStringLiteral("answer %1 not sent").arg(AnswerNumber));
        return false;
    }
    return true;
}

void ScaleEngine::AnswerByte(std::uint8_t Byte, bool, int Rate) {
    const int number = ++m_stats.Answers;
    if (!PassesFaults(number))
        return;
    m_out.push_back({QByteArray(1, static_cast<char>(Byte)), Rate});
}

void ScaleEngine::AnswerData(const std::uint8_t* Request, const QByteArray& Data, bool Serial,
                             int Rate) {
    const int number = ++m_stats.Answers;
    if (!PassesFaults(number))
        return;
    Packet p{};
    std::copy_n(Request, 3, p.begin());
    std::copy(Data.begin(), Data.end(), p.begin() + 3);
    if (Serial) {
        PutPacketSum(p);
        SerialFrame f = EncodeFrame(p);
        if (m_config.Faults.ClearTopBit.count(number) > 0)
            f[kClearedFrameByte] &= 0x7F;
        // The trailer byte is what the host sends; an answer ends with the end byte.
        m_out.push_back({ToByteArray(f.data(), kFrameAnswerSize), Rate});
        return;
    }
    const QByteArray whole = ToByteArray(p.data(), kPacketSize);
    const std::vector<int>& sizes = m_config.Faults.SplitSizes;
    if (sizes.empty()) {
        m_out.push_back({whole, 0});
        return;
    }
    qsizetype at = 0;
    for (std::size_t i = 0; at < whole.size(); ++i) {
        const int size = std::max(1, sizes[std::min(i, sizes.size() - 1)]);
        m_out.push_back({whole.mid(at, size), 0});
        at += size;
    }
}

ScaleWrite ScaleEngine::TakeWrite() {
    if (m_out.empty())
        return {};
    ScaleWrite w = std::move(m_out.front());
    m_out.pop_front();
    return w;
}

QString ScaleEngine::SummaryLine() const {
    return QStringLiteral("scale served %1 wake-ups, %2 exchanges (%3 information, %4 blocks), "
                          "%5 finishes; answers %6, dropped %7, bad frames %8")
        .arg(m_stats.WakeUps)
        .arg(m_stats.Exchanges)
        .arg(m_stats.InfoReads)
        .arg(m_stats.BlockReads.size())
        .arg(m_stats.Finishes)
        .arg(m_stats.Answers)
        .arg(m_stats.Dropped)
        .arg(m_stats.BadFrames);
}
