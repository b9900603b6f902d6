// The address check, the reading rules of a search answer and the cells of a new row.
#include <gtest/gtest.h>

#include <QStandardItem>
#include <QStandardItemModel>

#include <memory>

#include "device/DeviceRecord.h"
#include "app/AnswerQueue.h"
#include "app/DeviceListText.h"
#include "app/DeviceTable.h"
#include "device/Ipv4Text.h"
#include "QtPrinters.h"
#include "protocol/Json.h"

namespace {

TEST(Ipv4TextTest, AcceptsThreeDotsOfDigitsWithoutLookingAtOctets)
{
    for (const char *good : {"192.168.1.20", "0.0.0.0", "300.1.1.1", "1..2.3", "..."})
        EXPECT_TRUE(IsIpv4Text(good)) << good;
    for (const char *bad : {"", "1.2.3", "1.2.3.4.5", "1.2.3.a", " 1.2.3.4", "1.2.3.4 ", "１.2.3.4", "1,2.3.4",
                            "1.2.3.4\xff", "-1.2.3.4"})
        EXPECT_FALSE(IsIpv4Text(bad)) << bad;
    // A NUL byte inside the text is a byte like any other, not its end.
    EXPECT_FALSE(IsIpv4Text(std::string_view("1.2.3.4\0", 8)));
}

QByteArray Answer(const char *members)
{
    return QByteArray(R"({"version":0,"kind":0,"sessionId":"0","api":"/brenu/model/searchbrenu.htm","params":{"data":[{)") +
           members + "}]}}";
}

const char *kComplete = R"("serialNo":"SN1","address":"10.0.0.5","port":8001,"dhcp":true,"subnetMask":"255.255.255.0",)"
                        R"("gateway":"10.0.0.1","dns":"8.8.8.8","mac":"02:00:00:00:00:01","description":"仓库 一号")";

TEST(DeviceRecordTest, ReadsEveryMemberOfACompleteAnswer)
{
    DeviceRecord record;
    ASSERT_TRUE(ReadDeviceRecord(Answer(kComplete), record));
    EXPECT_EQ(record.serialNo, "SN1");
    EXPECT_EQ(record.address, "10.0.0.5");
    EXPECT_EQ(record.port, 8001);
    EXPECT_TRUE(record.dhcp);
    EXPECT_EQ(record.subnetMask, "255.255.255.0");
    EXPECT_EQ(record.gateway, "10.0.0.1");
    EXPECT_EQ(record.dns, "8.8.8.8");
    EXPECT_EQ(record.mac, "02:00:00:00:00:01");
    EXPECT_EQ(record.description, QString::fromUtf8("仓库 一号"));
    EXPECT_TRUE(IsCompleteRecord(record));
}

TEST(DeviceRecordTest, AParsedMessageReadsAsItsTextAndStaysUnchanged)
{
    Vant::CProtocalJson parsed;
    ASSERT_TRUE(parsed.Parse(Answer(kComplete).constData()));
    const std::string before = parsed.ToString();
    DeviceRecord fromText, fromMessage;
    ASSERT_TRUE(ReadDeviceRecord(Answer(kComplete), fromText));
    ASSERT_TRUE(ReadDeviceRecord(static_cast<const Vant::CProtocalJson &>(parsed), fromMessage));
    const auto fields = [](const DeviceRecord &r) {
        return QStringList{r.serialNo, r.address, QString::number(r.port), QString::number(r.dhcp), r.subnetMask,
                           r.gateway, r.dns, r.mac, r.description};
    };
    EXPECT_EQ(fields(fromMessage), fields(fromText));
    EXPECT_EQ(parsed.ToString(), before);
    // A message without "params"."data" reads as nothing and gains none.
    const Vant::CProtocalJson empty;
    DeviceRecord none;
    EXPECT_FALSE(ReadDeviceRecord(empty, none));
    EXPECT_EQ(empty.ToString().find("params"), std::string::npos);
}

TEST(DeviceRecordTest, PortIsAnIntegerOrTheLeadingNumberOfAString)
{
    struct Case {
        const char *json;
        int port;
    } cases[] = {
        {"80", 80}, {"\"80\"", 80}, {"\" 80x\"", 80}, {"\"+81\"", 81}, {"\"abc\"", 0}, {"80.0", 0},
        {"0", 0}, {"-1", -1}, {"\"-7\"", -7}, {"true", 0}, {"null", 0}, {"4294967295", 0},
        {"2147483647", 2147483647}, {"\"99999999999\"", 2147483647}, {"\"-99999999999\"", -2147483647 - 1},
    };
    for (const Case &c : cases) {
        DeviceRecord record;
        const QByteArray members = QByteArray(R"("serialNo":"S","port":)") + c.json;
        ASSERT_TRUE(ReadDeviceRecord(Answer(members.constData()), record)) << c.json;
        EXPECT_EQ(record.port, c.port) << c.json;
    }
    DeviceRecord missing;
    ASSERT_TRUE(ReadDeviceRecord(Answer(R"("serialNo":"S")"), missing));
    EXPECT_EQ(missing.port, 0);
}

TEST(DeviceRecordTest, DhcpIsTheTruthValueAndShowsAsText)
{
    for (const char *on : {"true", "1", "-3", "0.5"}) {
        DeviceRecord record;
        ASSERT_TRUE(ReadDeviceRecord(Answer((QByteArray(R"("dhcp":)") + on).constData()), record));
        EXPECT_TRUE(record.dhcp) << on;
    }
    for (const char *off : {"false", "0", "\"true\"", "\"1\"", "null", "[1]"}) {
        DeviceRecord record;
        ASSERT_TRUE(ReadDeviceRecord(Answer((QByteArray(R"("dhcp":)") + off).constData()), record));
        EXPECT_FALSE(record.dhcp) << off;
    }
    EXPECT_EQ(DeviceTable::DhcpText(true), QString::fromUtf8("启用"));
    EXPECT_EQ(DeviceTable::DhcpText(false), QString::fromUtf8("禁用"));
}

TEST(DeviceRecordTest, TextsComeFromStringsAndNumbersOnly)
{
    DeviceRecord record;
    ASSERT_TRUE(ReadDeviceRecord(Answer(R"("serialNo":12345,"address":true,"mac":{"a":1},"dns":1.5)"), record));
    EXPECT_EQ(record.serialNo, "12345");
    EXPECT_EQ(record.address, "");
    EXPECT_EQ(record.mac, "");
    EXPECT_EQ(record.dns, "1.500000");
    EXPECT_EQ(record.description, "");
}

TEST(DeviceRecordTest, OnlyElementZeroOfAValidMessageCounts)
{
    DeviceRecord record;
    EXPECT_FALSE(ReadDeviceRecord("not json", record));
    EXPECT_FALSE(ReadDeviceRecord(R"({"params":{}})", record));
    EXPECT_FALSE(ReadDeviceRecord(R"([1,2])", record));
    ASSERT_TRUE(ReadDeviceRecord(R"({"params":{"data":[]}})", record));
    EXPECT_FALSE(IsCompleteRecord(record));
    ASSERT_TRUE(ReadDeviceRecord(QByteArray(R"({"params":{"data":[{},{)") + kComplete + "}]}}", record));
    EXPECT_FALSE(IsCompleteRecord(record));
}

TEST(DeviceRecordTest, EveryFieldButTheDescriptionIsNeeded)
{
    DeviceRecord base;
    ASSERT_TRUE(ReadDeviceRecord(Answer(kComplete), base));
    ASSERT_TRUE(IsCompleteRecord(base));
    QString DeviceRecord::*texts[] = {&DeviceRecord::serialNo, &DeviceRecord::address, &DeviceRecord::subnetMask,
                                      &DeviceRecord::gateway,  &DeviceRecord::dns,     &DeviceRecord::mac};
    for (auto member : texts) {
        DeviceRecord record = base;
        (record.*member).clear();
        EXPECT_FALSE(IsCompleteRecord(record));
    }
    for (int port : {0, -1}) {
        DeviceRecord record = base;
        record.port = port;
        EXPECT_FALSE(IsCompleteRecord(record));
    }
    DeviceRecord record = base;
    record.description.clear();
    EXPECT_TRUE(IsCompleteRecord(record));
}

TEST(DeviceTableTest, NewRowCarriesTextsAlignmentsAndTheKey)
{
    DeviceRecord record;
    ASSERT_TRUE(ReadDeviceRecord(Answer(kComplete), record));
    const QList<QStandardItem *> row = DeviceTable::MakeRow(record);
    QStandardItemModel model;
    model.appendRow(row);
    ASSERT_EQ(row.size(), DeviceTable::ColumnCount);
    const char *texts[] = {"SN1",      "10.0.0.5",        "8001",    "启用", "255.255.255.0", "10.0.0.1", "8.8.8.8",
                           "02:00:00:00:00:01", "仓库 一号"};
    const Qt::Alignment left = Qt::AlignLeft | Qt::AlignVCenter;
    const Qt::Alignment alignments[] = {left, left, Qt::AlignRight | Qt::AlignVCenter, Qt::AlignCenter,
                                        left, left, left, Qt::AlignCenter, left};
    for (int column = 0; column < DeviceTable::ColumnCount; ++column) {
        EXPECT_EQ(row[column]->text(), QString::fromUtf8(texts[column])) << column;
        EXPECT_EQ(row[column]->textAlignment(), alignments[column]) << column;
    }
    EXPECT_EQ(row[0]->data(Qt::UserRole + 1).toString(), "SN1");
    EXPECT_FALSE(row[1]->data(Qt::UserRole + 1).isValid());

    record.address = "10.0.0.9";
    record.dhcp = false;
    record.serialNo = "OTHER";
    DeviceTable::UpdateRow(model, 0, record);
    EXPECT_EQ(model.item(0, 1)->text(), "10.0.0.9");
    EXPECT_EQ(model.item(0, 3)->text(), QString::fromUtf8("禁用"));
    EXPECT_EQ(model.item(0, 0)->text(), "SN1");
    EXPECT_EQ(model.item(0, 0)->data(Qt::UserRole + 1).toString(), "SN1");
    EXPECT_EQ(model.item(0, 1)->textAlignment(), left);
}

} // namespace

namespace {

TEST(DeviceListTextTest, CellsASpreadsheetWouldRunAreLedByAnApostropheInTheCopyAndTheExport)
{
    QStandardItemModel model;
    DeviceRecord device;
    device.serialNo = "+SN";
    device.address = "10.77.0.2";
    device.port = 8001;
    device.subnetMask = "255.255.255.0";
    device.gateway = "@1";
    device.dns = "\tx";
    device.mac = "-02";
    device.description = "=HYPERLINK(\"http://x\",\"y\")";
    model.appendRow(DeviceTable::MakeRow(device));
    EXPECT_EQ(DeviceListText::RowText(model, 0),
              "'+SN\t10.77.0.2\t8001\t" + DeviceTable::DhcpText(false) +
                  "\t255.255.255.0\t'@1\t'\tx\t'-02\t'=HYPERLINK(\"http://x\",\"y\")");
    const QString csv = QString::fromUtf8(DeviceListText::Csv(model));
    EXPECT_TRUE(csv.endsWith("\r\n'+SN,10.77.0.2,8001," + DeviceTable::DhcpText(false) +
                             ",255.255.255.0,'@1,'\tx,'-02,\"'=HYPERLINK(\"\"http://x\"\",\"\"y\"\")\"\r\n"))
        << csv.toStdString();
}

// The window's answer queue is bounded in bytes as well as in answers: answers with
// long texts stop at kMaxQueuedAnswerBytes (dropped and counted), and room returns
// once the window has taken what waits.
TEST(AnswerQueueBound, LongAnswersStopAtTheByteBound)
{
    int wakes = 0;
    AnswerQueue queue([&] { ++wakes; });
    QueuedAnswer answer;
    answer.record.serialNo = QStringLiteral("LONG");
    answer.record.description = QString(60000, QLatin1Char('d'));
    const std::size_t each = QueuedAnswerBytes(answer);
    const std::size_t fit = kMaxQueuedAnswerBytes / each;
    for (std::size_t i = 0; i < fit + 10; ++i) {
        QueuedAnswer copy = answer;
        queue.Push(std::move(copy));
    }
    EXPECT_EQ(queue.Dropped(), 10u);
    EXPECT_EQ(queue.Take().size(), fit);
    QueuedAnswer again = answer;
    queue.Push(std::move(again));
    EXPECT_EQ(queue.Dropped(), 10u);
    EXPECT_EQ(queue.Take().size(), 1u);
    EXPECT_EQ(wakes, 2);
}

} // namespace
