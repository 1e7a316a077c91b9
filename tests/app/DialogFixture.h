// A main dialog on the real engine and the virtual card, in a temporary
// working directory whose configuration names the virtual card, with one
// QApplication on the offscreen platform for the whole test program.
#pragma once

#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <cstdlib>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "app/PlayerDlg.h"
#include "drivers/BuiltinDrivers.h"
#include "engine/Sarabande.h"
#include "mixer/AsioHost.h"
#include "tests/support/TempDir.h"
#include "tests/support/WavWriter.h"

class QtEnvironment : public ::testing::Environment {
  public:
    void SetUp() override {
        qputenv("QT_QPA_PLATFORM", "offscreen");
        static int argc = 1;
        static char name[] = "test_app";
        static char* argv[] = {name, nullptr};
        application = std::make_unique<QApplication>(argc, argv);
    }
    void TearDown() override { application.reset(); }

  private:
    std::unique_ptr<QApplication> application;
};

inline const ::testing::Environment* const qtEnvironment =
    ::testing::AddGlobalTestEnvironment(new QtEnvironment);

// The driver numbers the configuration byte names.
constexpr char kJackConfig = '0';
constexpr char kVirtualCardConfig = '2';
constexpr uint32_t kLongFrames = 441000;  // ten seconds: never runs out in a test

class DialogFixture : public ::testing::Test {
  protected:
    void SetUp() override {
        chdir = std::make_unique<ScopedChdir>(dir.path());
        // The virtual card as it comes, without a recording; JACK, when asked
        // for, finds no server and must not start one.
        for (const char* name : {"CANTABILE_VC_RATE", "CANTABILE_VC_FRAMES", "CANTABILE_VC_FORMAT",
                                 "CANTABILE_VC_RECORD", "CANTABILE_OSC_PORT"})
            unsetenv(name);
        setenv("JACK_NO_START_SERVER", "1", 1);
        setenv("JACK_DEFAULT_SERVER",
               ("cantabile-no-such-server-" + std::to_string(getpid())).c_str(), 1);
        // The mixer's log follows this test's working directory.
        ASIOSetLogDirectory(nullptr);
        ASIOSetDriverSource(&builtin);
    }
    void TearDown() override {
        dlg.reset();
        ASIOSetDriverSource(nullptr);
        ASIOSetLogDirectory(nullptr);
        chdir.reset();
    }

    // Writes "ASIOConfig.txt" (nothing for '\0'), then makes and shows the
    // dialog with its file chooser and message box replaced.
    void StartDialog(char configByte) {
        ASSERT_TRUE(configByte == '\0' ||
                    WriteBytes(dir.File("ASIOConfig.txt"), {static_cast<uint8_t>(configByte)}));
        dlg = std::make_unique<CPlayerDlg>();
        dlg->SetFileChooser([this](QWidget* owner) {
            EXPECT_EQ(owner, dlg.get());
            ++nChooserCalls;
            return chooserAnswer;
        });
        dlg->SetMessageBox(
            [this](QWidget*, const QString& text, const QString& detail, const QString& caption) {
                messages.push_back({text, detail, caption});
            });
        dlg->show();
    }

    // A 44.1 kHz stereo file of `frames` frames in the working directory.
    std::string WriteWav(const std::string& name, uint32_t frames = kLongFrames) {
        WavLayout layout;
        const std::string path = dir.File(name);
        EXPECT_TRUE(WriteBytes(path, MakeWav(layout, PatternPcm(layout, frames))));
        return path;
    }
    // A file the engine refuses (not larger than 1024 bytes).
    std::string WriteTinyFile(const std::string& name) {
        WavLayout layout;
        std::vector<uint8_t> bytes = MakeWav(layout, PatternPcm(layout, 16));
        bytes.resize(1000, 0);
        EXPECT_TRUE(WriteBytes(dir.File(name), bytes));
        return dir.File(name);
    }

    // Presses row k's Load button with the chooser answering `path`.
    void Load(int32_t k, const std::string& path) {
        chooserAnswer = QString::fromStdString(path);
        Click(IDC_LOAD_FIRST + k);
    }
    void Click(int id) {
        ASSERT_NE(Button(id), nullptr) << "control " << id;
        QTest::mouseClick(Button(id), Qt::LeftButton);
    }
    // Picks entry `index` of the device box as the user would, and lets the
    // posted reset request run.
    void PickDevice(int index) {
        DeviceBox()->setCurrentIndex(index);
        Q_EMIT DeviceBox()->activated(index);
        QCoreApplication::sendPostedEvents(dlg.get());
    }

    QPushButton* Button(int id) const { return qobject_cast<QPushButton*>(dlg->Control(id)); }
    bool ShowsPlaying(bool playing) const {
        return dlg->IsPlaying() == playing &&
               Button(IDC_PLAYPAUSE)->text() == (playing ? "Pause" : "Play");
    }
    QLineEdit* Edit(int id) const { return qobject_cast<QLineEdit*>(dlg->Control(id)); }
    QComboBox* DeviceBox() const { return qobject_cast<QComboBox*>(dlg->Control(IDC_DEVICE)); }
    int32_t Status(int32_t k) const { return dlg->Engine() ? dlg->Engine()->ChannelState(k) : -1; }
    // Pumps events until the predicate holds or the time is up.
    bool WaitFor(const std::function<bool()>& predicate, int timeoutMs = 3000) {
        QElapsedTimer timer;
        timer.start();
        while (!predicate()) {
            if (timer.elapsed() > timeoutMs) return false;
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
            QTest::qSleep(5);
        }
        return true;
    }

    TempDir dir;
    std::unique_ptr<ScopedChdir> chdir;
    drivers::BuiltinDrivers builtin{std::vector<drivers::AlsaDevice>{}};
    std::unique_ptr<CPlayerDlg> dlg;
    QString chooserAnswer;
    int nChooserCalls = 0;
    struct Message {
        QString text, detail, caption;
    };
    std::vector<Message> messages;
};

// Readable failure messages.
inline void PrintTo(const QString& text, std::ostream* out) {
    *out << '"' << text.toStdString() << '"';
}

// Where the screenshots go (the build folder).
inline std::string ShotPath(const char* name) {
    return std::string(CANTABILE_APP_SHOT_DIR) + "/" + name;
}
