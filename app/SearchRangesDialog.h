#pragma once
// The "search ranges" dialog: address ranges behind routers that the window searches
// by unicast besides its broadcasts (protocol/SearchRanges.h). The operator adds,
// removes and switches ranges on or off and sets the rate; a range that can never be
// searched, or that holds one of this machine's addresses, is refused with the reason.
// The window keeps what was chosen in its settings file.
#include <QDialog>
#include <QList>
#include <QString>

#include "protocol/SearchRanges.h"

class QLabel;
class QLineEdit;
class QListWidget;
class QSettings;
class QSpinBox;

// One range as the settings keep it: its text and whether it is searched.
struct RangeChoice {
    QString text;
    bool on = true;
};

struct RangeSettings {
    QList<RangeChoice> ranges;
    unsigned rate = kDefaultRangeRate;
    // The ranges switched on, checked (those refused now are left out, and `problem`
    // names the first, "range: reason" in the window's language); `local`: this
    // machine's addresses.
    SearchRanges Searched(const std::vector<std::string> &local, QString *problem = nullptr) const;
};

// Reads and writes the group "SearchRanges" of the window's settings; values that
// cannot be read give the defaults (no range).
RangeSettings ReadRangeSettings(QSettings &settings);
void WriteRangeSettings(QSettings &settings, const RangeSettings &ranges);

class SearchRangesDialog : public QDialog {
    Q_OBJECT
public:
    // `local`: this machine's addresses, refused as parts of a range.
    SearchRangesDialog(const RangeSettings &settings, std::vector<std::string> local, QWidget *parent = nullptr);
    RangeSettings Settings() const;

    // The range typed in the field, added when it is accepted; false (with the reason
    // shown) when not. Also the add button's and the field's Return.
    bool AddTyped();
    void RemoveSelected();

protected:
    // OK: refused when the ranges switched on together exceed the bound.
    void accept() override;

private:
    void AddRow(const RangeChoice &choice);

    std::vector<std::string> m_local;
    QListWidget *m_list = nullptr;
    QLineEdit *m_edit = nullptr;
    QSpinBox *m_rate = nullptr;
    QLabel *m_problem = nullptr;
};
