// Device texts: shown readable whatever their bytes, kept and sent back exactly,
// cut between characters.
#include <gtest/gtest.h>

#include <string>

#include "device/DeviceRecord.h"
#include "device/DeviceRequests.h"
#include "device/DeviceText.h"
#include "protocol/Json.h"

namespace {

QString U(const char *text) { return QString::fromUtf8(text); }

// "大门摄像机 2号" as a Chinese Windows system writes it (GBK).
const QByteArray kGbk("\xB4\xF3\xC3\xC5\xC9\xE3\xCF\xF1\xBB\xFA 2\xBA\xC5");
// Bytes that are neither UTF-8 nor GB18030: 0x80 and 0xFF start no character.
const QByteArray kUndecodable("\x80 ab\xFF");

QByteArray Answer(const QByteArray &serialNo, const QByteArray &description)
{
    return R"({"version":0,"kind":1,"api":"/brenu/model/searchbrenu.htm","params":{"data":[{"serialNo":")" + serialNo +
           R"(","address":"10.77.0.2","port":8001,"dhcp":false,"subnetMask":"255.255.255.0","gateway":"10.77.0.254",)"
           R"("dns":"10.77.0.253","mac":"02:00:00:00:00:01","description":")" +
           description + R"("}]}})";
}

// The bytes of data[0].member of a request as it goes out.
std::string Sent(const Vant::CProtocalJson &request, const char *member)
{
    Vant::CProtocalJson parsed;
    EXPECT_TRUE(parsed.Parse(request.ToString().c_str()));
    return Vant::ValueToString(parsed.GetDataValue(0, member));
}

TEST(DeviceText, ShownReadableFromUtf8OrGb18030AndMarkedWhenNeither)
{
    EXPECT_EQ(ShownText(kGbk), U("大门摄像机 2号"));
    EXPECT_EQ(ShownText(QByteArray("大门摄像机 2号")), U("大门摄像机 2号"));
    EXPECT_EQ(ShownText(kUndecodable), U("\uFFFD ab\uFFFD"));
    // A GB18030 four-byte character (U+20000, beyond the BMP) and a lead byte cut short.
    EXPECT_EQ(ShownText(QByteArray("\x95\x32\x82\x36x\x81")), U("\U00020000x\uFFFD"));
    // Overlong forms and surrogates are not UTF-8.
    EXPECT_FALSE(IsUtf8("\xC0\xAF", 2));
    EXPECT_FALSE(IsUtf8("\xED\xA0\x80", 3));
    EXPECT_FALSE(IsUtf8("\xE5\xA4", 2));
    EXPECT_TRUE(IsUtf8("\xF0\x9F\x98\x80", 4));
}

TEST(DeviceText, EveryUntouchedTextGoesBackAsTheDeviceSentItAndAnEditAsUtf8)
{
    for (const QByteArray &description : {kGbk, QByteArray("大门摄像机 2号"), kUndecodable}) {
        // The serial number too may be GBK: sent, and compared, byte for byte.
        DeviceRecord device;
        ASSERT_TRUE(ReadDeviceRecord(Answer("SN\xBA\xC5", description), device));
        EXPECT_EQ(device.serialNo, U("SN号"));
        EXPECT_EQ(device.description, ShownText(description));
        EXPECT_EQ(SentAsUtf8(device, TextMember::Description), description == "大门摄像机 2号");
        EXPECT_EQ(NotUtf8Members(device),
                  description == "大门摄像机 2号" ? QStringList{"serialNo"} : (QStringList{"serialNo", "description"}));

        NetworkSettings edited = SettingsOf(device);
        edited.gateway = "10.77.0.1";
        Vant::CProtocalJson request;
        BuildUpdateRequest(device, edited, request);
        EXPECT_EQ(Sent(request, "serialNo"), "SN\xBA\xC5");
        EXPECT_EQ(Sent(request, "description"), description.toStdString());
        EXPECT_EQ(Sent(request, "gateway"), "10.77.0.1");
        EXPECT_EQ(Sent(request, "address"), "10.77.0.2");
        EXPECT_EQ(DeviceBytes(device, TextMember::SerialNo), QByteArray("SN\xBA\xC5"));
    }

    // A leading byte-order mark, which a QString drops, goes back too.
    DeviceRecord marked;
    ASSERT_TRUE(ReadDeviceRecord(Answer("SN1", "\xEF\xBB\xBF" "ab"), marked));
    EXPECT_EQ(marked.description, "ab");
    EXPECT_EQ(DeviceBytes(marked, TextMember::Description), QByteArray("\xEF\xBB\xBF" "ab"));

    // A text changed after it was read (no longer what its bytes show) goes as UTF-8,
    // and so does an operator's value in place of a non-UTF-8 one.
    DeviceRecord device;
    ASSERT_TRUE(ReadDeviceRecord(Answer("SN1", kGbk), device));
    device.description = U("新描述");
    EXPECT_EQ(DeviceBytes(device, TextMember::Description), QByteArray("新描述"));
    device.sent.member[static_cast<int>(TextMember::Dns)] = "10.77.0.\xBA\xC5";
    device.dns = ShownText(device.sent.member[static_cast<int>(TextMember::Dns)]);
    EXPECT_EQ(BytesToSend(device, TextMember::Dns, device.dns), QByteArray("10.77.0.\xBA\xC5"));
    EXPECT_EQ(BytesToSend(device, TextMember::Dns, "10.77.0.9"), QByteArray("10.77.0.9"));
}

TEST(DeviceText, LongTextsAreCutAtTheBoundBetweenCharacters)
{
    // Three-byte UTF-8 characters and two-byte GBK ones, one byte off the bound.
    const QByteArray utf8 = QByteArray("x") + QByteArray("号").repeated(kMaxDeviceTextBytes);
    const QByteArray gbk = QByteArray("x") + QByteArray("\xBA\xC5").repeated(kMaxDeviceTextBytes);
    const QByteArray ascii(kMaxDeviceTextBytes * 2, 'a');
    for (const QByteArray &description : {utf8, gbk, ascii}) {
        DeviceRecord device;
        ASSERT_TRUE(ReadDeviceRecord(Answer("SN1", description), device));
        const QByteArray kept = DeviceBytes(device, TextMember::Description);
        EXPECT_LE(kept.size(), kMaxDeviceTextBytes);
        EXPECT_GT(kept.size(), kMaxDeviceTextBytes - 4);
        EXPECT_TRUE(description.startsWith(kept));
        EXPECT_FALSE(device.description.contains(QChar(0xFFFD))) << kept.size();
    }
    // Bytes that are no characters at all are cut where GB18030 would end one.
    EXPECT_EQ(TextCut(QByteArray(20, '\x80').constData(), 20, 7), 6u);
    EXPECT_EQ(TextCut("abc", 3, 7), 3u);
}

} // namespace
