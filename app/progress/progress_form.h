#pragma once

// TProgressForm: the small non-modal dialog that shows a long transfer: a status line, the
// current and total package numbers and a progress bar, with Cancel while the transfer runs
// and OK after an error. While it is shown the main window is disabled.

#include <QDialog>

#include <cstdint>

class QLabel;
class QProgressBar;
class QPushButton;

namespace scalebus {
class TVarnIBusComm;
}

// DialogState values.
inline constexpr std::uint8_t kDialogRunning = 0;
inline constexpr std::uint8_t kDialogErrorShown = 1; // an error is shown; waiting for OK
inline constexpr std::uint8_t kDialogClosed = 2;     // closed with OK or Cancel

class TProgressForm : public QDialog {
    Q_OBJECT

public:
    explicit TProgressForm(QWidget* Parent = nullptr);

    // The window disabled while the dialog is shown (may be null).
    void SetMainWindow(QWidget* Window) { m_mainWindow = Window; }
    // The link whose current wait Cancel abandons (FScaleBus; may be null).
    void SetScaleBus(scalebus::TVarnIBusComm* Link) { m_scaleBus = Link; }

    // Shows Text; with Error the dialog turns into its error form (beep, red status line, the
    // text as caption, OK in place of Cancel). Does nothing once the dialog was closed with OK
    // or Cancel, until it is shown again.
    void SetStatus(bool Error, const QString& Text);
    // The total number of packages (0 or less shows "0" and keeps the bar's range).
    void SetMargin(int Total);
    // The current package number.
    void SetProgress(int Current);

    std::uint8_t DialogState() const { return m_dialogState; }

    // Controls, named as in the window design.
    QLabel* Label1 = nullptr;
    QLabel* Label2 = nullptr;
    QLabel* Label3 = nullptr;
    QLabel* StatusLabel = nullptr;
    QLabel* CurLabel = nullptr;
    QLabel* TotalLabel = nullptr;
    QProgressBar* ProgressBar1 = nullptr;
    QPushButton* OKBtn = nullptr;
    QPushButton* CancelBtn = nullptr;

signals:
    void DialogStateChanged(int State);

public slots:
    void OKBtnClick();
    void CancelBtnClick();
    // Escape: the visible button's action.
    void reject() override;

protected:
    void showEvent(QShowEvent* Event) override; // FormShow
    void hideEvent(QHideEvent* Event) override; // FormClose

private:
    void SetDialogState(std::uint8_t State);

    QWidget* m_mainWindow = nullptr;
    scalebus::TVarnIBusComm* m_scaleBus = nullptr;
    std::uint8_t m_dialogState = kDialogRunning;
};
