#include "app/ControlSinks.h"

#include <QComboBox>
#include <QListWidget>
#include <QSignalBlocker>

void ComboDeviceSink::AddName(const char* name) {
    if (!pCombo) return;
    pCombo->addItem(QString::fromLocal8Bit(name ? name : ""));
}

void ComboDeviceSink::SelectIndex(int32_t index) {
    if (!pCombo) return;
    // An index the box does not hold leaves it without a selection, as a
    // platform combo box does.
    const QSignalBlocker blocker(pCombo);
    pCombo->setCurrentIndex(index >= 0 && index < pCombo->count() ? index : -1);
}

void ListPairSink::AddLabel(const char* label) {
    if (!pList) return;
    pList->addItem(QString::fromLocal8Bit(label ? label : ""));
}
