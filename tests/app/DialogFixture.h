// A main dialog on the real engine and the virtual card, in a temporary
// working directory whose configuration names the virtual card.
#pragma once

#include <gtest/gtest.h>

#include <QString>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "app/PlayerDlg.h"
#include "drivers/BuiltinDrivers.h"
#include "tests/support/TempDir.h"

class QComboBox;
class QLineEdit;
class QPushButton;

// The driver numbers the configuration byte names.
constexpr char kJackConfig = '0';
constexpr char kVirtualCardConfig = '2';

class DialogFixture : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    // Writes "ASIOConfig.txt" (nothing for '\0'), then makes and shows the
    // dialog with its file chooser and message box replaced.
    void StartDialog(char configByte);

    // A 44.1 kHz stereo file of `frames` frames in the working directory.
    std::string WriteWav(const std::string& name, uint32_t frames);
    // A file the engine refuses (not larger than 1024 bytes).
    std::string WriteTinyFile(const std::string& name);

    // Presses row k's Load button with the chooser answering `path`.
    void Load(int32_t k, const std::string& path);
    void Click(int id);
    // Picks entry `index` of the device box as the user would, and lets the
    // posted reset request run.
    void PickDevice(int index);

    QPushButton* Button(int id) const;
    QLineEdit* Edit(int id) const;
    QComboBox* DeviceBox() const;
    int32_t Status(int32_t k) const;
    // Pumps events until the predicate holds or the time is up.
    bool WaitFor(const std::function<bool()>& predicate, int timeoutMs);

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
std::string ShotPath(const char* name);
