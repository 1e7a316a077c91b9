// The main dialog's controls, placed in dialog units and chained in the
// layout's tab order: Exit first, then each row's pair box, file box and Load,
// then the transport buttons and the device box, and after them the show
// column: each row's level, mute and loop, then Fade all and its time. The
// status line, the times and the meters take no focus.
#include <QCheckBox>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QGroupBox>
#include <QKeyEvent>
#include <QWheelEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>

#include "app/DialogUnits.h"
#include "app/PlayerDlg.h"
#include "app/RowControls.h"

namespace {

QString RowName(const char* prefix, int row) {
    return QString("%1_%2").arg(prefix).arg(row + 1, 2, 10, QChar('0'));
}

// The dialog in dialog units: the rows and buttons fill 463 x 204, the show
// column widens it to the right, and a status line of two text lines sits
// beneath them.
constexpr int kColumnLeft = 459;
constexpr int kDialogWidth = kColumnLeft + 206;
constexpr int kStatusTop = 203;
constexpr int kStatusHeight = 16;
constexpr int kDialogHeight = kStatusTop + kStatusHeight + 3;

// Changing the device closes everything, so the box acts only on a deliberate
// pick from its open list: the wheel, and the arrow and letter keys that step
// through a closed box, change nothing. The keys that open it still do.
class DeviceBox final : public QComboBox {
  public:
    using QComboBox::QComboBox;

  protected:
    void wheelEvent(QWheelEvent* e) override { e->accept(); }
    void keyPressEvent(QKeyEvent* e) override {
        if (Steps(*e) ||
            (!e->text().isEmpty() && e->text()[0].isPrint() && e->key() != Qt::Key_Space)) {
            e->accept();
            return;
        }
        QComboBox::keyPressEvent(e);
    }

  private:
    static bool Steps(const QKeyEvent& e) {
        switch (e.key()) {
            case Qt::Key_Up:
            case Qt::Key_Down:
            case Qt::Key_PageUp:
            case Qt::Key_PageDown:
            case Qt::Key_Home:
            case Qt::Key_End:
            case Qt::Key_Left:
            case Qt::Key_Right:
                return !(e.modifiers() & Qt::AltModifier);
            default:
                return false;
        }
    }
};
}  // namespace

void CPlayerDlg::CreateControls() {
    const DialogUnits du(font());
    QWidget* previous = nullptr;
    auto place = [&](QWidget* w, int id, const QString& name, QRect rect) {
        w->setObjectName(name);
        w->setProperty("controlId", id);
        w->setGeometry(rect);
        if (id != -1) controls[id] = w;
        if (w->focusPolicy() & Qt::TabFocus) {
            if (previous) setTabOrder(previous, w);
            previous = w;
        }
    };

    auto* exitButton = new QPushButton("Exit", this);
    exitButton->setDefault(true);
    place(exitButton, IDOK, "IDOK", du.Rect(383, 181, 64, 14));
    connect(exitButton, &QPushButton::clicked, this, &QDialog::accept);

    for (int k = 0; k < kNumChannels; ++k) {
        const int y = 16 * k;
        auto* label = new QLabel(QString("Chn %1").arg(k + 1, 2, 10, QChar('0')), this);
        place(label, -1, RowName("IDC_STATIC_CHN", k), du.Rect(7, 9 + y, 26, 8));

        pairEdits[k] = new QLineEdit(this);
        place(pairEdits[k], IDC_PAIR_FIRST + k, RowName("IDC_PAIR", k),
              du.Rect(39, 7 + y, 114, 12));

        fileEdits[k] = new QLineEdit(this);
        place(fileEdits[k], IDC_FILE_FIRST + k, RowName("IDC_FILE", k),
              du.Rect(159, 7 + y, 165, 12));

        auto* load = new QPushButton("Load", this);
        place(load, IDC_LOAD_FIRST + k, RowName("IDC_LOAD", k), du.Rect(330, 7 + y, 41, 12));
        connect(load, &QPushButton::clicked, this, [this, k] { OnLoad(k); });
    }

    auto* group = new QGroupBox(this);
    place(group, -1, "IDC_STATIC_TRANSPORT", du.Rect(377, 3, 75, 62));
    group->lower();

    playPause = new QPushButton("Play/Pause", this);
    place(playPause, IDC_PLAYPAUSE, "IDC_PLAYPAUSE", du.Rect(383, 12, 64, 14));
    connect(playPause, &QPushButton::clicked, this, &CPlayerDlg::OnPlayPause);

    auto* restart = new QPushButton("Restart All", this);
    place(restart, IDC_RESTARTALL, "IDC_RESTARTALL", du.Rect(383, 29, 64, 14));
    connect(restart, &QPushButton::clicked, this, &CPlayerDlg::OnRestartAll);

    // The mixer writes the pair labels here; the rows show them. Never seen.
    m_list = new QListWidget(this);
    m_list->setFocusPolicy(Qt::NoFocus);
    place(m_list, IDC_PAIRLIST, "IDC_PAIRLIST", du.Rect(379, 75, 68, 102));
    m_list->hide();

    auto* unload = new QPushButton("Unload All", this);
    place(unload, IDC_UNLOADALL, "IDC_UNLOADALL", du.Rect(383, 46, 64, 14));
    connect(unload, &QPushButton::clicked, this, &CPlayerDlg::OnUnloadAll);

    // The layout's 99 units are the box with its list dropped; closed, it is
    // as tall as the platform draws a combo box, at least a row's edit box.
    m_combo = new DeviceBox(this);
    m_combo->setFocusPolicy(Qt::StrongFocus);
    const int closedHeight = std::max(m_combo->sizeHint().height(), du.Y(12));
    m_combo->setMaxVisibleItems(std::max(1, (99 - 12) / 8));
    place(m_combo, IDC_DEVICE, "IDC_DEVICE",
          QRect(du.X(377), du.Y(80), du.X(377 + 75) - du.X(377), closedHeight));
    // Activation is the user's pick; the mixer's own selection does not count.
    connect(m_combo, &QComboBox::activated, this, [this](int) { OnDeviceChange(); });

    auto* deviceLabel = new QLabel("Select device", this);
    place(deviceLabel, -1, "IDC_STATIC_DEVICE", du.Rect(392, 70, 49, 8));

    // The show column, row by row, to the right of the transport buttons.
    for (int k = 0; k < kNumChannels; ++k) {
        const int y = 7 + 16 * k;
        RowControls& row = rowControls[k];
        row.level = new LevelBox(this);
        row.level->setToolTip("Level (double click: 0 dB)");
        place(row.level, IDC_LEVEL_FIRST + k, RowName("IDC_LEVEL", k),
              du.Rect(kColumnLeft, y, 44, 12));
        connect(row.level, &QSpinBox::valueChanged, this, [this, k](int db) { OnLevel(k, db); });
        connect(row.level, &LevelBox::doubleClicked, this,
                [level = row.level] { level->setValue(0); });

        row.mute = new EnterStays<QCheckBox>("Mute", this);
        place(row.mute, IDC_MUTE_FIRST + k, RowName("IDC_MUTE", k),
              du.Rect(kColumnLeft + 48, y, 30, 12));
        connect(row.mute, &QCheckBox::toggled, this, [this, k](bool on) { OnMute(k, on); });

        row.loop = new EnterStays<QCheckBox>("Loop", this);
        place(row.loop, IDC_LOOP_FIRST + k, RowName("IDC_LOOP", k),
              du.Rect(kColumnLeft + 80, y, 28, 12));
        connect(row.loop, &QCheckBox::toggled, this, [this, k](bool on) { OnLoop(k, on); });

        row.time = new QLabel(this);
        row.time->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
        row.time->setToolTip("Elapsed and remaining, in the file's own time");
        place(row.time, IDC_TIME_FIRST + k, RowName("IDC_TIME", k),
              du.Rect(kColumnLeft + 108, y, 54, 12));

        row.meter = new MeterBar(this);
        row.meter->setToolTip("Peak, left over right, -60 to 0 dB");
        place(row.meter, IDC_METER_FIRST + k, RowName("IDC_METER", k),
              du.Rect(kColumnLeft + 166, y + 2, 34, 8));
    }

    // Fade all, beneath the device box.
    fadeAll = new QPushButton("Fade all", this);
    fadeAll->setToolTip("Fades every playing channel to silence, then stops it");
    place(fadeAll, IDC_FADEALL, "IDC_FADEALL", du.Rect(383, 112, 64, 14));
    connect(fadeAll, &QPushButton::clicked, this, &CPlayerDlg::OnFadeAll);

    fadeTime = new EnterStays<QDoubleSpinBox>(this);
    fadeTime->setRange(0.0, 60.0);
    fadeTime->setDecimals(1);
    fadeTime->setSingleStep(0.5);
    fadeTime->setValue(3.0);
    fadeTime->setSuffix(" s");
    fadeTime->setToolTip("Fade all: its time");
    place(fadeTime, IDC_FADETIME, "IDC_FADETIME", du.Rect(383, 129, 64, 12));

    // Why a file or a device was refused, without a box in the way.
    statusLine = new QLabel(this);
    statusLine->setWordWrap(true);
    statusLine->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    place(statusLine, IDC_STATUS, "IDC_STATUS",
          du.Rect(7, kStatusTop, kDialogWidth - 14, kStatusHeight));

    setFixedSize(du.X(kDialogWidth), du.Y(kDialogHeight));
}
