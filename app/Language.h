#pragma once
// The window's language: Chinese when the first language of the desktop's list
// (QLocale::system().uiLanguages(), which follows LANGUAGE, LC_ALL, LC_MESSAGES and
// LANG) is Chinese, English otherwise.
//
// The Chinese texts are the program's source texts, so Chinese needs no translation
// of its own, only Qt's (standard buttons, the file dialog: qtbase_zh_*.qm from the
// translation folder of the Qt in use, filled by qt6-translations-l10n or
// qttranslations5-l10n). English is the program's translation
// (translations/BrenuSearchTools_en.ts, compiled into the program as
// ":/i18n/BrenuSearchTools_en.qm"); Qt's own texts are English already.
#include <QString>
#include <QStringList>

class QCoreApplication;

enum class UiLanguage { Chinese, English };

// The rule above for a list of BCP 47 names ("zh-CN", "en-US", "C", ...).
UiLanguage ChooseUiLanguage(const QStringList &uiLanguages);

// The built-in English translation.
constexpr const char *kEnglishTranslation = ":/i18n/BrenuSearchTools_en.qm";

// Installs the translations the system's language asks for on `application` (they
// live as long as it does); the language chosen. A translation that cannot be loaded
// leaves those texts in their source language, with one log line.
UiLanguage InstallTranslations(QCoreApplication &application,
                               const QString &englishTranslation = QString::fromLatin1(kEnglishTranslation));
