// Remote control and show files in the dialog. OSC messages are queued by the
// server's thread and run on the dialog's, when the queue's event wakes it;
// a show file is read into the same commands and run the same way, so that
// a row set up remotely or from a show is shown as if set up by hand.
#include <QComboBox>
#include <QFileDialog>
#include <QFileInfo>
#include <QInputDialog>
#include <QSocketNotifier>
#include <QStringList>
#include <cstdlib>

#include "app/PlayerDlg.h"
#include "control/Execute.h"
#include "control/ShowFile.h"
#include "engine/Sarabande.h"

namespace {

// CANTABILE_OSC_BIND, or the loopback address.
std::string RemoteAddress() {
    const char* bind = std::getenv("CANTABILE_OSC_BIND");
    return bind && *bind ? bind : control::kDefaultOscAddress;
}

QString ShowName(const std::string& path) {
    return QFileInfo(QString::fromLocal8Bit(path)).fileName();
}

}  // namespace

bool CPlayerDlg::StartRemote(int port, const std::string& address) {
    StopRemote();
    if (!remoteNotifier) {
        remoteNotifier = new QSocketNotifier(remoteQueue.Ready().Fd(), QSocketNotifier::Read, this);
        connect(remoteNotifier, &QSocketNotifier::activated, this, &CPlayerDlg::RunRemote);
    }
    // The server's thread only queues; a full queue answers "busy".
    auto server = std::make_unique<control::OscServer>(
        [this](control::Request&& request) { return remoteQueue.Push(std::move(request)); });
    std::string error;
    if (!server->Start(port, address, &error)) {
        SetStatus(
            QString("Remote control could not be opened: %1").arg(QString::fromLocal8Bit(error)));
        return false;
    }
    oscServer = std::move(server);
    return true;
}

void CPlayerDlg::StopRemote() {
    if (!oscServer) return;
    oscServer->Stop();
    oscServer.reset();
}

int CPlayerDlg::RemotePort() const {
    return oscServer ? oscServer->Port() : 0;
}

void CPlayerDlg::RunRemote() {
    (void)remoteQueue.Ready().TryWait();
    if (!remoteTarget) return;
    if (remoteQueue.RunPending(*remoteTarget) > 0 && oscServer && oscServer->SubscriberCount() > 0)
        oscServer->PublishChanges(remoteTarget->Status());
}

void CPlayerDlg::AskRemotePort() {
    bool bOk = false;
    const int port =
        QInputDialog::getInt(this, "Remote control",
                             QString("OSC port (UDP, on %1; 0 turns remote control off):")
                                 .arg(QString::fromStdString(RemoteAddress())),
                             RemotePort(), 0, 65535, 1, &bOk);
    if (!bOk) return;
    if (port == 0)
        StopRemote();
    else
        StartRemote(port, RemoteAddress());
}

QString CPlayerDlg::ChooseShow(bool bSave) {
    const QString filter = "Cantabile shows (*.json);;All types (*)";
    return bSave ? QFileDialog::getSaveFileName(this, "Save show...", QString(), filter)
                 : QFileDialog::getOpenFileName(this, "Open show...", QString(), filter);
}

bool CPlayerDlg::SaveShow(const std::string& path) {
    if (!m_pEngine) return false;
    control::Show show;
    show.device = m_combo->currentText().toStdString();
    for (int32_t k = 0; k < kNumChannels; ++k) {
        if (m_paths[k].empty() || !m_pEngine->IsChannelLoaded(k)) continue;
        control::ShowRow& row = show.rows[k];
        row.file = m_paths[k];
        int32_t levelDb = 0;
        m_pEngine->GetChannelLevel(k, &levelDb);
        row.levelDb = levelDb <= control::kSilenceDb ? control::kSilenceDb : levelDb;
        row.loop = m_pEngine->IsChannelLooping(k);
        // A row cued but not playing keeps its place; a playing one starts at its beginning.
        int64_t frames = 0;
        uint32_t rate = 0;
        if (m_pEngine->ChannelState(k) == CHANNEL_LOADED &&
            m_pEngine->GetChannelPosition(k, &frames, nullptr, &rate) == 0 && rate > 0)
            row.startSeconds = static_cast<double>(frames) / rate;
    }
    std::string error;
    if (!control::SaveShow(path, show, &error)) {
        SetStatus(
            QString("Show %1 not saved: %2").arg(ShowName(path), QString::fromLocal8Bit(error)));
        return false;
    }
    SetStatus(QString("Show %1 saved.").arg(ShowName(path)));
    return true;
}

bool CPlayerDlg::OpenShow(const std::string& path) {
    if (!remoteTarget) return false;
    const control::ShowLoad show = control::LoadShow(path);
    if (!show.ok) {
        SetStatus(QString("Show %1 not opened: %2")
                      .arg(ShowName(path), QString::fromLocal8Bit(show.error)));
        return false;
    }
    (void)control::Execute(control::Command{control::Verb::UnloadAll}, *remoteTarget);
    QStringList problems;
    for (const std::string& problem : show.problems) problems << QString::fromLocal8Bit(problem);
    // A row whose file was refused takes none of its other commands.
    bool bRefused[kNumChannels] = {};
    for (const control::Command& command : show.commands) {
        if (bRefused[command.channel]) continue;
        const control::Reply reply = control::Execute(command, *remoteTarget);
        if (reply.ok) continue;
        bRefused[command.channel] = command.verb == control::Verb::Load;
        problems << QString("row %1: %2")
                        .arg(command.channel + 1)
                        .arg(QString::fromLocal8Bit(reply.error));
    }
    if (!show.device.empty() && show.device != m_combo->currentText().toStdString())
        problems << QString("saved on \"%1\"").arg(QString::fromStdString(show.device));
    SetStatus(problems.isEmpty() ? QString("Show %1 opened.").arg(ShowName(path))
                                 : QString("Show %1: %2").arg(ShowName(path), problems.join("; ")));
    return problems.isEmpty();
}
