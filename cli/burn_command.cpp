// orvexfm-cli burn: writes files to a disc (or an image file) through the archiving window's
// engine, so archiving can be scripted.

#include "archive/burn_texts.h"
#include "archive/disc_burner.h"
#include "archive/drive_address.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QFileInfo>
#include <QStringList>
#include <QTimer>

#include <cstdio>
#include <memory>

namespace {

enum ExitCode {
    kExitOk = 0,
    kExitUsage = 2,
    kExitNoRoom = 4,
    kExitWriteError = 5,
};

const char kUsage[] =
    "usage: orvexfm-cli burn --drive ADDRESS FILE...\n"
    "\n"
    "Writes the files (and folders, with everything below them) into the root of an\n"
    "ISO 9660 disc with Joliet names.\n"
    "  --drive   an optical writer (\"/dev/sr0\") or an image file \"stdio:PATH\", with an\n"
    "            optional capacity in 2048-byte blocks: \"stdio:/tmp/disc.iso#359848\".\n"
    "            An existing image file is never overwritten.\n"
    "\n"
    "Progress goes to standard error.\n"
    "exit status: 0 written, 2 bad usage (a malformed --drive, or a FILE that does not\n"
    "  exist),\n"
    "  4 the image does not fit on the disc, 5 the drive cannot be used or writing failed\n";

void Say(const QString& Message) {
    std::fprintf(stderr, "orvexfm-cli burn: %s\n", Message.toLocal8Bit().constData());
}

int UsageError(const QString& Message) {
    Say(Message);
    std::fprintf(stderr, "try 'orvexfm-cli burn --help'\n");
    return kExitUsage;
}

int Burn(const QString& Drive, const QStringList& Files) {
    TDiscBurner burner;
    if (!burner.InitializeASPI(false)) {
        Say(burner.LastError());
        return kExitWriteError;
    }
    if (!burner.SelectDrive(Drive)) {
        Say(burner.LastError());
        return kExitWriteError;
    }
    for (const QString& file : Files) {
        if (!burner.AddFile(QStringLiteral("\\"), file)) {
            Say(burner.LastError());
            return kExitWriteError;
        }
    }
    if (!burner.LayoutImage()) {
        Say(burner.LastError());
        return kExitWriteError;
    }
    const qint64 need = burner.ImageBlocks();
    const qint64 free = burner.FreeBlocks();
    if (need > free) {
        Say(InsufficientSpaceText(need, free));
        return kExitNoRoom;
    }

    QEventLoop loop;
    QString error;
    bool done = false;
    burner.OnFinalizingTrack = [] { Say(QString::fromLatin1(kMsgFinalizingTrack)); };
    burner.OnWriteDone = [&](const QString& Error) {
        error = Error;
        done = true;
        loop.quit();
    };
    Say(QString::fromLatin1(kMsgBurning));
    if (!burner.StartWriting()) {
        Say(QString::fromLatin1(kMsgBurnDoneError));
        Say(burner.LastError());
        return kExitWriteError;
    }
    QTimer progress;
    progress.setInterval(1000);
    QObject::connect(&progress, &QTimer::timeout, [&] {
        Say(QStringLiteral("%1 of %2 KB written")
                .arg(burner.BytesWritten() / 1024)
                .arg(BlocksToKb(need)));
    });
    progress.start();
    if (!done)
        loop.exec();
    if (!error.isEmpty()) {
        Say(QString::fromLatin1(kMsgBurnDoneError));
        Say(error);
        return kExitWriteError;
    }
    Say(QStringLiteral("%1 KB written").arg(burner.BytesWritten() / 1024));
    Say(QString::fromLatin1(kMsgBurnDoneOk));
    burner.Eject();
    return kExitOk;
}

} // namespace

int RunBurnCommand(const QStringList& Args) {
    QString drive;
    QStringList files;
    for (qsizetype i = 0; i < Args.size(); ++i) {
        const QString& arg = Args[i];
        if (arg == QLatin1String("--help") || arg == QLatin1String("-h")) {
            std::fputs(kUsage, stdout);
            return kExitOk;
        }
        if (arg == QLatin1String("--drive")) {
            if (i + 1 >= Args.size())
                return UsageError(QStringLiteral("--drive needs an address"));
            drive = Args[++i];
        } else if (arg.startsWith(QLatin1String("--drive="))) {
            drive = arg.mid(8);
        } else if (arg == QLatin1String("--")) {
            files.append(Args.mid(i + 1));
            break;
        } else if (arg.startsWith(QLatin1String("--"))) {
            return UsageError(QStringLiteral("unknown option %1").arg(arg));
        } else {
            files.append(arg);
        }
    }
    if (drive.trimmed().isEmpty())
        return UsageError(QStringLiteral("no --drive given"));
    QString addressError;
    if (!ParseDriveAddress(drive, &addressError))
        return UsageError(addressError);
    if (files.isEmpty())
        return UsageError(QStringLiteral("no FILE given"));
    for (const QString& file : files) {
        if (!QFileInfo::exists(file))
            return UsageError(QStringLiteral("%1: no such file or folder").arg(file));
    }

    // The engine reports through the event loop.
    static int argc = 1;
    static char name[] = "orvexfm-cli";
    static char* argv[] = {name, nullptr};
    std::unique_ptr<QCoreApplication> app;
    if (!QCoreApplication::instance())
        app = std::make_unique<QCoreApplication>(argc, argv);
    return Burn(drive, files);
}
