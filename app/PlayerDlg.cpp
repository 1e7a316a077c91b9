#include "app/PlayerDlg.h"

#include <QComboBox>
#include <QContextMenuEvent>
#include <QCoreApplication>
#include <QFile>
#include <QFileDialog>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "app/AboutDlg.h"
#include "diag/DebugLog.h"
#include "engine/Sarabande.h"
#include "mixer/AsioHost.h"
#include "platform/Event.h"

// The icons live in this library's resources; a static library's resources are
// registered only when asked for by name.
static void InitResources() {
    Q_INIT_RESOURCE(cantabile);
}

QEvent::Type ResetRequestEventType() {
    static const QEvent::Type type =
        static_cast<QEvent::Type>(QEvent::registerEventType(QEvent::User + 10));
    return type;
}

namespace {

// The part of a path after its last separator.
QString FileNameOf(const std::string& path) {
    const std::string::size_type slash = path.find_last_of('/');
    return QString::fromLocal8Bit(slash == std::string::npos ? path : path.substr(slash + 1));
}

// Shows the start of `text`, which a narrow box would otherwise cut at its
// beginning, and all of `full` when the pointer rests on the box.
void ShowText(QLineEdit* edit, const QString& text, const QString& full) {
    edit->setText(text);
    edit->setCursorPosition(0);
    edit->setToolTip(full);
}

// The device a message is about: its name in quotes, when the box shows one.
QString DeviceName(const QComboBox* combo) {
    return combo->currentText().isEmpty() ? QString("The device")
                                          : "\"" + combo->currentText() + "\"";
}

void ClearText(QLineEdit* edit) {
    edit->clear();
    edit->setToolTip(QString());
}

std::string WorkingDirectory() {
    std::vector<char> buffer(PATH_MAX + 1, '\0');
    return getcwd(buffer.data(), buffer.size()) ? std::string(buffer.data()) : std::string();
}

QString ChooseFile(QWidget* owner) {
    // The chooser only looks at files: it leaves the working directory (and so
    // the logs and "ASIOConfig.txt") where it was.
    return QFileDialog::getOpenFileName(owner, "Select file for this channel...", QString(),
                                        "Audio types (*.wav *.pcm);;All types (*)");
}

void ShowMessage(QWidget* owner, const QString& text, const QString& detail,
                 const QString& caption) {
    QMessageBox box(QMessageBox::Warning, caption, text, QMessageBox::Ok, owner);
    box.setInformativeText(detail);
    box.exec();
}

void ShowAbout(QWidget* owner, const QIcon& icon) {
    CAboutDlg about(icon, owner);
    about.exec();
}

}  // namespace

CPlayerDlg::CPlayerDlg(QWidget* parent)
    // A window of its own, not a dialog, so that the task bar lists it.
    : QDialog(parent, Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowCloseButtonHint),
      fileChooser(ChooseFile),
      messageBox(ShowMessage),
      aboutBox(ShowAbout) {
    InitResources();
    setObjectName("IDD_CANTABILE_DIALOG");
    setWindowTitle("ASIO Cantabile");
    m_hIcon.addFile(":/icons/cantabile-16.png", QSize(16, 16));
    m_hIcon.addFile(":/icons/cantabile-32.png", QSize(32, 32));
    m_hIcon.addFile(":/icons/cantabile-256.png", QSize(256, 256));
    CreateControls();
    m_comboSink = ComboDeviceSink(m_combo);
    m_listSink = ListPairSink(m_list);
    // A lost device is noticed within a quarter of a second.
    deviceWatch = new QTimer(this);
    connect(deviceWatch, &QTimer::timeout, this, &CPlayerDlg::CheckDevice);
    deviceWatch->start(250);
    // Times and meters ten times a second.
    columnWatch = new QTimer(this);
    columnWatch->setObjectName("columnWatch");
    connect(columnWatch, &QTimer::timeout, this, &CPlayerDlg::RefreshColumn);
    columnWatch->start(100);
    for (int32_t k = 0; k < kNumChannels; ++k) SyncRow(k);
}

CPlayerDlg::~CPlayerDlg() {
    StopRemote();
    CloseEngine();
}

void CPlayerDlg::SetFileChooser(FileChooser chooser) {
    fileChooser = chooser ? std::move(chooser) : ChooseFile;
}

void CPlayerDlg::SetMessageBox(MessageBoxFunction function) {
    messageBox = function ? std::move(function) : ShowMessage;
}

void CPlayerDlg::SetAboutBox(AboutBoxFunction function) {
    aboutBox = function ? std::move(function) : ShowAbout;
}

void CPlayerDlg::SetFirstPaintHandler(std::function<void()> handler) {
    firstPaintHandler = std::move(handler);
}

QWidget* CPlayerDlg::Control(int id) const {
    const auto it = controls.find(id);
    return it == controls.end() ? nullptr : it->second;
}

const std::string& CPlayerDlg::LoadedPath(int32_t k) const {
    static const std::string none;
    return k >= 0 && k < kNumChannels ? m_paths[k] : none;
}

QString CPlayerDlg::StatusText() const {
    return statusLine->text();
}

void CPlayerDlg::SetStatus(const QString& text) {
    statusLine->setText(text);
    statusLine->setToolTip(text);
}

// The window is initialised on its first showing, before it is drawn, as a
// dialog is before it becomes visible.
void CPlayerDlg::showEvent(QShowEvent* e) {
    QDialog::showEvent(e);
    if (!bInitDone) {
        bInitDone = true;
        OnInitDialog();
    }
}

bool CPlayerDlg::OnInitDialog() {
    // Linux has no system menu to extend: the About entry lives in the
    // dialog's context menu and on F1 (see contextMenuEvent, keyPressEvent).
    setWindowIcon(m_hIcon);
    m_pEngine.reset();
    m_szStartDir = WorkingDirectory();
    m_nDevice = -1;
    StartEngine(-1);
    // CANTABILE_OSC_PORT=PORT opens remote control at start-up, on
    // CANTABILE_OSC_BIND (127.0.0.1 unless given).
    if (const char* port = std::getenv("CANTABILE_OSC_PORT"); port && *port) {
        const char* bind = std::getenv("CANTABILE_OSC_BIND");
        StartRemote(std::atoi(port), bind && *bind ? bind : control::kDefaultOscAddress);
    }
    return true;
}

void CPlayerDlg::SetPlayPauseCaption(const char* caption) {
    playPause->setText(caption);
}

void CPlayerDlg::ShowFailure() {
    // Drawn first: a box over an undrawn window explains nothing.
    if (!bPainted) {
        bFailurePending = true;
        return;
    }
    bFailurePending = false;
    messageBox(this, "ASIO initialization failed!", QString::fromLocal8Bit(ASIOErrorText()),
               "Cantabile");
    m_combo->setFocus();
}

void CPlayerDlg::ReportDevice(const QString& text) {
    SetStatus(text);
    m_nDevice = -1;
}

bool CPlayerDlg::StartEngine(int32_t device) {
    m_bPlaying = false;
    m_bDeviceLost = false;
    // A button that still reads "Pause" would claim a running transport that a
    // new engine never has.
    if (playPause->text() == "Pause") SetPlayPauseCaption("Play");
    for (std::string& path : m_paths) path.clear();
    SetStatus(QString());

    m_pEngine = std::make_unique<Sarabande>(device, &m_comboSink);
    // CANTABILE_NO_CONVERT=1 plays every file at its own rate, unconverted.
    const char* noConvert = std::getenv("CANTABILE_NO_CONVERT");
    m_pEngine->SetConvertRates(!(noConvert && std::strcmp(noConvert, "1") == 0));
    // The working directory is handed on even when it could not be read: the
    // engine refuses a missing one, and that failure is shown like any other.
    const bool bStarted =
        m_pEngine->Init(static_cast<void*>(this), &m_listSink,
                        m_szStartDir.empty() ? nullptr : m_szStartDir.c_str()) == 0;
    // Remote commands reach this engine; relative paths are the start directory's.
    remoteTarget = std::make_unique<DialogTarget>(
        *this, *m_pEngine, m_combo->currentText().toStdString(), m_szStartDir);
    // A driver that does not open leaves the engine running without a box;
    // the status line says why in either case.
    if (*ASIOErrorText() != '\0') {
        ReportDevice(QString("%1 could not be opened: %2. Pick a device to try again.")
                         .arg(DeviceName(m_combo), QString::fromLocal8Bit(ASIOErrorText())));
    }
    if (!bStarted) {
        ShowFailure();
        return false;
    }
    for (int i = 0; i < m_list->count() && i < kNumChannels; ++i) {
        ShowText(pairEdits[i], m_list->item(i)->text(), m_list->item(i)->text());
    }
    return *ASIOErrorText() == '\0';
}

void CPlayerDlg::CheckDevice() {
    if (m_bDeviceLost || !m_pEngine || !ASIODeviceLost()) return;
    // The rows stay as they are; the next pick opens a device and loads them again.
    m_bDeviceLost = true;
    if (m_bPlaying) ASIOStopPlay();
    m_bPlaying = false;
    SetPlayPauseCaption("Play");
    ReportDevice(QString("%1 was lost: %2. Pick a device to open it again.")
                     .arg(DeviceName(m_combo), QString::fromLocal8Bit(ASIOErrorText())));
}

void CPlayerDlg::LoadRow(int32_t k, const std::string& path) {
    const bool bLoaded = m_pEngine->LoadFile(k, path.c_str()) == k;
    SyncRow(k);
    if (bLoaded) {
        m_paths[k] = path;
        ShowText(fileEdits[k], FileNameOf(path), QString::fromLocal8Bit(path));
        if (!m_bDeviceLost) SetStatus(QString());
        return;
    }
    ReportRefusal(k, path, m_pEngine->GetLoadError());
}

void CPlayerDlg::ReportRefusal(int32_t k, const std::string& path, const std::string& reason) {
    SetStatus(QString("Chn %1: %2: %3")
                  .arg(k + 1, 2, 10, QChar('0'))
                  .arg(FileNameOf(path), QString::fromLocal8Bit(reason)));
}

void CPlayerDlg::ShowRow(int32_t k) {
    if (m_pEngine && m_pEngine->IsChannelLoaded(k)) {
        m_paths[k] = m_pEngine->GetChannelPath(k);
        ShowText(fileEdits[k], FileNameOf(m_paths[k]), QString::fromLocal8Bit(m_paths[k]));
    } else {
        m_paths[k].clear();
        ClearText(fileEdits[k]);
    }
    SyncRow(k);
}

void CPlayerDlg::ShowTransport() {
    m_bPlaying = ASIOIsPlaying();
    SetPlayPauseCaption(m_bPlaying ? "Pause" : "Play");
}

void CPlayerDlg::OnLoad(int32_t k) {
    if (k < 0 || k >= kNumChannels) return;
    const QString chosen = fileChooser(this);
    if (chosen.isEmpty()) return;
    if (!m_pEngine) return;

    if (!m_paths[k].empty()) {
        if (m_pEngine->CloseChannelInstantly(k) == 0) {
            m_paths[k].clear();
            ClearText(fileEdits[k]);
        }
    }
    m_reload[k].clear();  // the row's new file, not the one it kept
    LoadRow(k, QFile::encodeName(chosen).toStdString());
}

void CPlayerDlg::OnPlayPause() {
    // A lost device cannot start: the button keeps saying "Play".
    if (m_bDeviceLost && !m_bPlaying) return;
    if (m_bPlaying) {
        ASIOStopPlay();
        m_bPlaying = false;
        SetPlayPauseCaption("Play");
        return;
    }
    if (m_pEngine) {
        for (int32_t k = 0; k < kNumChannels; ++k) {
            if (m_pEngine->GetChannelStatus(k) == CHANNEL_LOADED) m_pEngine->PlayChannel(k);
        }
    }
    // The transport follows the button, whatever the device answers: a device
    // that would not start is started again by the next press after a pause.
    (void)ASIOStartPlay();
    m_bPlaying = true;
    SetPlayPauseCaption("Pause");
}

void CPlayerDlg::OnRestartAll() {
    if (!m_pEngine) return;
    for (int32_t k = 0; k < kNumChannels; ++k) {
        switch (m_pEngine->GetChannelStatus(k)) {
            case CHANNEL_LOADED:
                m_pEngine->PlayChannel(k);
                break;
            case CHANNEL_PLAYING:
                m_pEngine->ReStartChannel(k);
                break;
            case CHANNEL_CLOSING:
                // Back to block 0; the engine keeps it playing.
                m_pEngine->SetPosition(k, 0);
                break;
            case CHANNEL_TERMINATED:
                m_pEngine->SetPosition(k, 0);
                m_pEngine->PlayChannel(k);
                break;
            default:
                break;
        }
    }
}

void CPlayerDlg::OnUnloadAll() {
    for (int32_t k = 0; k < kNumChannels; ++k) {
        ClearText(fileEdits[k]);
        if (m_pEngine && m_pEngine->GetChannelStatus(k) != CHANNEL_FREE)
            m_pEngine->CloseChannelInstantly(k);
        SyncRow(k);
    }
    for (std::string& path : m_paths) path.clear();
    m_reload = {};
    OnPlayPause();
}

void CPlayerDlg::OnDeviceChange() {
    const int32_t selection = m_combo->currentIndex();
    if (selection == m_nDevice) return;
    m_nDevice = selection;
    // Acted on once the selection handling has returned.
    QCoreApplication::postEvent(this, new QEvent(ResetRequestEventType()));
}

bool CPlayerDlg::event(QEvent* e) {
    if (e->type() == ResetRequestEventType()) {
        OnResetRequest();
        return true;
    }
    return QDialog::event(e);
}

void CPlayerDlg::OnResetRequest() {
    EngineDebugLog().WriteLine("App received reset request!");
    // The rows of a lost device keep their files until a device opens and
    // plays them again, however many picks that takes.
    const std::array<std::string, kNumChannels> reload = m_bDeviceLost ? m_paths : m_reload;
    for (QLineEdit* edit : pairEdits) ClearText(edit);
    OnUnloadAll();
    platform::SleepMs(10);
    CloseEngine();
    platform::SleepMs(100);
    m_combo->clear();
    m_list->clear();
    const bool bOpened = StartEngine(m_nDevice);
    m_reload = bOpened ? std::array<std::string, kNumChannels>{} : reload;
    for (int32_t k = 0; k < kNumChannels; ++k) {
        if (reload[k].empty()) continue;
        if (bOpened)
            LoadRow(k, reload[k]);
        else
            ShowText(fileEdits[k], FileNameOf(reload[k]), QString::fromLocal8Bit(reload[k]));
    }
}

void CPlayerDlg::OnSysCommand(uint32_t nID) {
    if ((nID & 0xFFF0) == IDM_ABOUTBOX) aboutBox(this, m_hIcon);
}

void CPlayerDlg::keyPressEvent(QKeyEvent* e) {
    if (e->key() == Qt::Key_F1 && e->modifiers() == Qt::NoModifier) {
        OnSysCommand(IDM_ABOUTBOX);
        return;
    }
    QDialog::keyPressEvent(e);
}

void CPlayerDlg::contextMenuEvent(QContextMenuEvent* e) {
    QMenu menu(this);
    menu.addAction("&About Cantabile...", this, [this] { OnSysCommand(IDM_ABOUTBOX); });
    menu.addSeparator();
    menu.addAction("&Open show...", this, [this] {
        const QString path = ChooseShow(false);
        if (!path.isEmpty()) OpenShow(QFile::encodeName(path).toStdString());
    });
    menu.addAction("&Save show...", this, [this] {
        const QString path = ChooseShow(true);
        if (!path.isEmpty()) SaveShow(QFile::encodeName(path).toStdString());
    });
    menu.addAction(RemotePort() ? QString("&Remote control: OSC port %1...").arg(RemotePort())
                                : QString("&Remote control (OSC)..."),
                   this, &CPlayerDlg::AskRemotePort);
    menu.exec(e->globalPos());
}

void CPlayerDlg::paintEvent(QPaintEvent* e) {
    QDialog::paintEvent(e);
    if (!bPainted) {
        bPainted = true;
        if (firstPaintHandler) firstPaintHandler();
        if (bFailurePending) QTimer::singleShot(0, this, &CPlayerDlg::ShowFailure);
    }
}

void CPlayerDlg::CloseEngine() {
    remoteTarget.reset();
    if (!m_pEngine) return;
    m_pEngine->Close();
    m_pEngine.reset();
}

void CPlayerDlg::done(int result) {
    CloseEngine();
    QDialog::done(result);
}
