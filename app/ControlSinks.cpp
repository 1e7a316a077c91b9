#include "app/ControlSinks.h"

#include <QAbstractItemView>
#include <QComboBox>
#include <QListWidget>
#include <QSignalBlocker>
#include <QStyle>

void ComboDeviceSink::AddName(const char* name) {
    if (!pCombo) return;
    const QString text = QString::fromLocal8Bit(name ? name : "");
    pCombo->addItem(text);
    pCombo->setItemData(pCombo->count() - 1, text, Qt::ToolTipRole);
    // The box keeps its place and size; its open list is as wide as the
    // longest name, with room for a scroll bar.
    const int width = pCombo->fontMetrics().horizontalAdvance(text) +
                      pCombo->style()->pixelMetric(QStyle::PM_ScrollBarExtent) +
                      4 * pCombo->fontMetrics().averageCharWidth();
    if (width > pCombo->view()->minimumWidth()) pCombo->view()->setMinimumWidth(width);
}

void ComboDeviceSink::SelectIndex(int32_t index) {
    if (!pCombo) return;
    // An index the box does not hold leaves it without a selection, as a
    // platform combo box does.
    const QSignalBlocker blocker(pCombo);
    pCombo->setCurrentIndex(index >= 0 && index < pCombo->count() ? index : -1);
    pCombo->setToolTip(pCombo->currentText());
}

void ListPairSink::AddLabel(const char* label) {
    if (!pList) return;
    pList->addItem(QString::fromLocal8Bit(label ? label : ""));
}
