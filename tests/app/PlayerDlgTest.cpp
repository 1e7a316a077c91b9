// The main dialog's handlers on the real engine and the virtual card.
#include <QAbstractItemView>
#include <QWheelEvent>
#include <csignal>

#include "platform/Event.h"
#include "tests/app/DialogFixture.h"
#include "tests/support/JackServer.h"

namespace {

// True when the device is running: the engine keeps refilling.
bool RefillsHappen(Sarabande* engine) {
    return engine->GetPositionEvent()->Wait(3000);
}

}  // namespace

TEST_F(DialogFixture, LoadShowsTheFileNameAndAFailedLoadLeavesTheRowEmpty) {
    StartDialog(kVirtualCardConfig);
    const std::string tone = WriteWav("tone.wav");
    const std::string tiny = WriteTinyFile("tiny.wav");

    Load(3, tone);
    EXPECT_EQ(nChooserCalls, 1);
    EXPECT_EQ(Edit(IDC_FILE_FIRST + 3)->text(), "tone.wav");
    // The start of the name shows; the whole path is the tooltip.
    EXPECT_EQ(Edit(IDC_FILE_FIRST + 3)->cursorPosition(), 0);
    EXPECT_EQ(Edit(IDC_FILE_FIRST + 3)->toolTip(), QString::fromStdString(tone));
    EXPECT_EQ(dlg->LoadedPath(3), tone);
    EXPECT_EQ(Status(3), CHANNEL_LOADED);

    // Cancelling the chooser changes nothing.
    Load(3, "");
    EXPECT_EQ(Edit(IDC_FILE_FIRST + 3)->text(), "tone.wav");
    EXPECT_EQ(Status(3), CHANNEL_LOADED);

    // A new choice closes the channel first; when the new file is refused
    // the row stays empty and the status line says why.
    Load(3, tiny);
    EXPECT_TRUE(Edit(IDC_FILE_FIRST + 3)->text().isEmpty());
    EXPECT_TRUE(Edit(IDC_FILE_FIRST + 3)->toolTip().isEmpty());
    EXPECT_TRUE(dlg->LoadedPath(3).empty());
    EXPECT_EQ(Status(3), CHANNEL_FREE);
    EXPECT_EQ(dlg->StatusText(),
              "Chn 04: tiny.wav: too small (1000 bytes; a file must be larger than 1024 "
              "bytes)");
    EXPECT_TRUE(messages.empty());
}

TEST_F(DialogFixture, PlayPauseStartsAndStopsTheDeviceAndADeviceChangeWhilePlayingClosesAll) {
    StartDialog(kVirtualCardConfig);
    Load(0, WriteWav("a.wav"));
    Load(5, WriteWav("b.wav"));
    Sarabande* engine = dlg->Engine();

    Click(IDC_PLAYPAUSE);
    EXPECT_TRUE(ShowsPlaying(true));
    EXPECT_EQ(Status(0), CHANNEL_PLAYING);
    EXPECT_TRUE(RefillsHappen(engine));

    Click(IDC_PLAYPAUSE);
    EXPECT_TRUE(ShowsPlaying(false));
    // Once the refills in flight have settled, none comes any more.
    platform::SleepMs(250);
    while (engine->GetPositionEvent()->TryWait()) continue;
    EXPECT_FALSE(engine->GetPositionEvent()->Wait(600));
    // Paused channels stay where they are, still playing as far as the
    // engine knows; the next press only starts the device again.
    EXPECT_EQ(Status(0), CHANNEL_PLAYING);

    Click(IDC_PLAYPAUSE);
    EXPECT_TRUE(RefillsHappen(engine));

    // A device change while playing stops and closes everything.
    PickDevice(2);
    EXPECT_TRUE(ShowsPlaying(false));
    EXPECT_EQ(Status(0), CHANNEL_FREE);
    EXPECT_EQ(Status(5), CHANNEL_FREE);
    EXPECT_EQ(ReadWholeFile(dir.File("ASIOConfig.txt")), "2\nVirtual Card\n");
}

TEST_F(DialogFixture, RestartAllActsOnEachChannelByItsStatusAndUnloadAllTogglesTheTransport) {
    StartDialog(kVirtualCardConfig);
    Load(0, WriteWav("long.wav"));
    Load(1, WriteWav("short.wav", 4608));
    Click(IDC_PLAYPAUSE);
    ASSERT_TRUE(WaitFor([&] { return Status(1) == CHANNEL_TERMINATED; }, 10000))
        << "status " << Status(1);
    ASSERT_EQ(Status(0), CHANNEL_PLAYING);
    Load(2, WriteWav("never.wav"));
    ASSERT_EQ(Status(2), CHANNEL_LOADED);

    Click(IDC_RESTARTALL);
    EXPECT_EQ(Status(0), CHANNEL_PLAYING);  // restarted
    EXPECT_EQ(Status(1), CHANNEL_PLAYING);  // back to block 0 and played again
    EXPECT_EQ(Status(2), CHANNEL_PLAYING);  // simply played
    // The transport is not touched.
    EXPECT_TRUE(ShowsPlaying(true));
    // The short file plays out once more.
    EXPECT_TRUE(WaitFor([&] { return Status(1) == CHANNEL_TERMINATED; }, 10000));

    // Unload All while playing: everything closes and the device stops.
    Click(IDC_UNLOADALL);
    for (int k = 0; k < kNumChannels; ++k) {
        EXPECT_TRUE(Edit(IDC_FILE_FIRST + k)->text().isEmpty()) << k;
        EXPECT_EQ(Status(k), CHANNEL_FREE) << k;
    }
    EXPECT_TRUE(ShowsPlaying(false));
    // While stopped: it still empties the rows, and starts the device with
    // nothing loaded.
    Load(4, WriteWav("c.wav"));
    Click(IDC_UNLOADALL);
    EXPECT_TRUE(Edit(IDC_FILE_FIRST + 4)->text().isEmpty());
    EXPECT_EQ(Status(4), CHANNEL_FREE);
    EXPECT_TRUE(ShowsPlaying(true));

    dlg->done(QDialog::Accepted);  // closes the engine and its log
    const std::string log = ReadWholeFile(dir.File("SarabandeDbg.Log"));
    EXPECT_NE(log.find("Request to ReStart on channel 0"), std::string::npos);
    EXPECT_EQ(log.find("Request to ReStart on channel 2"), std::string::npos);
}

TEST_F(DialogFixture, TheDeviceBoxTakesOnlyPicksAndAPickWhileStoppedLeavesTheCaptionTruthful) {
    StartDialog(kVirtualCardConfig);
    Load(0, WriteWav("a.wav"));
    // The wheel and the keys that step through the closed box pick nothing.
    QComboBox* box = DeviceBox();
    ASSERT_EQ(box->currentIndex(), 2);
    QWheelEvent wheel(QPointF(5, 5), box->mapToGlobal(QPointF(5, 5)), QPoint(), QPoint(0, 120),
                      Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
    QApplication::sendEvent(box, &wheel);
    for (Qt::Key key : {Qt::Key_Up, Qt::Key_Down, Qt::Key_Home, Qt::Key_PageUp, Qt::Key_J})
        QTest::keyClick(box, key);
    QCoreApplication::sendPostedEvents(dlg.get());
    EXPECT_EQ(box->currentIndex(), 2);
    EXPECT_EQ(dlg->CurrentDevice(), -1);  // no pick was taken, so no reset
    EXPECT_EQ(ReadWholeFile(dir.File("ASIOConfig.txt")), "2");
    EXPECT_EQ(Status(0), CHANNEL_LOADED);
    // The keys that open the list still do.
    QTest::keyClick(box, Qt::Key_Down, Qt::AltModifier);
    EXPECT_TRUE(box->view()->isVisible());
    box->hidePopup();

    // The first pick always resets, even onto the device in use.
    PickDevice(2);
    ASSERT_NE(dlg->Engine(), nullptr);
    EXPECT_TRUE(ShowsPlaying(false));
    EXPECT_TRUE(Edit(IDC_FILE_FIRST + 0)->text().isEmpty());
    EXPECT_EQ(Status(0), CHANNEL_FREE);
    // The old engine's log got the request; the new engine started its own.
    EXPECT_NE(ReadWholeFile(dir.File("SarabandeDbg1.Log")).find("App received reset request!"),
              std::string::npos);

    // The next press starts the device, as the caption promised.
    Click(IDC_PLAYPAUSE);
    EXPECT_TRUE(ShowsPlaying(true));

    // Picking the same device again does nothing.
    PickDevice(2);
    EXPECT_TRUE(dlg->IsPlaying());
    EXPECT_EQ(ReadWholeFile(dir.File("SarabandeDbg.Log")).find("App received reset request!"),
              std::string::npos);
}

TEST_F(DialogFixture, ALostJackServerStopsTheTransportKeepsTheRowsAndAPickPlaysThemAgain) {
    const std::string jackd = JackServer::FindJackd();
    if (jackd.empty()) GTEST_SKIP() << "jackd is not installed";
    JackServer server(jackd, JackServer::NameFor("DialogFixture", "ALostJackServer"));
    ASSERT_TRUE(server.Start());
    StartDialog(kJackConfig);
    ASSERT_TRUE(messages.empty());
    // A JACK pair is named after the ports it feeds: its start shows.
    EXPECT_EQ(Edit(IDC_PAIR_FIRST)->toolTip(), "system:playback_1 / system:playback_2");
    EXPECT_EQ(Edit(IDC_PAIR_FIRST)->cursorPosition(), 0);
    Load(0, WriteWav("a.wav"));
    Click(IDC_PLAYPAUSE);
    ASSERT_TRUE(RefillsHappen(dlg->Engine()));

    server.Kill(SIGKILL);
    ASSERT_TRUE(WaitFor([&] { return !dlg->StatusText().isEmpty(); }, 1000));
    EXPECT_EQ(dlg->StatusText(),
              "\"JACK Audio Connection Kit\" was lost: the JACK server went away. Pick a device "
              "to open it again.");
    EXPECT_TRUE(ShowsPlaying(false));
    EXPECT_EQ(dlg->CurrentDevice(), -1);  // any pick, this device included, opens one again
    EXPECT_EQ(Edit(IDC_FILE_FIRST)->text(), "a.wav");
    Click(IDC_PLAYPAUSE);  // a lost device does not start
    EXPECT_EQ(Button(IDC_PLAYPAUSE)->text(), "Play");
    EXPECT_TRUE(messages.empty());

    // Picked again too early, it fails with the reason and keeps the rows.
    PickDevice(0);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_TRUE(messages[0].detail.startsWith("No JACK server answers"));
    EXPECT_EQ(Edit(IDC_FILE_FIRST)->text(), "a.wav");
    // The same device, once its server is back, plays the rows again.
    ASSERT_TRUE(server.Start());
    PickDevice(0);
    EXPECT_TRUE(dlg->StatusText().isEmpty()) << dlg->StatusText().toStdString();
    EXPECT_EQ(Edit(IDC_FILE_FIRST)->text(), "a.wav");
    EXPECT_EQ(Status(0), CHANNEL_LOADED);
    Click(IDC_PLAYPAUSE);
    EXPECT_EQ(Button(IDC_PLAYPAUSE)->text(), "Pause");
    EXPECT_TRUE(RefillsHappen(dlg->Engine()));
}
