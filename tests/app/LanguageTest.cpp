// The window's language: the rule that picks it, the English translation as built,
// and the files that stay the same in every language.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QTranslator>

#include "QtPrinters.h"
#include "app/DeviceListText.h"
#include "app/DeviceModel.h"
#include "app/DeviceTable.h"
#include "app/Language.h"
#include "app/UiTexts.h"
#include "device/ColumnTitles.h"
#include "device/PlanFile.h"

namespace {

QString U(const char *text) { return QString::fromUtf8(text); }

TEST(LanguageTest, ChineseOnlyWhenTheFirstUiLanguageIsChinese)
{
    for (const char *chinese : {"zh-CN", "zh-TW", "zh-Hant-TW", "zh", "zh_CN"})
        EXPECT_EQ(ChooseUiLanguage({QString::fromLatin1(chinese), "en-US"}), UiLanguage::Chinese) << chinese;
    for (const char *other : {"en-US", "de-DE", "C", "zu-ZA", ""})
        EXPECT_EQ(ChooseUiLanguage({QString::fromLatin1(other), "zh-CN"}), UiLanguage::English) << other;
    EXPECT_EQ(ChooseUiLanguage({}), UiLanguage::English);
}

// The English translation as lrelease built it, installed for one test.
class EnglishTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        // Translators need an application; this test binary has none of its own.
        static int argc = 1;
        static char name[] = "test_app_data";
        static char *argv[] = {name, nullptr};
        if (!QCoreApplication::instance())
            new QCoreApplication(argc, argv);
        ASSERT_TRUE(m_translator.load(QStringLiteral(BRENU_EN_QM)));
        ASSERT_TRUE(QCoreApplication::installTranslator(&m_translator));
    }
    void TearDown() override { QCoreApplication::removeTranslator(&m_translator); }

private:
    QTranslator m_translator;
};

TEST_F(EnglishTest, WindowSpeaksEnglishWhileFilesKeepTheirChineseTitlesAndDhcpTexts)
{
    EXPECT_EQ(QCoreApplication::translate("BrenuSearchToolsClass", "刷新"), "Refresh");
    // The English header is what a plan file may name its columns.
    for (int column = 0; column < DeviceColumn::Count; ++column)
        EXPECT_EQ(DeviceTable::HeaderText(column), DeviceColumnEnglishTitle(column)) << column;

    DeviceModel model;
    DeviceRecord device;
    device.serialNo = "SN1";
    device.address = "10.77.0.2";
    device.port = 8001;
    device.dhcp = true;
    device.subnetMask = "255.255.255.0";
    device.gateway = "10.77.0.1";
    device.dns = "10.77.0.1";
    device.mac = "02:00:00:00:00:01";
    model.appendRow(DeviceTable::MakeRow(device));
    EXPECT_EQ(model.index(0, DeviceTable::ColDhcp).data().toString(), "On");
    EXPECT_EQ(model.index(0, DeviceTable::ColDhcp).data(Qt::EditRole).toString(), U("启用"));
    // The clipboard takes the row as shown; the export is a file format.
    EXPECT_TRUE(DeviceListText::RowText(model, 0).contains("\tOn\t"));
    const QString csv = QString::fromUtf8(DeviceListText::Csv(model));
    EXPECT_TRUE(csv.startsWith(U("\uFEFF设备序列号,IPv4地址,端口,DHCP,子网掩码,默认网关,DNS服务器,物理地址,描述\r\n"))) << csv.toStdString();
    EXPECT_TRUE(csv.contains(U(",启用,"))) << csv.toStdString();

    // The export reads back as a plan, and so does a sheet with the English titles.
    EXPECT_EQ(ParsePlan(csv.toUtf8()).rows.size(), 1u);
    const Plan english = ParsePlan("serial number,IPv4 Address,Subnet mask,Gateway,DNS server,DHCP,MAC address\r\n"
                                   "SN1,10.77.0.9,255.255.255.0,10.77.0.1,10.77.0.1,off,\r\n");
    ASSERT_EQ(english.rows.size(), 1u);
    EXPECT_TRUE(english.problems.empty());
    EXPECT_EQ(english.rows[0].settings.address, "10.77.0.9");
}

TEST_F(EnglishTest, CountsTakeTheirPluralForm)
{
    EXPECT_EQ(UiText::BatchConfirm(1), "Change the network settings of 1 device?");
    EXPECT_EQ(UiText::BatchConfirm(3), "Change the network settings of 3 devices?");
    EXPECT_EQ(UiText::AddressConflictTip(2).arg("A, B"), "Address conflict: serial numbers A, B use the same address.");
}

} // namespace
