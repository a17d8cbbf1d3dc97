// orvexfm: the main window of the fiscal-memory reader.

#include "app/core/language_file.h"
#include "app/core/work_folders.h"
#include "app/main_window.h"

#ifdef ORVEXFM_HAVE_ARCHIVE
#include "app/archive_window_link.h"
#include "archive/burn_form.h"
#endif

#include <QApplication>
#include <QCommandLineParser>
#include <QProcessEnvironment>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("OrvexFM"));
    // No display name: Qt would append it to every window title, and a language file's
    // caption is to be the whole title.
    QApplication::setApplicationVersion(QStringLiteral(PROJECT_VERSION));
    // The desktop entry an installed window belongs to (its icon and name in the task bar).
    QApplication::setDesktopFileName(QStringLiteral("org.orvexfm.OrvexFM"));

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Reads the fiscal memory of Orvex fiscal cash registers."));
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption port(
        QStringLiteral("port"),
        QStringLiteral("Add the serial port NAME (e.g. /dev/pts/7 of orvexfm-sim --pty, or "
                       "ttyUSB0) to the COM list and select it."),
        QStringLiteral("NAME"));
    const QCommandLineOption workdir(
        QStringLiteral("workdir"),
        QStringLiteral("Keep the working folders Data/, Dufile/ and Txtfile/ below DIR instead "
                       "of beside the program, or of the user's data folder when the program's "
                       "folder is read-only (also: environment variable ORVEXFM_WORKDIR)."),
        QStringLiteral("DIR"));
    parser.addOption(port);
    parser.addOption(workdir);
    parser.process(app);

    MainWindowOptions options;
    options.PreselectPort = parser.value(port);
    options.BaseDir =
        parser.isSet(workdir)
            ? parser.value(workdir)
            : QProcessEnvironment::systemEnvironment().value(QStringLiteral("ORVEXFM_WORKDIR"));
    if (options.BaseDir.isEmpty())
        options.BaseDir = DefaultWorkBase(QCoreApplication::applicationDirPath());
    options.LanguageFile = FindInstalledLanguageFile(QCoreApplication::applicationFilePath());

    // The main window first, then the archiving window; both live until the program ends.
    Tfrm_Main window(options);
#ifdef ORVEXFM_HAVE_ARCHIVE
    TBurnFrm burnFrm(&window, nullptr, window.LanguageFilePath());
    TBurnFrmHandOver handOver(burnFrm);
    window.SetArchiveWindow(&handOver);
#endif
    window.show();
    return app.exec();
}
