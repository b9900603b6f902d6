<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en" sourcelanguage="zh_CN">
<context>
    <name>BatchModel</name>
    <message>
        <source>设备序列号</source>
        <translation>Serial number</translation>
    </message>
    <message>
        <source>物理地址</source>
        <translation>MAC address</translation>
    </message>
    <message>
        <source>当前地址</source>
        <translation>Current address</translation>
    </message>
    <message>
        <source>标记</source>
        <translation>Marks</translation>
    </message>
    <message>
        <source>新地址</source>
        <translation>New address</translation>
    </message>
    <message>
        <source>状态</source>
        <translation>Status</translation>
    </message>
</context>
<context>
    <name>BatchStatus</name>
    <message>
        <source>无需修改</source>
        <translation>No change</translation>
    </message>
    <message>
        <source>未找到</source>
        <translation>Not found</translation>
    </message>
    <message>
        <source>序列号重复</source>
        <translation>Duplicate serial number</translation>
    </message>
    <message>
        <source>身份冲突</source>
        <translation>Identity conflict</translation>
    </message>
    <message>
        <source>目标地址未释放</source>
        <translation>Address not freed</translation>
    </message>
    <message>
        <source>等待</source>
        <translation>Waiting</translation>
    </message>
    <message>
        <source>发送中</source>
        <translation>Sending</translation>
    </message>
    <message>
        <source>已应答</source>
        <translation>Acknowledged</translation>
    </message>
    <message>
        <source>已验证</source>
        <translation>Verified</translation>
    </message>
    <message>
        <source>被拒绝</source>
        <translation>Refused</translation>
    </message>
    <message>
        <source>未确认</source>
        <translation>Not confirmed</translation>
    </message>
    <message>
        <source>无可用地址</source>
        <translation>No free address</translation>
    </message>
    <message>
        <source>此地址的另一台设备代其应答</source>
        <translation>Another device at this address answers for it</translation>
    </message>
    <message>
        <source>另一台设备出现在计划地址</source>
        <translation>Another device showed up at the planned address</translation>
    </message>
    <message>
        <source>此地址已停止</source>
        <translation>Stopped for this address</translation>
    </message>
    <message>
        <source>未发送</source>
        <translation>Not sent</translation>
    </message>
</context>
<context>
    <name>BatchWindow</name>
    <message>
        <source>表头缺少列 %1</source>
        <translation>header lacks column %1</translation>
    </message>
    <message>
        <source>引号未闭合</source>
        <translation>unclosed quote</translation>
    </message>
    <message>
        <source>列数与表头不符</source>
        <translation>number of fields does not match the header</translation>
    </message>
    <message>
        <source>缺少设备序列号</source>
        <translation>serial number missing</translation>
    </message>
    <message>
        <source>DHCP 值 &quot;%1&quot; 无效</source>
        <translation>invalid DHCP value &quot;%1&quot;</translation>
    </message>
    <message>
        <source>%1 不是 IPv4 地址</source>
        <translation>%1 is not an IPv4 address</translation>
    </message>
    <message>
        <source>序列号 %1 重复</source>
        <translation>serial number %1 appears twice</translation>
    </message>
    <message>
        <source>行数超过 %1</source>
        <translation>more than %1 rows</translation>
    </message>
    <message>
        <source>文件超过 %1 字节</source>
        <translation>file larger than %1 bytes</translation>
    </message>
    <message>
        <source>含有 NUL 字节或非 UTF-8 字节</source>
        <translation>holds a NUL byte or bytes that are not UTF-8</translation>
    </message>
    <message>
        <source>表头重复列 %1</source>
        <translation>the header names column %1 twice</translation>
    </message>
</context>
<context>
    <name>BrenuSearchTools</name>
    <message>
        <source>无法搜索</source>
        <translation>Cannot search</translation>
    </message>
    <message>
        <source>没有一个搜索端口能打开，每 5 秒重试：
</source>
        <translation>No search port could be opened; retrying every 5 s:
</translation>
    </message>
    <message>
        <source>端口 19009 被占用</source>
        <translation>Port 19009 in use</translation>
    </message>
    <message>
        <source>已改用其他端口搜索；只回复到端口 19009 的设备收不到：
</source>
        <translation>Searching from another port; devices that only reply to port 19009 are missed:
</translation>
    </message>
    <message>
        <source>筛选: 序列号、地址、物理地址、描述 (Ctrl+F)</source>
        <translation>Filter: serial number, address, MAC, description (Ctrl+F)</translation>
    </message>
    <message>
        <source>筛选设备</source>
        <translation>Filter devices</translation>
    </message>
    <message>
        <source>只显示序列号、地址、物理地址或描述包含此文本的设备</source>
        <translation>Shows only devices whose serial number, address, MAC address or description contains this text</translation>
    </message>
    <message>
        <source>清空列表并重新搜索 (F5)</source>
        <translation>Clear the list and search again (F5)</translation>
    </message>
    <message>
        <source>设备总数</source>
        <translation>Device count</translation>
    </message>
    <message>
        <source>设备列表</source>
        <translation>Device list</translation>
    </message>
    <message>
        <source>回车: 修改配置; 菜单键: 更多操作</source>
        <translation>Return: change settings; Menu key: more actions</translation>
    </message>
    <message>
        <source>重启选中的设备</source>
        <translation>Reboot the selected device</translation>
    </message>
    <message>
        <source>打开网页</source>
        <translation>Open web page</translation>
    </message>
    <message>
        <source>无法打开网页 %1: 没有可用的浏览器 (需要 xdg-utils 和默认浏览器)</source>
        <translation>Cannot open web page %1: no browser available (xdg-utils and a default browser are needed)</translation>
    </message>
    <message>
        <source>清除筛选</source>
        <translation>Clear filter</translation>
    </message>
    <message>
        <source>清除筛选 (Esc)</source>
        <translation>Clear filter (Esc)</translation>
    </message>
    <message>
        <source>搜索状态</source>
        <translation>Search state</translation>
    </message>
    <message numerus="yes">
        <source>已列出 %n 台设备</source>
        <translation>
            <numerusform>%n device listed</numerusform>
            <numerusform>%n devices listed</numerusform>
        </translation>
    </message>
    <message numerus="yes">
        <source>显示 %n 台设备</source>
        <translation>
            <numerusform>%n device shown</numerusform>
            <numerusform>%n devices shown</numerusform>
        </translation>
    </message>
    <message>
        <source>搜索网段…</source>
        <translation>Search ranges…</translation>
    </message>
    <message>
        <source>搜索路由器后面的网段</source>
        <translation>Search subnets behind routers</translation>
    </message>
    <message>
        <source>防火墙可能拦截了设备的应答</source>
        <translation>A firewall may be blocking the devices&apos; answers</translation>
    </message>
    <message>
        <source>网卡 %1 没有收到任何应答, 而本机防火墙丢弃了 %2 个传入的数据包。
请放行 UDP 端口 19009:
%3</source>
        <translation>No answer on %1 while this machine&apos;s firewall dropped %2 incoming packet(s).
Open UDP port 19009:
%3</translation>
    </message>
</context>
<context>
    <name>BrenuSearchToolsClass</name>
    <message>
        <source>BRENU搜索工具</source>
        <translation>BRENU Search Tools</translation>
    </message>
    <message>
        <source>设备总数:</source>
        <translation>Devices:</translation>
    </message>
    <message>
        <source>重启</source>
        <translation>Reboot</translation>
    </message>
    <message>
        <source>刷新</source>
        <translation>Refresh</translation>
    </message>
</context>
<context>
    <name>Delivery</name>
    <message>
        <source>按MAC地址发送 (brenu-link-send)</source>
        <translation>sent by MAC address (brenu-link-send)</translation>
    </message>
    <message>
        <source>按邻居表逐台发送</source>
        <translation>sent one at a time by the neighbour table</translation>
    </message>
</context>
<context>
    <name>DeviceColumn</name>
    <message>
        <source>设备序列号</source>
        <translation>Serial number</translation>
    </message>
    <message>
        <source>IPv4地址</source>
        <translation>IPv4 address</translation>
    </message>
    <message>
        <source>端口</source>
        <translation>Port</translation>
    </message>
    <message>
        <source>DHCP</source>
        <translation>DHCP</translation>
    </message>
    <message>
        <source>子网掩码</source>
        <translation>Subnet mask</translation>
    </message>
    <message>
        <source>默认网关</source>
        <translation>Gateway</translation>
    </message>
    <message>
        <source>DNS服务器</source>
        <translation>DNS server</translation>
    </message>
    <message>
        <source>物理地址</source>
        <translation>MAC address</translation>
    </message>
    <message>
        <source>描述</source>
        <translation>Description</translation>
    </message>
</context>
<context>
    <name>DeviceText</name>
    <message>
        <source>%1 是未指定地址</source>
        <comment>%1 is the unspecified address</comment>
        <translation>%1 is the unspecified address</translation>
    </message>
    <message>
        <source>%1 是环回地址</source>
        <comment>%1 is a loopback address</comment>
        <translation>%1 is a loopback address</translation>
    </message>
    <message>
        <source>%1 是组播或保留地址</source>
        <comment>%1 is a multicast or reserved address</comment>
        <translation>%1 is a multicast or reserved address</translation>
    </message>
    <message>
        <source>%1 是广播地址</source>
        <comment>%1 is the broadcast address</comment>
        <translation>%1 is the broadcast address</translation>
    </message>
    <message>
        <source>%1 是 %2 的网络地址</source>
        <comment>%1 is the network address of %2</comment>
        <translation>%1 is the network address of %2</translation>
    </message>
    <message>
        <source>%1 是 %2 的广播地址</source>
        <comment>%1 is the broadcast address of %2</comment>
        <translation>%1 is the broadcast address of %2</translation>
    </message>
    <message>
        <source>%1 是本机的地址</source>
        <comment>%1 is an address of this machine</comment>
        <translation>%1 is an address of this machine</translation>
    </message>
    <message>
        <source>%1 不是子网掩码 (其中为 1 的位必须连续, 且不能全为 0)</source>
        <comment>%1 is not a subnet mask (its one bits must be contiguous, and there must be some)</comment>
        <translation>%1 is not a subnet mask (its one bits must be contiguous, and there must be some)</translation>
    </message>
    <message>
        <source>网关 %1 不在 %2 内</source>
        <comment>gateway %1 lies outside %2</comment>
        <translation>gateway %1 lies outside %2</translation>
    </message>
    <message>
        <source>第 %1 行 </source>
        <comment>line %1 </comment>
        <translation>line %1 </translation>
    </message>
    <message>
        <source>这些行的地址循环互换, 没有一行能先执行: %1; 请先将其中一台改到空闲的临时地址</source>
        <comment>these rows swap addresses in a ring and none can go first: %1; move one to a free temporary address first</comment>
        <translation>these rows swap addresses in a ring and none can go first: %1; move one to a free temporary address first</translation>
    </message>
    <message>
        <source>%1 和 %2 都以其序列号和MAC应答, 无法确定哪个是设备本身</source>
        <comment>%1 and %2 both answer with its serial number and MAC; which is the device cannot be told</comment>
        <translation>%1 and %2 both answer with its serial number and MAC; which is the device cannot be told</translation>
    </message>
    <message>
        <source>另一台使用此序列号的设备也从 %1 应答</source>
        <comment>another device with this serial number answers from %1 too</comment>
        <translation>another device with this serial number answers from %1 too</translation>
    </message>
    <message>
        <source>设备声明的端口 %1 无法接收命令</source>
        <comment>the device announces port %1, which cannot take commands</comment>
        <translation>the device announces port %1, which cannot take commands</translation>
    </message>
    <message>
        <source>&apos;%1&apos; 不是 IPv4 地址</source>
        <comment>&apos;%1&apos; is not an IPv4 address</comment>
        <translation>&apos;%1&apos; is not an IPv4 address</translation>
    </message>
    <message>
        <source>地址 &apos;%1&apos; 不是点分十进制 IPv4 地址</source>
        <comment>address &apos;%1&apos; is not a dotted IPv4 address</comment>
        <translation>address &apos;%1&apos; is not a dotted IPv4 address</translation>
    </message>
    <message>
        <source>%1 也计划分配给 %2</source>
        <comment>%1 is also planned for %2</comment>
        <translation>%1 is also planned for %2</translation>
    </message>
    <message>
        <source>%1 是 %2 的地址</source>
        <comment>%1 is the address of %2</comment>
        <translation>%1 is the address of %2</translation>
    </message>
    <message>
        <source>%1 属于 0.0.0.0/8, 不指向任何主机</source>
        <comment>%1 is in 0.0.0.0/8, which names no host</comment>
        <translation>%1 is in 0.0.0.0/8, which names no host</translation>
    </message>
    <message>
        <source>%1 是 %2 所在网段的网络地址</source>
        <comment>%1 is the network address of the subnet of %2</comment>
        <translation>%1 is the network address of the subnet of %2</translation>
    </message>
    <message>
        <source>%1 是 %2 所在网段的广播地址</source>
        <comment>%1 is the broadcast address of the subnet of %2</comment>
        <translation>%1 is the broadcast address of the subnet of %2</translation>
    </message>
    <message>
        <source>不是普通文件</source>
        <comment>not a regular file</comment>
        <translation>not a regular file</translation>
    </message>
    <message>
        <source>已中断</source>
        <comment>interrupted</comment>
        <translation>interrupted</translation>
    </message>
    <message>
        <source>第 %1 行: </source>
        <comment>line %1: </comment>
        <translation>line %1: </translation>
    </message>
    <message>
        <source>表头没有 &apos;%1&apos; 列 (应为导出文件的列标题, 或 serialNo,address,subnetMask,gateway,dns,dhcp[,mac])</source>
        <comment>the header has no column &apos;%1&apos; (expected the export&apos;s titles or serialNo,address,subnetMask,gateway,dns,dhcp[,mac])</comment>
        <translation>the header has no column &apos;%1&apos; (expected the export&apos;s titles or serialNo,address,subnetMask,gateway,dns,dhcp[,mac])</translation>
    </message>
    <message>
        <source>引号字段没有结束</source>
        <comment>a quoted field is not closed</comment>
        <translation>a quoted field is not closed</translation>
    </message>
    <message>
        <source>字段数与表头不一致</source>
        <comment>the number of fields differs from the header</comment>
        <translation>the number of fields differs from the header</translation>
    </message>
    <message>
        <source>没有序列号</source>
        <comment>no serial number</comment>
        <translation>no serial number</translation>
    </message>
    <message>
        <source>DHCP &apos;%1&apos; 不是 启用/禁用, true/false, on/off 之一</source>
        <comment>DHCP &apos;%1&apos; is none of 启用/禁用, true/false, on/off</comment>
        <translation>DHCP &apos;%1&apos; is none of 启用/禁用, true/false, on/off</translation>
    </message>
    <message>
        <source>%1 不是 IPv4 地址</source>
        <comment>%1 is not an IPv4 address</comment>
        <translation>%1 is not an IPv4 address</translation>
    </message>
    <message>
        <source>序列号 %1 已在前面的行中计划</source>
        <comment>serial number %1 is already planned on an earlier line</comment>
        <translation>serial number %1 is already planned on an earlier line</translation>
    </message>
    <message>
        <source>超过 %1 行</source>
        <comment>more than %1 rows</comment>
        <translation>more than %1 rows</translation>
    </message>
    <message>
        <source>文件大于 %1 字节</source>
        <comment>the file is larger than %1 bytes</comment>
        <translation>the file is larger than %1 bytes</translation>
    </message>
    <message>
        <source>含有 NUL 字节或非 UTF-8 字节</source>
        <comment>a NUL byte or bytes that are not UTF-8</comment>
        <translation>a NUL byte or bytes that are not UTF-8</translation>
    </message>
    <message>
        <source>表头中 &apos;%1&apos; 列出现两次</source>
        <comment>the header names column &apos;%1&apos; twice</comment>
        <translation>the header names column &apos;%1&apos; twice</translation>
    </message>
    <message>
        <source>显示新设置的应答来源不明</source>
        <comment>the answer showing the new settings came from an unknown source</comment>
        <translation>the answer showing the new settings came from an unknown source</translation>
    </message>
    <message>
        <source>显示新设置的应答来自 %1, 而非新地址 %2</source>
        <comment>the answer showing the new settings came from %1, not from the new address %2</comment>
        <translation>the answer showing the new settings came from %1, not from the new address %2</translation>
    </message>
    <message>
        <source>显示已启用DHCP的应答来自 %1, 而非设备声明的地址 %2</source>
        <comment>the answer showing DHCP on came from %1, not from the address %2 it announces</comment>
        <translation>the answer showing DHCP on came from %1, not from the address %2 it announces</translation>
    </message>
    <message>
        <source>显示已启用DHCP的应答来自 %1, 不在 %2 的任何网段内</source>
        <comment>the answer showing DHCP on came from %1, outside every subnet of %2</comment>
        <translation>the answer showing DHCP on came from %1, outside every subnet of %2</translation>
    </message>
    <message>
        <source>另一个来源地址也以此设备的序列号和MAC应答</source>
        <comment>another source address answers with the device&apos;s serial number and MAC</comment>
        <translation>another source address answers with the device&apos;s serial number and MAC</translation>
    </message>
    <message>
        <source>显示已启用DHCP的应答来自 %1, 其在 %2 上的MAC尚未解析 (设备的MAC为 %3)</source>
        <comment>the answer showing DHCP on came from %1, whose MAC on %2 has not been resolved (the device&apos;s MAC is %3)</comment>
        <translation>the answer showing DHCP on came from %1, whose MAC on %2 has not been resolved (the device&apos;s MAC is %3)</translation>
    </message>
    <message>
        <source>显示已启用DHCP的应答来自 %1, 其在 %2 上的MAC为 %3, 而非设备的MAC %4</source>
        <comment>the answer showing DHCP on came from %1, whose MAC on %2 is %3, not the device&apos;s MAC %4</comment>
        <translation>the answer showing DHCP on came from %1, whose MAC on %2 is %3, not the device&apos;s MAC %4</translation>
    </message>
    <message>
        <source>设备的 MAC 地址不是单播地址</source>
        <comment>the device&apos;s MAC is no unicast MAC</comment>
        <translation>the device&apos;s MAC is no unicast MAC</translation>
    </message>
    <message>
        <source>设备地址不是其网卡某一网段内的主机</source>
        <comment>the device&apos;s address is no host of a subnet of its interface</comment>
        <translation>the device&apos;s address is no host of a subnet of its interface</translation>
    </message>
    <message>
        <source>网卡已不存在或不是以太网卡</source>
        <comment>the interface is gone or is no Ethernet interface</comment>
        <translation>the interface is gone or is no Ethernet interface</translation>
    </message>
    <message>
        <source>命令套接字的地址不在设备的网卡上</source>
        <comment>the command socket&apos;s address is not on the device&apos;s interface</comment>
        <translation>the command socket&apos;s address is not on the device&apos;s interface</translation>
    </message>
    <message>
        <source>命令套接字无法交给 brenu-link-send</source>
        <comment>the command socket could not be handed to brenu-link-send</comment>
        <translation>the command socket could not be handed to brenu-link-send</translation>
    </message>
    <message>
        <source>请求超出一个帧的长度</source>
        <comment>the request does not fit one frame</comment>
        <translation>the request does not fit one frame</translation>
    </message>
    <message>
        <source>brenu-link-send 缺少 cap_net_raw 能力</source>
        <comment>brenu-link-send lacks the capability cap_net_raw</comment>
        <translation>brenu-link-send lacks the capability cap_net_raw</translation>
    </message>
    <message>
        <source>内核拒绝发送该帧</source>
        <comment>the kernel refused the frame</comment>
        <translation>the kernel refused the frame</translation>
    </message>
    <message>
        <source>无法运行 brenu-link-send</source>
        <comment>brenu-link-send could not be run</comment>
        <translation>brenu-link-send could not be run</translation>
    </message>
    <message>
        <source>brenu-link-send 失败 (状态 %1)</source>
        <comment>brenu-link-send failed (status %1)</comment>
        <translation>brenu-link-send failed (status %1)</translation>
    </message>
</context>
<context>
    <name>QBrenuInfo</name>
    <message>
        <source>详情</source>
        <translation>Details</translation>
    </message>
    <message>
        <source>保存</source>
        <translation>Save</translation>
    </message>
    <message>
        <source>关闭</source>
        <translation>Close</translation>
    </message>
    <message>
        <source>序列号:</source>
        <translation>Serial number:</translation>
    </message>
    <message>
        <source>DNS 服务器:</source>
        <translation>DNS server:</translation>
    </message>
    <message>
        <source>启用DHCP(自动获取IP地址)</source>
        <translation>Use DHCP (obtain an address automatically)</translation>
    </message>
    <message>
        <source>IP地址:</source>
        <translation>IP address:</translation>
    </message>
    <message>
        <source>子网掩码:</source>
        <translation>Subnet mask:</translation>
    </message>
    <message>
        <source>默认网关:</source>
        <translation>Gateway:</translation>
    </message>
    <message>
        <source>物理地址:</source>
        <translation>MAC address:</translation>
    </message>
    <message>
        <source>描述:</source>
        <translation>Description:</translation>
    </message>
</context>
<context>
    <name>SearchRangesDialog</name>
    <message>
        <source>搜索网段</source>
        <translation>Search ranges</translation>
    </message>
    <message>
        <source>路由器后面的设备收不到广播。在此添加它们所在的网段, 本机会向其中每个地址单独发送搜索请求。</source>
        <translation>Devices behind a router do not receive broadcasts. Add their subnets here, and this machine sends a search request to each of their addresses.</translation>
    </message>
    <message>
        <source>勾选的网段会被搜索</source>
        <translation>The ranges checked are searched</translation>
    </message>
    <message>
        <source>例如 10.78.5.0/24 或 10.78.5.10-10.78.5.99</source>
        <translation>for example 10.78.5.0/24 or 10.78.5.10-10.78.5.99</translation>
    </message>
    <message>
        <source>新网段</source>
        <translation>New range</translation>
    </message>
    <message>
        <source>添加</source>
        <translation>Add</translation>
    </message>
    <message>
        <source>删除</source>
        <translation>Remove</translation>
    </message>
    <message>
        <source>每秒请求数:</source>
        <translation>Requests per second:</translation>
    </message>
    <message>
        <source>每秒请求数</source>
        <translation>Requests per second</translation>
    </message>
    <message>
        <source>无法搜索 %1: %2</source>
        <translation>Cannot search %1: %2</translation>
    </message>
    <message>
        <source>无法搜索 %1</source>
        <translation>Cannot search %1</translation>
    </message>
    <message>
        <source>不是网段 (应写作 10.78.5.0/24 或 10.78.5.10-10.78.5.99)</source>
        <translation>not a range (10.78.5.0/24 or 10.78.5.10-10.78.5.99)</translation>
    </message>
    <message>
        <source>前缀长度须在 0 到 32 之间</source>
        <translation>the prefix length must be 0 to 32</translation>
    </message>
    <message>
        <source>起始地址大于结束地址</source>
        <translation>its first address lies above its last</translation>
    </message>
    <message>
        <source>包含 0.0.0.0/8 的地址, 它们不指向任何主机</source>
        <translation>it holds addresses of 0.0.0.0/8, which name no host</translation>
    </message>
    <message>
        <source>包含环回地址 (127.0.0.0/8)</source>
        <translation>it holds loopback addresses (127.0.0.0/8)</translation>
    </message>
    <message>
        <source>包含组播地址 (224.0.0.0/4)</source>
        <translation>it holds multicast addresses (224.0.0.0/4)</translation>
    </message>
    <message>
        <source>包含 255.255.255.255, 搜索本来就会发送这个广播</source>
        <translation>it holds 255.255.255.255, the broadcast the search sends anyway</translation>
    </message>
    <message>
        <source>包含的地址多于 %1 个</source>
        <extracomment>%1: the most addresses a range may hold</extracomment>
        <translation>it holds more than %1 addresses</translation>
    </message>
    <message>
        <source>所有网段合计将包含多于 %1 个地址</source>
        <extracomment>%1: the most addresses all ranges together may hold</extracomment>
        <translation>all ranges together would hold more than %1 addresses</translation>
    </message>
    <message>
        <source>包含本机地址 %1</source>
        <extracomment>%1: an address of this machine that the range holds</extracomment>
        <translation>it holds %1, an address of this machine</translation>
    </message>
</context>
<context>
    <name>UiText</name>
    <message>
        <source>修改配置</source>
        <translation>Change settings...</translation>
    </message>
    <message>
        <source>重启设备</source>
        <translation>Reboot device</translation>
    </message>
    <message>
        <source>复制</source>
        <translation>Copy</translation>
    </message>
    <message>
        <source>导出列表...</source>
        <translation>Export list...</translation>
    </message>
    <message>
        <source>最后应答: %1</source>
        <translation>Last answer: %1</translation>
    </message>
    <message>
        <source>序列号冲突: %1 台设备使用此序列号 (%2)</source>
        <translation>Serial number conflict: %1 devices use this serial number (%2)</translation>
    </message>
    <message numerus="yes">
        <source>地址冲突: 序列号 %1 使用同一地址</source>
        <translation>
            <numerusform>Address conflict: serial number %1 uses the same address.</numerusform>
            <numerusform>Address conflict: serial numbers %1 use the same address.</numerusform>
        </translation>
    </message>
    <message>
        <source>身份冲突: 其他来源地址也以此序列号和MAC应答 (%1)</source>
        <translation>Identity conflict: other source addresses also answer with this serial number and MAC (%1)</translation>
    </message>
    <message>
        <source>应答来自 %1, 而非设备声明的地址 %2; 命令仍发往声明的地址</source>
        <translation>The answer came from %1, not from the address %2 the device announces; commands still go to the announced address</translation>
    </message>
    <message>
        <source>未发送: 多个来源地址以此设备的序列号和MAC应答 (%1), 无法确定哪个是设备本身</source>
        <translation>Not sent: several source addresses answer with this device&apos;s serial number and MAC (%1); which one is the device cannot be told</translation>
    </message>
    <message>
        <source>未发送: %1</source>
        <translation>Not sent: %1</translation>
    </message>
    <message>
        <source>设备不在网卡 %1 的任何网段内 (由本机地址 %2 发现), 命令经该网卡直接发送</source>
        <translation>Device is outside every subnet of interface %1 (found by local address %2); commands go directly through that interface</translation>
    </message>
    <message>
        <source>设置已生效: 设备对命令的应答丢失, 但随后的搜索显示了新设置</source>
        <translation>Settings applied: the device&apos;s reply to the command was lost, but the next search shows the new settings</translation>
    </message>
    <message>
        <source>等另外 %1 项</source>
        <translation>and %1 more</translation>
    </message>
    <message>
        <source>应答的设备多于表格可容纳的 %1 台, 另有 %2 台未显示。点击&quot;刷新&quot;清空表格。</source>
        <translation>More devices answered than the table holds (%1); %2 more are not shown. Click &quot;Refresh&quot; to clear the table.</translation>
    </message>
    <message>
        <source>导出列表</source>
        <translation>Export list</translation>
    </message>
    <message>
        <source>CSV 文件 (*.csv)</source>
        <translation>CSV files (*.csv)</translation>
    </message>
    <message>
        <source>无法保存 %1:
%2</source>
        <translation>Cannot save %1:
%2</translation>
    </message>
    <message>
        <source>无法读取 %1:
%2</source>
        <translation>Cannot read %1:
%2</translation>
    </message>
    <message>
        <source>启用</source>
        <translation>On</translation>
    </message>
    <message>
        <source>禁用</source>
        <translation>Off</translation>
    </message>
    <message>
        <source>提示</source>
        <translation>Information</translation>
    </message>
    <message>
        <source>警告</source>
        <translation>Warning</translation>
    </message>
    <message>
        <source>是否确认重启此设备!</source>
        <translation>Reboot this device?</translation>
    </message>
    <message>
        <source>确定</source>
        <translation>OK</translation>
    </message>
    <message>
        <source>取消</source>
        <translation>Cancel</translation>
    </message>
    <message>
        <source>连接失败!</source>
        <translation>Connection failed!</translation>
    </message>
    <message>
        <source>执行成功!</source>
        <translation>Done!</translation>
    </message>
    <message>
        <source>执行失败!</source>
        <translation>Failed!</translation>
    </message>
    <message>
        <source>格式错误!请输入正确的值!</source>
        <translation>Invalid format! Please enter a valid value!</translation>
    </message>
    <message>
        <source>批量修改...</source>
        <translation>Batch change...</translation>
    </message>
    <message>
        <source>批量修改</source>
        <translation>Batch change</translation>
    </message>
    <message>
        <source>全选</source>
        <translation>Select all</translation>
    </message>
    <message>
        <source>全不选</source>
        <translation>Select none</translation>
    </message>
    <message>
        <source>仅异网段</source>
        <translation>Foreign subnet only</translation>
    </message>
    <message>
        <source>仅冲突</source>
        <translation>Conflicts only</translation>
    </message>
    <message>
        <source>启用DHCP</source>
        <translation>Use DHCP</translation>
    </message>
    <message>
        <source>起始地址</source>
        <translation>Start address</translation>
    </message>
    <message>
        <source>导入计划...</source>
        <translation>Import plan...</translation>
    </message>
    <message>
        <source>应用</source>
        <translation>Apply</translation>
    </message>
    <message>
        <source>保存结果...</source>
        <translation>Save results...</translation>
    </message>
    <message>
        <source>关闭</source>
        <translation>Close</translation>
    </message>
    <message>
        <source>异网段</source>
        <translation>Foreign subnet</translation>
    </message>
    <message>
        <source>冲突</source>
        <translation>Conflict</translation>
    </message>
    <message>
        <source>设备地址不在接收网卡的任何子网内</source>
        <translation>Device address is outside every subnet of the receiving interface</translation>
    </message>
    <message>
        <source>相同序列号: %1</source>
        <translation>Same serial number: %1</translation>
    </message>
    <message>
        <source>相同地址: %1</source>
        <translation>Same address: %1</translation>
    </message>
    <message>
        <source>导入计划</source>
        <translation>Import plan</translation>
    </message>
    <message>
        <source>计划: %1</source>
        <translation>Plan: %1</translation>
    </message>
    <message>
        <source>没有需要修改的设备。</source>
        <translation>No device needs a change.</translation>
    </message>
    <message>
        <source>计划有误, 未发送任何请求:
%1</source>
        <translation>The plan has errors; no request was sent:
%1</translation>
    </message>
    <message>
        <source>DHCP</source>
        <translation>DHCP</translation>
    </message>
    <message>
        <source>以下计划行未发送: %1</source>
        <translation>These plan rows were not sent: %1</translation>
    </message>
    <message>
        <source>第 %1 行: %2</source>
        <translation>Line %1: %2</translation>
    </message>
    <message>
        <source>未发送: 此地址的另一台设备代其应答</source>
        <translation>Not sent: another device at this address answers for it</translation>
    </message>
    <message>
        <source>多台设备使用此地址, 命令%1</source>
        <translation>Several devices use this address; the command was %1</translation>
    </message>
    <message numerus="yes">
        <source>是否确认修改 %n 台设备的网络配置?</source>
        <translation>
            <numerusform>Change the network settings of %n device?</numerusform>
            <numerusform>Change the network settings of %n devices?</numerusform>
        </translation>
    </message>
    <message>
        <source>进度</source>
        <translation>Progress</translation>
    </message>
    <message>
        <source>设备发送的文字不是 UTF-8, 按 GB18030 显示 (%1); 修改设置时原样发回</source>
        <translation>The device sent texts that are not UTF-8, shown as GB18030 (%1); changes of settings send them back unchanged</translation>
    </message>
    <message>
        <source>新设置可能使设备无法访问:
%1

是否仍然发送?</source>
        <translation>The new settings may leave the device unreachable:
%1

Send them anyway?</translation>
    </message>
    <message>
        <source>设备在路由器后面 (通过搜索网段发现, 本机地址 %1), 命令经路由发送</source>
        <translation>The device is behind a router (found through a search range, from local address %1); commands go through the router</translation>
    </message>
</context>
</TS>
