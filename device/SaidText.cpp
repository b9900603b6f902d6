#include "device/SaidText.h"

#include <QCoreApplication>

#include <atomic>

namespace {

std::atomic<bool> operatorLanguage{false};

} // namespace

QString Said(const SaidText &text)
{
    if (operatorLanguage.load(std::memory_order_relaxed))
        return QCoreApplication::translate("DeviceText", text.source, text.english);
    return QString::fromUtf8(text.english);
}

void SayInOperatorLanguage()
{
    operatorLanguage.store(true, std::memory_order_relaxed);
}
