#include "tests/app/DialogFixture.h"

#include <QApplication>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <cstdlib>

#include "engine/Sarabande.h"
#include "mixer/AsioHost.h"
#include "tests/support/WavWriter.h"

namespace {

// One QApplication for the whole test program, on the offscreen platform.
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

const ::testing::Environment* const qtEnvironment =
    ::testing::AddGlobalTestEnvironment(new QtEnvironment);

}  // namespace

std::string ShotPath(const char* name) {
    return std::string(CANTABILE_APP_SHOT_DIR) + "/" + name;
}

void DialogFixture::SetUp() {
    chdir = std::make_unique<ScopedChdir>(dir.path());
    // The virtual card as it comes, without a recording; JACK, when asked
    // for, finds no server and must not start one.
    unsetenv("CANTABILE_VC_RATE");
    unsetenv("CANTABILE_VC_FRAMES");
    unsetenv("CANTABILE_VC_FORMAT");
    unsetenv("CANTABILE_VC_RECORD");
    unsetenv("CANTABILE_OSC_PORT");
    setenv("JACK_NO_START_SERVER", "1", 1);
    setenv("JACK_DEFAULT_SERVER", ("cantabile-no-such-server-" + std::to_string(getpid())).c_str(),
           1);
    // The mixer's log follows this test's working directory.
    ASIOSetLogDirectory(nullptr);
    ASIOSetDriverSource(&builtin);
}

void DialogFixture::TearDown() {
    dlg.reset();
    ASIOSetDriverSource(nullptr);
    ASIOSetLogDirectory(nullptr);
    chdir.reset();
}

void DialogFixture::StartDialog(char configByte) {
    if (configByte != '\0') {
        ASSERT_TRUE(WriteBytes(dir.File("ASIOConfig.txt"), {static_cast<uint8_t>(configByte)}));
    }
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

std::string DialogFixture::WriteWav(const std::string& name, uint32_t frames) {
    WavLayout layout;
    const std::string path = dir.File(name);
    EXPECT_TRUE(WriteBytes(path, MakeWav(layout, PatternPcm(layout, frames))));
    return path;
}

std::string DialogFixture::WriteTinyFile(const std::string& name) {
    WavLayout layout;
    std::vector<uint8_t> bytes = MakeWav(layout, PatternPcm(layout, 16));
    bytes.resize(1000, 0);
    const std::string path = dir.File(name);
    EXPECT_TRUE(WriteBytes(path, bytes));
    return path;
}

void DialogFixture::Load(int32_t k, const std::string& path) {
    chooserAnswer = QString::fromStdString(path);
    Click(IDC_LOAD_FIRST + k);
}

void DialogFixture::Click(int id) {
    QPushButton* button = Button(id);
    ASSERT_NE(button, nullptr) << "control " << id;
    QTest::mouseClick(button, Qt::LeftButton);
}

void DialogFixture::PickDevice(int index) {
    QComboBox* combo = DeviceBox();
    combo->setCurrentIndex(index);
    Q_EMIT combo->activated(index);
    QCoreApplication::sendPostedEvents(dlg.get());
}

QPushButton* DialogFixture::Button(int id) const {
    return qobject_cast<QPushButton*>(dlg->Control(id));
}

QLineEdit* DialogFixture::Edit(int id) const {
    return qobject_cast<QLineEdit*>(dlg->Control(id));
}

QComboBox* DialogFixture::DeviceBox() const {
    return qobject_cast<QComboBox*>(dlg->Control(IDC_DEVICE));
}

int32_t DialogFixture::Status(int32_t k) const {
    return dlg->Engine() ? dlg->Engine()->ChannelState(k) : -1;
}

bool DialogFixture::WaitFor(const std::function<bool()>& predicate, int timeoutMs) {
    QElapsedTimer timer;
    timer.start();
    while (!predicate()) {
        if (timer.elapsed() > timeoutMs) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QTest::qSleep(5);
    }
    return true;
}
