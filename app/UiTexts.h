#pragma once
// The user-visible texts of the window, the table and the message boxes. The Chinese
// texts are the source texts of Qt's translation system (context "UiText"); the
// English translation is app/translations/BrenuSearchTools_en.ts (see app/Language.h).
// Source files are UTF-8, so the process locale plays no part in reading them.
#include <QCoreApplication>
#include <QString>

namespace UiText {

// A text that is never translated: part of a file format others read.
inline QString Get(const char *utf8) { return QString::fromUtf8(utf8); }

inline QString MenuModify() { return QCoreApplication::translate("UiText", "修改配置"); }
inline QString MenuReboot() { return QCoreApplication::translate("UiText", "重启设备"); }
inline QString MenuCopy() { return QCoreApplication::translate("UiText", "复制"); }
inline QString MenuExport() { return QCoreApplication::translate("UiText", "导出列表..."); }

// %1: the time of the device's last answer, HH:mm:ss.
inline QString LastAnswerTip() { return QCoreApplication::translate("UiText", "最后应答: %1"); }
// %1: how many devices answer with the row's serial number; %2: "address MAC" of each.
inline QString SerialConflictTip() { return QCoreApplication::translate("UiText", "序列号冲突: %1 台设备使用此序列号 (%2)"); }
// %1: the other serial numbers answering from the row's address; `count`: how many
// there are (the English sentence says "serial number ... uses" or "serial numbers ... use").
inline QString AddressConflictTip(int count)
{
    return QCoreApplication::translate("UiText", "地址冲突: 序列号 %1 使用同一地址", nullptr, count);
}
// %1: "source → announced address" of the other sources answering with the row's
// serial number and MAC.
inline QString IdentityConflictTip()
{
    return QCoreApplication::translate("UiText", "身份冲突: 其他来源地址也以此序列号和MAC应答 (%1)");
}
// %1: where the answer came from; %2: the address the device announces.
inline QString SourceDiffersTip()
{
    return QCoreApplication::translate("UiText", "应答来自 %1, 而非设备声明的地址 %2; 命令仍发往声明的地址");
}
// The dialog and reboot refuse a device in an identity conflict; %1: the sources.
inline QString IdentityConflictRefused()
{
    return QCoreApplication::translate("UiText", "未发送: 多个来源地址以此设备的序列号和MAC应答 (%1), 无法确定哪个是设备本身");
}
// A command refused before sending; %1: why the address takes no command.
inline QString DestinationRefused() { return QCoreApplication::translate("UiText", "未发送: %1"); }
// %1: the interface that heard the device; %2: the local address that heard it.
inline QString ForeignSubnetTip() { return QCoreApplication::translate("UiText", "设备不在网卡 %1 的任何网段内 (由本机地址 %2 发现), 命令经该网卡直接发送"); }
// %1: the members ("description", ...) whose bytes the device sent are not UTF-8.
inline QString NotUtf8Tip() { return QCoreApplication::translate("UiText", "设备发送的文字不是 UTF-8, 按 GB18030 显示 (%1); 修改设置时原样发回"); }
// A device heard through a search range; %1: the local address whose route reaches it.
inline QString RoutedTip() { return QCoreApplication::translate("UiText", "设备在路由器后面 (通过搜索网段发现, 本机地址 %1), 命令经路由发送"); }
// A settings update whose answer was lost, but which the next search shows applied.
inline QString UpdateShownTip() { return QCoreApplication::translate("UiText", "设置已生效: 设备对命令的应答丢失, 但随后的搜索显示了新设置"); }
// Appended to a list cut short; %1: how many more.
inline QString AndMore() { return QCoreApplication::translate("UiText", "等另外 %1 项"); }
// %1: the table's row bound; %2: the number of devices not listed.
inline QString OverflowTip() { return QCoreApplication::translate("UiText", "应答的设备多于表格可容纳的 %1 台, 另有 %2 台未显示。点击\"刷新\"清空表格。"); }

inline QString ExportTitle() { return QCoreApplication::translate("UiText", "导出列表"); }
inline QString ExportFilter() { return QCoreApplication::translate("UiText", "CSV 文件 (*.csv)"); }
// %1: the file; %2: the reason.
inline QString ExportFailed() { return QCoreApplication::translate("UiText", "无法保存 %1:\n%2"); }
inline QString ReadFailed() { return QCoreApplication::translate("UiText", "无法读取 %1:\n%2"); }

// The DHCP cell in export and plan files: the same in every language.
inline QString DhcpOn() { return Get("启用"); }
inline QString DhcpOff() { return Get("禁用"); }
// The DHCP cell as the table shows it.
inline QString DhcpOnShown() { return QCoreApplication::translate("UiText", "启用"); }
inline QString DhcpOffShown() { return QCoreApplication::translate("UiText", "禁用"); }

inline QString BoxTitle() { return QCoreApplication::translate("UiText", "提示"); }
inline QString ConfirmTitle() { return QCoreApplication::translate("UiText", "警告"); }
inline QString ConfirmReboot() { return QCoreApplication::translate("UiText", "是否确认重启此设备!"); }
inline QString ConfirmOk() { return QCoreApplication::translate("UiText", "确定"); }
inline QString ConfirmCancel() { return QCoreApplication::translate("UiText", "取消"); }
inline QString ConnectFailed() { return QCoreApplication::translate("UiText", "连接失败!"); }
inline QString Succeeded() { return QCoreApplication::translate("UiText", "执行成功!"); }
inline QString Failed() { return QCoreApplication::translate("UiText", "执行失败!"); }
// Exact delivery to a device whose address others share (device/Delivery.h).
inline QString Withheld() { return QCoreApplication::translate("UiText", "未发送: 此地址的另一台设备代其应答"); }
// A withheld request: the helper's refusal when it refused it, else the neighbour
// table's turn that never came.
inline QString WithheldBecause(const QString &refusal)
{
    return refusal.isEmpty() ? Withheld() : DestinationRefused().arg(refusal);
}
// %1: the way, DeliveryWayText.
inline QString DeliveredWay() { return QCoreApplication::translate("UiText", "多台设备使用此地址, 命令%1"); }
// New settings that break a rule; %1: the rules broken, one a line.
inline QString ConfirmSettingIssues()
{
    return QCoreApplication::translate("UiText", "新设置可能使设备无法访问:\n%1\n\n是否仍然发送?");
}
inline QString BadField() { return QCoreApplication::translate("UiText", "格式错误!请输入正确的值!"); }

} // namespace UiText

// The batch window.
namespace UiText {

inline QString MenuBatch() { return QCoreApplication::translate("UiText", "批量修改..."); }
inline QString BatchTitle() { return QCoreApplication::translate("UiText", "批量修改"); }
inline QString BatchAll() { return QCoreApplication::translate("UiText", "全选"); }
inline QString BatchNone() { return QCoreApplication::translate("UiText", "全不选"); }
inline QString BatchForeignOnly() { return QCoreApplication::translate("UiText", "仅异网段"); }
inline QString BatchConflictOnly() { return QCoreApplication::translate("UiText", "仅冲突"); }
inline QString BatchDhcp() { return QCoreApplication::translate("UiText", "启用DHCP"); }
inline QString BatchStart() { return QCoreApplication::translate("UiText", "起始地址"); }
inline QString BatchImport() { return QCoreApplication::translate("UiText", "导入计划..."); }
inline QString BatchApply() { return QCoreApplication::translate("UiText", "应用"); }
inline QString BatchSave() { return QCoreApplication::translate("UiText", "保存结果..."); }
inline QString BatchClose() { return QCoreApplication::translate("UiText", "关闭"); }
inline QString BatchForeignMark() { return QCoreApplication::translate("UiText", "异网段"); }
inline QString BatchConflictMark() { return QCoreApplication::translate("UiText", "冲突"); }
inline QString BatchForeignTip() { return QCoreApplication::translate("UiText", "设备地址不在接收网卡的任何子网内"); }
// %1: "address MAC" of the other devices with the serial number; %2: other serial numbers at the address.
inline QString BatchSameSerialTip() { return QCoreApplication::translate("UiText", "相同序列号: %1"); }
inline QString BatchSameAddressTip() { return QCoreApplication::translate("UiText", "相同地址: %1"); }
inline QString BatchPlanTitle() { return QCoreApplication::translate("UiText", "导入计划"); }
inline QString BatchPlanFromFile() { return QCoreApplication::translate("UiText", "计划: %1"); }
// `count`: the number of devices to be sent new settings.
inline QString BatchConfirm(int count)
{
    return QCoreApplication::translate("UiText", "是否确认修改 %n 台设备的网络配置?", nullptr, count);
}
inline QString BatchNothingToSend() { return QCoreApplication::translate("UiText", "没有需要修改的设备。"); }
// %1: the problems, one a line.
inline QString BatchRefused() { return QCoreApplication::translate("UiText", "计划有误, 未发送任何请求:\n%1"); }
// The status column's title in a saved results file: the same in every language.
inline QString BatchStatusTitle() { return Get("状态"); }
inline QString BatchProgress() { return QCoreApplication::translate("UiText", "进度"); }
inline QString BatchDhcpPreview() { return QCoreApplication::translate("UiText", "DHCP"); }

} // namespace UiText

namespace UiText {
// %1: the serial numbers of plan rows without a device (or with several).
inline QString BatchPlanUnmatched() { return QCoreApplication::translate("UiText", "以下计划行未发送: %1"); }
inline QString BatchPlanProblemLine() { return QCoreApplication::translate("UiText", "第 %1 行: %2"); }
} // namespace UiText
