// The About box: the icon, the program's name and version, and OK.
#pragma once

#include <QDialog>
#include <QIcon>

class CAboutDlg : public QDialog {
    Q_OBJECT
  public:
    static constexpr int IDD = 100;

    explicit CAboutDlg(const QIcon& icon, QWidget* parent = nullptr);
};
