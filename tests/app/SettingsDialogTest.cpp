// The settings dialog: its form, the DHCP switch, the checks before sending, the
// update request as the device receives it, and the verdicts (brenu-devsim plays
// the device in the sandbox).
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTextEdit>

#include "AppTestSupport.h"
#include "QtPrinters.h"
#include "app/QBrenuInfo.h"
#include "device/DeviceText.h"
#include "device/SaidText.h"

namespace {

QString U(const char *text) { return QString::fromUtf8(text); }

class DialogTest : public WindowTest {
protected:
    void SetUp() override
    {
        WindowTest::SetUp();
        if (!HasFatalFailure())
            dialog = std::make_unique<QBrenuInfo>(nullptr);
    }
    void TearDown() override
    {
        dialog.reset();
        WindowTest::TearDown();
    }

    // A device SN1 at 10.77.0.2:8001, with the faults given.
    void StartDevice(const std::string &faults = "")
    {
        std::vector<std::string> options{"--device", "serial=SN1,address=10.77.0.2,port=8001"};
        if (!faults.empty())
            options.insert(options.end(), {"--fault", faults});
        device = std::make_unique<Simulator>(*net, options);
        ASSERT_TRUE(device->Ready());
    }
    void Load(const char *dhcp, const QString &address = "10.77.0.2", const QString &port = "8001",
              const QString &description = U("仓库"))
    {
        dialog->SetDeviceInfo("SN1", address, port, U(dhcp), "255.255.255.0", "10.77.0.254", "10.77.0.253",
                              "02:00:00:00:00:01", description);
    }
    QLineEdit *Edit(const char *name) const { return dialog->findChild<QLineEdit *>(name); }
    QCheckBox *Dhcp() const { return dialog->findChild<QCheckBox *>("cb_dhcp"); }
    void Save() { dialog->findChild<QPushButton *>("btn_save")->click(); }
    std::vector<std::string> Sent(int *empties = nullptr) const
    {
        return device->Received("10.77.0.2:8001", empties);
    }

    std::unique_ptr<QBrenuInfo> dialog;
    std::unique_ptr<Simulator> device;
};

TEST_F(DialogTest, FormHasTheListedGridTextsAndFocusOrder)
{
    EXPECT_EQ(dialog->objectName(), "QBrenuInfo");
    EXPECT_EQ(dialog->windowTitle(), U("详情"));
    EXPECT_EQ(dialog->minimumSize(), QSize(583, 485));
    EXPECT_EQ(dialog->maximumSize(), QSize(583, 485));
    EXPECT_EQ(dialog->windowFlags() & Qt::WindowType_Mask, Qt::Dialog);
    EXPECT_TRUE(dialog->windowFlags() & Qt::WindowCloseButtonHint);
    EXPECT_FALSE(dialog->windowFlags() & (Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint));

    auto *grid = dialog->findChild<QGridLayout *>("gridLayout_2");
    ASSERT_NE(grid, nullptr);
    struct Cell {
        const char *label, *labelText, *widget;
        int row, span;
    } cells[] = {{"label_2", "序列号:", "edt_serialNo", 0, 1},  {"label_3", "IP地址:", "edt_ipv4", 1, 1},
                 {"label_4", "", "cb_dhcp", 2, 2},              {"label_6", "子网掩码:", "edt_subnetMask", 3, 1},
                 {"label_7", "默认网关:", "edt_gateway", 4, 1}, {"label_8", "DNS 服务器:", "edt_dns", 7, 1},
                 {"label", "物理地址:", "edt_mac", 13, 1},      {"label_5", "描述:", "edt_description", 14, 1}};
    for (const Cell &cell : cells) {
        auto *label = dialog->findChild<QLabel *>(cell.label);
        QWidget *widget = dialog->findChild<QWidget *>(cell.widget);
        ASSERT_TRUE(label && widget) << cell.label;
        int row, column, rowSpan, columnSpan;
        grid->getItemPosition(grid->indexOf(label), &row, &column, &rowSpan, &columnSpan);
        EXPECT_EQ(QPoint(row, column), QPoint(cell.row, 0)) << cell.label;
        grid->getItemPosition(grid->indexOf(widget), &row, &column, &rowSpan, &columnSpan);
        EXPECT_EQ(QPoint(row, column), QPoint(cell.row, 1)) << cell.widget;
        EXPECT_EQ(columnSpan, cell.span) << cell.widget;
        EXPECT_EQ(label->text(), U(cell.labelText));
        EXPECT_EQ(label->minimumHeight(), 30);
        if (QByteArray(cell.label) != "label_4") {
            EXPECT_EQ(label->alignment(), Qt::AlignRight | Qt::AlignVCenter) << cell.label;
        }
    }
    EXPECT_EQ(Dhcp()->text(), U("启用DHCP(自动获取IP地址)"));
    EXPECT_FALSE(Edit("edt_serialNo")->isEnabled());
    EXPECT_FALSE(Edit("edt_mac")->isEnabled());
    EXPECT_FALSE(dialog->findChild<QTextEdit *>("edt_description")->isEnabled());
    auto *save = dialog->findChild<QPushButton *>("btn_save");
    auto *close = dialog->findChild<QPushButton *>("btn_close");
    EXPECT_EQ(save->text(), U("保存"));
    EXPECT_EQ(close->text(), U("关闭"));
    EXPECT_FALSE(save->isDefault());
    EXPECT_FALSE(close->isDefault());
    EXPECT_FALSE(save->isCheckable());
    int row, column, rowSpan, columnSpan;
    grid->getItemPosition(grid->indexOf(dialog->findChild<QWidget *>("horizontalFrame")), &row, &column, &rowSpan,
                          &columnSpan);
    EXPECT_EQ(QPoint(row, columnSpan), QPoint(18, 3));

    QStringList chain;
    QWidget *widget = save;
    do {
        if (widget->focusPolicy() != Qt::NoFocus)
            chain << widget->objectName();
        widget = widget->nextInFocusChain();
    } while (widget != save && chain.size() < 20);
    EXPECT_EQ(chain.join(' '), "btn_save btn_close edt_serialNo edt_dns cb_dhcp edt_ipv4 edt_subnetMask "
                               "edt_gateway edt_mac edt_description");
}

TEST_F(DialogTest, DhcpBoxDecidesWhichFieldsCanBeEdited)
{
    const char *fields[] = {"edt_ipv4", "edt_subnetMask", "edt_gateway", "edt_dns"};
    Load("启用");
    EXPECT_TRUE(Dhcp()->isChecked());
    for (const char *field : fields)
        EXPECT_FALSE(Edit(field)->isEnabled()) << field;
    EXPECT_EQ(Edit("edt_ipv4")->text(), "10.77.0.2");
    EXPECT_EQ(Edit("edt_dns")->text(), "10.77.0.253");

    // Two devices in a row with the same state: no state change, fields still right.
    Load("启用", "10.77.0.9");
    EXPECT_FALSE(Edit("edt_ipv4")->isEnabled());
    EXPECT_EQ(Edit("edt_ipv4")->text(), "10.77.0.9");
    Load("禁用");
    EXPECT_FALSE(Dhcp()->isChecked());
    for (const char *field : fields)
        EXPECT_TRUE(Edit(field)->isEnabled()) << field;
    Load("禁用");
    EXPECT_TRUE(Edit("edt_ipv4")->isEnabled());

    // Ticking the box puts the loaded values back over any edit.
    Edit("edt_ipv4")->setText("1.2.3.4");
    Edit("edt_gateway")->setText("x");
    Dhcp()->setChecked(true);
    EXPECT_EQ(Edit("edt_ipv4")->text(), "10.77.0.2");
    EXPECT_EQ(Edit("edt_gateway")->text(), "10.77.0.254");
    Dhcp()->setChecked(false);
    EXPECT_TRUE(Edit("edt_gateway")->isEnabled());
}

TEST_F(DialogTest, NothingIsSentWithoutAChangeOrAUsableTarget)
{
    ASSERT_NO_FATAL_FAILURE(StartDevice());
    ModalAnswerer answerer;
    Load("禁用");
    Save();
    Load("禁用", "", "8001");
    Edit("edt_dns")->setText("1.1.1.1");
    Save();
    for (const char *port : {"0", "-5", "abc", "70000"}) {
        Load("禁用", "10.77.0.2", port);
        Dhcp()->setChecked(true);
        Save();
    }
    QTest::qWait(300);
    EXPECT_TRUE(answerer.seen().isEmpty());
    int empties = 0;
    EXPECT_TRUE(Sent(&empties).empty());
    EXPECT_EQ(empties, 0);
}

TEST_F(DialogTest, BadAddressTextIsReportedOnTheFirstBadField)
{
    ASSERT_NO_FATAL_FAILURE(StartDevice());
    ModalAnswerer answerer;
    Load("禁用");
    Edit("edt_ipv4")->setText("10.77.0.a");
    Edit("edt_dns")->setText("1.2.3");
    Save();
    ASSERT_EQ(answerer.seen().size(), 1);
    EXPECT_EQ(answerer.seen()[0].title, U("提示"));
    EXPECT_EQ(answerer.seen()[0].text, U("格式错误!请输入正确的值!"));
    EXPECT_EQ(answerer.seen()[0].icon, QMessageBox::Warning);
    EXPECT_EQ(dialog->focusWidget(), Edit("edt_ipv4"));

    Edit("edt_ipv4")->setText("10.77.0.8");
    Save();
    ASSERT_EQ(answerer.seen().size(), 2);
    EXPECT_EQ(dialog->focusWidget(), Edit("edt_dns"));
    // The edits stay for the operator to correct.
    EXPECT_EQ(Edit("edt_dns")->text(), "1.2.3");
    EXPECT_TRUE(Sent().empty());
}

TEST_F(DialogTest, UpdateGoesToTheAnnouncedAddressWithTheMembersInOrder)
{
    // The device says yes and stays where it is, for the second request.
    ASSERT_NO_FATAL_FAILURE(StartDevice("command:ignored"));
    ModalAnswerer answerer;
    Load("禁用");
    Edit("edt_ipv4")->setText("10.77.0.8");
    Save();
    ASSERT_EQ(answerer.seen().size(), 1);
    EXPECT_EQ(answerer.seen()[0].title, U("提示"));
    EXPECT_EQ(answerer.seen()[0].text, U("执行成功!"));
    EXPECT_EQ(answerer.seen()[0].icon, QMessageBox::Information);
    int empties = 0;
    const std::vector<std::string> sent = Sent(&empties);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0], R"({"version":0,"kind":0,"sessionId":"0","api":"/brenu/model/updatecfg.htm","params":{"data":[{)"
                       R"("serialNo":"SN1","address":"10.77.0.8","dhcp":false,"subnetMask":"255.255.255.0",)"
                       R"("gateway":"10.77.0.254","dns":"10.77.0.253","mac":"02:00:00:00:00:01","description":"仓库"}]}})");
    EXPECT_EQ(empties, 1); // the socket's keep-alive on connecting
    EXPECT_EQ(Edit("edt_ipv4")->text(), "10.77.0.8");

    // Only the DHCP box changed: the loaded values go out, unchecked, with "dhcp" true.
    // The description comes from the device: markup in it is text, shown and sent
    // back exactly as it came.
    const QString markup = U("<b>机架</b> <img src=\"/nonexistent.png\"> 2");
    Load("禁用", "10.77.0.2", "8001", markup);
    EXPECT_EQ(dialog->findChild<QTextEdit *>("edt_description")->toPlainText(), markup);
    Edit("edt_ipv4")->setText("not an address");
    Dhcp()->setChecked(true);
    Save();
    ASSERT_EQ(answerer.seen().size(), 2);
    EXPECT_EQ(answerer.seen()[1].text, U("执行成功!"));
    ASSERT_EQ(Sent().size(), 2u);
    EXPECT_NE(Sent()[1].find(R"("address":"10.77.0.2","dhcp":true,"subnetMask")"), std::string::npos) << Sent()[1];
    EXPECT_NE(Sent()[1].find(R"("description":"<b>机架</b> <img src=\"/nonexistent.png\"> 2"})"), std::string::npos)
        << Sent()[1];
}

TEST_F(DialogTest, DeviceVerdictDecidesTheMessage)
{
    ASSERT_NO_FATAL_FAILURE(StartDevice("command:wrong-serial"));
    ModalAnswerer answerer;
    Load("禁用");
    Dhcp()->setChecked(true);
    Save();
    // With DHCP ticked no field is checked: the unusable loaded address is what fails.
    Load("禁用", "999.1.1.1");
    Dhcp()->setChecked(true);
    Save();
    ASSERT_EQ(answerer.seen().size(), 2);
    EXPECT_EQ(answerer.seen()[0].text, U("执行失败!"));
    EXPECT_EQ(answerer.seen()[0].icon, QMessageBox::Information);
    EXPECT_EQ(answerer.seen()[1].text, U("连接失败!"));
    EXPECT_EQ(answerer.seen()[1].icon, QMessageBox::Warning);
    EXPECT_EQ(Sent().size(), 1u);
}

TEST_F(DialogTest, ALostAnswerKeepsTheFailureMessageAndLeavesTheChangeToBeWatchedFor)
{
    ASSERT_NO_FATAL_FAILURE(StartDevice("command:lost"));
    ModalAnswerer answerer;
    Load("禁用");
    Edit("edt_dns")->setText("10.77.0.9");
    Save();
    ASSERT_EQ(answerer.seen().size(), 1);
    EXPECT_EQ(answerer.seen()[0].text, U("执行失败!"));
    const std::optional<ExpectedSettings> expected = dialog->TakeUnansweredUpdate();
    ASSERT_TRUE(expected.has_value());
    EXPECT_EQ(expected->serialNo, "SN1");
    EXPECT_EQ(expected->settings.dns, "10.77.0.9");
    EXPECT_FALSE(dialog->TakeUnansweredUpdate().has_value()); // taken once
    // What the window then checks the device's next answers against.
    DeviceRecord answer;
    answer.serialNo = "SN1";
    answer.mac = "02:00:00:00:00:01";
    answer.address = "10.77.0.2";
    answer.subnetMask = "255.255.255.0";
    answer.gateway = "10.77.0.254";
    answer.dns = "10.77.0.253";
    EXPECT_FALSE(ShowsSettings(answer, *expected));
    answer.dns = "10.77.0.9";
    EXPECT_TRUE(ShowsSettings(answer, *expected));
    answer.mac = "02:00:00:00:00:02"; // another device with the serial number
    EXPECT_FALSE(ShowsSettings(answer, *expected));
}

TEST_F(DialogTest, ClosingEndsTheDialogAcceptedAndSendsNothing)
{
    ASSERT_NO_FATAL_FAILURE(StartDevice());
    Load("禁用");
    Edit("edt_ipv4")->setText("10.77.0.99");
    QTimer::singleShot(50, dialog->findChild<QPushButton *>("btn_close"), &QPushButton::click);
    EXPECT_EQ(dialog->exec(), QDialog::Accepted);
    QTimer::singleShot(50, dialog.get(), &QWidget::close);
    EXPECT_EQ(dialog->exec(), QDialog::Accepted);
    int empties = 0;
    EXPECT_TRUE(Sent(&empties).empty());
    EXPECT_EQ(empties, 0);
}

TEST_F(DialogTest, AnImpossibleAddressIsRefusedAndABrokenRuleIsSentOnlyWhenConfirmed)
{
    ASSERT_NO_FATAL_FAILURE(StartDevice("command:ignored"));
    SayInOperatorLanguage(); // as the main window does
    ModalAnswerer answerer;
    Load("禁用");
    // Dotted text with an octet no address has: the device would take it, and no
    // command could reach it afterwards.
    Edit("edt_ipv4")->setText("10.77.0.999");
    Save();
    ASSERT_EQ(answerer.seen().size(), 1);
    EXPECT_EQ(answerer.seen()[0].text, U("格式错误!请输入正确的值!"));
    EXPECT_EQ(dialog->focusWidget(), Edit("edt_ipv4"));

    // A gateway outside the new subnet: the rule is shown, and the operator decides.
    Edit("edt_ipv4")->setText("10.77.0.8");
    Edit("edt_gateway")->setText("1.2.3.4");
    answerer.Queue(ModalAnswerer::Reject);
    Save();
    ASSERT_EQ(answerer.seen().size(), 2);
    EXPECT_EQ(answerer.seen()[1].title, U("警告"));
    EXPECT_EQ(answerer.seen()[1].text, U("新设置可能使设备无法访问:\n网关 1.2.3.4 不在 10.77.0.0/24 内\n\n是否仍然发送?"));
    EXPECT_TRUE(Sent().empty());
    answerer.Queue(ModalAnswerer::Accept);
    Save();
    ASSERT_EQ(answerer.seen().size(), 4);
    EXPECT_EQ(answerer.seen()[3].text, U("执行成功!"));
    ASSERT_EQ(Sent().size(), 1u);
    EXPECT_NE(Sent()[0].find(R"("address":"10.77.0.8","dhcp":false,"subnetMask":"255.255.255.0","gateway":"1.2.3.4")"),
              std::string::npos)
        << Sent()[0];
}

TEST_F(DialogTest, DeviceTextsInAnyEncodingAreShownReadableAndGoBackAsTheDeviceSentThem)
{
    ASSERT_NO_FATAL_FAILURE(StartDevice("command:ignored"));
    ModalAnswerer answerer;
    const QByteArray descriptions[] = {
        "\xB4\xF3\xC3\xC5\xC9\xE3\xCF\xF1\xBB\xFA 2\xBA\xC5", // "大门摄像机 2号" in GBK
        "大门摄像机 2号",                                           // UTF-8
        "\x80 ab\xFF",                                             // neither
    };
    for (const QByteArray &bytes : descriptions) {
        // As the window loads a row: the cells' texts, then the device's bytes.
        Load("禁用", "10.77.0.2", "8001", ShownText(bytes));
        SentBytes sent;
        sent.member[static_cast<int>(TextMember::Description)] = bytes;
        dialog->SetSentBytes(sent);
        if (bytes.startsWith("\xB4")) {
            EXPECT_EQ(dialog->findChild<QTextEdit *>("edt_description")->toPlainText(), U("大门摄像机 2号"));
        }
        Edit("edt_dns")->setText("10.77.0.9");
        Save();
        ASSERT_FALSE(Sent().empty());
        EXPECT_NE(Sent().back().find("\"dns\":\"10.77.0.9\",\"mac\":\"02:00:00:00:00:01\",\"description\":\"" +
                                     bytes.toStdString() + "\"}"),
                  std::string::npos)
            << Sent().back();
    }
    EXPECT_EQ(answerer.seen().size(), 3);
}

} // namespace

namespace {

TEST_F(DialogTest, LoadedTextsGoBackExactlyHoweverLongOrOdd)
{
    ASSERT_NO_FATAL_FAILURE(StartDevice());
    ModalAnswerer answerer;
    // Texts beyond a line edit's default 32767 characters: without an edit there is
    // nothing to save, so nothing is sent and nothing is reported.
    const QString longText = QString(40000, QLatin1Char('9'));
    dialog->SetDeviceInfo("SN1", "10.77.0.2", "8001", U("禁用"), "255.255.255.0", longText, "10.77.0.253", longText,
                          longText + U("描述"));
    EXPECT_EQ(Edit("edt_gateway")->text().size(), 40000);
    Save();
    QTest::qWait(200);
    EXPECT_TRUE(answerer.seen().isEmpty());
    EXPECT_TRUE(Sent().empty());

    // Line breaks, no-break spaces and line separators reach the device as loaded,
    // in the MAC, the description and (DHCP ticked) the address fields.
    const QString odd = U("a\r\nb\u00a0c\u2028d\u2029e\r");
    dialog->SetDeviceInfo("SN1", "10.77.0.2", "8001", U("禁用"), "255.255.255.0", "10.77.0.254" + odd,
                          "10.77.0.253", "02:00" + odd, U("仓库") + odd);
    Dhcp()->setChecked(true);
    Save();
    ASSERT_EQ(answerer.seen().size(), 1);
    EXPECT_EQ(answerer.seen()[0].text, U("执行成功!"));
    const std::string json = "a\\r\\nb\u00a0c\u2028d\u2029e\\r";
    ASSERT_EQ(Sent().size(), 1u);
    EXPECT_NE(Sent()[0].find(R"("dhcp":true,"subnetMask":"255.255.255.0","gateway":"10.77.0.254)" + json +
                             R"(","dns":"10.77.0.253","mac":"02:00)" + json + R"(","description":"仓库)" + json +
                             "\"}"),
              std::string::npos)
        << Sent()[0];
}

} // namespace
