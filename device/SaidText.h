#pragma once
// The sentences device/ writes for people (why an address takes no command, which
// rule new settings break, what is wrong with a plan, why an answer proves nothing),
// in the language of whoever reads them.
//
// Each sentence is written where it is made as
//     Said(QT_TRANSLATE_NOOP3("DeviceText", "Chinese source text", "English text"))
// The window shows it through Qt's translation system, as it shows its own texts: the
// Chinese source text, or the English catalogue's translation (the English text is
// also the entry's comment, so the catalogue's translator sees it). brenu-search
// writes the English text as it stands, whatever the catalogue says: scripts read its
// messages. Which of the two a process gets is decided once, at its start
// (SayInOperatorLanguage); until then the English is given.
#include <QString>

struct SaidText {
    const char *source;  // Chinese, UTF-8: the source text of the translation system
    const char *english; // English, UTF-8
};

QString Said(const SaidText &text);

// From now on Said gives the translation system's text (the window calls this once).
void SayInOperatorLanguage();
