#pragma once
// The window's command exchange: SendDeviceCommand (device/DeviceCommand.h) on the
// user-interface thread, with the screen brought up to date and the wait cursor shown
// while the thread is blocked.
#include "device/DeviceCommand.h"

class QWidget;

// `owner` is repainted first, so the window shows no remains of a closed message box
// while the thread waits.
CommandResult SendDeviceCommand(QWidget *owner, const CommandTarget &target, Vant::CProtocalJson &request,
                                const QByteArray &serialNo);
