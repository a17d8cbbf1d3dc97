#pragma once

#include "archive/burn_dialogs.h"
#include "archive/disc_burner.h"

#include <QDialog>
#include <QString>
#include <QStringList>

#include <memory>

class QComboBox;
class QLabel;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QSplitter;
class QTableWidget;
class QTimer;
class QToolBar;
class QToolButton;

// The archiving window: collects reports and other files and writes them to a disc through the
// engine Burner, then reads the disc back and compares it with the files. Created once at
// program start and shown modally as often as needed.
//
// Its drive list ends with "ISO image file...", which writes an image file chosen in a save
// dialog instead of a disc.
//
// The main window hands its reports over with ClearFiles(), AddFile() (or AddFiles()) and then
// exec(); each showing applies the language file again.
class TBurnFrm : public QDialog {
    Q_OBJECT
public:
    // Dialogs may be null: the real Qt dialogs are used. LanguageFile empty: the program's own
    // ".LNG" file next to the executable.
    explicit TBurnFrm(QWidget* Parent = nullptr, std::unique_ptr<TBurnDialogs> Dialogs = nullptr,
                      const QString& LanguageFile = QString());
    ~TBurnFrm() override;

    // Hand-over from the main window.
    void ClearFiles();
    void AddFile(const QString& FullPath);
    void AddFiles(const QStringList& FullPaths);
    // Full paths of the list, in order.
    QStringList Files() const;
    // Shows the window modally, centred over Over (when given); returns when it is closed.
    int ShowModal(QWidget* Over);

    // Control handlers, public so the main window and tests can drive the window as an operator.
    void FormCreate();
    void FormShow();
    void cbb1Change();
    void DeleteBtnClick();
    void FileBtnClick();
    void FolderBtnClick();
    void BurnBtnClick();
    void Timer1Timer();
    void BurnerFinalizingTrack();
    void BurnerWriteDone(const QString& Error);
    void BurnerEraseDone(bool Error);
    void BurnerVerifyDone(const DiscCheckResult& Result);

    TDiscBurner Burner;

    QLabel* Drivelabel = nullptr;
    QComboBox* cbb1 = nullptr;
    QPushButton* BurnBtn = nullptr;
    QToolBar* tlb1 = nullptr;
    QToolButton* DeleteBtn = nullptr;
    QToolButton* FileBtn = nullptr;
    QToolButton* FolderBtn = nullptr;
    QTableWidget* lv1 = nullptr;
    QSplitter* spl1 = nullptr;
    QPlainTextEdit* Memo1 = nullptr;
    QProgressBar* pb = nullptr;
    QTimer* Timer1 = nullptr;

protected:
    void showEvent(QShowEvent* Event) override;

private:
    void AppendMessage(const QString& Text);
    // Asks for the image file behind the drive list's last entry and selects it as the drive;
    // false when the operator cancels or the file cannot be used.
    bool ChooseImageFile();
    // Ends a Burn: the button is back and the operator hears it.
    void FinishBurn();
    // Ends a Burn that did not start writing: nothing of it may stay in the image.
    void AbandonBurn(const QString& Reason);

    std::unique_ptr<TBurnDialogs> m_dialogs;
    QString m_languageFile;
    // The drive list's entry that the engine has selected (the list may show another entry
    // while a save dialog is open).
    int m_selectedEntry = -1;
    // From the start of a writing until its read-back ends.
    bool m_running = false;
};
