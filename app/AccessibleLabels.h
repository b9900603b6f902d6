#pragma once
// What a screen reader gets from the window's labels that show a value.
//
// Qt gives a label one accessible text: its accessible name when it has one, else the
// text it shows. A label that shows a changing value (the device count, the search
// state) needs both: a name that says what the value is, and the value itself. Labels
// marked here report their accessible name as the name, the text they show as the
// value, their accessible description (else their tooltip) as the description and,
// for a count, the number through the value interface as well. A label marked as a
// separator (an empty framed line) reports the separator role.
#include <QString>

class QLabel;

// Installs the accessibility factory for the marked labels; once per process, before
// a screen reader asks for the labels (any number of calls).
void InstallAccessibleLabels();

// Marks `label` as showing a value under the accessible name `name`.
void ShowsValue(QLabel *label, const QString &name);
// Marks `label` as showing a count, 0 to `maximum`, under the accessible name `name`.
void ShowsCount(QLabel *label, const QString &name, int maximum);
// Sets the count `label` shows through its value interface (its text is set apart), and
// tells a screen reader that listens.
void SetShownCount(QLabel *label, int count);
// Marks `label` as a separator line.
void IsSeparator(QLabel *label);
