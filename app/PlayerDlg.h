// The main window: twelve channel rows (output pair, file name, Load), the
// transport buttons, the device selector and Exit. It owns one channel engine
// at a time, drives it from its buttons on the application's thread, and
// starts and stops the output device itself.
#pragma once

#include <QDialog>
#include <QEvent>
#include <QIcon>
#include <QString>
#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "app/ControlSinks.h"
#include "app/DialogTarget.h"
#include "control/CommandQueue.h"
#include "control/OscServer.h"
#include "app/RowControls.h"
#include "engine/ChannelStates.h"

class QComboBox;
class QDoubleSpinBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QSocketNotifier;
class QPushButton;
class QTimer;
class Sarabande;

// Control ids of the main dialog; tests find each control by its id.
constexpr int IDOK = 1;
constexpr int IDC_PAIR_FIRST = 1000;  // + row: the output pair's name
constexpr int IDC_FILE_FIRST = 1012;  // + row: the loaded file's name
constexpr int IDC_LOAD_FIRST = 1024;  // + row: Load
constexpr int IDC_PLAYPAUSE = 1036;
constexpr int IDC_RESTARTALL = 1037;
constexpr int IDC_UNLOADALL = 1038;
constexpr int IDC_PAIRLIST = 1039;
constexpr int IDC_DEVICE = 1040;
constexpr int IDC_STATUS = 1041;  // the status line beneath the rows
// The show column, + row: level, mute, loop, time and meter.
constexpr int IDC_LEVEL_FIRST = 1042;
constexpr int IDC_MUTE_FIRST = 1054;
constexpr int IDC_LOOP_FIRST = 1066;
constexpr int IDC_TIME_FIRST = 1078;
constexpr int IDC_METER_FIRST = 1090;
constexpr int IDC_FADEALL = 1102;
constexpr int IDC_FADETIME = 1103;

// The About entry's command, as the system menu would send it.
constexpr uint32_t IDM_ABOUTBOX = 0x0010;

// The dialog's private reset request. On the original platform it is the
// window message WM_APP + 10 (0x800A), posted to the dialog with both
// parameters 0. Qt numbers its events differently, so the request is a custom
// event type registered once; WM_RESET_REQUEST names the message it stands for.
constexpr uint32_t WM_RESET_REQUEST = 0x800A;
QEvent::Type ResetRequestEventType();

class CPlayerDlg : public QDialog {
    Q_OBJECT
  public:
    static constexpr int IDD = 102;

    // Shows the file chooser for a row; an empty result means cancelled.
    using FileChooser = std::function<QString(QWidget* owner)>;
    // Shows the one message box the user ever sees; `detail`, beneath the
    // text, says why.
    using MessageBoxFunction = std::function<void(QWidget* owner, const QString& text,
                                                  const QString& detail, const QString& caption)>;
    // Opens the About box.
    using AboutBoxFunction = std::function<void(QWidget* owner, const QIcon& icon)>;

    explicit CPlayerDlg(QWidget* parent = nullptr);
    ~CPlayerDlg() override;

    // Replace the platform dialogs (tests, scripted runs). A null function
    // restores the platform's.
    void SetFileChooser(FileChooser chooser);
    void SetMessageBox(MessageBoxFunction messageBox);
    void SetAboutBox(AboutBoxFunction aboutBox);
    // Called once, after the window's first paint.
    void SetFirstPaintHandler(std::function<void()> handler);

    // The handlers, in the order the user reaches them.
    void OnLoad(int32_t k);
    void OnPlayPause();
    void OnRestartAll();
    void OnUnloadAll();
    void OnDeviceChange();
    void OnSysCommand(uint32_t nID);
    // The show column: a row's level (whole dB), mute and loop, and Fade all
    // over the time in its box.
    void OnLevel(int32_t k, int32_t levelDb);
    void OnMute(int32_t k, bool on);
    void OnLoop(int32_t k, bool on);
    void OnFadeAll();
    // Shows each row's time and meter, and tells OSC subscribers; a timer
    // calls it ten times a second.
    void RefreshColumn();

    // Remote control over OSC: commands are queued by the server's thread and
    // run here on the dialog's, through DialogTarget. Port 0 takes any free
    // port. False, with the reason in the status line, when it cannot bind.
    bool StartRemote(int port, const std::string& address);
    void StopRemote();
    // The bound port, 0 when remote control is off.
    int RemotePort() const;
    // Runs the commands that have arrived.
    void RunRemote();

    // Show files: every row's file, level, loop and start, and the device.
    // Opening one replaces every row; what could not be loaded is named, row
    // by row, in the status line, and the rest is loaded.
    bool SaveShow(const std::string& path);
    bool OpenShow(const std::string& path);

    // What DialogTarget shows after a remote command: row k as the engine
    // has it, the transport as the device runs, a file the engine refused.
    void ShowRow(int32_t k);
    void ShowTransport();
    void ReportRefusal(int32_t k, const std::string& path, const std::string& reason);
    bool DeviceLost() const { return m_bDeviceLost; }
    // Looks whether the device in use was lost; a timer calls it.
    void CheckDevice();

    // What tests and the timing report look at.
    QWidget* Control(int id) const;
    Sarabande* Engine() const { return m_pEngine.get(); }
    bool IsPlaying() const { return m_bPlaying; }
    int32_t CurrentDevice() const { return m_nDevice; }
    const std::string& LoadedPath(int32_t k) const;
    QString StatusText() const;
    const QIcon& Icon() const { return m_hIcon; }

    // Exit, Escape and the close box all end here: the engine is closed before
    // the window goes.
    void done(int result) override;

  protected:
    bool event(QEvent* e) override;
    void showEvent(QShowEvent* e) override;
    void paintEvent(QPaintEvent* e) override;
    void keyPressEvent(QKeyEvent* e) override;
    void contextMenuEvent(QContextMenuEvent* e) override;

  private:
    void CreateControls();
    bool OnInitDialog();
    // True when the engine and its device started.
    bool StartEngine(int32_t device);
    void OnResetRequest();
    void CloseEngine();
    void SetPlayPauseCaption(const char* caption);
    void ShowFailure();
    // Loads `path` on row k and shows it, or says in the status line why not.
    void LoadRow(int32_t k, const std::string& path);
    void SetStatus(const QString& text);
    // Asks for a file to save or open a show in; empty when cancelled.
    QString ChooseShow(bool bSave);
    void AskRemotePort();
    // Shows row k's level, mute and loop as the engine has them, and enables
    // its controls while it holds a file.
    void SyncRow(int32_t k);
    // The device in use failed or was lost: say so, and let any pick in the
    // device box, the same device included, open one again.
    void ReportDevice(const QString& text);

    // Bound to controls 1040 and 1039.
    QComboBox* m_combo = nullptr;
    QListWidget* m_list = nullptr;
    QIcon m_hIcon;
    std::unique_ptr<Sarabande> m_pEngine;
    bool m_bPlaying = false;
    int32_t m_nDevice = -1;  // -1 until the user picks a device
    std::string m_szStartDir;
    // Full path of the file on each channel; empty: nothing loaded, as far as
    // the dialog knows.
    std::array<std::string, kNumChannels> m_paths;
    // Files of rows whose device was lost, shown and loaded again once a
    // device opens; empty otherwise.
    std::array<std::string, kNumChannels> m_reload;

    ComboDeviceSink m_comboSink{nullptr};
    ListPairSink m_listSink{nullptr};

    std::map<int, QWidget*> controls;
    QLineEdit* pairEdits[kNumChannels] = {};
    QLineEdit* fileEdits[kNumChannels] = {};
    QPushButton* playPause = nullptr;
    QLabel* statusLine = nullptr;
    QTimer* deviceWatch = nullptr;
    RowControls rowControls[kNumChannels];
    QPushButton* fadeAll = nullptr;
    QDoubleSpinBox* fadeTime = nullptr;
    QTimer* columnWatch = nullptr;

    // Remote control. The queue outlives the server that fills it; the target
    // is made with each engine and goes before it.
    control::CommandQueue remoteQueue;
    std::unique_ptr<control::OscServer> oscServer;
    QSocketNotifier* remoteNotifier = nullptr;
    std::unique_ptr<DialogTarget> remoteTarget;
    // The device in use was lost; cleared when an engine starts.
    bool m_bDeviceLost = false;
    // A failure found before the window was first drawn: shown after it.
    bool bFailurePending = false;

    FileChooser fileChooser;
    MessageBoxFunction messageBox;
    AboutBoxFunction aboutBox;
    std::function<void()> firstPaintHandler;
    bool bInitDone = false;
    bool bPainted = false;
};
