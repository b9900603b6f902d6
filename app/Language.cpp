#include "app/Language.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>

#include "kit/Log.h"

UiLanguage ChooseUiLanguage(const QStringList &uiLanguages)
{
    if (uiLanguages.isEmpty())
        return UiLanguage::English;
    // "zh", "zh-CN", "zh-Hant-TW", "zh_TW": the language is what stands before the
    // first separator.
    const QString first = uiLanguages.first().section(QLatin1Char('-'), 0, 0).section(QLatin1Char('_'), 0, 0);
    return first.compare(QLatin1String("zh"), Qt::CaseInsensitive) == 0 ? UiLanguage::Chinese : UiLanguage::English;
}

UiLanguage InstallTranslations(QCoreApplication &application, const QString &englishTranslation)
{
    const QStringList uiLanguages = QLocale::system().uiLanguages();
    const UiLanguage language = ChooseUiLanguage(uiLanguages);
    auto *translator = new QTranslator(&application);
    bool loaded = false;
    QString what;
    if (language == UiLanguage::English) {
        what = englishTranslation;
        loaded = translator->load(englishTranslation);
    } else {
        // qtbase_zh_CN.qm, qtbase_zh_TW.qm, ... for the first Chinese language listed.
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
        const QString folder = QLibraryInfo::path(QLibraryInfo::TranslationsPath);
#else
        const QString folder = QLibraryInfo::location(QLibraryInfo::TranslationsPath);
#endif
        what = folder + QStringLiteral("/qtbase_") + QLocale(uiLanguages.first()).name() + QStringLiteral(".qm");
        loaded = translator->load(QLocale(uiLanguages.first()), QStringLiteral("qtbase"), QStringLiteral("_"), folder);
    }
    if (loaded) {
        QCoreApplication::installTranslator(translator);
    } else {
        Vant::LogWrite("Language", ("cannot load the translation " + what + "; its texts stay untranslated")
                                       .toUtf8()
                                       .toStdString());
        delete translator;
    }
    return language;
}
