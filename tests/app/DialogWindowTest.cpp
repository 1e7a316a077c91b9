// The dialog as a window: layout in dialog units, tab order, the keys that end
// it, the About box and its screenshot, and the real message box.
#include <QAbstractItemView>
#include <QAction>
#include <QContextMenuEvent>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QTimer>

#include "app/AboutDlg.h"
#include "app/DialogUnits.h"
#include "tests/app/DialogFixture.h"

namespace {

// Runs `check` on the modal or pop-up widget that appears next, from inside
// the nested event loop that shows it.
void OnNextModal(std::function<void(QWidget*)> check) {
    auto* timer = new QTimer;
    auto remaining = std::make_shared<int>(400);
    QObject::connect(timer, &QTimer::timeout, [timer, remaining, check] {
        QWidget* w = QApplication::activePopupWidget();
        if (!w) w = QApplication::activeModalWidget();
        if (w || --*remaining <= 0) {
            timer->stop();
            timer->deleteLater();
            check(w);
        }
    });
    timer->start(10);
}

}  // namespace

TEST_F(DialogFixture, StartUpShowsThePairsAndTheDevicesWithTheControlsInLayoutAndTabOrder) {
    StartDialog(kVirtualCardConfig);
    ASSERT_NE(dlg->Engine(), nullptr);
    EXPECT_TRUE(messages.empty());
    EXPECT_EQ(Edit(IDC_PAIR_FIRST + 0)->text(), "Out 1 / 2");
    EXPECT_EQ(Edit(IDC_PAIR_FIRST + 11)->text(), "Out 23 / Out 24");
    for (int k = 0; k < kNumChannels; ++k) EXPECT_TRUE(Edit(IDC_FILE_FIRST + k)->text().isEmpty());
    // JACK, ALSA "default", the virtual card; the one in use is selected.
    EXPECT_EQ(DeviceBox()->count(), 3);
    EXPECT_EQ(DeviceBox()->currentIndex(), 2);
    EXPECT_EQ(dlg->CurrentDevice(), -1);
    EXPECT_EQ(Button(IDC_PLAYPAUSE)->text(), "Play/Pause");

    const DialogUnits du(dlg->font());
    // Wider by the show column, taller by the status line; everything else in place.
    EXPECT_EQ(dlg->size(), QSize(du.X(665), du.Y(222)));
    EXPECT_EQ(dlg->Control(IDC_STATUS)->geometry(), du.Rect(7, 203, 651, 16));
    EXPECT_EQ(dlg->Control(IDOK)->geometry(), du.Rect(383, 181, 64, 14));
    EXPECT_EQ(dlg->Control(IDC_FILE_FIRST + 11)->geometry(), du.Rect(159, 7 + 176, 165, 12));
    EXPECT_EQ(dlg->Control(IDC_UNLOADALL)->geometry(), du.Rect(383, 46, 64, 14));
    EXPECT_EQ(dlg->Control(IDC_DEVICE)->pos(), QPoint(du.X(377), du.Y(80)));
    EXPECT_EQ(dlg->Control(IDC_DEVICE)->width(), du.X(377 + 75) - du.X(377));
    // Its open list is wide enough for the longest name; the name in use is its tooltip.
    EXPECT_GT(DeviceBox()->view()->minimumWidth(),
              DeviceBox()->fontMetrics().horizontalAdvance("JACK Audio Connection Kit"));
    EXPECT_EQ(DeviceBox()->toolTip(), "Virtual Card");
    EXPECT_FALSE(dlg->Control(IDC_PAIRLIST)->isVisible());
    EXPECT_TRUE(Button(IDOK)->isDefault());

    // Tab order: Exit, each row's pair box, file box and Load, then the
    // transport buttons and the device box, then the show column, and round to Exit.
    std::vector<QWidget*> expected{dlg->Control(IDOK)};
    for (int k = 0; k < kNumChannels; ++k) {
        expected.push_back(dlg->Control(IDC_PAIR_FIRST + k));
        expected.push_back(dlg->Control(IDC_FILE_FIRST + k));
        expected.push_back(dlg->Control(IDC_LOAD_FIRST + k));
    }
    for (int id : {IDC_PLAYPAUSE, IDC_RESTARTALL, IDC_UNLOADALL, IDC_DEVICE})
        expected.push_back(dlg->Control(id));
    for (int k = 0; k < kNumChannels; ++k)
        for (int id : {IDC_LEVEL_FIRST, IDC_MUTE_FIRST, IDC_LOOP_FIRST})
            expected.push_back(dlg->Control(id + k));
    for (int id : {IDC_FADEALL, IDC_FADETIME}) expected.push_back(dlg->Control(id));
    std::vector<QWidget*> chain;
    QWidget* w = dlg->Control(IDOK);
    do {
        // The dialog's own controls; a spin box's inner edit is the box's.
        if ((w->focusPolicy() & Qt::TabFocus) && w->isVisible() && w->parentWidget() == dlg.get())
            chain.push_back(w);
        w = w->nextInFocusChain();
    } while (w != dlg->Control(IDOK) && chain.size() < 100);
    EXPECT_EQ(chain, expected);
}

TEST_F(DialogFixture, EnterPressesExitUnlessAButtonHasTheFocusAndEscapeEndsIt) {
    StartDialog(kVirtualCardConfig);
    // On a Load button, Enter presses that button.
    chooserAnswer.clear();
    QTest::keyClick(Button(IDC_LOAD_FIRST + 2), Qt::Key_Return);
    EXPECT_EQ(nChooserCalls, 1);
    EXPECT_TRUE(dlg->isVisible());
    // In the show column it only takes what was typed.
    QTest::keyClick(dlg->Control(IDC_FADETIME), Qt::Key_Return);
    EXPECT_TRUE(dlg->isVisible());
    // In an edit box it presses Exit: the dialog ends and the engine is gone.
    QTest::keyClick(Edit(IDC_FILE_FIRST + 2), Qt::Key_Return);
    EXPECT_FALSE(dlg->isVisible());
    EXPECT_EQ(dlg->result(), QDialog::Accepted);
    EXPECT_EQ(dlg->Engine(), nullptr);

    StartDialog(kVirtualCardConfig);
    QTest::keyClick(Edit(IDC_PAIR_FIRST), Qt::Key_Escape);
    EXPECT_FALSE(dlg->isVisible());
    EXPECT_EQ(dlg->result(), QDialog::Rejected);
    EXPECT_EQ(dlg->Engine(), nullptr);
}

// No configuration: driver 0, JACK, with no server to talk to.
TEST_F(DialogFixture, AFailedDriverDrawsTheWindowThenOneBoxWithTheReasonAndAPickRecovers) {
    dlg = std::make_unique<CPlayerDlg>();
    bool bPainted = false, bPaintedFirst = false;
    dlg->SetFirstPaintHandler([&] { bPainted = true; });
    QString text, detail;
    OnNextModal([&](QWidget* w) {
        auto* box = qobject_cast<QMessageBox*>(w);
        ASSERT_NE(box, nullptr);
        bPaintedFirst = bPainted;
        text = box->text();
        detail = box->informativeText();
        box->button(QMessageBox::Ok)->click();
    });
    dlg->show();
    ASSERT_TRUE(WaitFor([&] { return !text.isEmpty(); }, 5000));
    EXPECT_TRUE(bPaintedFirst);
    EXPECT_EQ(text, "ASIO initialization failed!");
    EXPECT_TRUE(detail.startsWith("No JACK server answers")) << detail.toStdString();
    EXPECT_TRUE(dlg->isVisible());
    EXPECT_EQ(dlg->focusWidget(), DeviceBox());  // ready for another pick
    EXPECT_EQ(dlg->StatusText(), "\"JACK Audio Connection Kit\" could not be opened: " + detail +
                                     ". Pick a device to try again.");
    EXPECT_TRUE(Edit(IDC_PAIR_FIRST + 0)->text().isEmpty());
    ASSERT_EQ(DeviceBox()->count(), 3);
    EXPECT_EQ(DeviceBox()->currentIndex(), 0);

    // From here on no other box may come.
    dlg->SetMessageBox(
        [this](QWidget*, const QString& text, const QString& detail, const QString& caption) {
            messages.push_back({text, detail, caption});
        });
    dlg->SetFileChooser([this](QWidget*) { return chooserAnswer; });
    // Loads fail, and say why in the status line.
    Load(0, WriteWav("a.wav"));
    EXPECT_TRUE(Edit(IDC_FILE_FIRST + 0)->text().isEmpty());
    EXPECT_EQ(dlg->StatusText(), "Chn 01: a.wav: no device is open");

    // Picking the virtual card replaces the engine and remembers the choice.
    PickDevice(2);
    EXPECT_TRUE(messages.empty());
    EXPECT_TRUE(dlg->StatusText().isEmpty());
    EXPECT_EQ(dlg->CurrentDevice(), 2);
    EXPECT_EQ(ReadWholeFile(dir.File("ASIOConfig.txt")), "2\nVirtual Card\n");
    EXPECT_EQ(Edit(IDC_PAIR_FIRST + 0)->text(), "Out 1 / 2");
    EXPECT_EQ(DeviceBox()->count(), 3);  // refilled, not appended to
    EXPECT_EQ(DeviceBox()->currentIndex(), 2);

    Load(0, dir.File("a.wav"));
    EXPECT_EQ(Edit(IDC_FILE_FIRST + 0)->text(), "a.wav");
    EXPECT_EQ(Status(0), CHANNEL_LOADED);
}

TEST_F(DialogFixture, F1AndTheContextMenuOpenTheAboutBox) {
    StartDialog(kVirtualCardConfig);
    // F1 opens the real About box.
    bool seen = false;
    OnNextModal([&](QWidget* w) {
        auto* about = qobject_cast<CAboutDlg*>(w);
        ASSERT_NE(about, nullptr);
        seen = true;
        EXPECT_EQ(about->windowTitle(), "About Cantabile");
        auto* text = about->findChild<QLabel*>("IDC_ABOUT_TEXT");
        ASSERT_NE(text, nullptr);
        EXPECT_EQ(text->text(), "Cantabile Version 1.0");
        EXPECT_TRUE(about->grab().save(QString::fromStdString(ShotPath("about.png"))));
        QTest::keyClick(about, Qt::Key_Return);
    });
    QTest::keyClick(dlg.get(), Qt::Key_F1);
    EXPECT_TRUE(seen);

    // The context menu's first entry reaches it too; the show files and
    // remote control follow.
    int aboutCalls = 0;
    dlg->SetAboutBox([&](QWidget*, const QIcon&) { ++aboutCalls; });
    QStringList entries;
    OnNextModal([&](QWidget* w) {
        auto* menu = qobject_cast<QMenu*>(w);
        ASSERT_NE(menu, nullptr);
        for (QAction* action : menu->actions()) entries << action->text();
        menu->setActiveAction(menu->actions()[0]);
        QTest::keyClick(menu, Qt::Key_Return);
    });
    QContextMenuEvent event(QContextMenuEvent::Mouse, QPoint(5, 5), dlg->mapToGlobal(QPoint(5, 5)));
    QApplication::sendEvent(dlg.get(), &event);
    EXPECT_EQ(entries, QStringList({"&About Cantabile...", "", "&Open show...", "&Save show...",
                                    "&Remote control (OSC)..."}));
    EXPECT_EQ(aboutCalls, 1);

    // A system command keeps only its high bits.
    dlg->OnSysCommand(IDM_ABOUTBOX | 0x3);
    dlg->OnSysCommand(0x0020);
    EXPECT_EQ(aboutCalls, 2);
}
