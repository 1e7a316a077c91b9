// The dialog as a show tool: the column's controls reach the engine, remote
// commands show in the rows, and a show file goes round through the dialog.
#include <lo/lo.h>

#include <QCheckBox>
#include <QDoubleSpinBox>
#include <QLabel>
#include <cstdio>

#include "tests/app/DialogFixture.h"

namespace {

LevelBox* Level(CPlayerDlg& dlg, int k) {
    return qobject_cast<LevelBox*>(dlg.Control(IDC_LEVEL_FIRST + k));
}
QCheckBox* Check(CPlayerDlg& dlg, int id) {
    return qobject_cast<QCheckBox*>(dlg.Control(id));
}
int32_t EngineLevel(CPlayerDlg& dlg, int k, bool* muted = nullptr) {
    int32_t db = 1;
    dlg.Engine()->GetChannelLevel(k, &db, muted);
    return db;
}

}  // namespace

TEST(RowTime, ElapsedAndRemainingInTheFilesOwnTime) {
    EXPECT_EQ(RowTimeText(0, 441000, 44100), "0:00  -0:10");
    // Remaining rounds up, so that it reads 0:00 only at the end.
    EXPECT_EQ(RowTimeText(44100 * 61 + 1, 44100 * 3700, 44100), "1:01  -1:00:39");
    EXPECT_EQ(RowTimeText(5, 10, 0), "");
}

// The scene is also the screenshot of the dialog in use.
TEST_F(DialogFixture, TheColumnsControlsReachTheEngine) {
    StartDialog(kVirtualCardConfig);
    Load(0, WriteWav("Overture.wav"));
    Load(1, WriteWav("Strings - first violins.wav"));
    Load(4, WriteWav("Percussion.wav"));
    Load(11, WriteWav("Click track.wav"));
    Load(2, WriteTinyFile("Timpani.wav"));  // refused: the status line says why
    EXPECT_TRUE(Level(*dlg, 0)->isEnabled());
    EXPECT_FALSE(Level(*dlg, 2)->isEnabled());  // nothing on the row

    // A level set in the row is the channel's level; stepping below the
    // lowest step is silence, and a double click is full level again.
    Level(*dlg, 0)->setValue(-7);
    EXPECT_EQ(EngineLevel(*dlg, 0), -7);
    Level(*dlg, 0)->setValue(LevelBox::kLowestStep + 1);
    Level(*dlg, 0)->stepBy(-2);
    EXPECT_EQ(EngineLevel(*dlg, 0), kChannelSilenceDb);
    EXPECT_EQ(Level(*dlg, 0)->text(), "-inf");
    Level(*dlg, 0)->stepBy(1);
    EXPECT_EQ(EngineLevel(*dlg, 0), LevelBox::kLowestStep);
    QTest::mouseDClick(Level(*dlg, 0)->findChild<QLineEdit*>(), Qt::LeftButton);
    EXPECT_EQ(EngineLevel(*dlg, 0), 0);

    bool muted = false;
    Check(*dlg, IDC_MUTE_FIRST + 1)->click();
    EXPECT_EQ(EngineLevel(*dlg, 1, &muted), 0);
    EXPECT_TRUE(muted);
    Check(*dlg, IDC_LOOP_FIRST + 0)->click();
    EXPECT_TRUE(dlg->Engine()->IsChannelLooping(0));
    Level(*dlg, 4)->setValue(-12);

    // Playing, each row shows its time and its meter moves.
    Click(IDC_PLAYPAUSE);
    ASSERT_TRUE(dlg->Engine()->GetPositionEvent()->Wait(3000));
    dlg->RefreshColumn();
    auto* time = qobject_cast<QLabel*>(dlg->Control(IDC_TIME_FIRST + 0));
    EXPECT_TRUE(time->text().startsWith("0:0")) << time->text().toStdString();
    EXPECT_TRUE(time->text().contains("  -0:")) << time->text().toStdString();
    EXPECT_GT(static_cast<MeterBar*>(dlg->Control(IDC_METER_FIRST + 0))->LeftLength(), 0);
    EXPECT_EQ(static_cast<MeterBar*>(dlg->Control(IDC_METER_FIRST + 1))->LeftLength(), 0);
    EXPECT_TRUE(dlg->grab().save(QString::fromStdString(ShotPath("dialog.png"))));

    // Fade all over no time stops every playing channel.
    qobject_cast<QDoubleSpinBox*>(dlg->Control(IDC_FADETIME))->setValue(0.0);
    Click(IDC_FADEALL);
    for (int k : {0, 1, 4, 11})
        EXPECT_TRUE(WaitFor([&] { return Status(k) == CHANNEL_TERMINATED; })) << k;

    Click(IDC_UNLOADALL);  // the rows forget what they showed
    EXPECT_FALSE(Check(*dlg, IDC_LOOP_FIRST + 0)->isChecked());
    EXPECT_FALSE(Level(*dlg, 0)->isEnabled());
    EXPECT_TRUE(time->text().isEmpty());
}

TEST_F(DialogFixture, RemoteCommandsShowInTheRowsAndAShowGoesRoundWithOneFileMissing) {
    setenv("CANTABILE_OSC_PORT", "0", 1);  // any free port
    StartDialog(kVirtualCardConfig);
    ASSERT_GT(dlg->RemotePort(), 0);
    const std::string a = WriteWav("a.wav");
    lo_address to = lo_address_new("127.0.0.1", std::to_string(dlg->RemotePort()).c_str());
    lo_send(to, "/cantabile/load", "is", 3, "a.wav");  // relative to the start directory
    lo_send(to, "/cantabile/level", "if", 3, -12.0f);
    lo_send(to, "/cantabile/loop", "ii", 3, 1);
    lo_send(to, "/cantabile/go", "");
    EXPECT_TRUE(WaitFor([&] { return dlg->IsPlaying(); }));
    EXPECT_EQ(Edit(IDC_FILE_FIRST + 2)->text(), "a.wav");
    EXPECT_EQ(dlg->LoadedPath(2), a);
    EXPECT_EQ(Level(*dlg, 2)->value(), -12);
    EXPECT_TRUE(Check(*dlg, IDC_LOOP_FIRST + 2)->isChecked());
    EXPECT_EQ(Status(2), CHANNEL_PLAYING);
    EXPECT_EQ(Button(IDC_PLAYPAUSE)->text(), "Pause");

    lo_send(to, "/cantabile/load", "is", 5, "missing.wav");
    lo_send(to, "/cantabile/unload", "i", 3);
    EXPECT_TRUE(WaitFor([&] { return Edit(IDC_FILE_FIRST + 2)->text().isEmpty(); }));
    EXPECT_FALSE(Level(*dlg, 2)->isEnabled());
    EXPECT_TRUE(dlg->StatusText().startsWith("Chn 05: missing.wav: "))
        << dlg->StatusText().toStdString();
    lo_address_free(to);

    // A show goes round through the dialog, with one of its files gone.
    Load(0, a);
    Load(3, WriteWav("b.wav"));
    Load(6, WriteWav("c.wav"));
    Level(*dlg, 0)->setValue(-6);
    Check(*dlg, IDC_LOOP_FIRST + 6)->click();
    const std::string show = dir.File("evening.json");
    ASSERT_TRUE(dlg->SaveShow(show));
    EXPECT_EQ(dlg->StatusText(), "Show evening.json saved.");
    EXPECT_FALSE(dlg->SaveShow(dir.File("no/such/folder/evening.json")));

    ASSERT_EQ(std::remove(dir.File("b.wav").c_str()), 0);
    Load(9, WriteWav("d.wav"));  // not in the show: gone once it opens
    Level(*dlg, 0)->setValue(0);
    EXPECT_FALSE(dlg->OpenShow(show));
    EXPECT_EQ(dlg->StatusText(), "Show evening.json: row 4: " +
                                     QString::fromStdString(dir.File("b.wav")) + ": no such file");
    EXPECT_EQ(Edit(IDC_FILE_FIRST + 0)->text(), "a.wav");
    EXPECT_EQ(Level(*dlg, 0)->value(), -6);
    EXPECT_EQ(EngineLevel(*dlg, 0), -6);
    EXPECT_TRUE(Edit(IDC_FILE_FIRST + 3)->text().isEmpty());
    EXPECT_TRUE(Check(*dlg, IDC_LOOP_FIRST + 6)->isChecked());
    EXPECT_TRUE(Edit(IDC_FILE_FIRST + 9)->text().isEmpty());
}
