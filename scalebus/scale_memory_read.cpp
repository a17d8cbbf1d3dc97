#include "scalebus/scale_memory_read.h"

#include <QByteArray>
#include <QSaveFile>

namespace scalebus {

namespace {

void Status(const ScaleMemoryReadHooks& Hooks, bool Error, const char* Text) {
    if (Hooks.SetStatus)
        Hooks.SetStatus(Error, QString::fromLatin1(Text));
}

void FailWith(TVarnIBusComm& Link, long long ScaleNo, const ScaleMemoryReadHooks& Hooks,
              const char* Text) {
    Link.Finish(ScaleNo, 1);
    Status(Hooks, true, Text);
    if (Hooks.WaitForOperator)
        Hooks.WaitForOperator();
}

ScaleReadResult Read(TVarnIBusComm& Link, long long ScaleNo, const QString& TargetFile,
                     const ScaleMemoryReadHooks& Hooks) {
    ScaleReadResult result;
    Status(Hooks, false, kStatusConnect);
    if (!Link.Connect(ScaleNo, true)) {
        FailWith(Link, ScaleNo, Hooks, kStatusConnectError);
        result.Outcome = ScaleReadOutcome::ConnectFailed;
        return result;
    }

    Status(Hooks, false, kStatusReceive);
    if (Hooks.SetMargin)
        Hooks.SetMargin(kScaleMemoryBlocks);
    QByteArray memory;
    memory.reserve(kScaleMemoryBytes);
    for (int block = 0; block < kScaleMemoryBlocks; ++block) {
        if (Hooks.SetProgress)
            Hooks.SetProgress(block + 1);
        Link.ClearData();
        std::uint8_t* data = Link.Data();
        data[0] = static_cast<std::uint8_t>(block & 0xFF);
        data[1] = static_cast<std::uint8_t>(block >> 8);
        data[2] = kReadMemoryBlock;
        if (!Link.Exchange(kCommandScale, kParamRead)) {
            FailWith(Link, ScaleNo, Hooks, kStatusReceiveError);
            result.Outcome = ScaleReadOutcome::BlockFailed;
            result.FailedBlock = block;
            return result;
        }
        memory.append(reinterpret_cast<const char*>(Link.Data()), kDataSize);
    }

    Status(Hooks, false, kStatusDisconnect);
    Link.Finish(ScaleNo, 0);

    // Written beside the target and renamed over it, so an earlier complete file is never
    // left half overwritten.
    QSaveFile file(TargetFile);
    if (!file.open(QIODevice::WriteOnly) || file.write(memory) != memory.size() || !file.commit()) {
        result.Outcome = ScaleReadOutcome::WriteFailed;
        result.WriteError = file.errorString();
        return result;
    }
    result.Outcome = ScaleReadOutcome::Written;
    return result;
}

} // namespace

ScaleReadResult ReadScaleMemory(TVarnIBusComm& Link, long long ScaleNo, const QString& TargetFile,
                                const ScaleMemoryReadHooks& Hooks) {
    const ScaleReadResult result = Read(Link, ScaleNo, TargetFile, Hooks);
    Link.SetActive(false);
    return result;
}

} // namespace scalebus
