#pragma once
// The user-visible texts of the window, the table and the message boxes. They are
// UTF-8 literals turned into strings explicitly, so the process locale plays no part.
#include <QString>

namespace UiText {

inline QString Get(const char *utf8) { return QString::fromUtf8(utf8); }

inline QString MenuModify() { return Get("修改配置"); }
inline QString MenuReboot() { return Get("重启设备"); }
inline QString MenuCopy() { return Get("复制"); }
inline QString MenuExport() { return Get("导出列表..."); }

// %1: the time of the device's last answer, HH:mm:ss.
inline QString LastAnswerTip() { return Get("最后应答: %1"); }
// %1: how many devices answer with the row's serial number; %2: "address MAC" of each.
inline QString SerialConflictTip() { return Get("序列号冲突: %1 台设备使用此序列号 (%2)"); }
// %1: the other serial numbers answering from the row's address.
inline QString AddressConflictTip() { return Get("地址冲突: 序列号 %1 使用同一地址"); }
// %1: the interface that heard the device; %2: the local address that heard it.
inline QString ForeignSubnetTip() { return Get("设备不在网卡 %1 的任何网段内 (由本机地址 %2 发现), 命令经该网卡直接发送"); }
// A settings update whose answer was lost, but which the next search shows applied.
inline QString UpdateShownTip() { return Get("设置已生效: 设备对命令的应答丢失, 但随后的搜索显示了新设置"); }
// Appended to a list cut short; %1: how many more.
inline QString AndMore() { return Get("等另外 %1 项"); }
// %1: the table's row bound; %2: the number of devices not listed.
inline QString OverflowTip() { return Get("应答的设备多于表格可容纳的 %1 台, 另有 %2 台未显示。点击\"刷新\"清空表格。"); }

inline QString ExportTitle() { return Get("导出列表"); }
inline QString ExportFilter() { return Get("CSV 文件 (*.csv)"); }
// %1: the file; %2: the reason.
inline QString ExportFailed() { return Get("无法保存 %1:\n%2"); }

inline QString DhcpOn() { return Get("启用"); }
inline QString DhcpOff() { return Get("禁用"); }

inline QString BoxTitle() { return Get("提示"); }
inline QString ConfirmTitle() { return Get("警告"); }
inline QString ConfirmReboot() { return Get("是否确认重启此设备!"); }
inline QString ConfirmOk() { return Get("确定"); }
inline QString ConfirmCancel() { return Get("取消"); }
inline QString ConnectFailed() { return Get("连接失败!"); }
inline QString Succeeded() { return Get("执行成功!"); }
inline QString Failed() { return Get("执行失败!"); }
inline QString BadField() { return Get("格式错误!请输入正确的值!"); }

} // namespace UiText
