#include "app/progress/scale_memory_test.h"

#include "app/progress/progress_form.h"

#include <QDir>
#include <QEventLoop>

QString ScaleTestFile(const QString& DataDir) {
    return QDir(DataDir).filePath(QStringLiteral("ScaleMemory.bin"));
}

scalebus::ScaleReadResult ScaleMemoryTest(scalebus::TVarnIBusComm& Link, TProgressForm& Dialog,
                                          const QString& Address, const QString& TargetFile) {
    Link.SetIP(Address);
    Dialog.SetScaleBus(&Link);
    Dialog.show();

    scalebus::ScaleMemoryReadHooks hooks;
    hooks.SetStatus = [&Dialog](bool Error, const QString& Text) { Dialog.SetStatus(Error, Text); };
    hooks.SetMargin = [&Dialog](int Total) { Dialog.SetMargin(Total); };
    hooks.SetProgress = [&Dialog](int Current) { Dialog.SetProgress(Current); };
    hooks.WaitForOperator = [&Dialog] {
        if (Dialog.DialogState() == kDialogClosed)
            return;
        QEventLoop loop;
        QObject::connect(&Dialog, &TProgressForm::DialogStateChanged, &loop, [&loop](int State) {
            if (State == kDialogClosed)
                loop.quit();
        });
        loop.exec();
    };

    const scalebus::ScaleReadResult result =
        scalebus::ReadScaleMemory(Link, scalebus::kTestScaleNo, TargetFile, hooks);
    if (result.Outcome == scalebus::ScaleReadOutcome::WriteFailed) {
        // The memory was read but is not on disc: that must not pass for a finished test.
        Dialog.SetStatus(true, QStringLiteral("Cannot write %1: %2")
                                   .arg(QDir::toNativeSeparators(TargetFile), result.WriteError));
        hooks.WaitForOperator();
    }
    if (result.Outcome == scalebus::ScaleReadOutcome::Written)
        Dialog.hide();
    return result;
}
