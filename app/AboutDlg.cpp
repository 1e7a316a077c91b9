#include "app/AboutDlg.h"

#include <QLabel>
#include <QPushButton>

#include "app/DialogUnits.h"

CAboutDlg::CAboutDlg(const QIcon& icon, QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowCloseButtonHint) {
    setObjectName("IDD_ABOUTBOX");
    setWindowTitle("About Cantabile");
    setWindowIcon(icon);

    const DialogUnits du(font());

    auto* iconLabel = new QLabel(this);
    iconLabel->setObjectName("IDC_ABOUT_ICON");
    const QRect iconRect = du.Rect(11, 17, 20, 20);
    iconLabel->setGeometry(iconRect);
    const int side = std::min(iconRect.width(), iconRect.height());
    iconLabel->setPixmap(icon.pixmap(side, side));

    auto* version = new QLabel(this);
    version->setObjectName("IDC_ABOUT_TEXT");
    // Plain text: an '&' in the caption would be shown, not taken as a mnemonic.
    version->setTextFormat(Qt::PlainText);
    version->setText("Cantabile Version 1.0");
    version->setGeometry(du.Rect(40, 10, 119, 8));

    auto* ok = new QPushButton("OK", this);
    ok->setObjectName("IDOK");
    ok->setProperty("controlId", 1);
    ok->setDefault(true);
    ok->setGeometry(du.Rect(178, 7, 50, 14));
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);

    setFixedSize(du.X(235), du.Y(55));
}
