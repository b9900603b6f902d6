#include "app/DeviceCommandUi.h"

#include <QApplication>
#include <QCursor>
#include <QWidget>

namespace {

// Shows the wait cursor while the user-interface thread is blocked.
class WaitCursor {
public:
    WaitCursor() { QApplication::setOverrideCursor(QCursor(Qt::WaitCursor)); }
    ~WaitCursor() { QApplication::restoreOverrideCursor(); }
    WaitCursor(const WaitCursor &) = delete;
    WaitCursor &operator=(const WaitCursor &) = delete;
};

} // namespace

CommandResult SendDeviceCommand(QWidget *owner, const CommandTarget &target, Vant::CProtocalJson &request,
                                const QByteArray &serialNo)
{
    // The thread is about to block: bring the screen up to date first, so that the
    // box just closed leaves no remains over the window while the answer is awaited.
    // Only posted events and painting run here, no input.
    if (owner && owner->isVisible())
        owner->repaint();
    WaitCursor waitCursor;
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
    return SendDeviceCommand(target, request, serialNo);
}
