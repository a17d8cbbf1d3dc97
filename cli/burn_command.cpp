// orvexfm-cli burn: writes files to a disc (or an image file) through the archiving window's
// engine and reads them back, so archiving can be scripted.
// orvexfm-cli verify: checks a disc (or an image file) written earlier against the checksums
// it carries.

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
#include <optional>

namespace {

enum ExitCode {
    kExitOk = 0,
    kExitUsage = 2,
    kExitNoRoom = 4,
    kExitWriteError = 5,
    kExitVerifyFailed = 6,
};

const char kUsage[] =
    "usage: orvexfm-cli burn [--no-verify] --drive ADDRESS FILE...\n"
    "\n"
    "Writes the files (and folders, with everything below them) into the root of an\n"
    "ISO 9660 disc with Joliet names, with a SHA256SUMS file at the root and MD5 sums of\n"
    "the session and of every file, then reads the disc back and compares every file\n"
    "with its source.\n"
    "  --drive      an optical writer (\"/dev/sr0\") or an image file \"stdio:PATH\", with\n"
    "               an optional capacity in 2048-byte blocks: \"stdio:/tmp/disc.iso#359848\".\n"
    "               An existing image file is never overwritten.\n"
    "  --no-verify  do not read the disc back\n"
    "\n"
    "Progress goes to standard error.\n"
    "exit status: 0 written (and read back without a difference), 2 bad usage (a malformed\n"
    "  --drive, or a FILE that does not exist),\n"
    "  4 the image does not fit on the disc, 5 the drive cannot be used or writing failed,\n"
    "  6 written, but reading it back found a difference (the disc is not ejected)\n";

const char kVerifyUsage[] =
    "usage: orvexfm-cli verify ADDRESS\n"
    "\n"
    "Reads the last session of a disc written by orvexfm or orvexfm-cli burn and checks\n"
    "every file against the disc's SHA256SUMS and its recorded MD5 sums, and the session\n"
    "against its recorded MD5 sum.\n"
    "  ADDRESS  an optical drive (\"/dev/sr0\"), \"stdio:PATH\" or the path of an image file\n"
    "\n"
    "exit status: 0 every file matches, 2 bad usage, 5 the drive or file cannot be opened,\n"
    "  6 a difference: \"Verify FAILED - \" and the first file that does not match\n";

// The subcommand whose messages these are.
const char* gCommand = "burn";

void Say(const QString& Message) {
    std::fprintf(stderr, "orvexfm-cli %s: %s\n", gCommand, Message.toLocal8Bit().constData());
}

int UsageError(const QString& Message) {
    Say(Message);
    std::fprintf(stderr, "try 'orvexfm-cli %s --help'\n", gCommand);
    return kExitUsage;
}

// Reads the disc in the engine's drive back and says what it found; the exit status.
int Verify(TDiscBurner& Burner) {
    QEventLoop loop;
    std::optional<DiscCheckResult> result;
    Burner.OnVerifyDone = [&](const DiscCheckResult& Result) {
        result = Result;
        loop.quit();
    };
    Say(QString::fromLatin1(kMsgVerifying));
    if (!Burner.StartVerifying()) {
        Say(QString::fromLatin1(kMsgVerifyFailed) + Burner.LastError());
        return kExitVerifyFailed;
    }
    QTimer progress;
    progress.setInterval(1000);
    QObject::connect(&progress, &QTimer::timeout,
                     [&] { Say(QStringLiteral("%1 KB read").arg(Burner.BytesVerified() / 1024)); });
    progress.start();
    if (!result)
        loop.exec();
    Burner.OnVerifyDone = nullptr;
    for (const QString& line : VerifyOutcomeLines(*result))
        Say(line);
    return result->Ok ? kExitOk : kExitVerifyFailed;
}

// The engine reports through the event loop.
std::unique_ptr<QCoreApplication> MakeApplication() {
    static int argc = 1;
    static char name[] = "orvexfm-cli";
    static char* argv[] = {name, nullptr};
    if (QCoreApplication::instance())
        return nullptr;
    return std::make_unique<QCoreApplication>(argc, argv);
}

int Burn(const QString& Drive, const QStringList& Files, bool ReadBack) {
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
    progress.stop();
    Say(QStringLiteral("%1 KB written").arg(burner.BytesWritten() / 1024));
    Say(QString::fromLatin1(kMsgBurnDoneOk));
    if (ReadBack) {
        const int status = Verify(burner);
        // A disc that failed stays in the drive.
        if (status != kExitOk)
            return status;
    }
    burner.Eject();
    return kExitOk;
}

} // namespace

int RunBurnCommand(const QStringList& Args) {
    gCommand = "burn";
    QString drive;
    QStringList files;
    bool readBack = true;
    for (qsizetype i = 0; i < Args.size(); ++i) {
        const QString& arg = Args[i];
        if (arg == QLatin1String("--help") || arg == QLatin1String("-h")) {
            std::fputs(kUsage, stdout);
            return kExitOk;
        }
        if (arg == QLatin1String("--no-verify")) {
            readBack = false;
        } else if (arg == QLatin1String("--drive")) {
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

    const auto app = MakeApplication();
    return Burn(drive, files, readBack);
}

int RunVerifyCommand(const QStringList& Args) {
    gCommand = "verify";
    QString address;
    for (const QString& arg : Args) {
        if (arg == QLatin1String("--help") || arg == QLatin1String("-h")) {
            std::fputs(kVerifyUsage, stdout);
            return kExitOk;
        }
        if (arg.startsWith(QLatin1String("--")))
            return UsageError(QStringLiteral("unknown option %1").arg(arg));
        if (!address.isEmpty())
            return UsageError(QStringLiteral("give one ADDRESS"));
        address = arg;
    }
    if (address.isEmpty())
        return UsageError(QStringLiteral("no ADDRESS given"));
    // An image file may be named as it is.
    if (QFileInfo(address).isFile())
        address = QStringLiteral("stdio:") + address;
    QString addressError;
    if (!ParseDriveAddress(address, &addressError))
        return UsageError(addressError);
    if (address.startsWith(QLatin1String("stdio:")) && !QFileInfo::exists(address.mid(6)))
        return UsageError(QStringLiteral("%1: no such file").arg(address.mid(6)));

    const auto app = MakeApplication();
    TDiscBurner burner;
    if (!burner.InitializeASPI(false) || !burner.SelectDrive(address)) {
        Say(burner.LastError());
        return kExitWriteError;
    }
    return Verify(burner);
}
