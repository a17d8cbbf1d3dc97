#include "app/progress/progress_form.h"

#include "scalebus/varn_ibus.h"

#include <QApplication>
#include <QDialogButtonBox>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QVBoxLayout>

namespace {

QFont ValueFont() {
    QFont font(QStringLiteral("Times New Roman"));
    font.setStyleHint(QFont::Serif);
    font.setPixelSize(15);
    return font;
}

// One sunken box: caption on the left, value in navy on the right.
QFrame* Box(QLabel*& Caption, QLabel*& Value, const QString& CaptionText,
            const QString& ValueText) {
    auto* box = new QFrame;
    box->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    auto* row = new QHBoxLayout(box);
    // Narrow margins: three boxes, the bar and the buttons share the dialog's fixed 210 pixels,
    // and the style's usual margins would leave the captions too little height.
    row->setContentsMargins(6, 1, 6, 1);
    Caption = new QLabel(CaptionText);
    Caption->setFont(ValueFont());
    Value = new QLabel(ValueText);
    Value->setFont(ValueFont());
    Value->setAutoFillBackground(true);
    QPalette palette = Value->palette();
    palette.setColor(QPalette::WindowText, QColor(0, 0, 128));
    Value->setPalette(palette);
    row->addWidget(Caption);
    row->addWidget(Value, 1);
    return box;
}

} // namespace

TProgressForm::TProgressForm(QWidget* Parent)
    : QDialog(Parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint) {
    setModal(false);
    setFixedSize(326, 210);

    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(6, 6, 6, 6);
    outer->setSpacing(6);
    auto* frame = new QFrame;
    frame->setFrameStyle(QFrame::Panel | QFrame::Raised);
    auto* boxes = new QVBoxLayout(frame);
    boxes->setContentsMargins(4, 4, 4, 4);
    boxes->setSpacing(4);
    boxes->addWidget(
        Box(Label1, StatusLabel, QStringLiteral("Status:"), QStringLiteral("StatusLabel")));
    boxes->addWidget(
        Box(Label2, CurLabel, QStringLiteral("Current package:"), QStringLiteral("123")));
    boxes->addWidget(
        Box(Label3, TotalLabel, QStringLiteral("Total Packages:"), QStringLiteral("456")));
    outer->addWidget(frame);

    ProgressBar1 = new QProgressBar;
    ProgressBar1->setTextVisible(false);
    outer->addWidget(ProgressBar1);

    // OK and Cancel share one place: only one of them is ever shown.
    auto* buttons = new QHBoxLayout;
    OKBtn = new QPushButton(QStringLiteral("&OK"));
    QDialogButtonBox standard(QDialogButtonBox::Cancel);
    CancelBtn = new QPushButton(standard.button(QDialogButtonBox::Cancel)->text());
    buttons->addStretch();
    buttons->addWidget(OKBtn);
    buttons->addWidget(CancelBtn);
    buttons->addStretch();
    outer->addLayout(buttons);
    OKBtn->hide();
    OKBtn->setAutoDefault(false);
    CancelBtn->setAutoDefault(false);

    connect(OKBtn, &QPushButton::clicked, this, &TProgressForm::OKBtnClick);
    connect(CancelBtn, &QPushButton::clicked, this, &TProgressForm::CancelBtnClick);
}

void TProgressForm::SetDialogState(std::uint8_t State) {
    m_dialogState = State;
    emit DialogStateChanged(State);
}

void TProgressForm::SetStatus(bool Error, const QString& Text) {
    if (m_dialogState == kDialogClosed)
        return;
    QPalette palette = StatusLabel->palette();
    if (Error) {
        QApplication::beep();
        palette.setColor(QPalette::Window, Qt::red);
        StatusLabel->setPalette(palette);
        StatusLabel->setText(Text);
        setWindowTitle(Text);
        CancelBtn->hide();
        OKBtn->show();
        SetDialogState(kDialogErrorShown);
        return;
    }
    palette.setColor(QPalette::Window, QApplication::palette().color(QPalette::Button));
    StatusLabel->setPalette(palette);
    OKBtn->hide();
    CancelBtn->show();
    StatusLabel->setText(Text);
    setWindowTitle(Text);
    StatusLabel->repaint();
    SetDialogState(kDialogRunning);
}

void TProgressForm::SetMargin(int Total) {
    CurLabel->setText(QStringLiteral("0"));
    if (Total > 0) {
        TotalLabel->setText(QString::number(Total));
        ProgressBar1->setRange(0, Total);
    } else {
        TotalLabel->setText(QStringLiteral("0"));
    }
    ProgressBar1->setValue(0);
}

void TProgressForm::SetProgress(int Current) {
    CurLabel->setText(QString::number(Current));
    ProgressBar1->setValue(Current);
}

void TProgressForm::showEvent(QShowEvent* Event) {
    QDialog::showEvent(Event);
    if (m_mainWindow)
        m_mainWindow->setEnabled(false);
    if (const QScreen* s = screen())
        move(s->availableGeometry().center() - rect().center());
    SetMargin(0);
    SetProgress(0);
    SetDialogState(kDialogRunning);
}

void TProgressForm::hideEvent(QHideEvent* Event) {
    QDialog::hideEvent(Event);
    if (m_mainWindow)
        m_mainWindow->setEnabled(true);
}

void TProgressForm::OKBtnClick() {
    hide();
    SetDialogState(kDialogClosed);
}

void TProgressForm::CancelBtnClick() {
    if (m_scaleBus)
        m_scaleBus->Cancel();
    hide();
    SetDialogState(kDialogClosed);
}

void TProgressForm::reject() {
    if (OKBtn->isVisible())
        OKBtnClick();
    else
        CancelBtnClick();
}
