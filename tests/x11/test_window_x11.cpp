// The window on a real X server with a window manager, driven with real key events (see
// x11_support.h): what offscreen tests with synthetic events cannot show - where the window
// manager puts the window, which characters X11 sends with editing keys, and where Tab goes.

#include "tests/app/gui/gui_support.h"
#include "tests/x11/x11_support.h"

#include <QClipboard>
#include <QComboBox>
#include <QDir>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QMenu>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QTableView>
#include <QTest>
#include <QTextEdit>
#include <QTimer>

#include <gtest/gtest.h>

namespace {

using gui::ScriptedDialogs;
using gui::WriteAll;
using x11::PressKeys;
using x11::TypeText;
using x11::WaitFor;

constexpr int kWaitMs = 10000;

// A window of the program over a temporary folder, shown and holding the keyboard focus.
class X11Window : public ::testing::Test {
protected:
    void SetUp() override {
        x11::App();
        ASSERT_TRUE(m_dir.isValid());
    }
    QString PathIn(const QString& Name) const { return m_dir.filePath(Name); }

    Tfrm_Main& Show(const QString& Port = {}) {
        MainWindowOptions o;
        o.PreselectPort = Port;
        o.BaseDir = PathIn(QStringLiteral("bin"));
        o.LanguageFile = PathIn(QStringLiteral("none.LNG"));
        o.SettingsFile = PathIn(QStringLiteral("orvexfm.ini"));
        o.SystemPorts = QStringList();
        o.Dialogs = &Dialogs;
        m_window = std::make_unique<Tfrm_Main>(o);
        m_window->show();
        m_window->activateWindow();
        EXPECT_TRUE(QTest::qWaitForWindowActive(m_window.get(), kWaitMs));
        return *m_window;
    }

    // Gives Widget the focus and waits until the X server's keyboard focus is ours.
    static void FocusOn(QWidget* Widget) {
        Widget->setFocus(Qt::OtherFocusReason);
        ASSERT_TRUE(WaitFor([&] { return Widget->hasFocus(); }));
    }

    ScriptedDialogs Dialogs;

private:
    QTemporaryDir m_dir;
    std::unique_ptr<Tfrm_Main> m_window;
};

QString FocusName() {
    const QWidget* w = QApplication::focusWidget();
    return w ? w->objectName() : QStringLiteral("(none)");
}

TEST_F(X11Window, TabWalksEveryControlAndLeavesTheList) {
    const QString report = PathIn(QStringLiteral("r.txt"));
    ASSERT_TRUE(WriteAll(report, "line\r\n"));
    ASSERT_TRUE(QDir().mkpath(PathIn(QStringLiteral("bin/Data"))));
    ASSERT_TRUE(WriteAll(PathIn(QStringLiteral("bin/Data/FMList.txt")),
                         "ReportType\tfilename\tdCreate\r\nDetail\t" + report.toUtf8() +
                             "\t01/02/2024\r\nDetail\t" + report.toUtf8() + "\t02/02/2024\r\n"));
    Tfrm_Main& w = Show();
    FocusOn(w.ComboBox2);
    // One Tab at a time: each must move the focus somewhere else; the walk must come back to
    // the start after passing the list and the memo.
    QStringList walk{FocusName()};
    for (int i = 0; i < 30 && (walk.size() == 1 || walk.last() != walk.first()); ++i) {
        const QString before = FocusName();
        ASSERT_TRUE(PressKeys({QStringLiteral("Tab")}));
        ASSERT_TRUE(WaitFor([&] { return FocusName() != before; }))
            << "Tab stayed on " << before.toStdString() << " after "
            << walk.join(u',').toStdString();
        walk << FocusName();
    }
    ASSERT_EQ(walk.last(), walk.first()) << walk.join(u',').toStdString();
    const qsizetype list = walk.indexOf(QStringLiteral("wwfilelist"));
    ASSERT_GE(list, 0) << walk.join(u',').toStdString();
    EXPECT_EQ(walk.at(list + 1), QStringLiteral("Memo1")) << walk.join(u',').toStdString();
    for (const char* control : {"cb_qrytype", "ed_From", "ed_To", "btnUpload", "btnClose",
                                "Button1", "Button2", "cb_com", "btn4", "btn3", "btn2"})
        EXPECT_TRUE(walk.contains(QLatin1String(control))) << control;

    // Shift+Tab walks back out of the list too.
    FocusOn(w.wwfilelist);
    ASSERT_TRUE(PressKeys({QStringLiteral("shift+Tab")}));
    ASSERT_TRUE(WaitFor([&] { return FocusName() == QStringLiteral("btn2"); }));
}

TEST_F(X11Window, RangeFieldsTakeEditingKeysAndPasteOnlyDigits) {
    Tfrm_Main& w = Show();
    w.cb_qrytype->setCurrentIndex(1); // dates: six digits
    FocusOn(w.ed_From);
    ASSERT_TRUE(TypeText(QStringLiteral("24a0-131")));
    ASSERT_TRUE(WaitFor([&] { return w.ed_From->text() == QStringLiteral("240131"); }));
    // Delete (X11 sends 0x7F with it) after Home, then Backspace at the end.
    ASSERT_TRUE(PressKeys({QStringLiteral("Home"), QStringLiteral("Delete"), QStringLiteral("End"),
                           QStringLiteral("BackSpace")}));
    ASSERT_TRUE(WaitFor([&] { return w.ed_From->text() == QStringLiteral("4013"); }))
        << w.ed_From->text().toStdString();
    // Select all and copy, then paste into the other field.
    ASSERT_TRUE(PressKeys({QStringLiteral("ctrl+a"), QStringLiteral("ctrl+c")}));
    ASSERT_TRUE(
        WaitFor([&] { return QGuiApplication::clipboard()->text() == QStringLiteral("4013"); }));
    FocusOn(w.ed_To);
    ASSERT_TRUE(PressKeys({QStringLiteral("ctrl+v")}));
    ASSERT_TRUE(WaitFor([&] { return w.ed_To->text() == QStringLiteral("4013"); }));

    // A pasted date with separators keeps its digits, up to the field's length.
    struct Case {
        const char* Clipboard;
        const char* Expected;
    };
    const Case cases[] = {{"24-12-31", "241231"}, {" 2 4x", "24"}, {"31.12.2024", "311220"}};
    for (const Case& c : cases) {
        QGuiApplication::clipboard()->setText(QLatin1String(c.Clipboard));
        ASSERT_TRUE(PressKeys({QStringLiteral("ctrl+a"), QStringLiteral("Delete")}));
        ASSERT_TRUE(WaitFor([&] { return w.ed_To->text().isEmpty(); }));
        ASSERT_TRUE(PressKeys({QStringLiteral("shift+Insert")}));
        ASSERT_TRUE(WaitFor([&] { return w.ed_To->text() == QLatin1String(c.Expected); }))
            << c.Clipboard << " gave " << w.ed_To->text().toStdString();
    }

    // The context menu's Paste keeps only the digits as well.
    QGuiApplication::clipboard()->setText(QStringLiteral("a9b8"));
    ASSERT_TRUE(
        PressKeys({QStringLiteral("ctrl+a"), QStringLiteral("Delete"), QStringLiteral("Menu")}));
    ASSERT_TRUE(WaitFor(
        [&] { return qobject_cast<QMenu*>(QApplication::activePopupWidget()) != nullptr; }));
    auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
    QAction* paste = nullptr;
    for (QAction* a : menu->actions()) {
        if (a->objectName() == QLatin1String("edit-paste"))
            paste = a;
    }
    ASSERT_NE(paste, nullptr);
    paste->trigger();
    menu->close();
    EXPECT_EQ(w.ed_To->text(), QStringLiteral("98"));
}

TEST_F(X11Window, ReturnOpensTheListEntryAndStartsTheUploadFromARangeField) {
    const QString report = PathIn(QStringLiteral("second.txt"));
    ASSERT_TRUE(WriteAll(PathIn(QStringLiteral("first.txt")), "first report\r\n"));
    ASSERT_TRUE(WriteAll(report, "second report\r\n"));
    ASSERT_TRUE(QDir().mkpath(PathIn(QStringLiteral("bin/Data"))));
    ASSERT_TRUE(WriteAll(PathIn(QStringLiteral("bin/Data/FMList.txt")),
                         "ReportType\tfilename\tdCreate\r\nDetail\t" +
                             PathIn(QStringLiteral("first.txt")).toUtf8() +
                             "\t01/02/2024\r\nDetail\t" + report.toUtf8() + "\t02/02/2024\r\n"));
    Tfrm_Main& w = Show();
    FocusOn(w.wwfilelist);
    ASSERT_TRUE(PressKeys({QStringLiteral("Down"), QStringLiteral("Return")}));
    ASSERT_TRUE(WaitFor([&] { return w.Memo1->toPlainText() == QStringLiteral("second report"); }));
    EXPECT_EQ(FocusName(), QStringLiteral("wwfilelist"));

    // Return in "To" asks for the upload's file, as "Upload data" does (cancelled here).
    FocusOn(w.ed_From);
    ASSERT_TRUE(TypeText(QStringLiteral("1")));
    ASSERT_TRUE(WaitFor([&] { return w.ed_From->text() == QStringLiteral("1"); }));
    FocusOn(w.ed_To);
    ASSERT_TRUE(TypeText(QStringLiteral("3")));
    ASSERT_TRUE(WaitFor([&] { return w.ed_To->text() == QStringLiteral("3"); }));
    ASSERT_TRUE(PressKeys({QStringLiteral("Return")}));
    ASSERT_TRUE(WaitFor([&] { return Dialogs.SaveRequests.size() == 1; }))
        << Dialogs.MessageTexts().join(u'|').toStdString();
    EXPECT_EQ(w.ed_To->text(), QStringLiteral("3"));
}

// A whole Detail upload as an operator runs it: the range typed, Return in "To", the file
// dialog answered; the status line's figures grow while the device sends (paced at the
// line's speed, about three seconds), and the report lands in the list.
TEST_F(X11Window, DetailUploadShowsGrowingFiguresAndListsTheReport) {
    gui::SimDevice sim({QStringLiteral("--pace")});
    ASSERT_FALSE(sim.Pty().isEmpty());
    Tfrm_Main& w = Show(sim.Pty());
    const QString hex = PathIn(QStringLiteral("detail.hex"));
    Dialogs.SaveAnswers = {hex};
    FocusOn(w.ed_From);
    ASSERT_TRUE(TypeText(QStringLiteral("1")));
    ASSERT_TRUE(WaitFor([&] { return w.ed_From->text() == QStringLiteral("1"); }));
    FocusOn(w.ed_To);
    ASSERT_TRUE(TypeText(QStringLiteral("60")));
    ASSERT_TRUE(WaitFor([&] { return w.ed_To->text() == QStringLiteral("60"); }));

    // What the status line says while the upload runs, sampled more often than it changes.
    // (The upload runs inside the key's handler, in nested event loops: the sampler and the
    // wait below see it through their timers.)
    QStringList seen;
    bool started = false;
    QTimer sample;
    QObject::connect(&sample, &QTimer::timeout, [&] {
        if (!w.Upload().Running())
            return;
        started = true;
        const QString text = w.lblUploadStatus->text();
        if (!text.isEmpty() && (seen.isEmpty() || seen.last() != text))
            seen << text;
    });
    sample.start(50);
    ASSERT_TRUE(PressKeys({QStringLiteral("Return")}));
    ASSERT_TRUE(WaitFor([&] { return started && !w.Upload().Running(); }, 60000))
        << seen.join(u'|').toStdString();
    sample.stop();

    // Packets and bytes of each figures line, in order; both must rise from line to line.
    static const QRegularExpression figures(QStringLiteral("^(.+?) packets received, (.+?) bytes"));
    static const QRegularExpression notDigit(QStringLiteral("\\D"));
    const auto number = [](QString Text) { return Text.remove(notDigit).toLongLong(); };
    QList<std::pair<qint64, qint64>> counts;
    for (const QString& line : seen) {
        const auto m = figures.match(line);
        if (m.hasMatch())
            counts.append({number(m.captured(1)), number(m.captured(2))});
    }
    ASSERT_GE(counts.size(), 3) << seen.join(u'|').toStdString();
    for (qsizetype i = 1; i < counts.size(); ++i) {
        EXPECT_GT(counts[i].first, counts[i - 1].first) << seen.join(u'|').toStdString();
        EXPECT_GT(counts[i].second, counts[i - 1].second) << seen.join(u'|').toStdString();
    }
    // The line after the upload keeps the final figures: every byte of the file.
    const qint64 size = QFileInfo(hex).size();
    EXPECT_GT(size, 256 * 100);
    EXPECT_TRUE(w.lblUploadStatus->text().contains(QLocale().toString(size) + " bytes"))
        << w.lblUploadStatus->text().toStdString();
    EXPECT_TRUE(w.lblUploadStatus->isVisible());

    ASSERT_EQ(w.dxlist.Count(), 1);
    EXPECT_TRUE(w.dxlist.At(0).filename.contains(QStringLiteral("/Txtfile/Detail")));
    EXPECT_EQ(w.wwfilelist->model()->rowCount(), 1);
    EXPECT_EQ(Dialogs.MessageTexts(), QStringList{QStringLiteral("Finish")});
    EXPECT_TRUE(WaitFor([&] { return FocusName() == QStringLiteral("btnUpload"); }));
}

// --- The program itself, as an operator starts it --------------------------------------

struct FrameExtents {
    int Left = 0, Right = 0, Top = 0, Bottom = 0;
};

struct WindowState {
    QRect Client; // in screen coordinates
    std::optional<FrameExtents> Frame;
    QString Title;
};

WindowState ReadWindow(const QString& Id) {
    WindowState s;
    const x11::ToolResult geo =
        x11::RunTool(QStringLiteral("xdotool"),
                     {QStringLiteral("getwindowgeometry"), QStringLiteral("--shell"), Id});
    QMap<QString, int> values;
    for (const QString& line : geo.Output.split(u'\n')) {
        const qsizetype eq = line.indexOf(u'=');
        if (eq > 0)
            values[line.left(eq)] = line.mid(eq + 1).toInt();
    }
    s.Client = QRect(values.value(QStringLiteral("X")), values.value(QStringLiteral("Y")),
                     values.value(QStringLiteral("WIDTH")), values.value(QStringLiteral("HEIGHT")));
    const x11::ToolResult props = x11::RunTool(
        QStringLiteral("xprop"), {QStringLiteral("-id"), Id, QStringLiteral("_NET_FRAME_EXTENTS"),
                                  QStringLiteral("_NET_WM_NAME")});
    static const QRegularExpression extents(
        QStringLiteral("_NET_FRAME_EXTENTS\\(CARDINAL\\) = (\\d+), (\\d+), (\\d+), (\\d+)"));
    const auto m = extents.match(props.Output);
    if (m.hasMatch())
        s.Frame = FrameExtents{m.captured(1).toInt(), m.captured(2).toInt(), m.captured(3).toInt(),
                               m.captured(4).toInt()};
    static const QRegularExpression name(
        QStringLiteral("_NET_WM_NAME\\(UTF8_STRING\\) = \"(.*)\""));
    const auto n = name.match(props.Output);
    if (n.hasMatch())
        s.Title = n.captured(1);
    return s;
}

QRect FrameOf(const WindowState& S) {
    const FrameExtents f = S.Frame.value_or(FrameExtents{});
    return S.Client.adjusted(-f.Left, -f.Top, f.Right, f.Bottom);
}

TEST(X11Program, OpensInsideA1366x768ScreenWithItsTitleAndCanBeMadeSmaller) {
    x11::App();
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    // The program with a language file beside it, as an operator installs it.
    const QString program = dir.filePath(QStringLiteral("orvexfm"));
    ASSERT_TRUE(QFile::copy(gui::BinPath("orvexfm"), program));
    const QString caption = QStringLiteral("Odczyt pami\u0119ci fiskalnej");
    ASSERT_TRUE(WriteAll(dir.filePath(QStringLiteral("orvexfm.LNG")),
                         "[seting]\r\ns15=Odczyt pami\xea"
                         "ci fiskalnej\r\n"
                         "s29=Zmiana waluty ewidencyjnej\r\ns6=wed\xb3ug daty (rrmmdd)\r\n"));
    QProcess orvexfm;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), dir.filePath(QStringLiteral("config")));
    orvexfm.setProcessEnvironment(env);
    orvexfm.start(program, {QStringLiteral("--workdir"), dir.filePath(QStringLiteral("work"))});
    ASSERT_TRUE(orvexfm.waitForStarted(kWaitMs));
    const auto stop = qScopeGuard([&orvexfm] {
        orvexfm.kill();
        orvexfm.waitForFinished(kWaitMs);
    });

    // xdotool waits (--sync) until the program's window is mapped.
    const x11::ToolResult found = x11::RunTool(
        QStringLiteral("xdotool"),
        {QStringLiteral("search"), QStringLiteral("--sync"), QStringLiteral("--onlyvisible"),
         QStringLiteral("--pid"), QString::number(orvexfm.processId())});
    ASSERT_TRUE(found.Ok);
    const QString id = found.Output.split(u'\n').first().trimmed();

    // Once the window manager has framed it, the whole frame (title bar included) lies on
    // the screen; the window is as high as fits (its design height does not).
    const QRect screen(0, 0, 1366, 768);
    WindowState state;
    const bool fits = WaitFor([&] {
        state = ReadWindow(id);
        return state.Frame && screen.contains(FrameOf(state));
    });
    ASSERT_TRUE(fits) << "frame " << FrameOf(state).x() << "," << FrameOf(state).y() << " "
                      << FrameOf(state).width() << "x" << FrameOf(state).height();
    EXPECT_GE(state.Client.width(), 875);
    EXPECT_GE(state.Client.height(), 700); // most of the screen's height
    EXPECT_LT(state.Client.height(), 795);
    EXPECT_EQ(state.Title, caption);

    // It can be made smaller.
    ASSERT_TRUE(x11::RunTool(QStringLiteral("xdotool"),
                             {QStringLiteral("windowsize"), id,
                              QString::number(state.Client.width()), QStringLiteral("500")})
                    .Ok);
    ASSERT_TRUE(WaitFor([&] { return ReadWindow(id).Client.height() == 500; }))
        << ReadWindow(id).Client.height();
}

} // namespace
