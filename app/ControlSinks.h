// The dialog's device box and hidden pair list, as the mixer sees them.
#pragma once

#include <cstdint>

#include "mixer/ASIOBuffers.h"
#include "mixer/AsioHost.h"

class QComboBox;
class QListWidget;

// Receives the installed drivers' names and the chosen one. Selecting does not
// count as the user's pick: only the box's activation does.
class ComboDeviceSink final : public DeviceListSink {
  public:
    explicit ComboDeviceSink(QComboBox* combo) : pCombo(combo) {}
    void AddName(const char* name) override;
    void SelectIndex(int32_t index) override;

  private:
    QComboBox* pCombo;
};

// Receives the labels of the card's stereo output pairs, in pair order.
class ListPairSink final : public PairLabelSink {
  public:
    explicit ListPairSink(QListWidget* list) : pList(list) {}
    void AddLabel(const char* label) override;

  private:
    QListWidget* pList;
};
